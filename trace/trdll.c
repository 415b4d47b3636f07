/*
 * trdll.c - the trace API over the channel anchor: attach, open, print and
 * formatted print, list, info, read and reset of channels by number.
 *
 * There is no per-client state: the client handle is ignored, attaching
 * returns the constant 1 and channel numbers are global to the anchor.
 * Unknown channel numbers make prints and resets do nothing, reads give an
 * empty string and info gives zeros.
 *
 * Formatting goes to a 300-byte stack buffer first, to the debug heap for a
 * longer text, and only when the heap fails to the static 10,000-byte
 * scratch under traceStaticScratchLock. Lock order: the scratch lock, then a
 * buffer lock (inside TracePrint); nothing takes them the other way.
 *
 * Waiting readers. TraceWait sleeps through the host (TraceHostWait, a
 * wait queue per channel slot in the driver) until the channel has the line
 * it wants; a print that ended at least one line and every reset call
 * TraceHostWake once, after the buffer lock is released. A reset also
 * raises the slot's reset count, so that a waiter notices it even when the
 * line numbers it waits for are not reached. The host's wake-up looks for
 * sleepers without a lock of its own: a waiter queues itself before it
 * takes the buffer lock to look, and a writer looks after it took the same
 * lock, so one of the two always sees the other.
 *
 * The wide forms are in trwide.c, the request decoder in trreceive.c.
 */
#include "traces.h"
#include "sstring.h"
#include "ssformat.h"
#include "qperr.h"
#include "trplatform.h"

enum {
    trace_stack_format_size = 300,
    trace_static_scratch_size = 10000
};

static char traceStaticScratch[trace_static_scratch_size];
static spinner_t traceStaticScratchLock; /* zeroed: a free lock */
/* Resets per channel slot, read by waiters; atomic, no lock. */
static uint32_t traceResetCounts[TRACEANCHOR_MAXCHANNELS];

/* The buffer of a channel with its table slot in *slot, or null. */
static TraceBuffer* trace_channel_buffer(TRCHANNEL channel, size_t* slot)
{
    long number = (long)channel; /* pointer-sized: the kernel has no intptr_t */
    *slot = number == -1 ? 0 : (size_t)(number - 1);
    return TraceAnchor_GetBuffer(&traceAnchor, channel);
}

TRCLIENT TraceAttach(void)
{
    return (TRCLIENT)1;
}

void TraceDetach(TRCLIENT client)
{
    (void)client;
}

static void trace_buffer_delete(TraceBuffer* tb)
{
    TraceBuffer_term(tb);
    free_d(tb);
}

/* A ready, unnamed channel buffer, or null when memory is short. */
static TraceBuffer* trace_buffer_new(void)
{
    TraceBuffer* tb = (TraceBuffer*)calloc_d(1, sizeof(TraceBuffer));
    char* data;
    uint32_t* index;
    if (!tb)
        return 0;
    data = (char*)palloc(TRACEBUFFER_DATASIZE, 0);
    index = (uint32_t*)palloc(TRACEBUFFER_INDEXSIZE * sizeof(uint32_t), 0);
    TraceBuffer_init(tb, data, index);
    if (!data || !index) {
        trace_buffer_delete(tb);
        return 0;
    }
    return tb;
}

TRCHANNEL TraceOpen(TRCLIENT client, const char* name)
{
    TraceBuffer* offered;
    size_t channel;
    (void)client;

    channel = TraceAnchor_OpenChannel(&traceAnchor, name, 0);
    if (channel)
        return (TRCHANNEL)channel;
    /* Another caller may create the same name meanwhile; then the existing
     * number comes back and the offer stays ours. */
    offered = trace_buffer_new();
    channel = TraceAnchor_OpenChannel(&traceAnchor, name, &offered);
    if (!channel)
        TraceNewChannel(name ? name : "", 0);
    if (offered)
        trace_buffer_delete(offered);
    return (TRCHANNEL)channel;
}

TRCHANNEL TraceDup(TRCLIENT client, TRCHANNEL channel)
{
    (void)client;
    return channel;
}

/* Channels are never closed, and the default channel is the client's own
 * notion. */
void TraceClose(TRCLIENT client, TRCHANNEL channel)
{
    (void)client;
    (void)channel;
}

void TraceDefault(TRCLIENT client, TRCHANNEL channel)
{
    (void)client;
    (void)channel;
}

void TraceReset(TRCLIENT client, TRCHANNEL channel)
{
    size_t slot;
    TraceBuffer* tb = trace_channel_buffer(channel, &slot);
    (void)client;
    if (!tb)
        return;
    TraceBuffer_Reset(tb);
    __atomic_add_fetch(&traceResetCounts[slot], 1, __ATOMIC_RELEASE);
    TraceHostWake(slot);
}

size_t TraceList(TRCLIENT client, char* buffer, size_t maxChars)
{
    size_t count, slot, pos = 0;
    (void)client;
    if (!buffer || !maxChars)
        return 0;
    /* The table grows only, and a slot is stored before count is raised. */
    count = __atomic_load_n(&traceAnchor.count, __ATOMIC_ACQUIRE);
    for (slot = 0; slot < count; slot++) {
        const TraceBuffer* tb = traceAnchor.buffers[slot];
        TRACE_ASSERT_AS(tb->name, "buffer->base.name");
        if (tb->nameLen + pos + 1 < maxChars) {
            memcpy(buffer + pos, tb->name, tb->nameLen);
            pos += tb->nameLen;
            buffer[pos++] = 0;
        }
    }
    buffer[pos++] = 0;
    return pos;
}

void TraceInfo(TRCLIENT client, TRCHANNEL channel, size_t* startLine, size_t* endLine,
               size_t* endLineLen)
{
    TraceBuffer* tb = TraceAnchor_GetBuffer(&traceAnchor, channel);
    (void)client;
    if (tb) {
        TraceBuffer_Info(tb, startLine, endLine, endLineLen);
        return;
    }
    if (startLine)
        *startLine = 0;
    if (endLine)
        *endLine = 0;
    if (endLineLen)
        *endLineLen = 0;
}

size_t TraceRead(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer, size_t maxChars)
{
    TraceBuffer* tb = TraceAnchor_GetBuffer(&traceAnchor, channel);
    size_t fullLen;
    (void)client;
    if (!buffer || !maxChars)
        return 0;
    if (!tb) {
        buffer[0] = 0;
        return 1;
    }
    fullLen = TraceBuffer_Read(tb, line, buffer, maxChars);
    return fullLen < maxChars ? fullLen + 1 : maxChars;
}

void TracePrint_(TRCLIENT client, TRCHANNEL channel, const char* value, size_t len)
{
    size_t slot;
    TraceBuffer* tb = trace_channel_buffer(channel, &slot);
    (void)client;
    if (tb && TraceBuffer_Write_(tb, value, len))
        TraceHostWake(slot);
}

/* What a waiter waits for, and the range it saw last. */
typedef struct trace_waiter_t {
    TraceBuffer* tb;
    size_t slot;
    size_t line;
    uint32_t resets; /* the slot's reset count when the wait began */
    size_t startLine, endLine;
} trace_waiter_t;

static int trace_waiter_ready(void* param)
{
    trace_waiter_t* waiter = (trace_waiter_t*)param;
    TraceBuffer_Info(waiter->tb, &waiter->startLine, &waiter->endLine, 0);
    return waiter->startLine >= waiter->line || waiter->endLine > waiter->line ||
           __atomic_load_n(&traceResetCounts[waiter->slot], __ATOMIC_ACQUIRE) != waiter->resets;
}

int TraceWait(TRCLIENT client, TRCHANNEL channel, size_t line, int msecs, size_t* startLine,
              size_t* endLine)
{
    trace_waiter_t waiter = {0};
    int err = err_not_found;
    (void)client;
    waiter.tb = trace_channel_buffer(channel, &waiter.slot);
    if (waiter.tb) {
        waiter.line = line;
        waiter.resets = __atomic_load_n(&traceResetCounts[waiter.slot], __ATOMIC_ACQUIRE);
        err = TraceHostWait(waiter.slot, trace_waiter_ready, &waiter, msecs);
        /* A timeout or a signal: answer the range as it is now. */
        if (err)
            (void)trace_waiter_ready(&waiter);
    }
    if (startLine)
        *startLine = waiter.startLine;
    if (endLine)
        *endLine = waiter.endLine;
    return err;
}

size_t TraceReadLines_(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer,
                       size_t maxChars, size_t* count, size_t* nextLine)
{
    size_t slot, lines = 0, next = line, bytes = 0;
    TraceBuffer* tb = trace_channel_buffer(channel, &slot);
    (void)client;
    if (tb)
        bytes = TraceBuffer_ReadLines(tb, line, buffer, maxChars, &lines, &next);
    if (count)
        *count = lines;
    if (nextLine)
        *nextLine = next;
    return bytes;
}

int TraceReadLines(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer,
                   size_t maxChars, size_t* count, size_t* nextLine)
{
    (void)TraceReadLines_(client, channel, line, buffer, maxChars, count, nextLine);
    return 0;
}

void TracePrint(TRCLIENT client, TRCHANNEL channel, const char* value)
{
    if (value)
        TracePrint_(client, channel, value, strlen(value));
}

/* The heap is exhausted: the text goes through the static scratch, cut so
 * that it still ends its line. */
static void trace_print_static(TRCLIENT client, TRCHANNEL channel, const char* format,
                               va_list args)
{
    spinner_lock(&traceStaticScratchLock);
    ss8formatvn(traceStaticScratch, trace_static_scratch_size, format, args);
    traceStaticScratch[trace_static_scratch_size - 2] = '\n';
    traceStaticScratch[trace_static_scratch_size - 1] = 0;
    TracePrint(client, channel, traceStaticScratch);
    spinner_unlock(&traceStaticScratchLock);
}

void TraceVprintf(TRCLIENT client, TRCHANNEL channel, const char* format, va_list args)
{
    char stackScratch[trace_stack_format_size];
    char* heapScratch;
    size_t len;
    va_list measureArgs;

    va_copy(measureArgs, args);
    len = ss8formatvn(stackScratch, sizeof stackScratch, format, measureArgs);
    va_end(measureArgs);
    if (len < sizeof stackScratch) {
        TracePrint(client, channel, stackScratch);
        return;
    }
    heapScratch = (char*)malloc_d(len + 1);
    if (!heapScratch) {
        trace_print_static(client, channel, format, args);
        return;
    }
    TRACE_ASSERT_AS(ss8formatv(heapScratch, format, args) == len,
                    "(ss8formatv(heapScratch,format,args)) == (len)");
    TracePrint(client, channel, heapScratch);
    free_d(heapScratch);
}
