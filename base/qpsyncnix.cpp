// qpsyncnix.cpp - user-mode side of the sync primitives: thread identity,
// the holds' mutex lines and condition variables, threads, sleeping, pipes
// for pollable wires and the clocks.
//
// Holds sleep on condition variables bound to the monotonic clock, so a
// change of the wall clock neither shortens nor stretches a timeout. A
// thread cancelled while asleep in a hold (cancel-on-collect threads at
// exit) releases the mutex line on its way out. Every failing call is an
// assertion naming the call. No state of its own besides the condition
// attribute.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "qpsyncint.h"

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "a thread handle fits a record field");
static_assert(sizeof(pthread_mutex_t) <= bits_cache_line_size, "a mutex fits a line");

namespace {

constexpr long nsec_per_sec = 1000000000L;

pthread_condattr_t hold_monotonic_condattr;

void hold_condattr_init()
{
    QP_ASSERT(!pthread_condattr_init(&hold_monotonic_condattr));
    QP_ASSERT(!pthread_condattr_setclock(&hold_monotonic_condattr, CLOCK_MONOTONIC));
}

// pthread_once rather than a guarded static: the client library builds
// this unit without the C++ runtime.
const pthread_condattr_t* hold_condattr()
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    QP_ASSERT(!pthread_once(&once, hold_condattr_init));
    return &hold_monotonic_condattr;
}

void line_unlock_on_cancel(void* line)
{
    qpsync_os_line_unlock(static_cast<hold_line_t*>(line));
}

void* thread_entry(void* param)
{
    thread_ref_t* ref = static_cast<thread_ref_t*>(param);
    __atomic_store_n(&ref->thread, uintptr_t(pthread_self()), __ATOMIC_RELEASE);
    qpsync_thread_run(ref);
    return nullptr;
}

} // namespace

void* thread_self_(void)
{
    return qpsync_self();
}

void thread_yield_(void)
{
    sched_yield();
}

// ---- mutex lines and holds ----------------------------------------------------------

void qpsync_os_line_init(hold_line_t* line)
{
    QP_ASSERT(!pthread_mutex_init(&line->mutex, nullptr));
}

void qpsync_os_line_term(hold_line_t* line)
{
    QP_ASSERT(!pthread_mutex_destroy(&line->mutex));
}

void qpsync_os_line_lock(hold_line_t* line)
{
    QP_ASSERT(!pthread_mutex_lock(&line->mutex));
}

void qpsync_os_line_unlock(hold_line_t* line)
{
    QP_ASSERT(!pthread_mutex_unlock(&line->mutex));
}

hold_line_t* qpsync_os_fallback_line(void)
{
    static hold_line_t line = {PTHREAD_MUTEX_INITIALIZER};
    return &line;
}

void qpsync_os_hold_init(hold_t* h)
{
    QP_ASSERT(!pthread_cond_init(&h->cond, hold_condattr()));
}

void qpsync_os_hold_term(hold_t* h)
{
    QP_ASSERT(!pthread_cond_destroy(&h->cond));
}

void qpsync_os_hold_wake(hold_t* h)
{
    QP_ASSERT(!pthread_cond_signal(&h->cond));
}

int qpsync_os_hold_sleep(hold_t* h, hold_line_t* line, const qpsync_deadline_t* deadline)
{
    int res;
    pthread_cleanup_push(line_unlock_on_cancel, line);
    if (deadline) {
        timespec until{time_t(deadline->sec), deadline->nsec};
        res = pthread_cond_timedwait(&h->cond, &line->mutex, &until);
    } else {
        res = pthread_cond_wait(&h->cond, &line->mutex);
    }
    pthread_cleanup_pop(0);
    if (res == ETIMEDOUT) {
        return 1;
    }
    QP_ASSERT(!res && "pthread_cond_wait");
    return 0;
}

void qpsync_os_deadline(qpsync_deadline_t* deadline, int timeout_msecs)
{
    timespec now;
    QP_ASSERT(!clock_gettime(CLOCK_MONOTONIC, &now));
    deadline->sec = int64_t(now.tv_sec) + timeout_msecs / 1000;
    deadline->nsec = now.tv_nsec + long(timeout_msecs % 1000) * 1000000L;
    if (deadline->nsec >= nsec_per_sec) {
        deadline->sec++;
        deadline->nsec -= nsec_per_sec;
    }
}

void qpsync_os_spin_pause(unsigned spins)
{
    if (spins < 64) {
        sync_idle();
    } else {
        sched_yield();
    }
}

int qpsync_os_preempt_disable(void)
{
    return 0;
}

void qpsync_os_preempt_restore(int)
{
}

// ---- threads ---------------------------------------------------------------------------

int qpsync_os_thread_create(size_t stack_size, thread_ref_t* ref)
{
    pthread_attr_t attr;
    pthread_t thread;
    int res;

    QP_ASSERT(!pthread_attr_init(&attr));
    if (stack_size && pthread_attr_setstacksize(&attr, stack_size)) {
        QP_ASSERT(!pthread_attr_destroy(&attr));
        QP_ASSERT(!pthread_attr_init(&attr));
    }
    res = pthread_create(&thread, &attr, thread_entry, ref);
    QP_ASSERT(!pthread_attr_destroy(&attr));
    return res == 0;
}

void qpsync_os_thread_join(uintptr_t thread)
{
    QP_ASSERT(!pthread_join(pthread_t(thread), nullptr));
}

int qpsync_os_thread_is_self(uintptr_t thread)
{
    return pthread_equal(pthread_t(thread), pthread_self());
}

void qpsync_os_thread_cancel(uintptr_t thread)
{
    int res = pthread_cancel(pthread_t(thread));
    QP_ASSERT((!res || res == ESRCH) && "pthread_cancel");
}

void qpsync_os_sleep_msec(int msecs)
{
    timespec left{time_t(msecs / 1000), long(msecs % 1000) * 1000000L};
    if (msecs <= 0) {
        return;
    }
    while (nanosleep(&left, &left) && errno == EINTR) {
    }
}

void qpsync_os_atexit(void (*func)(void))
{
    atexit(func);
}

// ---- pipes of pollable wires ------------------------------------------------------------

int qpsync_os_pipe_open(int fds[2])
{
    return pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0;
}

void qpsync_os_pipe_close(int fds[2])
{
    close(fds[0]);
    close(fds[1]);
}

int qpsync_os_pipe_write_byte(int fd, unsigned char data)
{
    ssize_t res;
    do {
        res = write(fd, &data, 1);
    } while (res < 0 && errno == EINTR);
    return int(res);
}

int qpsync_os_pipe_read_byte(int fd, unsigned char* data)
{
    ssize_t res;
    do {
        res = read(fd, data, 1);
    } while (res < 0 && errno == EINTR);
    return int(res);
}

// ---- clocks -------------------------------------------------------------------------------

uint64_t qpsync_os_monotonic_nsec(void)
{
    timespec now;
    QP_ASSERT(!clock_gettime(CLOCK_MONOTONIC, &now));
    return uint64_t(now.tv_sec) * uint64_t(nsec_per_sec) + uint64_t(now.tv_nsec);
}

void qpsync_os_realtime(int64_t* sec, long* nsec)
{
    timespec now;
    QP_ASSERT(!clock_gettime(CLOCK_REALTIME, &now));
    *sec = now.tv_sec;
    *nsec = now.tv_nsec;
}
