// qpexec2.cpp - the service kind of process objects: the program is started
// as root by the execution service's daemon, which answers on its request
// socket under /tmp, and the exit code comes back over a descriptor the
// daemon hands out.
//
// Connect loop (at most qpsysexec_start_timeout_msecs, or until the process
// stop pin fires): open the request socket; when that works, send a ping as
// a one-shot request (so that an idle daemon does not stop meanwhile), close
// it and open the socket again, which is the connection kept for the start.
// When opening fails, start the daemon through the service program at most
// once every 200 ms, else pause 50 ms.
//
// Whatever answers on a name under /tmp may have been planted there by any
// local user, and the start request hands it the caller's standard
// descriptors. Every connection is therefore checked first: its peer must be
// root (SO_PEERCRED), else the start fails with 13 and nothing is sent.
// Answers are checked too: a start answer must be exactly four bytes with a
// non-zero process id and one descriptor, else 71 (bad format).
//
// After a successful start the object holds one internal reference for the
// pending four-byte read of the exit code; its completion records the code,
// marks the process as no longer ours to signal and signals exited. The read
// is cancelled by the object's `cancelled` pin when the last user goes.
#include "qpexecint.h"

#include "qperr.h"
#include "qpfile.h"
#include "qpremote.h"
#include "qpsocket.h"
#include "sstring.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

const char qpsysexec_service_exe_name[] = "/usr/local/bin/qpsysexec";
const char qpsysexec_ipc_socket_name[] = QP_REVERSE_DOMAIN_PREFIX ".qpsysexec.ipc-socket";

namespace {

enum {
    sysexec_start_interval_msecs = 200, // between two starts of the daemon
    sysexec_retry_pause_msecs = 50,
    sysexec_no_timeout = 0x7FFFFFFF,
};

pin_i* sysexec_stop_pin()
{
    return procsig_pin(FILE_SIGNAL_STOP);
}

// 0 when the peer of a connected socket is root, else 13 (or the error of
// the query).
int sysexec_check_peer(int fd)
{
    struct ucred cred;
    socklen_t size = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return errno;
    return size == sizeof(cred) && cred.uid == 0 ? 0 : err_access_denied;
}

// Opens the request socket and checks its peer; *out_fd is -1 on failure.
// *out_impostor tells a connection whose peer is not root.
int sysexec_open(int* out_fd, bool* out_impostor)
{
    QP_ASSERT(*out_fd == -1);
    int err = domain_socket_open(out_fd, qpsysexec_ipc_socket_name);
    *out_impostor = false;
    if (!err && (err = sysexec_check_peer(*out_fd)) != 0) {
        *out_impostor = err == err_access_denied;
        fd_close(*out_fd);
        *out_fd = -1;
    }
    return err;
}

int sysexec_remaining_msecs(uint64_t deadline)
{
    uint64_t now = counter_msec();
    return now < deadline ? static_cast<int>(deadline - now) : 0;
}

// The connect loop; the connection kept for the start request goes to
// *out_fd. A peer that is not root ends it at once with 13.
int sysexec_connect(int* out_fd)
{
    uint64_t deadline = counter_msec() + qpsysexec_start_timeout_msecs;
    uint64_t last_start = 0;
    bool started_daemon = false, impostor = false;
    *out_fd = -1;
    for (;;) {
        int fd = -1;
        int err = sysexec_open(&fd, &impostor);
        if (!err) {
            // The ping only keeps the daemon from stopping as idle; its
            // answer does not matter.
            remote_send_single(&fd, sysexec_stop_pin(), sysexec_remaining_msecs(deadline),
                               qpsysexec_code_ping, nullptr, 0, nullptr, nullptr, nullptr, 0,
                               nullptr, nullptr);
            fd = -1; // taken by the one-shot request
            err = sysexec_open(&fd, &impostor);
            if (!err) {
                *out_fd = fd;
                return 0;
            }
        }
        if (impostor)
            return err;
        if (!started_daemon || counter_msec() - last_start >= sysexec_start_interval_msecs) {
            int start_err = sysexec_start_qpsysexec(sysexec_stop_pin());
            started_daemon = true;
            last_start = counter_msec();
            if (start_err)
                return start_err;
        } else {
            int pause = sysexec_remaining_msecs(deadline);
            pin_wait(sysexec_stop_pin(), nullptr,
                     pause < sysexec_retry_pause_msecs ? pause : sysexec_retry_pause_msecs);
        }
        if (!sysexec_remaining_msecs(deadline) || pin_i_poll(sysexec_stop_pin()))
            return err == err_cancelled ? err_timeout : err;
    }
}

// The request record: argc, the resolved path and argv[1..], the folder.
int sysexec_build_input(exec_t* th, malloc_i* ma, const wchar_t* path, const wchar_t* const* argv,
                        void** out_input, size_t* out_size)
{
    size_t argc = 1, size = sizeof(uint32_t);
    char* path8 = ss8convwm(ma, path);
    char* folder8 = ss8convwm(ma, th->current_folder);
    char** args8 = ss8vconvwm(ma, argv);
    if (!path8 || !folder8 || !args8)
        return err_no_mem;
    size += ss8len(path8) + 1 + ss8len(folder8) + 1;
    for (char** arg = args8 + 1; *arg; arg++, argc++)
        size += ss8len(*arg) + 1;
    char* input = static_cast<char*>(ma_alloc(ma, size));
    if (!input)
        return err_no_mem;
    uint32_t argc_le = static_cast<uint32_t>(argc); // x86-64: native order is the wire's
    memcpy(input, &argc_le, sizeof(argc_le));
    char* at = input + sizeof(argc_le);
    args8[0] = path8;
    for (char** arg = args8; *arg; arg++) {
        size_t len = ss8len(*arg) + 1;
        memcpy(at, *arg, len);
        at += len;
    }
    memcpy(at, folder8, ss8len(folder8) + 1);
    *out_input = input;
    *out_size = size;
    return 0;
}

void sysexec_exit_code_read(void* param, int err, size_t size)
{
    exec_t* th = static_cast<exec_t*>(param);
    if (!err && size < sizeof(th->exit_code_))
        err = err_end_of_data;
    if (err)
        exec_record(th, err);
    else
        th->exit_code =
            static_cast<int>(th->exit_code_[0] | th->exit_code_[1] << 8 | th->exit_code_[2] << 16 |
                             static_cast<uint32_t>(th->exit_code_[3]) << 24);
    sync_lock(&th->pid_lock);
    th->reaped = true;
    sync_unlock(&th->pid_lock);
    pin_signal(&th->exited);
    exec_int_release(th);
}

// Sends the start request on the connection (taken); keeps the process id
// and the descriptor that will deliver the exit code.
int sysexec_proxy_start(exec_t* th, int* fd, const wchar_t* path, const wchar_t* const* argv)
{
    qp_scratch_pool pool;
    void* input;
    size_t input_size = 0, output_size = 0;
    qpsysexec_exec_output_t output;
    int input_fds[remote_max_fd_count], output_fds[remote_max_fd_count];
    int err = sysexec_build_input(th, pool.ma(), path, argv, &input, &input_size);
    if (err)
        return err;
    for (int& entry : input_fds)
        entry = -1;
    input_fds[0] = th->input_fd;
    input_fds[1] = th->output_fd;
    input_fds[2] = th->error_fd;
    err = remote_send_single(fd, sysexec_stop_pin(), sysexec_no_timeout, qpsysexec_code_exec, input,
                             input_size, input_fds, nullptr, &output, sizeof(output), &output_size,
                             output_fds);
    if (err)
        return err;
    QP_ASSERT(th->proxy_fd == -1);
    if (output_size != sizeof(output) || !output.pid || output_fds[0] == -1)
        err = err_bad_format;
    else
        std::swap(th->proxy_fd, output_fds[0]);
    for (int index = 0; index < remote_max_fd_count; index++)
        fd_close(output_fds[index]);
    if (!err)
        th->pid = static_cast<int>(output.pid);
    return err;
}

// Takes a reference for the read of the exit code and starts it; its
// completion may run at once, on this thread.
void sysexec_read_exit_code(exec_t* th)
{
    exec_int_retain(th);
    pin_reset(&th->exited);
    fd_recv_async(th->proxy_fd, 0, &th->cancelled.vtbl, sysexec_no_timeout, sysexec_exit_code_read,
                  th, th->exit_code_, sizeof(th->exit_code_), sizeof(th->exit_code_));
}

int sysexec_start(fw_exec_i* e, const wchar_t* const* argv)
{
    exec_t* th = exec_vcast(e);
    qp_scratch_pool pool;
    wchar_t *path, **args;
    int fd = -1;
    int refused = exec_begin_start(th, pool.ma(), argv, &path, &args);
    if (refused)
        return refused;
    if (!th->err)
        exec_record(th, sysexec_connect(&fd));
    if (!th->err)
        exec_record(th, sysexec_proxy_start(th, &fd, path, args));
    exec_close_std_slots(th);
    fd_close(fd);
    // From the start of the read on, its completion owns the outcome.
    int err = th->err;
    if (!err)
        sysexec_read_exit_code(th);
    return err;
}

// The service kind keeps no environment or credentials: the daemon's own
// apply.
void sysexec_set_envp(fw_exec_i*, const wchar_t* const*) {}
void sysexec_set_env(fw_exec_i*, const wchar_t*, const wchar_t*) {}
void sysexec_set_creds(fw_exec_i*, const wchar_t*, const wchar_t*) {}

const fw_exec_i_vtbl_t sysexec_vtbl = {
    exec_retain,
    exec_release,
    exec_set_no_console,
    exec_set_detached,
    sysexec_set_envp,
    sysexec_set_env,
    exec_set_current_folder,
    exec_set_input,
    exec_set_output,
    exec_set_error,
    sysexec_set_creds,
    sysexec_start,
    exec_get_pid,
    exec_terminate,
    exec_wait,
    exec_get_exit_code,
};

// A pipe whose other end is closed at once; the end kept is ours to close.
int sysexec_half_pipe(bool keep_read_end, int* out_fd)
{
    int ends[2];
    *out_fd = -1;
    if (pipe2(ends, O_CLOEXEC) != 0)
        return errno;
    *out_fd = ends[keep_read_end ? 0 : 1];
    close(ends[keep_read_end ? 1 : 0]);
    return 0;
}

} // namespace

int sysexec_start_qpsysexec(pin_i* cancel_pin)
{
    fw_exec_i* e;
    int input = -1, output = -1;
    int err = fw_exec_factory(&e);
    if (err)
        return err;
    if (!(err = sysexec_half_pipe(true, &input)) && !(err = sysexec_half_pipe(false, &output))) {
        (*e)->set_input(e, input);
        (*e)->set_output(e, output);
        (*e)->set_error(e, output);
        (*e)->set_current_folder(e, L"/");
        wchar_t exe[sizeof(qpsysexec_service_exe_name)];
        sswconv8n(exe, sizeof(exe) / sizeof(exe[0]), qpsysexec_service_exe_name, SS_UNBOUNDED);
        const wchar_t* argv[] = {exe, L"sysstart", nullptr};
        err = (*e)->start(e, argv);
        if (!err)
            (*e)->wait(e, cancel_pin, -1);
        else if (err == err_not_found)
            err = 0; // as a child that cannot execute it: nobody answers
    }
    if (input != -1)
        close(input);
    if (output != -1)
        close(output);
    (*e)->release(e);
    return err;
}

int fw_exec_system_factory(fw_exec_i** out)
{
    return exec_create(&sysexec_vtbl, out);
}

int f8_exec_system_factory(f8_exec_i** out)
{
    return f8_exec_wrap(fw_exec_system_factory, out);
}
