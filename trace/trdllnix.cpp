// trdllnix.cpp - the trace API of the client library libqptrace1.so: every
// call becomes one send request on /dev/qptrace (GenIoctlRequest, traceio.h)
// carrying the function code and the user addresses of its input record
// and output room (records in traces.h).
//
// The client handle is the descriptor of the open device as a pointer-sized
// integer; 0 means no client, which is why TraceAttach never hands out
// descriptor 0. Calls never report errors: a failed request reads as an
// empty answer (channel 0, empty text, zeros) because every answer record
// is zeroed before it is sent.
//
// State: only the library's export table (trexports.c), whose
// minCompatVersion and timeStampLen TraceAttach writes. No lock: each call
// is one independent ioctl on the shared descriptor, and prints and
// formatted prints of up to 291 text bytes build their record on the stack.
//
// The wide calls are trwide.c over these narrow ones. This unit uses no C++
// library, so that the library depends on the C libraries only.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "qperr.h"
#include "ssformat.h"
#include "sstring.h"
#include "traceio.h"
#include "traces.h"

// Test builds point the library at a stand-in node; shipped builds never
// take the path from anywhere else.
#ifndef QP_TRACE_DEVICE_PATH
#define QP_TRACE_DEVICE_PATH "/dev/qptrace"
#endif

extern "C" int TraceSend(TRCLIENT client, int function, const void* input, size_t inputSize,
                         void* output, size_t maxOutputSize, size_t* outOutputSize);

// The build tag of the whole system.
extern "C" const char factoryVersionString1[4] = "23X";

namespace {

enum : size_t {
    stackScratchSize = 300,
    channelBytes = sizeof(int64_t),
    // A text of up to 291 bytes and its terminator fill the stack record.
    maxStackValueChars = stackScratchSize - channelBytes
};

int trace_fd(TRCLIENT client)
{
    return int(intptr_t(client));
}

int trace_ioctl(int fd, unsigned long command, void* argument)
{
    int result;
    do {
        result = ioctl(fd, command, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

int64_t trace_channel_number(TRCHANNEL channel)
{
    return int64_t(intptr_t(channel));
}

// The forwarder through which the library formats (the format engine's
// bounded form).
size_t ssformatv(char* dest, size_t size, const char* format, va_list args)
{
    return ss8formatvn(dest, size, format, args);
}

void trace_send_channel(TRCLIENT client, int function, TRCHANNEL channel)
{
    TRACEIOCHANNELPARAMS params = {trace_channel_number(channel)};
    (void)TraceSend(client, function, &params, sizeof params, nullptr, 0, nullptr);
}

// The driver refuses output rooms above TRACEIO_MAX_REQUEST_SIZE (and cuts
// smaller ones to what the function can use), so a larger buffer is
// offered only in part: no list or line needs that much.
size_t trace_text_room(size_t maxChars)
{
    return maxChars < TRACEIO_MAX_REQUEST_SIZE ? maxChars : size_t(TRACEIO_MAX_REQUEST_SIZE);
}

// A text answer is kept only when the driver reported a terminated text
// inside the room; anything else leaves an empty string and reads as 0.
size_t trace_text_answer(char* buffer, size_t maxChars, int sent, size_t outputSize)
{
    if (sent && outputSize && outputSize <= maxChars && !buffer[outputSize - 1])
        return outputSize;
    buffer[0] = 0;
    return 0;
}

void trace_send_print(TRCLIENT client, TRACEIOPRINTPARAMS* params, size_t valueLen)
{
    (void)TraceSend(client, TRACEIOPRINT, params, channelBytes + valueLen + 1, nullptr, 0, nullptr);
}

// One send request: 0 once the driver carried it out, else the error of
// the ioctl (22 from a driver that lacks the function) or err_bad_fd
// without a client. *outOutputSize gets the output size, 0 on failure.
int trace_send(TRCLIENT client, int function, const void* input, size_t inputSize, void* output,
               size_t maxOutputSize, size_t* outOutputSize)
{
    GenIoctlRequest request = {};
    int fd = trace_fd(client);
    int err = err_bad_fd;
    request.code = function;
    request.error = -1;
    request.input = uintptr_t(input);
    request.inputSize = inputSize;
    request.output = uintptr_t(output);
    request.maxOutputSize = maxOutputSize;
    if (fd > 0)
        err = trace_ioctl(fd, TRACEIOCTL_SEND, &request) ? errno : request.error ? err_io : 0;
    if (outOutputSize)
        *outOutputSize = err ? 0 : size_t(request.outputSize);
    return err;
}

// Whether bytes hold exactly count terminated lines, back to back.
bool trace_lines_whole(const char* lines, size_t bytes, size_t count)
{
    if (!bytes)
        return !count;
    if (lines[bytes - 1])
        return false;
    // The last byte is 0, so every search finds one.
    size_t found = 0;
    for (size_t pos = 0; pos < bytes; found++)
        pos = size_t(static_cast<const char*>(memchr(lines + pos, 0, bytes - pos)) - lines) + 1;
    return found == count;
}

// An open descriptor of the device, never 0: a process whose standard input
// is closed gets 0 from the first open, keeps it open and takes a second.
int trace_open_device()
{
    int fd = open(QP_TRACE_DEVICE_PATH, O_RDWR | O_CLOEXEC);
    if (fd == 0)
        fd = open(QP_TRACE_DEVICE_PATH, O_RDONLY | O_CLOEXEC);
    return fd > 0 ? fd : 0;
}

} // namespace

extern "C" {

int TraceSend(TRCLIENT client, int function, const void* input, size_t inputSize, void* output,
              size_t maxOutputSize, size_t* outOutputSize)
{
    return trace_send(client, function, input, inputSize, output, maxOutputSize,
                      outOutputSize) == 0;
}

TRCLIENT TraceAttach(void)
{
    TRACEIOGETVERSIONRESULTS answer = {};
    int fd = trace_open_device();
    if (!fd)
        return nullptr;
    if (trace_ioctl(fd, TRACEIOCTL_VERSION, &answer) != 0 ||
        answer.version < TRACECLIENTMINCOMPATVERSION || answer.minCompatVersion > TRACEVERSION) {
        close(fd);
        return nullptr;
    }
    if (answer.minCompatVersion > traceexports1.minCompatVersion)
        traceexports1.minCompatVersion = answer.minCompatVersion;
    traceexports1.timeStampLen = answer.timeStampLen;
    return TRCLIENT(intptr_t(fd));
}

void TraceDetach(TRCLIENT client)
{
    if (trace_fd(client) > 0)
        close(trace_fd(client));
}

TRCHANNEL TraceOpen(TRCLIENT client, const char* name)
{
    TRACEIOOPENRESULTS opened = {};
    const char* sentName = name ? name : "";
    (void)TraceSend(client, TRACEIOOPEN, sentName, ss8len(sentName) + 1, &opened, sizeof opened,
                    nullptr);
    return TRCHANNEL(intptr_t(opened.channel));
}

TRCHANNEL TraceDup(TRCLIENT client, TRCHANNEL channel)
{
    TRACEIODUPPARAMS params = {trace_channel_number(channel)};
    TRACEIODUPRESULTS dup = {};
    (void)TraceSend(client, TRACEIODUP, &params, sizeof params, &dup, sizeof dup, nullptr);
    return TRCHANNEL(intptr_t(dup.channel));
}

void TraceClose(TRCLIENT client, TRCHANNEL channel)
{
    trace_send_channel(client, TRACEIOCLOSE, channel);
}

void TraceDefault(TRCLIENT client, TRCHANNEL channel)
{
    trace_send_channel(client, TRACEIODEFAULT, channel);
}

void TraceReset(TRCLIENT client, TRCHANNEL channel)
{
    trace_send_channel(client, TRACEIORESET, channel);
}

size_t TraceList(TRCLIENT client, char* buffer, size_t maxChars)
{
    size_t outputSize;
    int sent;
    if (!buffer || !maxChars)
        return 0;
    maxChars = trace_text_room(maxChars);
    sent = TraceSend(client, TRACEIOLIST, nullptr, 0, buffer, maxChars, &outputSize);
    return trace_text_answer(buffer, maxChars, sent, outputSize);
}

void TraceInfo(TRCLIENT client, TRCHANNEL channel, size_t* startLine, size_t* endLine,
               size_t* endLineLen)
{
    TRACEIOINFOPARAMS params = {trace_channel_number(channel)};
    TRACEIOINFORESULTS info = {};
    (void)TraceSend(client, TRACEIOINFO, &params, sizeof params, &info, sizeof info, nullptr);
    if (startLine)
        *startLine = info.startLine;
    if (endLine)
        *endLine = info.endLine;
    if (endLineLen)
        *endLineLen = info.endLineLen;
}

size_t TraceRead(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer, size_t maxChars)
{
    TRACEIOREADPARAMS params = {trace_channel_number(channel), line};
    size_t outputSize;
    int sent;
    if (!buffer || !maxChars)
        return 0;
    maxChars = trace_text_room(maxChars);
    sent = TraceSend(client, TRACEIOREAD, &params, sizeof params, buffer, maxChars, &outputSize);
    return trace_text_answer(buffer, maxChars, sent, outputSize);
}

void TracePrint(TRCLIENT client, TRCHANNEL channel, const char* value)
{
    alignas(int64_t) char stackScratch[stackScratchSize];
    TRACEIOPRINTPARAMS* params = reinterpret_cast<TRACEIOPRINTPARAMS*>(stackScratch);
    size_t valueLen, recordSize;
    if (!value)
        return;
    valueLen = ss8len(value);
    recordSize = channelBytes + valueLen + 1;
    if (recordSize > stackScratchSize) {
        params = static_cast<TRACEIOPRINTPARAMS*>(malloc_d(recordSize));
        if (!params)
            return;
    }
    params->channel = trace_channel_number(channel);
    memcpy(params->value, value, valueLen + 1);
    trace_send_print(client, params, valueLen);
    if (params != reinterpret_cast<TRACEIOPRINTPARAMS*>(stackScratch))
        free_d(params);
}

void TraceVprintf(TRCLIENT client, TRCHANNEL channel, const char* format, va_list args)
{
    alignas(int64_t) char stackScratch[stackScratchSize];
    TRACEIOPRINTPARAMS* params = reinterpret_cast<TRACEIOPRINTPARAMS*>(stackScratch);
    size_t valueLen;
    va_list args2;
    if (!format)
        return;
    va_copy(args2, args);
    valueLen = ssformatv(params->value, maxStackValueChars, format, args2);
    va_end(args2);
    if (channelBytes + valueLen + 1 > stackScratchSize) {
        params = static_cast<TRACEIOPRINTPARAMS*>(malloc_d(channelBytes + valueLen + 1));
        if (!params)
            return;
        va_copy(args2, args);
        QP_ASSERT((ssformatv(params->value,valueLen+1,format,args2)) == (valueLen));
        va_end(args2);
    }
    params->channel = trace_channel_number(channel);
    trace_send_print(client, params, valueLen);
    if (params != reinterpret_cast<TRACEIOPRINTPARAMS*>(stackScratch))
        free_d(params);
}

int TraceWait(TRCLIENT client, TRCHANNEL channel, size_t line, int msecs, size_t* startLine,
              size_t* endLine)
{
    TRACEIOWAITPARAMS params = {trace_channel_number(channel), line, msecs};
    TRACEIOWAITRESULTS results = {};
    size_t outputSize;
    int err = trace_send(client, TRACEIOWAIT, &params, sizeof params, &results, sizeof results,
                         &outputSize);
    if (!err)
        err = outputSize == sizeof results ? results.result : err_bad_format;
    if (err && err != err_timeout && err != err_interrupt)
        results = {};
    if (startLine)
        *startLine = results.startLine;
    if (endLine)
        *endLine = results.endLine;
    return err;
}

int TraceReadLines(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer,
                   size_t maxChars, size_t* count, size_t* nextLine)
{
    TRACEIOREADLINESPARAMS params = {trace_channel_number(channel), line};
    TRACEIOREADLINESRESULTS header = {0, line};
    // The answer's header comes first; a buffer too small for it gets the
    // header alone, into a scratch.
    char headerScratch[sizeof header];
    char* answer = buffer && maxChars >= sizeof header ? buffer : headerScratch;
    size_t room = answer == buffer ? trace_text_room(maxChars) : sizeof header;
    size_t outputSize, lineBytes = 0;
    int err = trace_send(client, TRACEIOREADLINES, &params, sizeof params, answer, room,
                         &outputSize);
    if (!err && (outputSize < sizeof header || outputSize > room))
        err = err_bad_format;
    if (!err) {
        memcpy(&header, answer, sizeof header);
        lineBytes = outputSize - sizeof header;
        if (!trace_lines_whole(answer + sizeof header, lineBytes, header.count))
            err = err_bad_format;
    }
    if (err) {
        header = {0, line};
        lineBytes = 0;
    }
    if (lineBytes)
        memmove(buffer, answer + sizeof header, lineBytes);
    else if (buffer && maxChars)
        buffer[0] = 0;
    if (count)
        *count = header.count;
    if (nextLine)
        *nextLine = header.nextLine;
    return err;
}

void TraceCrash(TRCLIENT client)
{
    (void)TraceSend(client, TRACEIOCRASH, nullptr, 0, nullptr, 0, nullptr);
}

} // extern "C"
