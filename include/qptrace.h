/*
 * qptrace.h - tracing from a program: the client wrappers (tropen,
 * trprintf, ..., from qptraces.h) and the attach code that loads the trace
 * library /usr/local/lib/libqptrace1.so on the first trace call.
 *
 * A program only calls the wrappers: the first one that may start tracing
 * attaches, and the program detaches at normal exit. When the library, the
 * driver or its device node is missing the wrappers do nothing and opens
 * return null; nothing is reported. Link with libqptrace.a
 * (pkg-config qptrace, or find_package(qptrace) and qptrace::qptrace).
 *
 *   TRCHANNEL ch = tropen("myapp");
 *   trprintf(ch, "started %s pid %d\n", name, (int)getpid());
 *
 * The attach state is not locked: attach on the main thread (any wrapper
 * call, or trattach) before starting threads that trace.
 */
#ifndef QPTRACE_H
#define QPTRACE_H

#include "qptraces.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Attach state of this program: the library's handle while attached, the
 * mark of an attach in progress, the automatic attach's flag, and the
 * switch that makes detaching do nothing. */
extern void* traceDll;
extern void* traceAttaching;
extern int traceAutoAttachAttempted;
extern int traceNoDetach;

/* Loads the library and attaches to it: non-zero when attached. */
int trattach(void);

/* Detaches and unloads the library: the unload's result, or traceNoDetach
 * when that is set. */
int trdetach(void);

/* Forgets an earlier automatic attempt and attaches again, for instance
 * after the driver was loaded. Each call registers one more detach at exit
 * and returns 0 once that is done; traceExports tells whether it attached. */
int TraceAutoAttach(void);

#ifdef __cplusplus
}
#endif

#endif
