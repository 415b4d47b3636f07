// qpsysexecdnix.cpp - the execution service's root daemon, its proxy and
// the start command (Linux).
//
// The daemon listens on the IPC socket (open to every local user) and serves
// each accepted connection with its own serialized remote connection; a
// connection carries touches (code 2) and start requests (code 3). A start
// request is checked (qpsysexecd.cpp), its program resolved and checked
// against the approval store, which replaces the path by its stored
// spelling: only that stored path is started. The process gets exactly the
// three descriptors of the request and the daemon's clean environment, and
// runs as root in a session of its own.
//
// Each started process has a monitor: the daemon end of an exit-status
// socket pair, a watch read of one byte on it (the caller closing its end or
// writing anything ends the watch) and a wait thread that sends the 4-byte
// exit code. References: one for qpsysexec_exec while it runs, one for the
// watch read, one for the wait thread; the last one closes the daemon end,
// releases the process object (the process keeps running) and releases the
// daemon's busy count that the monitor holds.
//
// Threads: requests run on the remote protocol's completion threads,
// several connections in parallel; monitors on their wait threads and the
// I/O workers; the daemon's main thread runs the idle loop and the sweep of
// connections left open too long. Locks, both leaves: the busy state's
// daemon_lock (qpsysexecd.cpp) and clients_lock over the list of served
// connections; monitors and clients have atomic reference counts.
//
// The start command is the everyday client: three one-way pipes for the
// process's standard streams, a service-kind process object that reaches the
// daemon, and three console pumps relaying the terminal both ways.
#include "qpsysexecd.h"

#include "qperr.h"
#include "qppolymain8.h"
#include "qpremote.h"
#include "qpsocket.h"
#include "qpsys.h"
#include "qpsysexec.h"
#include "usertext.h"

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The connection flags of a served client: it sends requests with
// descriptors, this end answers with one.
const int service_remote_flags = remote_flag_receive | remote_flag_receive_fd |
                                 remote_flag_send_fd | remote_flag_serialize | remote_flag_server;

// The start error of a working folder the system process cannot use.
const int err_bad_working_folder = 267;

// How long a served connection may stay open (see service_client_t).
const uint64_t service_client_lifetime_msec = 30000;

// How many connections one user (root aside) may hold open at once: silent
// connections of one user must not take every descriptor the daemon has.
const int service_clients_per_user_max = 256;

// After the process's output ended, how long start still waits for its end.
const int start_exit_grace_msec = 200;

pin_i* stop_pin()
{
    return procsig_pin(FILE_SIGNAL_STOP);
}

UTDEF(ut_not_root, "qpsysexec_error_not_root", "ERROR: Must run as root.\n");
UTDEF(ut_already_running, "qpsysexec_error_already_running",
      "ERROR: %d qpsysexec daemon is already running.\n");
UTDEF(ut_cannot_listen, "qpsysexec_error_cannot_listen", "ERROR: %d Cannot listen on IPC socket.\n");
UTDEF(ut_start_failed, "qpsysexec_error_start", "ERROR: %d Unable to start executable %s .\n");
UTDEF(ut_bad_working_folder, "qpsysexec_note_working_folder",
      "NOTE: Working folder may be invalid in system process.\n");
UTDEF(ut_exit_code, "qpsysexec_exit_code", "EXIT_CODE %d\n");
// Shared with the approval commands (qpsysexec.cpp).
const char ut_unknown_switch[] = "qpsysexec_warning_unknown_switch";
const char ut_no_executable[] = "qpsysexec_error_no_executable";

UTDEF(ut_start_short, "start_short_help", "Start approved executable.\n");
UTDEF(ut_start_long, "start_long_help", "syntax: %(command_name) %1 <executable> [<arg> ...]\n");
UTDEF(ut_daemon_short, "daemon_short_help", "Internal use.\n");
UTDEF(ut_daemon_long, "daemon_long_help", "Internal use.\n");
UTDEF(ut_proxy_short, "proxy_short_help", "Internal use.\n");
UTDEF(ut_proxy_long, "proxy_long_help", "Internal use.\n");

void put_i32_le(uint8_t* out, int32_t value)
{
    uint32_t u = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; i++) {
        out[i] = static_cast<uint8_t>(u >> (8 * i));
    }
}

// ---- monitor ------------------------------------------------------------------

struct exec_monitor_t {
    pin_t cancel_pin; // signalled when watching must stop
    int fd;           // daemon end of the exit-status socket pair
    int ref_count;
    f8_exec_i* exec;
    uint8_t buf[1]; // the watch read
};

exec_monitor_t* exec_monitor_new()
{
    exec_monitor_t* m = static_cast<exec_monitor_t*>(malloc_d(sizeof(exec_monitor_t)));
    if (!m) {
        return nullptr;
    }
    pin_init(&m->cancel_pin);
    m->fd = -1;
    m->ref_count = 1;
    m->exec = nullptr;
    daemon_busy_retain();
    return m;
}

void exec_monitor_release(exec_monitor_t* m)
{
    if (sync_dec(&m->ref_count)) {
        return;
    }
    fd_close(m->fd);
    if (m->exec) {
        (*m->exec)->release(m->exec);
    }
    pin_term(&m->cancel_pin);
    free_d(m);
    daemon_busy_release();
}

// The watch read ended: the caller closed its end, wrote a byte, or the
// watch was cancelled. Either way watching stops.
void exec_monitor_watch_complete(void* param, int, size_t)
{
    exec_monitor_t* m = static_cast<exec_monitor_t*>(param);
    pin_signal(&m->cancel_pin);
    exec_monitor_release(m);
}

void exec_monitor_wait_thread_main(void* param)
{
    exec_monitor_t* m = static_cast<exec_monitor_t*>(param);
    pin_buf_x_t cancel;
    pin_buf_x_init_(&cancel, &m->cancel_pin.vtbl, stop_pin(), nullptr, nullptr, nullptr);
    if ((*m->exec)->wait(m->exec, pin_buf_x_output(&cancel), -1)) {
        uint8_t code[4];
        size_t sent = 0;
        put_i32_le(code, (*m->exec)->get_exit_code(m->exec));
        // A caller that went away cannot be told; that is not an error.
        (void)fd_send(m->fd, 0, pin_buf_x_output(&cancel), -1, code, sizeof code, &sent);
    }
    pin_buf_x_term_(&cancel);
    // The exit code is out (or nobody waits for it): end the watch read so
    // that the last reference closes the daemon end.
    pin_signal(&m->cancel_pin);
    exec_monitor_release(m);
}

// Owns the three descriptors of a request until they are handed on.
struct request_fds {
    int fd[3];
    ~request_fds()
    {
        for (int f : fd) {
            fd_close(f);
        }
    }
};

// Resolves the program and the folder of a checked request; the program
// must be approved and is replaced by its stored spelling.
int qpsysexec_exec_resolve(malloc_i* ma, qpsysexec_exec_args_t* args)
{
    if (!args->argv[0][0] || !args->folder[0]) {
        return err_bad_parameter;
    }
    char* program = f8_search(ma, fsf_exec, env_get_exec_folder(), nullptr, args->argv[0], nullptr);
    if (!program) {
        return err_not_found;
    }
    args->argv[0] = program;
    char* folder = f8_path_complete(ma, "/", args->folder);
    if (!folder || !folder[0]) {
        return folder ? err_bad_parameter : err_no_mem;
    }
    args->folder = folder;
    return qpsysexec_check_command(ma, args->argv);
}

// Starts the approved program with the monitor's process object.
int exec_monitor_start(exec_monitor_t* m, const qpsysexec_exec_args_t* args, request_fds* fds)
{
    int err = f8_exec_factory(&m->exec);
    if (err) {
        return err;
    }
    f8_exec_i* e = m->exec;
    (*e)->set_detached(e);
    (*e)->set_input(e, fds->fd[0]);
    (*e)->set_output(e, fds->fd[1]);
    (*e)->set_error(e, fds->fd[2]);
    (*e)->set_current_folder(e, args->folder);
    return (*e)->start(e, args->argv);
}

} // namespace

extern "C" int qpsysexec_exec(const void* input, size_t input_size, int stdin_fd, int stdout_fd,
                              int stderr_fd, void* output, size_t max_output_size,
                              size_t* out_output_size, int* out_exit_fd)
{
    request_fds fds{{stdin_fd, stdout_fd, stderr_fd}};
    qp_scratch_pool pool;
    qpsysexec_exec_args_t args;
    *out_output_size = 0;
    *out_exit_fd = -1;

    int err = qpsysexec_exec_parse(pool.ma(), input, input_size, max_output_size, &args);
    if (!err) {
        err = qpsysexec_exec_resolve(pool.ma(), &args);
    }
    if (err) {
        return err;
    }

    exec_monitor_t* m = exec_monitor_new();
    if (!m) {
        return err_no_mem;
    }
    int exit_fd = -1;
    err = file_create_socket(&m->fd, &exit_fd);
    if (!err) {
        sync_inc(&m->ref_count);
        fd_recv_async(m->fd, 0, &m->cancel_pin.vtbl, -1, exec_monitor_watch_complete, m, m->buf, 1,
                      1);
        err = exec_monitor_start(m, &args, &fds);
    }
    if (!err) {
        sync_inc(&m->ref_count);
        if (!thread_start_fast(exec_monitor_wait_thread_main, m)) {
            exec_monitor_release(m);
            err = err_no_mem;
        }
    }
    if (!err) {
        put_i32_le(static_cast<uint8_t*>(output), (*m->exec)->get_pid(m->exec));
        *out_output_size = qpsysexec_exec_output_size;
        *out_exit_fd = exit_fd;
    } else {
        pin_signal(&m->cancel_pin);
        fd_close(exit_fd);
    }
    exec_monitor_release(m);
    return err;
}

// ---- served connections ----------------------------------------------------------

namespace {

// One accepted IPC connection. References: the remote connection's (through
// its receive interface), the accepting call's and, for a moment, the
// sweep's; the last one releases the connection, which may end before the
// accepting call has stored it.
//
// Clients send one touch or one start request and hang up, so a connection
// still open after service_client_lifetime_msec is a silent one, whose
// pending read or descriptor transfer would otherwise hold the daemon's
// resources for as long as the client likes: the idle loop's sweep cancels
// it. One user (root aside) holds at most service_clients_per_user_max
// connections, so that the sweep's pace cannot be outrun into the
// descriptor limit while others wait. Live clients are linked in one list under clients_lock (a leaf lock);
// a client leaves the list with its last reference.
struct service_client_t {
    remote_receive_i vtbl;
    remote_i* remote; // set once the connection exists
    int ref_count;
    uint64_t accepted_msec;
    uid_t uid;  // the connecting user
    bool swept; // cancelled by the sweep; guarded by clients_lock
    service_client_t* prev;
    service_client_t* next;
};

sync_t clients_lock;
service_client_t* clients_first;

void service_client_unref(service_client_t* c)
{
    if (sync_dec(&c->ref_count)) {
        return;
    }
    sync_lock(&clients_lock);
    if (c->prev) {
        c->prev->next = c->next;
    } else if (clients_first == c) {
        clients_first = c->next;
    }
    if (c->next) {
        c->next->prev = c->prev;
    }
    sync_unlock(&clients_lock);
    if (c->remote) {
        (*c->remote)->release(c->remote);
    }
    free_d(c);
}

// A reference to a listed client whose count has not reached 0 yet.
bool service_client_try_ref(service_client_t* c)
{
    for (;;) {
        int count = __atomic_load_n(&c->ref_count, __ATOMIC_ACQUIRE);
        if (count == 0) {
            return false;
        }
        if (sync_xchg(&c->ref_count, count, count + 1)) {
            return true;
        }
    }
}

// Cancels the connections open for longer than their lifetime, at most a
// batch per call (the idle loop calls it every few seconds).
void service_clients_sweep(uint64_t now)
{
    enum { batch = 64 };
    service_client_t* expired[batch];
    int count = 0;
    sync_lock(&clients_lock);
    for (service_client_t* c = clients_first; c && count < batch; c = c->next) {
        if (!c->swept && now - c->accepted_msec > service_client_lifetime_msec &&
            service_client_try_ref(c)) {
            c->swept = true;
            expired[count++] = c;
        }
    }
    sync_unlock(&clients_lock);
    for (int i = 0; i < count; i++) {
        (*expired[i]->remote)->cancel(expired[i]->remote);
        service_client_unref(expired[i]);
    }
}

void max_sizes(remote_receive_i*, int code, size_t* max_input, size_t* max_output)
{
    qpsysexec_max_sizes(code, max_input, max_output);
}

void cancel_nothing(remote_receive_i*, int) {}

// Serves one start request: the three descriptors are taken from the
// request; descriptors in other slots are closed unread.
int dispatch_start(remote_req_i* req, uint8_t* output, size_t* output_size)
{
    int fds[3];
    for (int i = 0; i < remote_max_fd_count; i++) {
        int fd = (*req)->input_fd(req, i);
        if (i < 3) {
            fds[i] = fd;
        } else {
            fd_close(fd);
        }
    }
    int err = daemon_busy_touch();
    if (err) {
        for (int fd : fds) {
            fd_close(fd);
        }
        return err;
    }
    int exit_fd = -1;
    err = qpsysexec_exec((*req)->input(req), (*req)->input_size(req), fds[0], fds[1], fds[2],
                         output, (*req)->max_output_size(req), output_size, &exit_fd);
    if (!err) {
        (*req)->output_fd(req, 0, &exit_fd);
    }
    return err;
}

void remote_receive_dispatch(remote_receive_i*, remote_req_i* req)
{
    uint8_t output[qpsysexec_exec_output_size];
    size_t output_size = 0;
    int err;
    switch ((*req)->code(req)) {
    case qpsysexec_code_ping:
        err = daemon_busy_touch();
        break;
    case qpsysexec_code_exec:
        err = dispatch_start(req, output, &output_size);
        break;
    default:
        err = err_not_implemented;
        break;
    }
    (*req)->complete(req, err, 0, output, output_size);
}

void service_client_release(remote_receive_i* rcv)
{
    service_client_unref(reinterpret_cast<service_client_t*>(rcv));
}

const remote_receive_i_vtbl_t service_client_vtbl = {
    service_client_release,
    cancel_nothing,
    max_sizes,
    remote_receive_dispatch,
};

void socket_connect_retain(socket_connect_i*) {}
void socket_connect_release(socket_connect_i*) {}

// Whether the user may open one more connection. Connections are listed by
// the listen thread alone, so the count cannot grow before this one is.
bool service_client_admitted(uid_t uid)
{
    if (uid == 0) {
        return true;
    }
    int count = 0;
    sync_lock(&clients_lock);
    for (service_client_t* c = clients_first; c; c = c->next) {
        count += c->uid == uid;
    }
    sync_unlock(&clients_lock);
    return count < service_clients_per_user_max;
}

// Runs on the listen thread for every accepted connection.
void socket_connect(socket_connect_i*, pin_i*, const char*, const char*, int* in_out_fd)
{
    struct ucred peer;
    socklen_t peer_size = sizeof peer;
    if (getsockopt(*in_out_fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) != 0 ||
        !service_client_admitted(peer.uid)) {
        return; // the listener closes the descriptor
    }
    service_client_t* c = static_cast<service_client_t*>(malloc_d(sizeof(service_client_t)));
    if (!c) {
        return;
    }
    c->vtbl = &service_client_vtbl;
    c->remote = nullptr;
    c->ref_count = 2;
    c->accepted_msec = counter_msec();
    c->uid = peer.uid;
    c->swept = false;
    c->prev = c->next = nullptr;
    remote_i* rm = nullptr;
    remote_receive_i* rcv = &c->vtbl;
    if (remote_factory_d(&rm, stop_pin(), service_remote_flags, in_out_fd, nullptr, &rcv)) {
        // The factory released the receive interface (one reference).
        service_client_unref(c);
        return;
    }
    // Listed only with its connection, so that the sweep finds it set.
    sync_lock(&clients_lock);
    c->remote = rm;
    c->next = clients_first;
    if (clients_first) {
        clients_first->prev = c;
    }
    clients_first = c;
    sync_unlock(&clients_lock);
    service_client_unref(c);
}

const socket_connect_i_vtbl_t socket_connect_vtbl = {
    socket_connect_retain,
    socket_connect_release,
    socket_connect,
};
socket_connect_i request_connect = &socket_connect_vtbl;

} // namespace

// ---- daemon ---------------------------------------------------------------------------

extern "C" int daemon_main(int argc, char** argv)
{
    qpsysexec_scan_args(argc, argv, 0);
    if (geteuid() != 0) {
        qpsysexec_printf(ut_not_root.tid);
        return err_access_denied;
    }
    daemon_state_init();
    sync_init(&clients_lock);

    procsig_listen_i* signals = nullptr;
    int err = procsig_listen_factory(&signals, QPSYSEXEC_SIGNAL_SOCKET_NAME);
    if (err) {
        qpsysexec_printf(ut_already_running.tid, err);
        return err;
    }
    socket_listen_i* request_listen = nullptr;
    err = domain_socket_listen_factory(&request_listen, &request_connect,
                                       domain_socket_access_world, qpsysexec_ipc_socket_name);
    if (err) {
        qpsysexec_printf(ut_cannot_listen.tid, err);
    } else {
        daemon_busy_touch();
        while (!pin_wait(stop_pin(), nullptr, qpsysexec_idle_msec) &&
               !daemon_idle_check(counter_msec())) {
            service_clients_sweep(counter_msec());
        }
        (*request_listen)->cancel(request_listen);
        (*request_listen)->release(request_listen);
        // Connections still open (silent or half-open clients) end now
        // rather than at exit; watched processes are let go, not killed.
        pin_i_signal(stop_pin());
    }
    (*signals)->stop(signals);
    (*signals)->release(signals);
    return err;
}

// ---- proxy ------------------------------------------------------------------------------

namespace {

// The proxy's receiver: the daemon's, plus a pin for the connection's end.
struct proxy_t {
    remote_receive_i vtbl;
    pin_t stopped;
    remote_i* remote;
};

void proxy_release(remote_receive_i* rcv)
{
    pin_signal(&reinterpret_cast<proxy_t*>(rcv)->stopped);
}

const remote_receive_i_vtbl_t proxy_vtbl = {
    proxy_release,
    cancel_nothing,
    max_sizes,
    remote_receive_dispatch,
};

} // namespace

extern "C" int proxy_main(int argc, char** argv)
{
    if (argc < 2) {
        return err_bad_format;
    }
    daemon_state_init();
    proxy_approved_arg0 = argv + 2;

    proxy_t proxy;
    proxy.vtbl = &proxy_vtbl;
    proxy.remote = nullptr;
    pin_init(&proxy.stopped);
    int fd = -1;
    int err = domain_socket_open(&fd, argv[1]);
    if (!err) {
        remote_receive_i* rcv = &proxy.vtbl;
        err = remote_factory_d(&proxy.remote, stop_pin(), service_remote_flags | remote_flag_trusted,
                               &fd, nullptr, &rcv);
        // On failure the factory released the receiver: stopped is signalled.
        pin_wait(&proxy.stopped.vtbl, nullptr, -1);
        pin_wait(&daemon_idle.vtbl, stop_pin(), -1);
    }
    proxy_approved_arg0 = nullptr;
    if (proxy.remote) {
        (*proxy.remote)->release(proxy.remote);
    }
    if (fd >= 0) {
        fd_close(fd);
    }
    pin_term(&proxy.stopped);
    return err;
}

// ---- start ----------------------------------------------------------------------------------

namespace {

// A one-way pipe whose two ends are closed on every return path.
struct pipe_pair {
    int read_fd = -1;
    int write_fd = -1;
    ~pipe_pair()
    {
        fd_close(read_fd);
        fd_close(write_fd);
    }
    void close_read()
    {
        fd_close(read_fd);
        read_fd = -1;
    }
    void close_write()
    {
        fd_close(write_fd);
        write_fd = -1;
    }
};

struct pump_ref {
    tty_pump_i* pump = nullptr;
    ~pump_ref() { reset(); }
    pin_i* pin() { return pump ? (*pump)->pin(pump) : nullptr; }
    // Stops the pump and waits for its thread; its descriptors close.
    void reset()
    {
        if (pump) {
            (*pump)->cancel(pump);
            (*pump)->drain(pump);
            (*pump)->release(pump);
            pump = nullptr;
        }
    }
};

// Waits for the process to end while its output flows. When the console
// input ends first, the input pump is let go so that the process sees the
// end of its input. Returns whether the process ended.
bool start_wait(f8_exec_i* e, pump_ref* in, pump_ref* out)
{
    for (;;) {
        pin_buf_x_t any;
        pin_buf_x_init_(&any, out->pin(), in->pin(), nullptr, nullptr, nullptr);
        bool ended = (*e)->wait(e, pin_buf_x_output(&any), -1);
        pin_buf_x_term_(&any);
        if (ended) {
            return true;
        }
        if (in->pump && pin_i_poll(in->pin()) && !pin_i_poll(out->pin())) {
            in->reset();
            continue;
        }
        // The output ended: a little grace for the exit code to arrive.
        return (*e)->wait(e, stop_pin(), start_exit_grace_msec);
    }
}

} // namespace

extern "C" int start_main(int argc, char** argv)
{
    int first = 1;
    while (first < argc && argv[first][0] == '-' && argv[first][1] && !argv[first][2]) {
        qpsysexec_printf(ut_unknown_switch, argv[first]);
        first++;
    }
    if (first >= argc) {
        qpsysexec_printf(ut_no_executable);
        return err_bad_parameter;
    }
    const char* program = argv[first];

    pipe_pair in, out, err_pipe;
    f8_exec_i* e = nullptr;
    int err = file_create_pipe(&in.read_fd, &in.write_fd);
    if (!err) {
        err = file_create_pipe(&out.read_fd, &out.write_fd);
    }
    if (!err) {
        err = file_create_pipe(&err_pipe.read_fd, &err_pipe.write_fd);
    }
    if (!err) {
        err = f8_exec_system_factory(&e);
    }
    if (!err) {
        (*e)->set_current_folder(e, env_get_current_folder());
        (*e)->set_input(e, in.read_fd);
        (*e)->set_output(e, out.write_fd);
        (*e)->set_error(e, err_pipe.write_fd);
        err = (*e)->start(e, argv + first);
    }
    // The process (or nobody) holds the child ends now: the pumps must see
    // the end of the output once the process's copies close.
    in.close_read();
    out.close_write();
    err_pipe.close_write();
    if (err) {
        qpsysexec_printf(ut_start_failed.tid, err, program);
        if (err == err_bad_working_folder) {
            qpsysexec_printf(ut_bad_working_folder.tid);
        }
        if (e) {
            (*e)->release(e);
        }
        return err;
    }

    pump_ref pump_in, pump_out, pump_err;
    int pump_failed = tty_pump_factory(&pump_in.pump, stop_pin(), file_stdin, in.write_fd, 0);
    if (!pump_failed) {
        pump_failed = tty_pump_factory(&pump_out.pump, stop_pin(), out.read_fd, file_stdout, 0);
    }
    if (!pump_failed) {
        pump_failed = tty_pump_factory(&pump_err.pump, stop_pin(), err_pipe.read_fd, file_stderr, 0);
    }
    in.close_write();
    out.close_read();
    err_pipe.close_read();

    bool ended = !pump_failed && start_wait(e, &pump_in, &pump_out);
    bool stopped = pin_i_poll(stop_pin());
    int exit_code = ended ? (*e)->get_exit_code(e) : 0;
    (*e)->release(e);
    if (ended) {
        // Output written just before the end may still be in the pipes:
        // let the output pumps reach its end before they are stopped.
        pin_wait(pump_out.pin(), stop_pin(), start_exit_grace_msec);
        pin_wait(pump_err.pin(), stop_pin(), start_exit_grace_msec);
    }
    pump_in.reset();
    pump_out.reset();
    pump_err.reset();
    if (ended) {
        qpsysexec_printf(ut_exit_code.tid, exit_code);
    }
    if (pump_failed) {
        return pump_failed;
    }
    return !ended && stopped ? err_cancelled : 0;
}

// ---- commands ------------------------------------------------------------------------------

static declare_main8_c decl_start(nullptr, "start", start_main, nullptr, nullptr);
static declare_main8_c decl_daemon(nullptr, "daemon", daemon_main, nullptr, nullptr);
static declare_main8_c decl_proxy(nullptr, "proxy", proxy_main, nullptr, nullptr);
