// qpalarmnix.cpp - user-mode side of the alarms: signal masks, the alarm
// thread's wake-up event and the exit hook.
//
// The event is a POSIX semaphore because sem_post is async-signal-safe:
// alarm_schedule_sig posts it from inside signal handlers, where the
// library's own semaphore (which may take a sleeping lock) must not be used.
// Waits use the monotonic clock, the clock of alarm times.
#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include "qpalarm.h"

namespace {

sem_t alarm_event;

static_assert(sizeof(sigset_t) <= sizeof(alarm_sigmask_t), "alarm_sigmask_t too small");

sigset_t* mask_of(alarm_sigmask_t* saved)
{
    return reinterpret_cast<sigset_t*>(saved->bits);
}

} // namespace

extern "C" {

void alarm_os_block_signals(alarm_sigmask_t* saved)
{
    sigset_t all;
    sigfillset(&all);
    int res = pthread_sigmask(SIG_BLOCK, &all, mask_of(saved));
    QP_ASSERT(res == 0);
}

void alarm_os_restore_signals(const alarm_sigmask_t* saved)
{
    int res = pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved->bits), nullptr);
    QP_ASSERT(res == 0);
}

void alarm_os_event_init(void)
{
    int res = sem_init(&alarm_event, 0, 0);
    QP_ASSERT(res == 0);
}

void alarm_os_event_term(void)
{
    int res = sem_destroy(&alarm_event);
    QP_ASSERT(res == 0);
}

void alarm_os_event_post(void)
{
    // EOVERFLOW only: the thread has more wake-ups pending than it needs
    (void)sem_post(&alarm_event);
}

void alarm_os_event_wait(int timeout_msecs)
{
    int res;
    if (timeout_msecs < 0) {
        res = sem_wait(&alarm_event);
    } else {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeout_msecs / 1000;
        deadline.tv_nsec += long(timeout_msecs % 1000) * 1000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_nsec -= 1000000000;
            ++deadline.tv_sec;
        }
        res = sem_clockwait(&alarm_event, CLOCK_MONOTONIC, &deadline);
    }
    int err = res ? errno : 0;
    QP_ASSERT(!err || err == ETIMEDOUT || err == EINTR);
}

void alarm_os_atexit(void (*func)(void))
{
    int res = atexit(func);
    QP_ASSERT(res == 0);
}

} // extern "C"
