// procsignix.cpp - the operating-system side of the process signals: turns
// SIGTERM, SIGINT, SIGTSTP, SIGCONT, SIGHUP and SIGWINCH into the numbered
// process-signal pins.
//
// Nothing but an alarm is scheduled inside a signal handler: each
// process-signal number 0 to 4 owns one pre-allocated alarm, and
// alarm_schedule_sig is signal-safe and coalesces repeated signals into one
// delivery. The pins change on the alarm thread (procsig_apply). Installed
// once per process; at exit SIGTERM goes back to its default action and the
// others are ignored, as the alarm thread that served them is gone.
#include "qpalarm.h"
#include "qppin.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace {

const int signals_count = 5;
alarm_t signals_alarms[signals_count];
int signals_initialized;

const int handled_signals[] = {SIGTERM, SIGINT, SIGTSTP, SIGCONT, SIGHUP, SIGWINCH};

void signals_alarm_handler(alarm_t* alarm)
{
    long sn = alarm - signals_alarms;
    if (!(sn >= 0 && sn < signals_count))
        qp_assert_failed(__FILE__, __LINE__, "sn >= 0 && sn < signals_count");
    procsig_apply(static_cast<int>(sn));
    alarm_handler_complete(alarm);
}

// The process-signal number of an operating-system signal; 0 for none.
int procsig_number_of(int nix_sig)
{
    switch (nix_sig) {
    case SIGTERM:
    case SIGINT:
        return FILE_SIGNAL_STOP;
    case SIGTSTP:
        return FILE_SIGNAL_PAUSE;
    case SIGCONT:
        return FILE_SIGNAL_RESUME;
    case SIGHUP:
    case SIGWINCH:
        return FILE_SIGNAL_REFRESH;
    default:
        return 0;
    }
}

void signals_handler(int nix_sig)
{
    int saved_errno = errno;
    int sn = procsig_number_of(nix_sig);
    if (sn)
        alarm_schedule_sig(&signals_alarms[sn], signals_alarm_handler);
    errno = saved_errno;
}

void install(int nix_sig, void (*handler)(int))
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (sigaction(nix_sig, &sa, nullptr) != 0)
        qp_assert_failed(__FILE__, __LINE__, "(sigaction(nix_sig,&sa,0)) == (0)");
}

void signals_at_exit()
{
    for (int nix_sig : handled_signals)
        install(nix_sig, nix_sig == SIGTERM ? SIG_DFL : SIG_IGN);
}

} // namespace

void procsig_start(void)
{
    if (__atomic_exchange_n(&signals_initialized, 1, __ATOMIC_ACQ_REL))
        return;
    signal(SIGPIPE, SIG_IGN);
    alarm_initializer();
    for (alarm_t& alarm : signals_alarms)
        alarm_init(&alarm);
    for (int nix_sig : handled_signals)
        install(nix_sig, signals_handler);
    atexit(signals_at_exit);
}
