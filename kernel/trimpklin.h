/*
 * trimpklin.h - attaching a kernel module to the trace driver as a kernel
 * client (the kernel counterpart of the library's attach code).
 *
 * A module that traces links the client wrappers (qptraces.h) with
 * trimpklin.c, calls trattach once it may trace (the wrappers stay inert
 * until then) and trdetach before it unloads. While attached it holds a
 * reference on the driver module, so the driver cannot unload under it.
 * Both run in process context and may sleep. The trace calls themselves are
 * for process context too: the driver takes its channel locks with
 * interrupts enabled, so a call from an interrupt handler could deadlock
 * against the process it interrupted.
 */
#ifndef TRIMPKLIN_H
#define TRIMPKLIN_H

#include "qptraces.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Non-zero when attached (now or before). */
int trattach(void);
void trdetach(void);

#ifdef __cplusplus
}
#endif

#endif
