// qpsysexecd.cpp - the root daemon's request checks, size caps and busy
// state (see qpsysexecd.h).
//
// A start request arrives as bytes from any local user. It is checked in
// this order, each check before anything depends on it: the size against
// the minimum and the 2 MiB cap, the caller's output room, argc against
// 1..1000, then every argument's terminator inside the data. Only then is
// one copy made (size + 1 bytes, so the folder is always terminated) with a
// vector of at most 1001 pointers into it.
//
// Busy state: the count changes atomically; the idle pin is set from the
// count under daemon_lock after each change, so a retain and a release that
// cross cannot leave the pin signalled while the count is above 0 (the last
// one to take the lock sees the final count). daemon_lock is a leaf: nothing
// else is locked under it, and the pin's handlers do not block.
#include "qpsysexecd.h"

#include "qperr.h"

#include <cstring>

int daemon_busy_count;
qpsync_pin_t daemon_idle;
uint64_t daemon_touch;
int daemon_exiting;
sync_t daemon_lock;

namespace {

int32_t read_i32_le(const void* data)
{
    const unsigned char* b = static_cast<const unsigned char*>(data);
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                static_cast<uint32_t>(b[2]) << 16 |
                                static_cast<uint32_t>(b[3]) << 24);
}

// The end of argc zero-terminated texts starting at text, or null when one
// of them has no zero before end.
const char* skip_args(const char* text, const char* end, int argc)
{
    for (int i = 0; i < argc; i++) {
        const void* zero = memchr(text, 0, static_cast<size_t>(end - text));
        if (!zero) {
            return nullptr;
        }
        text = static_cast<const char*>(zero) + 1;
    }
    return text;
}

size_t lower(size_t value, size_t cap)
{
    return value < cap ? value : cap;
}

} // namespace

extern "C" int qpsysexec_exec_parse(malloc_i* ma, const void* input, size_t input_size,
                                    size_t max_output_size, qpsysexec_exec_args_t* out)
{
    memset(out, 0, sizeof *out);
    if (!input || input_size < qpsysexec_exec_min_input_size ||
        input_size > qpsysexec_exec_max_input_size ||
        max_output_size < qpsysexec_exec_output_size) {
        return err_bad_parameter;
    }
    int32_t argc = read_i32_le(input);
    if (argc < 1 || argc > qpsysexec_exec_max_argc) {
        return err_bad_parameter;
    }
    const char* data = static_cast<const char*>(input);
    const char* end = data + input_size;
    const char* args = data + 4;
    if (!skip_args(args, end, argc)) {
        return err_bad_parameter;
    }

    size_t text_size = input_size - 4;
    char* text = static_cast<char*>(ma_alloc(ma, text_size + 1));
    char** argv = static_cast<char**>(ma_alloc(ma, (static_cast<size_t>(argc) + 1) * sizeof(char*)));
    if (!text || !argv) {
        return err_no_mem;
    }
    memcpy(text, args, text_size);
    text[text_size] = 0;
    char* cursor = text;
    for (int i = 0; i < argc; i++) {
        argv[i] = cursor;
        cursor += strlen(cursor) + 1;
    }
    argv[argc] = nullptr;
    out->argc = argc;
    out->argv = argv;
    out->folder = cursor;
    return 0;
}

extern "C" void qpsysexec_max_sizes(int code, size_t* max_input, size_t* max_output)
{
    switch (code) {
    case qpsysexec_code_exec:
        *max_input = lower(*max_input, qpsysexec_exec_max_input_size);
        *max_output = lower(*max_output, qpsysexec_exec_output_size);
        break;
    case qpsysexec_code_ping:
        *max_input = 0;
        *max_output = 0;
        break;
    default:
        *max_input = lower(*max_input, qpsysexec_other_max_input_size);
        *max_output = 0;
        break;
    }
}

// ---- busy state ------------------------------------------------------------------

extern "C" void daemon_state_init(void)
{
    daemon_busy_count = 0;
    pin_init(&daemon_idle);
    pin_signal(&daemon_idle);
    sync_init(&daemon_lock);
    daemon_touch = counter_msec();
    daemon_exiting = 0;
}

extern "C" void daemon_state_term(void)
{
    pin_term(&daemon_idle);
    sync_term(&daemon_lock);
}

// Sets the idle pin from the count and records the activity (a busy change
// is activity even while exiting).
static void daemon_busy_changed(void)
{
    sync_lock(&daemon_lock);
    if (daemon_is_busy()) {
        pin_reset(&daemon_idle);
    } else {
        pin_signal(&daemon_idle);
    }
    daemon_touch = counter_msec();
    sync_unlock(&daemon_lock);
}

extern "C" void daemon_busy_retain(void)
{
    sync_inc(&daemon_busy_count);
    daemon_busy_changed();
}

extern "C" void daemon_busy_release(void)
{
    int count = sync_dec(&daemon_busy_count);
    QP_ASSERT(count >= 0);
    daemon_busy_changed();
}

extern "C" int daemon_is_busy(void)
{
    return __atomic_load_n(&daemon_busy_count, __ATOMIC_ACQUIRE) > 0;
}

extern "C" int daemon_busy_touch(void)
{
    int err = 0;
    sync_lock(&daemon_lock);
    if (daemon_exiting) {
        err = err_not_found;
    } else {
        daemon_touch = counter_msec();
    }
    sync_unlock(&daemon_lock);
    return err;
}

extern "C" int daemon_idle_check(uint64_t now)
{
    sync_lock(&daemon_lock);
    if (!daemon_exiting && !daemon_is_busy() && daemon_touch + qpsysexec_idle_msec < now) {
        daemon_exiting = 1;
    }
    int exiting = daemon_exiting;
    sync_unlock(&daemon_lock);
    return exiting;
}
