/*
 * trimp.c - the client wrappers of the trace system: short lower-case calls
 * that forward to the attached export table with this program's client
 * handle, replacing channel -1 by the program's default channel.
 *
 * State: traceExports (the attached table, null while not attached),
 * traceClient (the table's handle for this program) and traceDefaultChannel.
 * The attach code sets the first two; nothing here locks them. Every wrapper
 * does nothing, and returns null where it returns a channel, while the table
 * or the slot it needs is missing, so a program without a trace library
 * stays silent. The wrappers that may be a program's first trace call
 * attach first through trautoattach, which the attach code defines
 * (base/trace/trimpnix in programs, the kernel's trimpklin in modules): the
 * reference is what pulls the attach code out of a static archive. The
 * readers' trwait and trreadlines answer err_not_implemented without their
 * slot, which tables of older libraries and drivers leave null.
 */
#include "qptraces.h"
#include "qperr.h"

TRACEEXPORTS* traceExports;
TRCLIENT traceClient;
TRCHANNEL traceDefaultChannel = TRCHANNEL_DEFAULT;

#define trace_slot(slot) (traceExports ? traceExports->slot : 0)

TRCHANNEL trfixchannel(TRCHANNEL channel)
{
    return channel == TRCHANNEL_DEFAULT ? traceDefaultChannel : channel;
}

TRCHANNEL tropen(const char* name)
{
    trautoattach();
    return trace_slot(tropen) ? traceExports->tropen(traceClient, name) : 0;
}

TRCHANNEL trwopen(const wchar_t* name)
{
    trautoattach();
    return trace_slot(trwopen) ? traceExports->trwopen(traceClient, name) : 0;
}

TRCHANNEL trdup(TRCHANNEL oldChannel)
{
    trautoattach();
    return trace_slot(trdup) ? traceExports->trdup(traceClient, oldChannel) : 0;
}

void trclose(TRCHANNEL channel)
{
    if (trace_slot(trclose))
        traceExports->trclose(traceClient, channel);
}

void trdefault(TRCHANNEL channel)
{
    traceDefaultChannel = channel;
}

void trreset(TRCHANNEL channel)
{
    if (trace_slot(trreset))
        traceExports->trreset(traceClient, trfixchannel(channel));
}

void trlist(char* buffer, size_t maxChars)
{
    trautoattach();
    if (trace_slot(trlist))
        traceExports->trlist(traceClient, buffer, maxChars);
}

void trwlist(wchar_t* buffer, size_t maxChars)
{
    trautoattach();
    if (trace_slot(trwlist))
        traceExports->trwlist(traceClient, buffer, maxChars);
}

void trinfo(TRCHANNEL channel, size_t* startLine, size_t* endLine, size_t* endLineLen)
{
    if (trace_slot(trinfo))
        traceExports->trinfo(traceClient, trfixchannel(channel), startLine, endLine, endLineLen);
}

void trread(TRCHANNEL channel, size_t line, char* buffer, size_t maxChars)
{
    if (trace_slot(trread))
        traceExports->trread(traceClient, trfixchannel(channel), line, buffer, maxChars);
}

void trwread(TRCHANNEL channel, size_t line, wchar_t* buffer, size_t maxChars)
{
    if (trace_slot(trwread))
        traceExports->trwread(traceClient, trfixchannel(channel), line, buffer, maxChars);
}

void trprint(TRCHANNEL channel, const char* value)
{
    trautoattach();
    channel = trfixchannel(channel);
    if (channel && trace_slot(trprint))
        traceExports->trprint(traceClient, channel, value);
}

void trwprint(TRCHANNEL channel, const wchar_t* value)
{
    trautoattach();
    channel = trfixchannel(channel);
    if (channel && trace_slot(trwprint))
        traceExports->trwprint(traceClient, channel, value);
}

void trvprintf(TRCHANNEL channel, const char* format, va_list args)
{
    trautoattach();
    channel = trfixchannel(channel);
    if (channel && trace_slot(trvprintf))
        traceExports->trvprintf(traceClient, channel, format, args);
}

void trvwprintf(TRCHANNEL channel, const wchar_t* format, va_list args)
{
    trautoattach();
    channel = trfixchannel(channel);
    if (channel && trace_slot(trvwprintf))
        traceExports->trvwprintf(traceClient, channel, format, args);
}

void trprintf(TRCHANNEL channel, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    trvprintf(channel, format, args);
    va_end(args);
}

void trwprintf(TRCHANNEL channel, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    trvwprintf(channel, format, args);
    va_end(args);
}

void trcrash(void)
{
    trautoattach();
    if (trace_slot(trcrash))
        traceExports->trcrash(traceClient);
}

int trwait(TRCHANNEL channel, size_t line, int msecs, size_t* startLine, size_t* endLine)
{
    if (trace_slot(trwait))
        return traceExports->trwait(traceClient, trfixchannel(channel), line, msecs, startLine,
                                    endLine);
    if (startLine)
        *startLine = 0;
    if (endLine)
        *endLine = 0;
    return err_not_implemented;
}

int trreadlines(TRCHANNEL channel, size_t line, char* buffer, size_t maxChars, size_t* count,
                size_t* nextLine)
{
    if (trace_slot(trreadlines))
        return traceExports->trreadlines(traceClient, trfixchannel(channel), line, buffer,
                                         maxChars, count, nextLine);
    if (count)
        *count = 0;
    if (nextLine)
        *nextLine = line;
    return err_not_implemented;
}
