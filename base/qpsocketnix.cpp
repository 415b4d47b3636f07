// qpsocketnix.cpp - named local stream sockets on Linux: connecting, the
// listener that accepts on its own thread, and descriptor passing.
//
// Names: a relative socket name lives under /tmp; the path must be shorter
// than 108 characters (sun_path with its terminator).
//
// Accepting: 20 failures in a row end listening, except running out of
// descriptors or memory, which peers can cause by holding connections
// open: then the listener waits 100 ms and tries again.
//
// Listener (domain_socket_listen_t): one reference for the owner, one for
// the listen thread while it runs. Set-up is serialised between processes
// by the lock file "<path>.lock". The listener unlinks its path at the last
// release, but only while the path is still the socket it bound.
//
// /tmp is open to every local user, so set-up never follows a link planted
// at the path: the probe connects through a descriptor opened without
// following links, and owner and mode of the path are set without following
// them. A listener run by root also removes anything at its path that is not
// a root-owned socket served by root, instead of taking it for another
// listener of its own.
//
// Descriptor passing, version 1: one data byte 0 carrying one SCM_RIGHTS
// message with one descriptor, answered by one byte 0 from the receiver.
// Received descriptors are close-on-exec from the start (MSG_CMSG_CLOEXEC)
// and every descriptor of a malformed message is closed.
#include "qpsocket.h"

#include "qperr.h"
#include "qpsys.h"
#include "qpsysnix.hpp"
#include "sstring.h"
#include "ssformat.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using qpfd::last_error;
using qpfd::move_above_stdio;

namespace {

const int connect_wait_msecs = 2000;
const int listen_backlog = 5;
const int accept_failures_max = 20;
const int accept_resource_wait_msecs = 100;
const size_t socket_path_max = sizeof(((struct sockaddr_un*)nullptr)->sun_path); // 108

int socket_cloexec_refused;

// The path of a socket name; 22 for an empty name, 36 for 108 characters or
// more.
int socket_path_of(malloc_i* ma, const char* name, char** out_path)
{
    *out_path = nullptr;
    if (!name || !name[0])
        return err_bad_parameter;
    char* path = f8_path_complete(ma, "/tmp", name);
    if (!path)
        return err_no_mem;
    size_t len = strlen(path);
    if (!len)
        return err_bad_parameter;
    if (len >= socket_path_max)
        return err_bad_name;
    *out_path = path;
    return 0;
}

socklen_t address_of(const char* path, struct sockaddr_un* address)
{
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    size_t len = strlen(path);
    QP_ASSERT(len < socket_path_max);
    memcpy(address->sun_path, path, len);
    return static_cast<socklen_t>(len + 3);
}

// Accounts a descriptor handed out to the caller's source position.
void track_fd(int fd, const char* file, int line)
{
    debugheap_handlealloced(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), file, line);
}

// connect(2) on a non-blocking socket. EINTR repeats at once; a full
// backlog (EAGAIN) is retried in short steps within the connection limit.
int connect_now(int fd, const struct sockaddr_un* address, socklen_t address_len)
{
    uint64_t deadline = qpfd::deadline_of(connect_wait_msecs);
    pin_i* stop_pin = procsig_pin(FILE_SIGNAL_STOP);
    for (;;) {
        if (connect(fd, reinterpret_cast<const struct sockaddr*>(address), address_len) == 0)
            return 0;
        int err = errno;
        if (err == EINPROGRESS)
            return 0; // completes below
        if (err == EINTR)
            continue;
        if (err != EAGAIN)
            return err;
        if (counter_msec() >= deadline)
            return err_timeout;
        if (pin_wait(stop_pin, nullptr, 2))
            return err_cancelled;
    }
}

// The connect algorithm on a checked path (or a /proc/self/fd path).
int connect_path(const char* file, int line, int* out_fd, const char* path)
{
    struct sockaddr_un address;
    socklen_t address_len = address_of(path, &address);
    *out_fd = -1;
    file_ignore_sigpipe();
    int fd = domain_socket_new(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return last_error();
    fd = move_above_stdio(fd);
    if (fd < 0)
        return last_error();
    qpfd::unique_fd owned(fd);
    fd_set_non_blocking(fd);
    int err = connect_now(fd, &address, address_len);
    if (!err)
        err = fd_wait_ready(fd, procsig_pin(FILE_SIGNAL_STOP), connect_wait_msecs,
                            qp_io_direction_send);
    if (!err) {
        int so_error = 0;
        socklen_t len = sizeof(so_error);
        err = getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0 ? so_error : last_error();
    }
    if (err)
        return err;
    fd_set_blocking(fd);
    *out_fd = owned.release();
    track_fd(*out_fd, file, line);
    return 0;
}

// What sits at a listener's path: nothing, a socket that accepts, or anything else.
enum class path_state { free, live, other };

// Probes the path without following a link: a socket that accepts a
// connection is live; *out_peer_uid is the user serving it.
path_state probe_path(const char* path, struct stat* out_st, uid_t* out_peer_uid)
{
    int pfd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (pfd < 0)
        return errno == ENOENT ? path_state::free : path_state::other;
    qpfd::unique_fd path_fd(pfd);
    if (fstat(pfd, out_st) != 0 || !S_ISSOCK(out_st->st_mode))
        return path_state::other;
    char proc_path[40];
    snprintf(proc_path, sizeof(proc_path), "/proc/self/fd/%d", pfd);
    int fd;
    int err = connect_path(__FILE__, __LINE__, &fd, proc_path);
    if (err == ENOENT && access("/proc/self/fd", F_OK) != 0)
        err = connect_path(__FILE__, __LINE__, &fd, path); // no /proc: by name, just checked
    if (err)
        return path_state::other;
    struct ucred cred;
    socklen_t len = sizeof(cred);
    bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    fd_close(fd);
    *out_peer_uid = known ? cred.uid : static_cast<uid_t>(-1);
    return path_state::live;
}

// Step 5 of set-up: 17 when another listener of ours is alive at the path.
// Root takes a path over unless it is a root-owned socket served by root.
int clear_path(const char* path)
{
    struct stat st;
    uid_t peer_uid = static_cast<uid_t>(-1);
    path_state state = probe_path(path, &st, &peer_uid);
    if (geteuid() != 0)
        return state == path_state::live ? err_exists : 0;
    if (state == path_state::free)
        return 0;
    if (state == path_state::live && st.st_uid == 0 && peer_uid == 0)
        return err_exists;
    if (unlink(path) != 0 && errno != ENOENT)
        return last_error();
    return 0;
}

// Owner and mode of the bound path, set without following a link.
int set_path_owner_mode(const char* path, uid_t uid, gid_t gid, mode_t mode)
{
    if (fchownat(AT_FDCWD, path, uid, gid, AT_SYMLINK_NOFOLLOW) != 0)
        return last_error();
    if (fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    int err = last_error();
    struct stat st;
    // The C library needs /proc for this; without it, chmod what was just
    // checked to be no link.
    if ((err == EOPNOTSUPP || err == ENOSYS) && lstat(path, &st) == 0 && S_ISSOCK(st.st_mode))
        return chmod(path, mode) == 0 ? 0 : last_error();
    return err;
}

bool has_owner_mode(const struct stat& st, uid_t uid, gid_t gid, mode_t mode, bool* mode_ok)
{
    *mode_ok = (st.st_mode & 0777) == mode;
    return st.st_uid == uid && st.st_gid == gid;
}

// ---- the listener ---------------------------------------------------------------

struct domain_socket_listen_t {
    socket_listen_i vtbl;
    qp_mp_t mp;
    pin_t cancel_pin;
    int ref_count;
    int fd;
    char* name;       // path to unlink at the end; empty when not created here
    wchar_t* address; // the path as wide text
    socket_connect_i* socket_connect;
    dev_t bound_dev; // the bound path's identity, checked before unlinking
    ino_t bound_ino;
    const char* file; // the factory caller's position, for accepted descriptors
    int line;
};

domain_socket_listen_t* listen_vcast(socket_listen_i* sl)
{
    return reinterpret_cast<domain_socket_listen_t*>(sl);
}

// Unlinks the path when it still is the socket this listener bound.
void unlink_own_path(domain_socket_listen_t* l)
{
    struct stat st;
    if (l->name && l->name[0] && lstat(l->name, &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_dev == l->bound_dev && st.st_ino == l->bound_ino)
        unlink(l->name);
}

void listen_release(socket_listen_i* sl)
{
    domain_socket_listen_t* l = listen_vcast(sl);
    if (sync_dec(&l->ref_count))
        return;
    if (l->socket_connect)
        (*l->socket_connect)->release(l->socket_connect);
    unlink_own_path(l);
    fd_close(l->fd);
    pin_term(&l->cancel_pin);
    mp_t_term(&l->mp);
    free_d(l);
}

void listen_cancel(socket_listen_i* sl)
{
    domain_socket_listen_t* l = listen_vcast(sl);
    pin_signal(&l->cancel_pin);
    if (l->fd != -1)
        shutdown(l->fd, SHUT_RDWR);
}

const socket_listen_i_vtbl_t domain_socket_listen_vtbl = {listen_release, listen_cancel};

// Descriptor or memory exhaustion: a state that passes.
bool out_of_resources(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// Accepts one connection; -1 with *out_err (0 for a retry after waiting).
int accept_one(domain_socket_listen_t* l, int* out_err)
{
    int fd;
    do
        fd = accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    *out_err = fd < 0 && errno != EAGAIN ? last_error() : 0;
    if (fd >= 0) {
        fd = move_above_stdio(fd);
        if (fd < 0)
            *out_err = last_error();
    }
    return fd;
}

void listen_thread_main(void* param)
{
    domain_socket_listen_t* l = static_cast<domain_socket_listen_t*>(param);
    pin_buf_x_t stop;
    // Collection at exit ends the thread too, so an owner that never
    // cancels cannot hold the process up.
    pin_buf_x_init_(&stop, &l->cancel_pin.vtbl, procsig_pin(FILE_SIGNAL_COLLECTING), nullptr,
                    nullptr, nullptr);
    int failures = 0;
    while (!pin_i_poll(pin_buf_x_output(&stop))) {
        int err = failures ? 0 : fd_wait_ready(l->fd, pin_buf_x_output(&stop), -1,
                                               qp_io_direction_recv);
        if (err)
            break;
        int fd = accept_one(l, &err);
        if (fd < 0 && out_of_resources(err)) {
            // Peers can cause this by holding connections open: wait for
            // them to go instead of giving up listening.
            failures = 0;
            if (pin_wait(pin_buf_x_output(&stop), nullptr, accept_resource_wait_msecs))
                break;
            continue;
        }
        if (fd < 0) {
            if (err && ++failures >= accept_failures_max) {
                pin_signal(&l->cancel_pin);
                break;
            }
            if (!err)
                failures = 0;
            continue;
        }
        failures = 0;
        track_fd(fd, l->file, l->line);
        fd_set_blocking(fd);
        (*l->socket_connect)->connect(l->socket_connect, &l->cancel_pin.vtbl, "localhost",
                                      "localhost", &fd);
        fd_close(fd);
    }
    pin_buf_x_term_(&stop);
    socket_connect_i* sc = l->socket_connect;
    l->socket_connect = nullptr;
    (*sc)->release(sc);
    listen_release(&l->vtbl);
}

domain_socket_listen_t* listen_new(const char* file, int line, const char* path)
{
    domain_socket_listen_t* l =
        static_cast<domain_socket_listen_t*>(calloc_d(1, sizeof(domain_socket_listen_t)));
    if (!l)
        return nullptr;
    l->vtbl = &domain_socket_listen_vtbl;
    mp_t_init(&l->mp);
    pin_init(&l->cancel_pin);
    l->ref_count = 1;
    l->fd = -1;
    l->file = file;
    l->line = line;
    l->name = ss8cpym(mp_t_ma(&l->mp), path);
    l->address = sswconv8m(mp_t_ma(&l->mp), path);
    if (!l->name || !l->address) {
        listen_release(&l->vtbl);
        return nullptr;
    }
    return l;
}

// Steps 6 to 8: the socket, bound at the path with its owner and mode, and
// listening.
int listen_bind(domain_socket_listen_t* l, uid_t uid, gid_t gid, mode_t mode, bool* out_bound)
{
    struct sockaddr_un address;
    socklen_t address_len = address_of(l->name, &address);
    int fd = domain_socket_new(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0)
        fd = move_above_stdio(fd);
    if (fd < 0)
        return last_error();
    l->fd = fd;
    track_fd(fd, l->file, l->line);
    if (fchown(fd, uid, gid) != 0 || fchmod(fd, mode) != 0)
        return last_error();
    if (unlink(l->name) != 0 && errno != ENOENT)
        return last_error();
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), address_len) != 0)
        return last_error();
    struct stat path_st;
    if (lstat(l->name, &path_st) != 0)
        return last_error();
    l->bound_dev = path_st.st_dev;
    l->bound_ino = path_st.st_ino;
    *out_bound = true;
    int err = set_path_owner_mode(l->name, uid, gid, mode);
    if (err)
        return err;
    if (fchown(fd, uid, gid) != 0 || fchmod(fd, mode) != 0)
        return last_error();
    fd_set_non_blocking(fd);
    struct stat fd_st;
    if (fstat(fd, &fd_st) != 0 || lstat(l->name, &path_st) != 0)
        return last_error();
    bool fd_mode_ok, path_mode_ok;
    bool fd_owner_ok = has_owner_mode(fd_st, uid, gid, mode, &fd_mode_ok);
    bool path_owner_ok = has_owner_mode(path_st, uid, gid, mode, &path_mode_ok);
    if ((!fd_owner_ok && !path_owner_ok) || (!fd_mode_ok && !path_mode_ok))
        return err_bad_parameter;
    return listen(fd, listen_backlog) == 0 ? 0 : last_error();
}

int listen_start(domain_socket_listen_t* l, socket_connect_i* socket_connect)
{
    (*socket_connect)->retain(socket_connect);
    l->socket_connect = socket_connect;
    sync_inc(&l->ref_count);
    if (thread_start_2(listen_thread_main, l, nullptr, nullptr, thread_stack_size_small))
        return 0;
    sync_dec(&l->ref_count);
    return err_no_mem;
}

} // namespace

// ---- public calls ---------------------------------------------------------------------

int domain_socket_new(int family, int type, int protocol)
{
    if (!__atomic_load_n(&socket_cloexec_refused, __ATOMIC_RELAXED)) {
        int fd = socket(family, type | SOCK_CLOEXEC, protocol);
        if (fd >= 0 || errno != EINVAL)
            return fd;
        __atomic_store_n(&socket_cloexec_refused, 1, __ATOMIC_RELAXED);
    }
    int fd = socket(family, type, protocol);
    if (fd >= 0)
        fd_set_cloexec(fd);
    return fd;
}

int domain_socket_open_dh(const char* file, int line, int* out_fd, const char* name)
{
    qp_scratch_pool pool;
    char* path;
    *out_fd = -1;
    int err = socket_path_of(pool.ma(), name, &path);
    return err ? err : connect_path(file, line, out_fd, path);
}

int domain_socket_listen_factory_dh(const char* file, int line, socket_listen_i** out_listen,
                                    socket_connect_i* socket_connect, int access,
                                    const char* name)
{
    qp_scratch_pool pool;
    char* path;
    *out_listen = nullptr;
    int err = socket_path_of(pool.ma(), name, &path);
    if (err)
        return err;
    char* lock_name = ss8formatm(pool.ma(), "%s.lock", path);
    if (!lock_name)
        return err_no_mem;
    bool real = access & domain_socket_access_real;
    uid_t uid = real ? getuid() : geteuid();
    gid_t gid = real ? getgid() : getegid();
    mode_t mode = (access & domain_socket_access_group) ? 0660 : 0600;
    if (access & domain_socket_access_world)
        mode |= 0006;

    domain_socket_listen_t* l = listen_new(file, line, path);
    if (!l)
        return err_no_mem;
    lock_file_i* lock = nullptr;
    bool bound = false;
    err = f8_lock_file_factory(&lock, lock_name, &l->cancel_pin.vtbl);
    if (!err)
        err = clear_path(path);
    if (!err)
        err = listen_bind(l, uid, gid, mode, &bound);
    if (!err)
        err = listen_start(l, socket_connect);
    if (lock)
        (*lock)->release(lock);
    if (err) {
        if (!bound)
            l->name[0] = 0; // the path is not ours: leave it
        listen_cancel(&l->vtbl);
        listen_release(&l->vtbl);
        return err;
    }
    *out_listen = &l->vtbl;
    return 0;
}

// ---- descriptor passing ------------------------------------------------------------------

namespace {

// Waits for readiness, then runs one non-blocking sendmsg or recvmsg,
// repeating on EINTR and EAGAIN; 0 bytes is 32.
int message_io(int socket_fd, pin_i* cancel_pin, int direction, struct msghdr* msg, int flags)
{
    for (;;) {
        int err = fd_wait_ready(socket_fd, cancel_pin, -1, direction);
        if (err)
            return err;
        ssize_t done = direction == qp_io_direction_send
                           ? sendmsg(socket_fd, msg, flags | MSG_NOSIGNAL | MSG_DONTWAIT)
                           : recvmsg(socket_fd, msg, flags | MSG_DONTWAIT);
        if (done > 0)
            return 0;
        if (done == 0)
            return err_broken_pipe;
        if (errno != EINTR && errno != EAGAIN)
            return last_error();
    }
}

// What arrived with one message.
struct received_control {
    int fd = -1;
    int uid = -1;
    int gid = -1;
    int err = 0;

    void fail(int e)
    {
        if (!err)
            err = e;
    }
};

void take_rights(struct cmsghdr* cmsg, bool fd_wanted, received_control* got)
{
    size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const unsigned char* data = CMSG_DATA(cmsg);
    for (size_t i = 0; i < count; i++) {
        int fd;
        memcpy(&fd, data + i * sizeof(int), sizeof(int));
        if (count == 1 && fd_wanted && got->fd == -1)
            got->fd = fd;
        else
            close(fd);
    }
    if (count != 1 || !fd_wanted || got->fd == -1)
        got->fail(err_bad_parameter);
}

// Walks every control message, so that each descriptor is either kept or
// closed, whatever is wrong with the others.
void take_control(struct msghdr* msg, bool fd_wanted, received_control* got)
{
    for (struct cmsghdr* cmsg = CMSG_FIRSTHDR(msg); cmsg; cmsg = CMSG_NXTHDR(msg, cmsg)) {
        if (cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS) {
            bool had_fd = got->fd != -1;
            take_rights(cmsg, fd_wanted && !had_fd, got);
        } else if (cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_CREDENTIALS &&
                   cmsg->cmsg_len - CMSG_LEN(0) >= sizeof(struct ucred)) {
            struct ucred cred;
            memcpy(&cred, CMSG_DATA(cmsg), sizeof(cred));
            got->uid = static_cast<int>(cred.uid);
            got->gid = static_cast<int>(cred.gid);
        } else {
            got->fail(err_bad_parameter);
        }
    }
    if (msg->msg_flags & MSG_CTRUNC)
        got->fail(err_bad_parameter);
}

int receive_cmsg(const char* file, int line, int socket_fd, pin_i* cancel_pin, int* out_uid,
                 int* out_gid, int* out_fd)
{
    alignas(struct cmsghdr) char control[cmsgbuf_size];
    unsigned char data = 0;
    struct iovec iov = {&data, 1};
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    received_control got;
    if (out_uid)
        *out_uid = -1;
    if (out_gid)
        *out_gid = -1;
    if (out_fd)
        *out_fd = -1;
    int err = message_io(socket_fd, cancel_pin, qp_io_direction_recv, &msg, MSG_CMSG_CLOEXEC);
    if (err != 0 && err != err_broken_pipe)
        return err;
    take_control(&msg, out_fd != nullptr, &got);
    got.fail(err);
    if (!got.err && got.fd != -1) {
        got.fd = move_above_stdio(got.fd);
        if (got.fd < 0)
            got.fail(last_error());
    }
    if (got.err) {
        if (got.fd != -1)
            close(got.fd);
        return got.err;
    }
    if (got.fd != -1)
        track_fd(got.fd, file, line);
    if (out_uid)
        *out_uid = got.uid;
    if (out_gid)
        *out_gid = got.gid;
    if (out_fd)
        *out_fd = got.fd;
    return 0;
}

} // namespace

int file_receive_cmsg(int socket_fd, uint8_t /*mode*/, pin_i* cancel_pin, int* out_uid,
                      int* out_gid, int* out_fd)
{
    return receive_cmsg(__FILE__, __LINE__, socket_fd, cancel_pin, out_uid, out_gid, out_fd);
}

int file_send_fd_v1(int socket_fd, uint8_t mode, pin_i* cancel_pin, int fd)
{
    if (fd < 0)
        return err_bad_fd;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    unsigned char data = 0;
    struct iovec iov = {&data, 1};
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    memset(control, 0, sizeof(control));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int));
    struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int)); // 20
    memcpy(CMSG_DATA(cmsg), &fd, sizeof(int));
    int err = message_io(socket_fd, cancel_pin, qp_io_direction_send, &msg, 0);
    if (err)
        return err;
    unsigned char ack;
    size_t got;
    return fd_recv(socket_fd, mode, cancel_pin, -1, &ack, 1, 1, &got);
}

int file_receive_fd_v1_dh(const char* file, int line, int socket_fd, uint8_t mode,
                          pin_i* cancel_pin, int* out_fd)
{
    int fd;
    int err = receive_cmsg(file, line, socket_fd, cancel_pin, nullptr, nullptr, &fd);
    if (!err && fd == -1)
        err = err_bad_parameter; // a message without its descriptor
    if (!err) {
        const unsigned char ack = 0;
        size_t sent;
        err = fd_send(socket_fd, mode, cancel_pin, -1, &ack, 1, &sent);
        if (err)
            fd_close(fd);
    }
    *out_fd = err ? -1 : fd;
    return err;
}

int file_send_fd_v2(int socket_fd, uint8_t mode, pin_i* cancel_pin, int fd)
{
    return file_send_fd_v1(socket_fd, mode, cancel_pin, fd);
}

int file_receive_fd_v2_dh(const char* file, int line, int socket_fd, uint8_t mode,
                          pin_i* cancel_pin, int* out_fd, int /*trusted*/)
{
    return file_receive_fd_v1_dh(file, line, socket_fd, mode, cancel_pin, out_fd);
}
