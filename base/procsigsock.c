/*
 * procsigsock.c - process signals between processes: a listener on a named
 * local socket that applies the signal numbers it receives to this
 * process's pins, and the sender.
 *
 * Wire: one connection per signal, carrying exactly one byte (the number);
 * the sender closes, the receiver answers nothing.
 *
 * Listener (procsig_listen_t), reference counted (atomic): the owner's
 * reference, one while attached to FILE_SIGNAL_COLLECTING, one held by the
 * local-socket listener through connect_vtbl, and one per connection being
 * read. stop detaches, cancels and waits in 20 ms steps until only the
 * owner's reference remains; the last reference releases the socket
 * listener, which removes the socket's name. procsig_listen hands the
 * owner's reference to the collection, which drops it when the process
 * ends.
 *
 * Send request (procsig_send_t), reference counted (atomic): the
 * operation's reference, and one each while attached to the caller's
 * cancel pin and while its timeout alarm is scheduled. The alarm's firing
 * sets timed_out and cancels, so a cancellation it caused is reported as a
 * timeout.
 */
#include "qpsocket.h"

#include "qpalarm.h"
#include "qperr.h"

enum {
    procsig_receive_timeout = 5000,
    procsig_stop_step_msecs = 20,
};

/* ---- applying a number ---------------------------------------------------- */

void procsig_apply(int signum)
{
    switch (signum) {
    case FILE_SIGNAL_PAUSE:
        pin_i_signal(procsig_pin(FILE_SIGNAL_PAUSE));
        pin_i_reset(procsig_pin(FILE_SIGNAL_RESUME));
        break;
    case FILE_SIGNAL_RESUME:
        pin_i_signal(procsig_pin(FILE_SIGNAL_RESUME));
        pin_i_reset(procsig_pin(FILE_SIGNAL_PAUSE));
        break;
    case FILE_SIGNAL_REFRESH:
        pin_i_pulse(procsig_pin(FILE_SIGNAL_REFRESH));
        break;
    default:
        pin_i_signal(procsig_pin(signum));
        break;
    }
}

/* ---- listener ------------------------------------------------------------- */

typedef struct procsig_listen_t {
    procsig_listen_i owner_vtbl;
    socket_connect_i connect_vtbl;
    pin_wire_t cancel_wire; /* on FILE_SIGNAL_COLLECTING */
    int ref_count;
    socket_listen_i* listen;
    pin_t stop_pin; /* ends the reads of connections in progress */
    int stopped;
    int owned_by_collection; /* procsig_listen: the collection drops the owner's reference */
} procsig_listen_t;

typedef struct procsig_receive_t {
    int fd;
    uint8_t fd_mode;
    uint8_t signum;
    procsig_listen_t* pl;
} procsig_receive_t;

static procsig_listen_t* procsig_listen_from_owner(procsig_listen_i* pl)
{
    return (procsig_listen_t*)((char*)pl - offsetof(procsig_listen_t, owner_vtbl));
}

static procsig_listen_t* procsig_listen_from_connect(socket_connect_i* sc)
{
    return (procsig_listen_t*)((char*)sc - offsetof(procsig_listen_t, connect_vtbl));
}

static void procsig_listen_unref(procsig_listen_t* pl)
{
    if (sync_dec(&pl->ref_count)) {
        return;
    }
    if (pl->listen) {
        (*pl->listen)->release(pl->listen);
    }
    pin_term(&pl->stop_pin);
    free_d(pl);
}

/* Ends accepting and the reads in progress; no wait. */
static void procsig_listen_cancel(procsig_listen_t* pl)
{
    pin_signal(&pl->stop_pin);
    if (pl->listen) {
        (*pl->listen)->cancel(pl->listen);
    }
}

static void procsig_listen_collecting(pin_wire_t* wire)
{
    procsig_listen_t* pl = (procsig_listen_t*)((char*)wire - offsetof(procsig_listen_t, cancel_wire));
    int owned = pl->owned_by_collection;
    procsig_listen_cancel(pl);
    pin_handler_complete(wire);
    if (owned) {
        procsig_listen_unref(pl); /* the owner's */
    }
    procsig_listen_unref(pl); /* the attachment's */
}

static void procsig_listen_stop(procsig_listen_i* owner)
{
    procsig_listen_t* pl = procsig_listen_from_owner(owner);
    if (!sync_xchg(&pl->stopped, 0, 1)) {
        return;
    }
    if (pin_i_detach(procsig_pin(FILE_SIGNAL_COLLECTING), &pl->cancel_wire)) {
        procsig_listen_unref(pl);
    }
    procsig_listen_cancel(pl);
    while (__atomic_load_n(&pl->ref_count, __ATOMIC_ACQUIRE) > 1) {
        thread_wait(procsig_stop_step_msecs);
    }
}

static void procsig_listen_release(procsig_listen_i* owner)
{
    procsig_listen_stop(owner);
    procsig_listen_unref(procsig_listen_from_owner(owner));
}

static const procsig_listen_i_vtbl_t procsig_listen_owner_vtbl = {procsig_listen_release,
                                                                  procsig_listen_stop};

static void procsig_connect_retain(socket_connect_i* sc)
{
    sync_inc(&procsig_listen_from_connect(sc)->ref_count);
}

static void procsig_connect_release(socket_connect_i* sc)
{
    procsig_listen_unref(procsig_listen_from_connect(sc));
}

static void procsig_receive_complete(void* param, int err, size_t size)
{
    procsig_receive_t* rec = (procsig_receive_t*)param;
    if (!err && size == 1) {
        procsig_apply(rec->signum);
    }
    fd_close(rec->fd);
    procsig_listen_unref(rec->pl);
    free_d(rec);
}

static void procsig_connect(socket_connect_i* sc, pin_i* cancel_pin, const char* local_address,
                            const char* remote_address, int* in_out_fd)
{
    procsig_listen_t* pl = procsig_listen_from_connect(sc);
    procsig_receive_t* rec = (procsig_receive_t*)calloc_d(1, sizeof *rec);
    (void)cancel_pin;
    (void)local_address;
    (void)remote_address;
    if (!rec) {
        return; /* the listener closes the connection */
    }
    rec->fd = *in_out_fd;
    *in_out_fd = -1;
    rec->pl = pl;
    sync_inc(&pl->ref_count);
    fd_recv_async(rec->fd, rec->fd_mode, &pl->stop_pin.vtbl, procsig_receive_timeout,
                  procsig_receive_complete, rec, &rec->signum, 1, 1);
}

static const socket_connect_i_vtbl_t procsig_connect_vtbl = {
    procsig_connect_retain, procsig_connect_release, procsig_connect};

static int procsig_listen_start(procsig_listen_t** out_pl, const char* socket_name,
                                int owned_by_collection)
{
    procsig_listen_t* pl = (procsig_listen_t*)calloc_d(1, sizeof *pl);
    int err;

    *out_pl = 0;
    if (!pl) {
        return err_no_mem;
    }
    pl->owner_vtbl = &procsig_listen_owner_vtbl;
    pl->connect_vtbl = &procsig_connect_vtbl;
    pl->ref_count = 1;
    pl->owned_by_collection = owned_by_collection;
    pin_init(&pl->stop_pin);
    err = domain_socket_listen_factory(&pl->listen, &pl->connect_vtbl, domain_socket_access_real,
                                       socket_name);
    if (err) {
        procsig_listen_unref(pl);
        return err;
    }
    sync_inc(&pl->ref_count);
    pin_attach_2(procsig_pin(FILE_SIGNAL_COLLECTING), procsig_listen_collecting, &pl->cancel_wire);
    *out_pl = pl;
    return 0;
}

int procsig_listen_factory(procsig_listen_i** out_pl, const char* socket_name)
{
    procsig_listen_t* pl;
    int err = procsig_listen_start(&pl, socket_name, 0);
    *out_pl = err ? 0 : &pl->owner_vtbl;
    return err;
}

int procsig_listen(const char* socket_name)
{
    procsig_listen_t* pl;
    return procsig_listen_start(&pl, socket_name, 1);
}

/* ---- sender ------------------------------------------------------------------ */

typedef struct procsig_send_t {
    pin_t cancel_pin;
    pin_wire_t cancel_wire; /* on ext_cancel_pin */
    alarm_t alarm;
    pin_i* ext_cancel_pin;
    procsig_send_complete_t complete;
    void* complete_param;
    int err;
    int ref_count;
    int fd;
    uint8_t fd_mode;
    uint8_t signum;
    char timed_out;
} procsig_send_t;

typedef struct procsig_send_sync_t {
    int err;
    sema_t sem;
} procsig_send_sync_t;

static void procsig_send_unref(procsig_send_t* req)
{
    if (sync_dec(&req->ref_count)) {
        return;
    }
    pin_term(&req->cancel_pin);
    free_d(req);
}

static void procsig_send_ext_cancel(pin_wire_t* wire)
{
    procsig_send_t* req = (procsig_send_t*)((char*)wire - offsetof(procsig_send_t, cancel_wire));
    pin_signal(&req->cancel_pin);
    pin_handler_complete(wire);
    procsig_send_unref(req);
}

static void procsig_send_timeout(alarm_t* alarm)
{
    procsig_send_t* req = (procsig_send_t*)((char*)alarm - offsetof(procsig_send_t, alarm));
    __atomic_store_n(&req->timed_out, 1, __ATOMIC_RELEASE);
    pin_signal(&req->cancel_pin);
    alarm_handler_complete(alarm);
    procsig_send_unref(req);
}

/* Calls the completion once and drops the operation's reference. */
static void procsig_send_finish(procsig_send_t* req, int err)
{
    if (pin_i_detach(req->ext_cancel_pin, &req->cancel_wire)) {
        procsig_send_unref(req);
    }
    if (alarm_cancel(&req->alarm)) {
        procsig_send_unref(req);
    }
    if (err == err_cancelled && __atomic_load_n(&req->timed_out, __ATOMIC_ACQUIRE)) {
        err = err_timeout;
    }
    req->complete(req->complete_param, err);
    procsig_send_unref(req);
}

static void procsig_send_written(void* param, int err, size_t size)
{
    procsig_send_t* req = (procsig_send_t*)param;
    (void)size;
    fd_close(req->fd);
    req->fd = -1;
    procsig_send_finish(req, err);
}

void procsig_send_async(pin_i* cancel_pin, int timeout, const char* socket_name, int signum,
                        procsig_send_complete_t complete, void* complete_param)
{
    procsig_send_t* req;
    int err;

    if (!cancel_pin) {
        cancel_pin = procsig_pin(FILE_SIGNAL_STOP);
    }
    if (signum < 0 || signum > 255) {
        complete(complete_param, err_bad_parameter); /* one byte on the wire */
        return;
    }
    req = (procsig_send_t*)calloc_d(1, sizeof *req);
    if (!req) {
        complete(complete_param, err_no_mem);
        return;
    }
    pin_init(&req->cancel_pin);
    alarm_init(&req->alarm);
    req->ext_cancel_pin = cancel_pin;
    req->complete = complete;
    req->complete_param = complete_param;
    req->ref_count = 1;
    req->fd = -1;
    req->signum = (uint8_t)signum;
    sync_inc(&req->ref_count);
    if (!pin_i_attach(cancel_pin, procsig_send_ext_cancel, &req->cancel_wire)) {
        pin_signal(&req->cancel_pin); /* already fired */
        sync_dec(&req->ref_count);
    }
    if (timeout >= 0 && timeout <= alarm_timeout_max) {
        sync_inc(&req->ref_count);
        alarm_schedule_2(&req->alarm, procsig_send_timeout, alarm_now() + (uint64_t)timeout);
    }
    err = pin_poll(&req->cancel_pin) ? err_cancelled : domain_socket_open(&req->fd, socket_name);
    if (!err && pin_poll(&req->cancel_pin)) {
        err = err_cancelled;
        fd_close(req->fd);
        req->fd = -1;
    }
    if (err) {
        procsig_send_finish(req, err);
        return;
    }
    fd_send_async(req->fd, req->fd_mode, &req->cancel_pin.vtbl, -1, procsig_send_written, req,
                  &req->signum, 1);
}

static void procsig_send_sync_complete(void* param, int err)
{
    procsig_send_sync_t* sync = (procsig_send_sync_t*)param;
    sync->err = err;
    sema_signal(&sync->sem);
}

int procsig_send(pin_i* cancel_pin, int timeout, const char* socket_name, int signum)
{
    procsig_send_sync_t sync;
    sync.err = 0;
    sema_init(&sync.sem, 0);
    procsig_send_async(cancel_pin, timeout, socket_name, signum, procsig_send_sync_complete,
                       &sync);
    sema_wait(&sync.sem, 0, -1);
    sema_term(&sync.sem);
    return sync.err;
}
