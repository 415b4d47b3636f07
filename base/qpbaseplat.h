/*
 * qpbaseplat.h - the platform side of the memory core.
 *
 * The portable units (qpbase.c, qpmempool.c) reach the machine only through
 * these functions; qpbasenix.cpp implements them for user mode, the kernel
 * module implements the same set in its own folder. No user-mode type may
 * appear here.
 *
 * In the other direction, debugheap_terminator is the leak check that the
 * platform runs when the module ends (user mode: registered with
 * qpbase_plat_atexit at the first allocation; kernel: from module_finalize).
 */
#ifndef QPBASEPLAT_H
#define QPBASEPLAT_H

#include "qpbase.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The underlying allocator of the debug heap: user mode the process heap,
 * kernel qpbase_malloc. Null on failure. */
void* qpbase_plat_malloc(size_t size);
void qpbase_plat_free(void* block);

/* Page-aligned memory for palloc/pfree (size as given to palloc). */
void* qpbase_plat_palloc(size_t size, int pageable);
void qpbase_plat_pfree(void* p, size_t size, int pageable);

/* Writes the text as is (user mode: to standard error; kernel: to the log
 * with "%s") and stops with the fatal trap. */
void qpbase_plat_fatal(const char* text) QP_NORETURN;

/* Reports one block still live at the end (user mode: "LEAK: %s\n" to
 * standard error and a breakpoint trap; kernel: "memory leak %s\n" to the
 * log, then carries on). */
void qpbase_plat_leak(const qpbase_leakinfo_t* leak);

/* A breakpoint trap: ends the process unless a debugger continues it. */
void qpbase_plat_trap(void);

/* Runs func when the module ends (user mode: the process's atexit). */
void qpbase_plat_atexit(void (*func)(void));

/* Full check and leak check of the debug heap, then the page-allocation
 * leak trap. Called once when the module ends. */
void debugheap_terminator(void);

#ifdef __cplusplus
}
#endif

#endif
