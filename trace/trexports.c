/*
 * trexports.c - the export table of this module's trace API (in the driver
 * the table whose kernel address the version request hands out; in user mode
 * the in-process table). Its layout is shared between separately built
 * deliverables: the offsets are fixed and checked here at compile time.
 * The table is written only while the module starts; no lock.
 */
#include "traces.h"
#include "traceio.h"

#ifdef __KERNEL__
#include <linux/stddef.h>
#else
#include <stddef.h>
#endif

TRACEEXPORTS traceexports1 = {
    TRACEEXPORTSTAG,
    TRACEVERSION,
    TRACESERVERMINCOMPATVERSION,
    0, /* timeStampLen: set by the library at attach */
    0,
    0,
    TraceAttach,
    TraceDetach,
    TraceOpen,
    TraceOpenW,
    TraceDup,
    TraceClose,
    TraceDefault,
    TraceListW,
    TraceInfo,
    TraceReadW,
    TracePrint,
    TracePrintW,
    TraceVprintf,
    TraceVprintfW,
    TraceCrash,
    TraceReset,
    TraceList,
    TraceRead,
    TraceWait,
    TraceReadLines,
    {0, 0, 0, 0, 0, 0, 0, 0},
};

TRACEEXPORTS* traceExports_ = &traceexports1;

#define TRACE_EXPORTS_AT(field, offset)                                                            \
    _Static_assert(offsetof(TRACEEXPORTS, field) == (offset), "TRACEEXPORTS." #field " at " #offset)

TRACE_EXPORTS_AT(tag, 0);
TRACE_EXPORTS_AT(version, 4);
TRACE_EXPORTS_AT(minCompatVersion, 8);
TRACE_EXPORTS_AT(timeStampLen, 12);
TRACE_EXPORTS_AT(reserved1, 16);
TRACE_EXPORTS_AT(reserved2, 24);
TRACE_EXPORTS_AT(trattach, 32);
TRACE_EXPORTS_AT(trdetach, 40);
TRACE_EXPORTS_AT(tropen, 48);
TRACE_EXPORTS_AT(trwopen, 56);
TRACE_EXPORTS_AT(trdup, 64);
TRACE_EXPORTS_AT(trclose, 72);
TRACE_EXPORTS_AT(trdefault, 80);
TRACE_EXPORTS_AT(trwlist, 88);
TRACE_EXPORTS_AT(trinfo, 96);
TRACE_EXPORTS_AT(trwread, 104);
TRACE_EXPORTS_AT(trprint, 112);
TRACE_EXPORTS_AT(trwprint, 120);
TRACE_EXPORTS_AT(trvprintf, 128);
TRACE_EXPORTS_AT(trvwprintf, 136);
TRACE_EXPORTS_AT(trcrash, 144);
TRACE_EXPORTS_AT(trreset, 152);
TRACE_EXPORTS_AT(trlist, 160);
TRACE_EXPORTS_AT(trread, 168);
TRACE_EXPORTS_AT(trwait, 176);
TRACE_EXPORTS_AT(trreadlines, 184);
TRACE_EXPORTS_AT(reserved4, 192);
_Static_assert(sizeof(TRACEEXPORTS) == 256, "TRACEEXPORTS is 256 bytes");
_Static_assert(sizeof(TRACEIOGETVERSIONRESULTS) == 32, "version answer is 32 bytes");
_Static_assert(sizeof(TRACEIOINFORESULTS) == 24, "info answer is 24 bytes");
_Static_assert(sizeof(TRACEIOREADPARAMS) == 16, "read record is 16 bytes");
_Static_assert(sizeof(TRACEIOWAITPARAMS) == 24, "wait record is 24 bytes");
_Static_assert(sizeof(TRACEIOWAITRESULTS) == 24, "wait answer is 24 bytes");
_Static_assert(sizeof(TRACEIOREADLINESPARAMS) == 16, "read-lines record is 16 bytes");
_Static_assert(sizeof(TRACEIOREADLINESRESULTS) == 16, "read-lines answer header is 16 bytes");
_Static_assert(sizeof(wchar_t) == 4, "wide text has 32-bit units");
