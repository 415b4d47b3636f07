/*
 * qpsocket.h - local inter-process plumbing of the base runtime (user mode):
 * named stream sockets under /tmp with a listener that accepts on its own
 * thread, descriptor passing over such sockets, asynchronous receive and
 * send served by a small pool of worker threads, poll-based readiness waits
 * with a cancel pin, the descriptor utilities, the cross-process lock file
 * and the console pump.
 *
 * Every call returns 0 or a platform error code (qperr.h); timeouts are
 * milliseconds, where 0x7FFFFFFF or more and -1 mean none; a signalled
 * cancel pin ends a wait with err_cancelled (125). The _dh calls take the
 * caller's source position for the debug heap's descriptor accounting; the
 * descriptors they hand out are close-on-exec and closed with fd_close.
 * The mode byte of the descriptor calls is a per-descriptor state byte kept
 * by the caller; the Linux implementations do not use it.
 *
 *   int fd;
 *   if (!domain_socket_open(&fd, "com.example.service")) {
 *       size_t sent;
 *       fd_send(fd, 0, cancel_pin, 2000, "x", 1, &sent);
 *       fd_close(fd);
 *   }
 */
#ifndef QPSOCKET_H
#define QPSOCKET_H

#include "qpfile.h"
#include "qppin.h"

#include <poll.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    qp_io_direction_recv = 1, /* readable (POLLIN) */
    qp_io_direction_send = 2, /* writable (POLLOUT) */
    fda_thread_max_io_count = 200, /* queued I/Os per worker */
    cmsgbuf_size = 1536,           /* control buffer for received descriptors */
    fd_wait_inline_fd_table_count = 2,
    file_stdin = 0,
    file_stdout = 1,
    file_stderr = 2,
};

/* ---- descriptor utilities --------------------------------------------- */

/* An AF_UNIX stream socket pair, close-on-exec. */
int file_create_socket_dh(const char* file, int line, int* out_first, int* out_second);
/* A socket pair made one-way: data written to the second end is read from
 * the first (the first is shut down for writing, the second for reading). */
int file_create_pipe_dh(const char* file, int line, int* out_read, int* out_write);
/* dup with close-on-exec; -1 gives 22 and *out_fd -1. */
int file_duplicate_dh(const char* file, int line, int* out_fd, int fd);
#define file_create_socket(a, b) file_create_socket_dh(__FILE__, __LINE__, (a), (b))
#define file_create_pipe(r, w)   file_create_pipe_dh(__FILE__, __LINE__, (r), (w))
#define file_duplicate(out, fd)  file_duplicate_dh(__FILE__, __LINE__, (out), (fd))

/* -1 is ignored; a failure is a programming error. */
void fd_set_blocking(int fd);
void fd_set_non_blocking(int fd);
void fd_set_cloexec(int fd);

/* Once per process: SIGPIPE, SIGTTIN and SIGTTOU are ignored. */
void file_ignore_sigpipe(void);
/* Opens /dev/null in each of the slots 0, 1, 2 that is not open (read-only
 * for 0, write-only for 1 and 2). */
void file_prep_stdio(void);
/* Close the standard descriptor and put /dev/null in its place. */
void file_close_stdin(void);
void file_close_stdout(void);
void file_close_stderr(void);

/* Terminal echo: off clears ECHO and ECHONL when ECHO is set (else 17); on
 * sets both when ECHO is clear (else 17); terminal errors are returned. */
int file_echo_off(int fd, uint8_t mode);
int file_echo_on(int fd, uint8_t mode);

/* ---- readiness waits ---------------------------------------------------- */

/* Waits until fd is ready in the direction (qp_io_direction_*): 0, 9 for
 * fd -1, 110 on expiry, 125 when the cancel pin (may be null) fired first,
 * 12 when no cancel pipe could be made. */
int fd_wait_ready(int fd, pin_i* cancel_pin, int timeout, int direction);

/* The same wait prepared once for repeated use (the cancel pipe is made by
 * init and kept until term). */
typedef struct file_wait_ready_t {
    int fd;
    int direction;
    pin_i* cancel_pin;
    int timeout;
    pin_io_wire_t* cancel_pipe;
} file_wait_ready_t;

int file_wait_ready_init(file_wait_ready_t* w, int fd, int direction, pin_i* cancel_pin,
                         int timeout);
int file_wait_ready(file_wait_ready_t* w);
void file_wait_ready_term(file_wait_ready_t* w);

/* A poll set: add descriptors with their directions, wait, then check each
 * by its position. A set with more entries than its table holds grows its
 * table and the wait returns err_retry (11) for another pass. */
typedef struct fd_wait_t {
    int need_reset;
    unsigned fd_count;
    unsigned max_fd_count;
    struct pollfd* fd_table;
    struct pollfd* expansion; /* heap table when the inline one is too small */
    struct pollfd inline_fd_table[fd_wait_inline_fd_table_count];
} fd_wait_t;

void fd_wait_init(fd_wait_t* w);
void fd_wait_reset(fd_wait_t* w);
/* Returns the entry's position. */
unsigned fd_wait_add(fd_wait_t* w, int fd, int direction);
/* Waits for readiness, at most until *deadline (counter_msec; all ones for
 * none) and at most timeout. 0 when something is ready, 110 on expiry, 11
 * for another pass, else the poll error. */
int fd_wait_wait(fd_wait_t* w, uint64_t* deadline, int timeout);
/* Whether the entry at position (for fd) is ready in the direction; an
 * error or hang-up counts as ready. */
int fd_wait_check(fd_wait_t* w, unsigned position, int fd, int direction);
void fd_wait_term(fd_wait_t* w);

/* ---- synchronous and asynchronous transfers ----------------------------- */

/* Moves at least min_size and at most max_size bytes, waiting for readiness
 * before each part. *out_transferred is what moved; an error after some
 * bytes moved is not reported unless fewer than min_size moved (end of data
 * is then 32). fd_send sends exactly size bytes. */
int fd_recv(int fd, uint8_t mode, pin_i* cancel_pin, int timeout, void* data, size_t min_size,
            size_t max_size, size_t* out_transferred);
int fd_send(int fd, uint8_t mode, pin_i* cancel_pin, int timeout, const void* data, size_t size,
            size_t* out_transferred);

/* Called exactly once per asynchronous transfer, on the caller's thread when
 * it fails or completes at once, else on a worker thread. The error is
 * reported only when no byte moved; with some bytes it is 0 and size may be
 * below the minimum. */
typedef void (*fd_async_complete_t)(void* param, int err, size_t size);

/* The buffer stays the caller's and must live until the completion. */
void fd_recv_async(int fd, uint8_t mode, pin_i* cancel_pin, int timeout,
                   fd_async_complete_t complete, void* param, void* data, size_t min_size,
                   size_t max_size);
void fd_send_async(int fd, uint8_t mode, pin_i* cancel_pin, int timeout,
                   fd_async_complete_t complete, void* param, const void* data, size_t size);

/* ---- descriptor passing (one descriptor per exchange) ------------------- */

/* Sends fd as one data byte 0 with one SCM_RIGHTS message, then waits for
 * the peer's one-byte acknowledgement. */
int file_send_fd_v1(int socket_fd, uint8_t mode, pin_i* cancel_pin, int fd);
/* Receives one descriptor and acknowledges it. */
int file_receive_fd_v1_dh(const char* file, int line, int socket_fd, uint8_t mode,
                          pin_i* cancel_pin, int* out_fd);
int file_send_fd_v2(int socket_fd, uint8_t mode, pin_i* cancel_pin, int fd);
/* The trusted flag has no effect here. */
int file_receive_fd_v2_dh(const char* file, int line, int socket_fd, uint8_t mode,
                          pin_i* cancel_pin, int* out_fd, int trusted);
#define file_receive_fd_v1(s, m, c, out) file_receive_fd_v1_dh(__FILE__, __LINE__, (s), (m), (c), (out))
#define file_receive_fd_v2(s, m, c, out, t)                                                        \
    file_receive_fd_v2_dh(__FILE__, __LINE__, (s), (m), (c), (out), (t))

/* Receives one message of one byte with its control data: SCM_RIGHTS gives
 * one descriptor (only when out_fd is given), SCM_CREDENTIALS the sender's
 * user and group; anything else is 22. On any error every received
 * descriptor is closed. Absent values are -1; each out pointer may be null
 * (no descriptor may then arrive). */
int file_receive_cmsg(int socket_fd, uint8_t mode, pin_i* cancel_pin, int* out_uid, int* out_gid,
                      int* out_fd);

/* ---- named sockets --------------------------------------------------- */

enum {
    domain_socket_access_real = 1,  /* owned by the real user and group */
    domain_socket_access_group = 2, /* mode 0660 instead of 0600 */
    domain_socket_access_world = 4, /* add 0006 */
};

/* socket(2) with close-on-exec, or -1. */
int domain_socket_new(int family, int type, int protocol);

/* Connects to a named socket: a relative name lives under /tmp. Waits at
 * most 2000 ms (or until FILE_SIGNAL_STOP). 36 for a path of 108 characters
 * or more, 22 for an empty one. */
int domain_socket_open_dh(const char* file, int line, int* out_fd, const char* name);
#define domain_socket_open(out_fd, name) domain_socket_open_dh(__FILE__, __LINE__, (out_fd), (name))

/* The owner's connection handler. connect runs on the listen thread for
 * every accepted connection; it may take the descriptor (setting *in_out_fd
 * to -1), else the listener closes it. */
typedef struct socket_connect_i_vtbl_t socket_connect_i_vtbl_t;
typedef const socket_connect_i_vtbl_t* socket_connect_i;
struct socket_connect_i_vtbl_t {
    void (*retain)(socket_connect_i* sc);
    void (*release)(socket_connect_i* sc);
    void (*connect)(socket_connect_i* sc, pin_i* cancel_pin, const char* local_address,
                    const char* remote_address, int* in_out_fd);
};

/* A listening socket. cancel stops accepting; the last release unlinks the
 * socket's path (when this listener created it). */
typedef struct socket_listen_i_vtbl_t socket_listen_i_vtbl_t;
typedef const socket_listen_i_vtbl_t* socket_listen_i;
struct socket_listen_i_vtbl_t {
    void (*release)(socket_listen_i* sl);
    void (*cancel)(socket_listen_i* sl);
};

/* Listens on a named socket (domain_socket_access_* flags). 17 when a live
 * listener of the same owner already serves the name. */
int domain_socket_listen_factory_dh(const char* file, int line, socket_listen_i** out_listen,
                                    socket_connect_i* socket_connect, int access,
                                    const char* name);
#define domain_socket_listen_factory(out, sc, access, name)                                        \
    domain_socket_listen_factory_dh(__FILE__, __LINE__, (out), (sc), (access), (name))

/* ---- lock file --------------------------------------------------------------- */

/* A cross-process lock: the file exists while held and its modification
 * time is refreshed every 3 s; a foreign file whose time has not changed
 * for more than 10 s is stale and removed. release gives the lock up and
 * returns once the file is removed. */
typedef struct lock_file_i_vtbl_t lock_file_i_vtbl_t;
typedef const lock_file_i_vtbl_t* lock_file_i;
struct lock_file_i_vtbl_t {
    void (*release)(lock_file_i* lock);
};

/* Waits as long as needed for the lock; the cancel pin (may be null) ends
 * the wait with the last creation error. */
int f8_lock_file_factory_dh(const char* file, int line, lock_file_i** out_lock,
                            const char* file_name, pin_i* cancel_pin);
#define f8_lock_file_factory(out, name, cancel)                                                    \
    f8_lock_file_factory_dh(__FILE__, __LINE__, (out), (name), (cancel))

/* ---- console pump ------------------------------------------------------------ */

enum {
    tty_pump_flag_fix_line_feeds = 1, /* CR, LF and CR LF each become one LF */
    tty_pump_flag_echo_off = 2,       /* terminal echo off on the read side while pumping */
    tty_pump_buffer_size = 0x4000,
};

/* Copies from a read descriptor to a write descriptor on its own thread
 * until the input ends, an error happens or it is cancelled. pin is
 * signalled when the pump has ended; drain waits for its thread. */
typedef struct tty_pump_i_vtbl_t tty_pump_i_vtbl_t;
typedef const tty_pump_i_vtbl_t* tty_pump_i;
struct tty_pump_i_vtbl_t {
    void (*retain)(tty_pump_i* pump);
    void (*release)(tty_pump_i* pump);
    void (*cancel)(tty_pump_i* pump);
    void (*drain)(tty_pump_i* pump);
    pin_i* (*pin)(tty_pump_i* pump);
};

/* Pumps between duplicates of the two descriptors (the caller keeps its
 * own); an outside cancel pin (may be null) cancels the pump. */
int tty_pump_factory_dh(const char* file, int line, tty_pump_i** out_pump, pin_i* cancel_pin,
                        int read_fd, int write_fd, int flags);
#define tty_pump_factory(out, cancel, rfd, wfd, flags)                                             \
    tty_pump_factory_dh(__FILE__, __LINE__, (out), (cancel), (rfd), (wfd), (flags))

#ifdef __cplusplus
}
#endif

#endif
