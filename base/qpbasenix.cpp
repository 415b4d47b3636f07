// qpbasenix.cpp - user-mode side of the memory core: the process heap as the
// underlying allocator, page allocation, standard-error output, the
// breakpoint trap and exit registration. No state of its own.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <unistd.h>

#include "qpbaseplat.h"

namespace {

// No heap request above this size can succeed; refusing it here keeps the
// sanitizers' allocators from treating it as a fatal error.
constexpr size_t plat_alloc_max = size_t(1) << 40;

void write_stderr(const char* text, size_t length)
{
    while (length) {
        ssize_t written = write(2, text, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text += written;
        length -= size_t(written);
    }
}

} // namespace

void* qpbase_plat_malloc(size_t size)
{
    return size > plat_alloc_max ? nullptr : malloc(size);
}

void qpbase_plat_free(void* block)
{
    free(block);
}

void* qpbase_plat_palloc(size_t size, int)
{
    return size > plat_alloc_max ? nullptr : valloc(size);
}

void qpbase_plat_pfree(void* p, size_t, int)
{
    free(p);
}

void qpbase_plat_trap(void)
{
    __asm__ volatile("int3");
}

void qpbase_plat_fatal(const char* text)
{
    write_stderr(text, strlen(text));
    qpbase_plat_trap();
    abort();
}

void qpbase_plat_leak(const qpbase_leakinfo_t* leak)
{
    char line[200];
    int length = snprintf(line, sizeof line, "LEAK: %s\n", leak->tag);
    if (length > 0) {
        write_stderr(line, strnlen(line, sizeof line));
    }
    qpbase_plat_trap();
}

void qpbase_plat_atexit(void (*func)(void))
{
    atexit(func);
}
