/*
 * trreceive.c - the request decoder of the driver: one function code with
 * its input bytes and output room becomes one trace API call.
 *
 * Every input record is checked against inputSize before a byte of it is
 * read, and no handler writes past maxOutputSize. The driver passes one
 * buffer for input and output, so each handler takes all of its input
 * (fixed fields into locals, texts consumed by the API call) before the
 * first output byte is written. A failed input check is no error: the code
 * counts as handled and no output is produced. Input records are read with
 * byte copies, so their alignment does not matter; a wide text in the input
 * is used in place and must be 4-byte aligned, as the driver's buffers are.
 * No locks of its own. The wait request may sleep (TraceWait); the driver
 * calls TraceReceive in the caller's context without a lock, so it can.
 */
#include "traces.h"
#include "traceio.h"
#include "trplatform.h"

/* Every handler takes the whole request and returns its output size. */
#define TRACE_IO_ARGS                                                                              \
    TRCLIENT client, const void *input, size_t inputSize, void *output, size_t maxOutputSize

enum {
    trace_io_channel_size = 8,
    trace_io_read_params_size = 16,
    trace_io_info_results_size = 24,
    trace_io_short_version_size = 8
};

static uint64_t trace_io_u64(const void* input, size_t offset)
{
    uint64_t value;
    memcpy(&value, (const char*)input + offset, sizeof value);
    return value;
}

static TRCHANNEL trace_io_channel(const void* input)
{
    return (TRCHANNEL)(uintptr_t)trace_io_u64(input, 0);
}

static size_t trace_io_put_u64(void* output, size_t offset, uint64_t value)
{
    memcpy((char*)output + offset, &value, sizeof value);
    return offset + sizeof value;
}

static size_t trace_io_put_channel(void* output, TRCHANNEL channel)
{
    return trace_io_put_u64(output, 0, (uint64_t)(uintptr_t)channel);
}

static int trace_io_has_zero_unit(const void* text, size_t units)
{
    static const wchar_t zeroUnit = 0;
    size_t unit;
    for (unit = 0; unit < units; unit++) {
        if (!memcmp((const char*)text + unit * sizeof(wchar_t), &zeroUnit, sizeof zeroUnit))
            return 1;
    }
    return 0;
}

static size_t TraceIoGetVersion(TRACE_IO_ARGS)
{
    (void)client;
    (void)input;
    (void)inputSize;
    TRACEIOGETVERSIONRESULTS results;
    size_t outputSize;
    if (maxOutputSize < trace_io_short_version_size)
        return 0;
    outputSize = maxOutputSize < sizeof results ? trace_io_short_version_size : sizeof results;
    memset(&results, 0, sizeof results);
    results.version = TRACEVERSION;
    results.minCompatVersion = TRACESERVERMINCOMPATVERSION;
    results.timeStampLen = TRACETIMESTAMPLEN;
    results.exports = (uint64_t)(uintptr_t)traceExports_;
    memcpy(output, &results, outputSize);
    return outputSize;
}

static size_t TraceIoOpen(TRACE_IO_ARGS)
{
    if (!inputSize || !memchr(input, 0, inputSize) || maxOutputSize < trace_io_channel_size)
        return 0;
    return trace_io_put_channel(output, TraceOpen(client, (const char*)input));
}

static size_t TraceIoOpenW(TRACE_IO_ARGS)
{
    if (inputSize < sizeof(wchar_t) ||
        !trace_io_has_zero_unit(input, inputSize / sizeof(wchar_t)) ||
        maxOutputSize < trace_io_channel_size)
        return 0;
    return trace_io_put_channel(output, TraceOpenW(client, (const wchar_t*)input));
}

static size_t TraceIoDup(TRACE_IO_ARGS)
{
    if (inputSize < trace_io_channel_size || maxOutputSize < trace_io_channel_size)
        return 0;
    return trace_io_put_channel(output, TraceDup(client, trace_io_channel(input)));
}

static size_t TraceIoListW(TRACE_IO_ARGS)
{
    (void)input;
    (void)inputSize;
    return TraceListW(client, (wchar_t*)output, maxOutputSize / sizeof(wchar_t)) *
           sizeof(wchar_t);
}

static size_t TraceIoInfo(TRACE_IO_ARGS)
{
    size_t startLine, endLine, endLineLen, outputSize;
    if (inputSize < trace_io_channel_size || maxOutputSize < trace_io_info_results_size)
        return 0;
    TraceInfo(client, trace_io_channel(input), &startLine, &endLine, &endLineLen);
    outputSize = trace_io_put_u64(output, 0, startLine);
    outputSize = trace_io_put_u64(output, outputSize, endLine);
    return trace_io_put_u64(output, outputSize, endLineLen);
}

/* Takes a read record: 1 when the input holds one. */
static int trace_io_read_params(const void* input, size_t inputSize, TRCHANNEL* channel,
                                size_t* line)
{
    if (inputSize < trace_io_read_params_size)
        return 0;
    *channel = trace_io_channel(input);
    *line = trace_io_u64(input, trace_io_channel_size);
    return 1;
}

static size_t TraceIoReadW(TRACE_IO_ARGS)
{
    TRCHANNEL channel;
    size_t line;
    if (!trace_io_read_params(input, inputSize, &channel, &line))
        return 0;
    return TraceReadW(client, channel, line, (wchar_t*)output, maxOutputSize / sizeof(wchar_t)) *
           sizeof(wchar_t);
}

static size_t TraceIoRead(TRACE_IO_ARGS)
{
    TRCHANNEL channel;
    size_t line;
    if (!trace_io_read_params(input, inputSize, &channel, &line))
        return 0;
    return TraceRead(client, channel, line, (char*)output, maxOutputSize);
}

/* The text of a print record, or null when the input is shorter than its
 * channel field. */
static const char* trace_io_print_text(const void* input, size_t inputSize)
{
    return inputSize < trace_io_channel_size ? 0 : (const char*)input + trace_io_channel_size;
}

static size_t TraceIoPrint(TRACE_IO_ARGS)
{
    (void)output;
    (void)maxOutputSize;
    const char* text = trace_io_print_text(input, inputSize);
    const char* end = text ? trace_memchr(text, 0, inputSize - trace_io_channel_size) : 0;
    if (end)
        TracePrint_(client, trace_io_channel(input), text, (size_t)(end - text));
    return 0;
}

static size_t TraceIoPrintW(TRACE_IO_ARGS)
{
    (void)output;
    (void)maxOutputSize;
    const char* text = trace_io_print_text(input, inputSize);
    if (text &&
        trace_io_has_zero_unit(text, (inputSize - trace_io_channel_size) / sizeof(wchar_t)))
        TracePrintW(client, trace_io_channel(input), (const wchar_t*)text);
    return 0;
}

static size_t TraceIoReset(TRACE_IO_ARGS)
{
    (void)output;
    (void)maxOutputSize;
    if (inputSize >= trace_io_channel_size)
        TraceReset(client, trace_io_channel(input));
    return 0;
}

static size_t TraceIoList(TRACE_IO_ARGS)
{
    (void)input;
    (void)inputSize;
    return TraceList(client, (char*)output, maxOutputSize);
}

static size_t TraceIoWait(TRACE_IO_ARGS)
{
    TRACEIOWAITPARAMS params;
    TRACEIOWAITRESULTS results;
    size_t startLine, endLine;
    int msecs;
    if (inputSize < sizeof params || maxOutputSize < sizeof results)
        return 0;
    memcpy(&params, input, sizeof params);
    /* Out of int's range, above or below, is no timeout. */
    msecs = params.msecs < 0 || params.msecs > 0x7fffffff ? -1 : (int)params.msecs;
    memset(&results, 0, sizeof results);
    results.result = TraceWait(client, (TRCHANNEL)(uintptr_t)params.channel, params.line, msecs,
                               &startLine, &endLine);
    results.startLine = startLine;
    results.endLine = endLine;
    memcpy(output, &results, sizeof results);
    return sizeof results;
}

static size_t TraceIoReadLines(TRACE_IO_ARGS)
{
    TRACEIOREADLINESRESULTS header;
    TRCHANNEL channel;
    size_t line, count, nextLine, room, bytes;
    if (!trace_io_read_params(input, inputSize, &channel, &line) || maxOutputSize < sizeof header)
        return 0;
    room = maxOutputSize - sizeof header;
    if (room > TRACEIO_MAX_BATCH - sizeof header)
        room = TRACEIO_MAX_BATCH - sizeof header;
    bytes = TraceReadLines_(client, channel, line, (char*)output + sizeof header, room, &count,
                            &nextLine);
    header.count = count;
    header.nextLine = nextLine;
    memcpy(output, &header, sizeof header);
    return sizeof header + bytes;
}

static size_t TraceIoCrash(TRACE_IO_ARGS)
{
    (void)input;
    (void)inputSize;
    (void)output;
    (void)maxOutputSize;
    TraceCrash(client);
    return 0;
}

/* Close and default need nothing: channels are never closed, and the
 * default channel is the client's own notion. */
static size_t TraceIoNothing(TRACE_IO_ARGS)
{
    (void)client;
    (void)input;
    (void)inputSize;
    (void)output;
    (void)maxOutputSize;
    return 0;
}

typedef size_t (*trace_io_handler_t)(TRACE_IO_ARGS);

static const trace_io_handler_t trace_io_handlers[] = {
    [TRACEIOGETVERSION] = TraceIoGetVersion,
    [TRACEIOOPEN] = TraceIoOpen,
    [TRACEIOOPENW] = TraceIoOpenW,
    [TRACEIODUP] = TraceIoDup,
    [TRACEIOCLOSE] = TraceIoNothing,
    [TRACEIOLISTW] = TraceIoListW,
    [TRACEIOINFO] = TraceIoInfo,
    [TRACEIOREADW] = TraceIoReadW,
    [TRACEIOPRINT] = TraceIoPrint,
    [TRACEIOPRINTW] = TraceIoPrintW,
    [TRACEIODEFAULT] = TraceIoNothing,
    [TRACEIORESET] = TraceIoReset,
    [TRACEIOLIST] = TraceIoList,
    [TRACEIOREAD] = TraceIoRead,
    [TRACEIOWAIT] = TraceIoWait,
    [TRACEIOREADLINES] = TraceIoReadLines,
};

static trace_io_handler_t trace_io_handler(int function)
{
    if (function == TRACEIOCRASH)
        return TraceIoCrash;
    if (function < 0 ||
        (size_t)function >= sizeof trace_io_handlers / sizeof trace_io_handlers[0])
        return 0;
    return trace_io_handlers[function];
}

int TraceReceive(TRCLIENT client, int function, const void* input, size_t inputSize,
                 void* output, size_t maxOutputSize, size_t* outOutputSize)
{
    trace_io_handler_t handler = trace_io_handler(function);
    size_t outputSize = handler ? handler(client, input, inputSize, output, maxOutputSize) : 0;
    if (outOutputSize)
        *outOutputSize = outputSize;
    return handler != 0;
}
