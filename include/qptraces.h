/*
 * qptraces.h - the client wrappers of the trace system (tropen, trprintf,
 * ...), compiled into every program and module that traces.
 *
 * The wrappers call whichever trace API they are attached to through its
 * export table (traceExports, set by the attach code; null = not attached,
 * then every wrapper does nothing). Channel -1 stands for this program's
 * default channel, traceDefaultChannel (initially -1, which the trace API
 * takes as "traces"). The wrapper state is not locked.
 */
#ifndef QPTRACES_H
#define QPTRACES_H

#include "traces.h"

#ifdef __cplusplus
extern "C" {
#endif

extern TRACEEXPORTS* traceExports;
extern TRCLIENT traceClient;
extern TRCHANNEL traceDefaultChannel;

/* The attach code's first-use attach: non-zero when attached. */
int trautoattach(void);

/* traceDefaultChannel for -1, the channel itself otherwise. */
TRCHANNEL trfixchannel(TRCHANNEL channel);

TRCHANNEL tropen(const char* name);
TRCHANNEL trwopen(const wchar_t* name);
TRCHANNEL trdup(TRCHANNEL oldChannel);
void trclose(TRCHANNEL channel);
void trdefault(TRCHANNEL channel);
void trreset(TRCHANNEL channel);
void trlist(char* buffer, size_t maxChars);
void trwlist(wchar_t* buffer, size_t maxChars);
void trinfo(TRCHANNEL channel, size_t* startLine, size_t* endLine, size_t* endLineLen);
void trread(TRCHANNEL channel, size_t line, char* buffer, size_t maxChars);
void trwread(TRCHANNEL channel, size_t line, wchar_t* buffer, size_t maxChars);
void trprint(TRCHANNEL channel, const char* value);
void trwprint(TRCHANNEL channel, const wchar_t* value);
void trvprintf(TRCHANNEL channel, const char* format, va_list args);
void trvwprintf(TRCHANNEL channel, const wchar_t* format, va_list args);
void trprintf(TRCHANNEL channel, const char* format, ...);
void trwprintf(TRCHANNEL channel, const wchar_t* format, ...);
void trcrash(void);
/* The table's trwait and trreadlines (TraceWait, TraceReadLines), for
 * readers. When not attached, or when the attached table predates them,
 * they answer err_not_implemented (38) with the range 0, 0, or 0 lines and
 * *nextLine = line; a library whose driver lacks the requests answers 22
 * likewise. The channel is fixed as in trread. */
int trwait(TRCHANNEL channel, size_t line, int msecs, size_t* startLine, size_t* endLine);
int trreadlines(TRCHANNEL channel, size_t line, char* buffer, size_t maxChars, size_t* count,
                size_t* nextLine);

#ifdef __cplusplus
}
#endif

#endif
