// trimpnix.cpp - the attach code of a user-mode program: loads the trace
// library by its fixed path, takes its export table "traceexports1", checks
// its tag and versions and attaches the client wrappers (trimp.c) to it.
//
// States: not attempted -> attached (library kept loaded in traceDll, the
// table in traceExports, the library's client in traceClient) or inert
// (library, symbol, device or versions missing: every wrapper does nothing)
// -> detached at exit. An inert program stays inert until TraceAutoAttach.
//
// No lock. traceAutoAttachAttempted is set (by one atomic exchange) before
// the first automatic attach starts, so a wrapper of a second thread
// meanwhile does nothing;
// traceAttaching holds a mark unique to the attach in progress, so that of
// two overlapping trattach calls only the last to start publishes its
// result and the other unloads its handle.
//
// The path is fixed at build time (tests build with their own): a
// set-user-id program must never load a library named by its environment.
#include <cstdlib>
#include <dlfcn.h>

#include "qptrace.h"

#ifndef QP_TRACE_LIBRARY_PATH
#define QP_TRACE_LIBRARY_PATH "/usr/local/lib/libqptrace1.so"
#endif

extern "C" {
void* traceDll;
void* traceAttaching;
int traceAutoAttachAttempted;
int traceNoDetach;
}

namespace {

int trace_exports_accepted(const TRACEEXPORTS* exports)
{
    return exports->version >= TRACECLIENTMINCOMPATVERSION &&
           exports->minCompatVersion <= TRACEVERSION;
}

// The table of a loaded library, or null when it is missing or not one.
TRACEEXPORTS* trace_library_exports(void* library)
{
    TRACEEXPORTS* exports =
        library ? static_cast<TRACEEXPORTS*>(dlsym(library, "traceexports1")) : nullptr;
    if (!exports || exports->tag != TRACEEXPORTSTAG || !trace_exports_accepted(exports) ||
        !exports->trattach)
        return nullptr;
    return exports;
}

void* trace_attaching()
{
    return __atomic_load_n(&traceAttaching, __ATOMIC_ACQUIRE);
}

// Attaching may raise the table's minCompatVersion past what we serve.
int trace_attach_to(void* library, TRACEEXPORTS* exports)
{
    traceClient = exports->trattach();
    if (!traceClient)
        return 0;
    if (!trace_exports_accepted(exports)) {
        if (exports->trdetach)
            exports->trdetach(traceClient);
        traceClient = nullptr;
        return 0;
    }
    traceDll = library;
    __atomic_store_n(&traceExports, exports, __ATOMIC_RELEASE);
    return 1;
}

void trace_detach_at_exit()
{
    (void)trdetach();
}

} // namespace

extern "C" {

int trattach(void)
{
    char mark;
    void* library;
    TRACEEXPORTS* exports;
    int kept = 0;
    if (traceExports || trace_attaching())
        return traceExports != nullptr;
    __atomic_store_n(&traceAttaching, static_cast<void*>(&mark), __ATOMIC_RELEASE);
    library = dlopen(QP_TRACE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    exports = trace_library_exports(library);
    if (trace_attaching() == &mark) {
        if (exports)
            kept = trace_attach_to(library, exports);
        __atomic_store_n(&traceAttaching, static_cast<void*>(nullptr), __ATOMIC_RELEASE);
    }
    if (library && !kept)
        dlclose(library);
    return traceExports != nullptr;
}

int trdetach(void)
{
    void* library = traceDll;
    if (traceNoDetach)
        return traceNoDetach;
    if (traceExports && traceExports->trdetach)
        traceExports->trdetach(traceClient);
    traceClient = nullptr;
    traceExports = nullptr;
    if (!library)
        return 0;
    traceDll = nullptr;
    return dlclose(library);
}

int trautoattach(void)
{
    // Threads may trace for the first time at once: one of them attaches,
    // the others trace nothing until it has.
    int attempted = __atomic_exchange_n(&traceAutoAttachAttempted, 1, __ATOMIC_ACQ_REL);
    if (attempted)
        return attempted;
    (void)trattach();
    return atexit(trace_detach_at_exit);
}

int TraceAutoAttach(void)
{
    __atomic_store_n(&traceAutoAttachAttempted, 0, __ATOMIC_RELEASE);
    return trautoattach();
}

} // extern "C"
