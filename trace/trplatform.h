/*
 * trplatform.h - the few C library services the trace core uses (byte copies
 * and searches, the exit-time list), from the kernel or from libc. Nothing
 * else of the platform reaches the trace core's units.
 */
#ifndef TRPLATFORM_H
#define TRPLATFORM_H

#ifdef __KERNEL__
#include <linux/string.h>
#else
#include <stdlib.h>
#include <string.h>
#endif

#endif
