/*
 * lockfile.c - a lock between processes made of a file: its existence
 * means "held", its modification time is the holder's heartbeat.
 *
 * Each lock has one thread (a fast thread). Acquiring: create the file
 * exclusively every 50 ms; while it exists, watch its modification time: a
 * time that has not changed for more than 10 s belongs to a dead holder and
 * the file is removed (the next try may then create it); ten failures in a
 * row to read the file's attributes end the attempt. Holding: every 3 s the
 * time is checked and set to now; a file that vanished or whose time another
 * process changed is lost and no longer touched. Releasing removes the file
 * only while it still carries our last time.
 *
 * A process run by root takes over at once a lock file that root does not
 * own: under the sticky /tmp any user may create the name, and such a file
 * must not hold a root service off. Nothing follows a link planted at the
 * name: the exclusive create does not, attributes are read with lstat and
 * the heartbeat opens the file without following one.
 *
 * The owner talks to the thread through pins only: cancel_pin (or the
 * collection at exit) asks it to let go, init_pin tells that acquisition
 * ended (init_err), unlocked_pin that the thread is done. The object has two references, the owner's and
 * the thread's (atomic count).
 */
#include "qpsocket.h"

#include "qperr.h"
#include "qpsys.h"
#include "sstring.h"

#include <unistd.h>

enum {
    lock_file_retry_msecs = 50,
    lock_file_stale_msecs = 10000,
    lock_file_refresh_msecs = 3000,
    lock_file_attr_failures_max = 10,
};

typedef struct lock_file_t {
    lock_file_i vtbl;
    qp_mp_t mp;
    pin_t cancel_pin;
    pin_t init_pin;
    pin_t unlocked_pin;
    char* file_name; /* absolute path */
    int ref_count;
    int init_err;
} lock_file_t;

static lock_file_t* lock_file_vcast(lock_file_i* lock)
{
    return (lock_file_t*)lock;
}

static void lock_file_unref(lock_file_t* lf)
{
    if (sync_dec(&lf->ref_count)) {
        return;
    }
    pin_term(&lf->cancel_pin);
    pin_term(&lf->init_pin);
    pin_term(&lf->unlocked_pin);
    mp_t_term(&lf->mp);
    free_d(lf);
}

/* The modification time of the name itself (never a link's target), or 0
 * with the error. */
static int lock_file_time(const char* name, int64_t* out_time, uid_t* out_owner)
{
    struct stat st;
    int err = f8_lstat(name, &st);
    *out_time = err ? 0 : file_time_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    if (out_owner) {
        *out_owner = st.st_uid;
    }
    return err;
}

/* Sets the file's time to now, different from the previous one. */
static int lock_file_touch(const char* name, int64_t previous, int64_t* out_time)
{
    int fd;
    int64_t now = time_100nsec();
    int err = f8_open(&fd, name, fof_write_attr | fof_link);
    if (err) {
        return err;
    }
    if (now / 10 == previous / 10) {
        now += 10; /* times are kept in microseconds */
    }
    err = fd_set_write_time(fd, now);
    fd_close(fd);
    if (!err) {
        err = lock_file_time(name, out_time, 0);
    }
    return err;
}

/* Tries until the file is created here; returns 0 when held, else the last
 * creation error (or 17 for a file without time). */
static int lock_file_acquire(lock_file_t* lf, pin_i* stop)
{
    int pending = 0, failures = 0;
    int64_t seen_time = 0;
    uint64_t seen_at = 0;
    const int as_root = geteuid() == 0;

    for (;;) {
        int fd;
        int64_t file_time;
        uid_t owner;
        int err = f8_create(&fd, lf->file_name, 0);
        if (!err) {
            fd_close(fd);
            return 0;
        }
        pending = err;
        if (lock_file_time(lf->file_name, &file_time, &owner)) {
            if (++failures >= lock_file_attr_failures_max) {
                return pending;
            }
        } else {
            failures = 0;
            if (as_root && owner != 0 && !f8_delete_tree(lf->file_name)) {
                continue; /* planted by another user (a folder too), links not followed */
            }
            if (file_time == 0) {
                pending = err_exists;
            } else if (file_time == seen_time) {
                if (counter_msec() - seen_at > lock_file_stale_msecs) {
                    f8_delete(lf->file_name); /* its holder stopped refreshing */
                }
            } else {
                seen_time = file_time;
                seen_at = counter_msec();
            }
        }
        if (pin_wait(stop, 0, lock_file_retry_msecs)) {
            return pending;
        }
    }
}

/* Refreshes the file's time until cancelled; removes the file at the end
 * while it still carries our time. */
static void lock_file_hold(lock_file_t* lf, pin_i* stop)
{
    int64_t ours;
    int lost = lock_file_time(lf->file_name, &ours, 0) != 0;

    while (!pin_wait(stop, 0, lost ? -1 : lock_file_refresh_msecs)) {
        int64_t now_time;
        if (lock_file_time(lf->file_name, &now_time, 0) || now_time != ours ||
            lock_file_touch(lf->file_name, ours, &ours)) {
            lost = 1; /* replaced or touched by someone else: not ours any more */
        }
    }
    if (!lost) {
        int64_t now_time;
        if (!lock_file_time(lf->file_name, &now_time, 0) && now_time == ours) {
            f8_delete(lf->file_name);
        }
    }
}

static void lock_file_thread_main(void* param)
{
    lock_file_t* lf = (lock_file_t*)param;
    pin_buf_x_t stop;
    int err;

    /* The collection at exit lets go of the lock too, so that a process
     * ending while it holds one neither hangs nor leaves the file behind. */
    pin_buf_x_init_(&stop, &lf->cancel_pin.vtbl, procsig_pin(FILE_SIGNAL_COLLECTING), 0, 0, 0);
    err = lock_file_acquire(lf, pin_buf_x_output(&stop));
    lf->init_err = err;
    pin_signal(&lf->init_pin);
    if (!err) {
        lock_file_hold(lf, pin_buf_x_output(&stop));
    }
    pin_buf_x_term_(&stop);
    pin_signal(&lf->unlocked_pin);
    lock_file_unref(lf);
}

static void lock_file_release(lock_file_i* lock)
{
    lock_file_t* lf = lock_file_vcast(lock);
    pin_signal(&lf->cancel_pin);
    pin_wait(&lf->unlocked_pin.vtbl, 0, -1);
    lock_file_unref(lf);
}

static const lock_file_i_vtbl_t lock_file_vtbl = {lock_file_release};

int f8_lock_file_factory_dh(const char* file, int line, lock_file_i** out_lock,
                            const char* file_name, pin_i* cancel_pin)
{
    lock_file_t* lf;
    int err;

    *out_lock = 0;
    if (!file_name || !file_name[0]) {
        return err_bad_name;
    }
    lf = (lock_file_t*)calloc_dh(file, line, 1, sizeof *lf);
    if (!lf) {
        return err_no_mem;
    }
    lf->vtbl = &lock_file_vtbl;
    mp_t_init(&lf->mp);
    pin_init(&lf->cancel_pin);
    pin_init(&lf->init_pin);
    pin_init(&lf->unlocked_pin);
    lf->ref_count = 2;
    lf->file_name = f8_path_complete(mp_t_ma(&lf->mp), 0, file_name);
    if (!lf->file_name || !thread_start_fast(lock_file_thread_main, lf)) {
        lf->init_err = err_no_mem;
        pin_signal(&lf->init_pin);
        pin_signal(&lf->unlocked_pin);
        sync_dec(&lf->ref_count); /* the thread's */
    }
    if (!pin_wait(&lf->init_pin.vtbl, cancel_pin, -1)) {
        pin_signal(&lf->cancel_pin);
        pin_wait(&lf->init_pin.vtbl, 0, -1);
    }
    err = lf->init_err;
    if (err) {
        lock_file_release(&lf->vtbl);
        return err;
    }
    *out_lock = &lf->vtbl;
    return 0;
}
