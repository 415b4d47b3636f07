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
 * No locks of its own.
 */
#include "traces.h"
#include "trplatform.h"

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
    return (TRCHANNEL)(intptr_t)trace_io_u64(input, 0);
}

static size_t trace_io_put_u64(void* output, size_t offset, uint64_t value)
{
    memcpy((char*)output + offset, &value, sizeof value);
    return offset + sizeof value;
}

static size_t trace_io_put_channel(void* output, TRCHANNEL channel)
{
    return trace_io_put_u64(output, 0, (uint64_t)(intptr_t)channel);
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

static size_t TraceIoGetVersion(void* output, size_t maxOutputSize)
{
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

static size_t TraceIoOpen(TRCLIENT client, const void* input, size_t inputSize, void* output,
                          size_t maxOutputSize)
{
    if (!inputSize || !memchr(input, 0, inputSize) || maxOutputSize < trace_io_channel_size)
        return 0;
    return trace_io_put_channel(output, TraceOpen(client, (const char*)input));
}

static size_t TraceIoOpenW(TRCLIENT client, const void* input, size_t inputSize, void* output,
                           size_t maxOutputSize)
{
    if (inputSize < sizeof(wchar_t) ||
        !trace_io_has_zero_unit(input, inputSize / sizeof(wchar_t)) ||
        maxOutputSize < trace_io_channel_size)
        return 0;
    return trace_io_put_channel(output, TraceOpenW(client, (const wchar_t*)input));
}

static size_t TraceIoDup(TRCLIENT client, const void* input, size_t inputSize, void* output,
                         size_t maxOutputSize)
{
    if (inputSize < trace_io_channel_size || maxOutputSize < trace_io_channel_size)
        return 0;
    return trace_io_put_channel(output, TraceDup(client, trace_io_channel(input)));
}

static size_t TraceIoListW(TRCLIENT client, void* output, size_t maxOutputSize)
{
    return TraceListW(client, (wchar_t*)output, maxOutputSize / sizeof(wchar_t)) *
           sizeof(wchar_t);
}

static size_t TraceIoInfo(TRCLIENT client, const void* input, size_t inputSize, void* output,
                          size_t maxOutputSize)
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

static size_t TraceIoReadW(TRCLIENT client, const void* input, size_t inputSize, void* output,
                           size_t maxOutputSize)
{
    TRCHANNEL channel;
    size_t line;
    if (!trace_io_read_params(input, inputSize, &channel, &line))
        return 0;
    return TraceReadW(client, channel, line, (wchar_t*)output, maxOutputSize / sizeof(wchar_t)) *
           sizeof(wchar_t);
}

static size_t TraceIoRead(TRCLIENT client, const void* input, size_t inputSize, void* output,
                          size_t maxOutputSize)
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

static void TraceIoPrint(TRCLIENT client, const void* input, size_t inputSize)
{
    const char* text = trace_io_print_text(input, inputSize);
    if (text && memchr(text, 0, inputSize - trace_io_channel_size))
        TracePrint(client, trace_io_channel(input), text);
}

static void TraceIoPrintW(TRCLIENT client, const void* input, size_t inputSize)
{
    const char* text = trace_io_print_text(input, inputSize);
    if (text &&
        trace_io_has_zero_unit(text, (inputSize - trace_io_channel_size) / sizeof(wchar_t)))
        TracePrintW(client, trace_io_channel(input), (const wchar_t*)text);
}

static void TraceIoReset(TRCLIENT client, const void* input, size_t inputSize)
{
    if (inputSize >= trace_io_channel_size)
        TraceReset(client, trace_io_channel(input));
}

int TraceReceive(TRCLIENT client, int function, const void* input, size_t inputSize,
                 void* output, size_t maxOutputSize, size_t* outOutputSize)
{
    size_t outputSize = 0;
    int known = 1;
    switch (function) {
    case TRACEIOGETVERSION:
        outputSize = TraceIoGetVersion(output, maxOutputSize);
        break;
    case TRACEIOOPEN:
        outputSize = TraceIoOpen(client, input, inputSize, output, maxOutputSize);
        break;
    case TRACEIOOPENW:
        outputSize = TraceIoOpenW(client, input, inputSize, output, maxOutputSize);
        break;
    case TRACEIODUP:
        outputSize = TraceIoDup(client, input, inputSize, output, maxOutputSize);
        break;
    case TRACEIOCLOSE:
    case TRACEIODEFAULT:
        break;
    case TRACEIOLISTW:
        outputSize = TraceIoListW(client, output, maxOutputSize);
        break;
    case TRACEIOINFO:
        outputSize = TraceIoInfo(client, input, inputSize, output, maxOutputSize);
        break;
    case TRACEIOREADW:
        outputSize = TraceIoReadW(client, input, inputSize, output, maxOutputSize);
        break;
    case TRACEIOPRINT:
        TraceIoPrint(client, input, inputSize);
        break;
    case TRACEIOPRINTW:
        TraceIoPrintW(client, input, inputSize);
        break;
    case TRACEIORESET:
        TraceIoReset(client, input, inputSize);
        break;
    case TRACEIOLIST:
        outputSize = TraceList(client, (char*)output, maxOutputSize);
        break;
    case TRACEIOREAD:
        outputSize = TraceIoRead(client, input, inputSize, output, maxOutputSize);
        break;
    case TRACEIOCRASH:
        TraceCrash(client);
        break;
    default:
        known = 0;
        break;
    }
    if (outOutputSize)
        *outOutputSize = outputSize;
    return known;
}
