// trcmdout.cpp - the output of the trace command: one buffer in front of a
// descriptor for channel lines and messages alike.
//
// Channel lines are copied in as the driver returned them (they are data,
// not texts: no expansion, no line splitting); messages are user texts
// expanded with their arguments and printed through the buffer's sink. The
// buffer is written out when full and at each flush, so a busy channel
// costs one write per batch of lines and the order of lines and notes is
// kept. A failed write (a closed pipe) drops the rest of the output.
// Single-threaded; no lock.
#include "trcmd.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "sstring.h"

namespace {

trcmd_out_t* trcmd_out_of(UtOut* sink)
{
    return reinterpret_cast<trcmd_out_t*>(reinterpret_cast<char*>(sink) -
                                          offsetof(trcmd_out_t, sink));
}

void trcmd_out_write(trcmd_out_t* out, const char* bytes, size_t count)
{
    for (size_t done = 0; done < count && !out->failed;) {
        ssize_t n = write(out->fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            out->failed = 1;
        else
            done += size_t(n);
    }
}

void trcmd_out_sink_line(UtOut* sink, const char* text, int newline)
{
    trcmd_out_t* out = trcmd_out_of(sink);
    trcmd_out_bytes(out, text, strlen(text));
    if (newline)
        trcmd_out_bytes(out, "\n", 1);
}

} // namespace

void trcmd_out_init(trcmd_out_t* out, int fd)
{
    out->sink.line = trcmd_out_sink_line;
    out->fd = fd;
    out->failed = 0;
    out->len = 0;
}

void trcmd_out_flush(trcmd_out_t* out)
{
    trcmd_out_write(out, out->data, out->len);
    out->len = 0;
}

void trcmd_out_bytes(trcmd_out_t* out, const char* bytes, size_t count)
{
    if (out->len + count > sizeof out->data)
        trcmd_out_flush(out);
    if (count > sizeof out->data) {
        trcmd_out_write(out, bytes, count);
        return;
    }
    memcpy(out->data + out->len, bytes, count);
    out->len += count;
}

void trcmd_say(trcmd_out_t* out, const char* tid, int argc, const char* const* argv)
{
    qp_scratch_pool pool;
    const char* text = UtGetV(pool.ma(), tid, argc, argv);
    if (text)
        UtPrint(&out->sink, text);
}

void trcmd_say0(trcmd_out_t* out, const char* tid)
{
    trcmd_say(out, tid, 0, nullptr);
}

void trcmd_say1(trcmd_out_t* out, const char* tid, const char* arg)
{
    trcmd_say(out, tid, 1, &arg);
}

void trcmd_say2(trcmd_out_t* out, const char* tid, const char* arg0, const char* arg1)
{
    const char* args[2] = {arg0, arg1};
    trcmd_say(out, tid, 2, args);
}

const char* trcmd_number_text(char* buffer, size_t value)
{
    ss8fromint(buffer, 24, int64_t(value), 0, 0);
    return buffer;
}
