// trstart.cpp - the start tool: makes the trace driver available.
//
//   trstart sysstart
//
// When the trace library cannot attach to a running driver, the module is
// built for the running kernel when needed (archive, kernel or
// configuration changed) and loaded. Root runs it directly; everyone else
// runs it through the execution service, which the installer asks to
// approve it. Concurrent runs are serialised by the start lock: the second
// finds the driver attached and does nothing.
//
// The wait for the lock is bounded by 120 s (a holder that keeps the lock
// longer is stuck: the start then fails with the lock's error, silently),
// and ends early when the process is asked to stop (SIGINT, SIGTERM).
#include "qpalarm.h"
#include "qppin.h"
#include "qppolymain8.h"
#include "qpinst.h"
#include "qpsocket.h"
#include "qptrace.h"
#include "qpsys.h"
#include "ssformat.h"
#include "usertext.h"

namespace {

constexpr const char* start_lock_file = "/var/run/qptrace_start.lock";
constexpr const char* kmod_name = "qptrace";
constexpr int start_lock_wait_ms = 120000;

UTDEF(ut_sysstart_short, "trstart_sysstart_short_help", "Start trace driver/daemon.\n");
UTDEF(ut_sysstart_long, "trstart_sysstart_long_help", "syntax: %(command_name) %1\n");

// The wait for the lock ends at the process's stop signal or at the bound,
// whichever comes first.
int acquire_start_lock(lock_file_i** out_lock)
{
    pin_timeout_t wait;
    pin_timeout_init(&wait, procsig_pin(FILE_SIGNAL_STOP), start_lock_wait_ms);
    int err = f8_lock_file_factory(out_lock, start_lock_file, wait.pin);
    pin_timeout_term(&wait, nullptr);
    return err;
}

int SysStartMain(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    lock_file_i* lock = nullptr;
    int err = acquire_start_lock(&lock);
    if (err)
        return err;
    if (!trattach()) {
        err = f8_load_kernel(kmod_name);
        if (trattach())
            err = 0;
        else if (err) {
            char line[64];
            ss8formatn(line, sizeof line, "ERROR: %d creating kmod load process.\n", err);
            UtPrintOut(line);
        }
    }
    (*lock)->release(lock);
    return err;
}

declare_main8_c declare_SysStartMain(nullptr, "sysstart", SysStartMain, ut_sysstart_short.tid,
                                     ut_sysstart_long.tid);

int main8(int argc, char** argv8)
{
    procsig_start();
    return poly_main8(nullptr, argc - 1, argv8 + 1, env_get_command(),
                      "Trace Tool - Velkor Trace Tool", QP_BUILD_TAG, QP_COPYRIGHT_LINE);
}

} // namespace

int main(int argc, char** argv)
{
    return poly_main_entry(argc, argv, main8);
}
