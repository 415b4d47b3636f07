// qpsysexecnix.cpp - the entry of the program qpsysexec and its platform
// side: the set-user-id guard, the clean daemon environment, and the
// commands sysstart and sysstop (the daemon command is qpsysexecdnix.cpp's).
//
// The daemon copy of this program is set-user-id root, so any local user
// may run it with any argument vector (even an empty one), environment,
// descriptors, limits, signal dispositions and umask. main decides before
// anything else runs what survives of that: in a set-user-id run only the
// exact command line "daemon" keeps root, and then only after
// setup_daemon_env has rebuilt the whole process state from fixed values;
// any other command line gives up root for good and runs no command.
//
// What start-up before main takes from the caller: the C library ignores
// the loader and allocator variables in a set-user-id process; the static
// initialisers register user texts and commands, and the first environment
// read of all is the user-text start-up setting the character-type locale
// from LC_ALL, LC_CTYPE or LANG. That is safe: a set-user-id process
// accepts only installed locales (no path names, no LOCPATH), so the caller
// merely picks among root's own locale files, and the locale only shapes
// printed text. Nothing is printed or decided with it before main gives up
// root or, for the daemon, starts itself again under its own environment.
// The trace library is loaded from its fixed path on the first trace call,
// never named by the environment.
//
// The daemon command holds the signal socket and keeps the idle rule: it
// ends on the stop signal or after 5 s without activity; request serving
// plugs into the same loop.
//
// Everything here runs on the main thread; the child side of sysstart runs
// only async-signal-safe calls between fork and exec.
#include "qpsysexec.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "qperr.h"
#include "qpfile.h"
#include "qppin.h"
#include "qppolymain8.h"
#include "qpsocket.h"
#include "qpsync.h"
#include "sstring.h"
#include "usertext.h"

extern char** environ;

namespace {

UTDEF(ut_not_enabled, "qpsysexec_error_not_enabled",
      "ERROR: qpsysexec daemon is not enabled, no commands are approved.\n");
UTDEF(ut_stop_failed, "qpsysexec_error_stop_signal", "ERROR: %d Sending stop signal to daemon.\n");

UTDEF(ut_sysstart_short, "sysstart_short_help", "Start qpsysexec support daemon.\n");
UTDEF(ut_sysstart_long, "sysstart_long_help", "syntax: %(command_name) %1\n");
UTDEF(ut_sysstop_short, "sysstop_short_help", "Send stop signal to qpsysexec support daemon.\n");
UTDEF(ut_sysstop_long, "sysstop_long_help", "syntax: %(command_name) %1\n");

const char application_title[] = "Setup/Daemon Isolated Execution Service";
const char daemon_command[] = "daemon";

// The daemon's whole environment.
char daemon_env_path[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
char daemon_env_shell[] = "SHELL=/bin/sh";
char daemon_env_logname[] = "LOGNAME=root";
char daemon_env_user[] = "USER=root";
char daemon_env_home[] = "HOME=/";
char daemon_env_tmpdir[] = "TMPDIR=/tmp";
char* const daemon_env[] = {daemon_env_path, daemon_env_shell, daemon_env_logname,
                            daemon_env_user, daemon_env_home,  daemon_env_tmpdir, nullptr};

// Whether the process environment is exactly the daemon's, in its order.
bool has_daemon_env()
{
    size_t i = 0;
    for (; environ && environ[i]; i++)
        if (!daemon_env[i] || strcmp(environ[i], daemon_env[i]) != 0)
            return false;
    return !daemon_env[i];
}

// Limits a caller may have lowered (or raised) before running the daemon
// copy; root sets them back, as started programs inherit them.
struct limit_reset {
    int resource;
    rlim_t soft, hard;
};
const limit_reset daemon_limits[] = {
    {RLIMIT_CPU, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_FSIZE, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_DATA, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_STACK, 8 * 1024 * 1024, RLIM_INFINITY},
    {RLIMIT_CORE, 0, 0},
    {RLIMIT_NOFILE, 1024, 4096},
    {RLIMIT_AS, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_NPROC, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_MEMLOCK, 8 * 1024 * 1024, 8 * 1024 * 1024},
    {RLIMIT_LOCKS, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_SIGPENDING, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_MSGQUEUE, 819200, 819200},
    {RLIMIT_NICE, 0, 0},
    {RLIMIT_RTPRIO, 0, 0},
};

[[noreturn]] void daemon_setup_failed()
{
    _exit(127);
}

// Standard input becomes the read end of a pipe and standard output and
// error the write end of another; the other ends are closed by the
// exec_cleanup_fd_table that must follow, so input is at its end at once
// and output goes nowhere. False on failure (async-signal-safe).
bool give_detached_stdio()
{
    int input[2], output[2];
    if (pipe(input) != 0 || pipe(output) != 0)
        return false;
    return dup2(input[0], 0) == 0 && dup2(output[1], 1) == 1 && dup2(output[1], 2) == 2;
}

// The value of the sync variable as a descriptor that is open and not a
// standard one; -1 when absent, malformed, out of range or not open.
int parse_sync_fd(const char* text)
{
    if (!text || !*text)
        return -1;
    long value = 0;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9' || value > INT_MAX / 10)
            return -1;
        value = value * 10 + (*p - '0');
    }
    if (value <= 2 || value > INT_MAX || fcntl(static_cast<int>(value), F_GETFD) < 0)
        return -1;
    return static_cast<int>(value);
}

void reset_signals()
{
    // Interval timers outlive execve: one the caller set would end the
    // daemon (default action) while it serves others.
    const struct itimerval stopped = {};
    setitimer(ITIMER_REAL, &stopped, nullptr);
    setitimer(ITIMER_VIRTUAL, &stopped, nullptr);
    setitimer(ITIMER_PROF, &stopped, nullptr);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++)
        if (sig != SIGKILL && sig != SIGSTOP)
            sigaction(sig, &dfl, nullptr); // numbers the kernel reserves fail harmlessly
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Terminal signals (^C, ^Z, the hang-up) reach a process group whatever
// its ids, and SIGCONT any process of the session: the daemon leads a
// session of its own without a terminal. A process group leader cannot start
// a session, and a session leader may hold the caller's terminal: then a
// child goes on as the daemon and this process ends.
void leave_caller_session()
{
    if (setsid() >= 0)
        return;
    if (getsid(0) == getpid()) {
        int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (tty < 0)
            return;
        close(tty);
    }
    // The leader's end hangs its process group up, the child still in it
    // until setsid: that hang-up is let pass (reset_signals follows).
    signal(SIGHUP, SIG_IGN);
    pid_t pid = fork();
    if (pid < 0)
        daemon_setup_failed();
    if (pid > 0)
        _exit(0);
    if (setsid() < 0)
        daemon_setup_failed();
}

void reset_limits()
{
    for (const limit_reset& limit : daemon_limits) {
        struct rlimit value = {limit.soft, limit.hard};
        // Where a hard limit cannot be raised, the soft one at least goes up
        // to it.
        if (setrlimit(limit.resource, &value) != 0 && getrlimit(limit.resource, &value) == 0) {
            value.rlim_cur = limit.soft < value.rlim_max ? limit.soft : value.rlim_max;
            setrlimit(limit.resource, &value);
        }
    }
    setpriority(PRIO_PROCESS, 0, 0);
    // The scheduling class too (a caller may pick the idle one): the
    // programs started for others inherit it.
    struct sched_param no_priority = {};
    sched_setscheduler(0, SCHED_OTHER, &no_priority);
}

// Gives up the set-user-id identity for good: real, effective and saved ids
// become the caller's.
void drop_privileges()
{
    if (setresgid(getgid(), getgid(), getgid()) != 0 ||
        setresuid(getuid(), getuid(), getuid()) != 0 || geteuid() == 0)
        _exit(127);
}

// The file this process runs from, whatever its name is now.
const char own_file_link[] = "/proc/self/exe";

// The name of this process's file as the kernel knows it, into buffer; the
// fixed daemon path when it cannot be read. Never the caller's argv[0].
const char* own_file(char* buffer, size_t size)
{
    ssize_t len = readlink(own_file_link, buffer, size - 1);
    if (len <= 0 || static_cast<size_t>(len) >= size - 1)
        return QPSYSEXEC_DAEMON_FILE;
    buffer[len] = 0;
    return buffer;
}

// The daemon's whole argument vector: this program's file and "daemon".
char** daemon_argv()
{
    static char file_buffer[PATH_MAX];
    static char* argv[] = {nullptr, const_cast<char*>(daemon_command), nullptr};
    argv[0] = const_cast<char*>(own_file(file_buffer, sizeof file_buffer));
    return argv;
}

// The environment for the daemon that sysstart starts: this one without the
// sync and "_" variables, plus their new values. From ma; null on failure.
char** daemon_start_env(malloc_i* ma)
{
    static const char sync_entry[] = QPSYSEXEC_DAEMON_SYNC_FD_VAR "=3";
    static const char exe_entry[] = "_=" QPSYSEXEC_DAEMON_FILE;
    size_t count = 0;
    while (environ && environ[count])
        count++;
    char** env = static_cast<char**>(ma_alloc(ma, (count + 3) * sizeof(char*)));
    if (!env)
        return nullptr;
    size_t kept = 0;
    for (size_t i = 0; i < count; i++) {
        const char* entry = environ[i];
        if (strncmp(entry, QPSYSEXEC_DAEMON_SYNC_FD_VAR "=",
                    sizeof(QPSYSEXEC_DAEMON_SYNC_FD_VAR)) == 0 ||
            strncmp(entry, "_=", 2) == 0)
            continue;
        env[kept++] = environ[i];
    }
    env[kept++] = const_cast<char*>(sync_entry);
    env[kept++] = const_cast<char*>(exe_entry);
    env[kept] = nullptr;
    return env;
}

// The child side of sysstart: a new session in "/", the sync pipe's read end
// as descriptor 3, detached standard descriptors, nothing else open, then
// the daemon copy. Only async-signal-safe calls.
[[noreturn]] void exec_daemon_child(int sync_read, char** env)
{
    static char daemon_file[] = QPSYSEXEC_DAEMON_FILE;
    char* const argv[] = {daemon_file, const_cast<char*>(daemon_command), nullptr};
    if (setsid() < 0 || chdir("/") != 0)
        _exit(127);
    if (sync_read == QPSYSEXEC_DAEMON_SYNC_FD) {
        if (fcntl(sync_read, F_SETFD, 0) != 0)
            _exit(127);
    } else if (dup2(sync_read, QPSYSEXEC_DAEMON_SYNC_FD) != QPSYSEXEC_DAEMON_SYNC_FD) {
        _exit(127);
    }
    if (!give_detached_stdio())
        _exit(127);
    exec_cleanup_fd_table(QPSYSEXEC_DAEMON_SYNC_FD + 1);
    execve(daemon_file, argv, env);
    _exit(127);
}

int sysstart_main(int argc, char** argv)
{
    qpsysexec_scan_args(argc, argv, 0);
    int err = f8_exists(QPSYSEXEC_DAEMON_FILE, nullptr);
    if (err) {
        qpsysexec_printf(ut_not_enabled.tid);
        return err;
    }
    qp_scratch_pool pool;
    char** env = daemon_start_env(pool.ma());
    if (!env)
        return err_no_mem;
    int sync[2];
    if (pipe2(sync, O_CLOEXEC) != 0)
        return errno;
    pid_t pid = fork();
    if (pid == 0)
        exec_daemon_child(sync[0], env);
    err = pid < 0 ? errno : 0;
    close(sync[0]);
    // The write end stays open until this process ends: the daemon reads
    // its end of data then, and only then starts to serve.
    if (err)
        close(sync[1]);
    return err;
}

int sysstop_main(int argc, char** argv)
{
    qpsysexec_scan_args(argc, argv, 0);
    pin_i* stop = procsig_pin(FILE_SIGNAL_STOP);
    int err = procsig_send(stop, -1, QPSYSEXEC_SIGNAL_SOCKET_NAME, FILE_SIGNAL_STOP);
    if (err)
        qpsysexec_printf(ut_stop_failed.tid, err);
    return err;
}

declare_main8_c decl_sysstart(nullptr, "sysstart", sysstart_main, nullptr, nullptr);
declare_main8_c decl_sysstop(nullptr, "sysstop", sysstop_main, nullptr, nullptr);

} // namespace

extern "C" {

int qpsysexec_is_setuidroot(void)
{
    return geteuid() == 0 && getuid() != 0;
}

void setup_daemon_env(void)
{
    if (setgroups(0, nullptr) != 0 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0)
        daemon_setup_failed();
    leave_caller_session();
    umask(002);
    if (chdir("/") != 0)
        daemon_setup_failed();
    // The only value taken from the caller's environment; it is checked to
    // name an open descriptor above 2 and only ever read one byte from.
    int sync_fd = parse_sync_fd(getenv(QPSYSEXEC_DAEMON_SYNC_FD_VAR));
    bool started_clean = has_daemon_env();
    if (clearenv() != 0)
        daemon_setup_failed();
    for (char* const* entry = daemon_env; *entry; entry++)
        if (putenv(*entry) != 0)
            daemon_setup_failed();
    if (sync_fd >= 0 && sync_fd != QPSYSEXEC_DAEMON_SYNC_FD &&
        dup2(sync_fd, QPSYSEXEC_DAEMON_SYNC_FD) != QPSYSEXEC_DAEMON_SYNC_FD)
        daemon_setup_failed();
    reset_signals();
    reset_limits();
    if (!give_detached_stdio())
        daemon_setup_failed();
    exec_cleanup_fd_table(sync_fd >= 0 ? QPSYSEXEC_DAEMON_SYNC_FD + 1 : QPSYSEXEC_DAEMON_SYNC_FD);
    signal(SIGPIPE, SIG_IGN);
    if (sync_fd >= 0) {
        char byte;
        while (read(QPSYSEXEC_DAEMON_SYNC_FD, &byte, 1) < 0 && errno == EINTR) {
        }
        close(QPSYSEXEC_DAEMON_SYNC_FD);
    }
    // The caller's environment block stays in the process image (and in
    // /proc/<pid>/environ) whatever the C library's view: the daemon starts
    // itself once more with nothing but its own variables and arguments.
    // It starts the file it runs from, never that file's name: the caller
    // may have run it through a hard link of its own and replaced that
    // name meanwhile (or removed it and planted "<name> (deleted)").
    if (!started_clean) {
        char** argv = daemon_argv();
        execve(own_file_link, argv, daemon_env);
        execve(QPSYSEXEC_DAEMON_FILE, argv, daemon_env); // no /proc
        daemon_setup_failed();
    }
    // Started through the link, the kernel named the process "exe".
    const char* file = daemon_argv()[0];
    const char* slash = strrchr(file, '/');
    prctl(PR_SET_NAME, slash ? slash + 1 : file);
}

char* qpsysexec_running_program(malloc_i* res_ma)
{
    char buffer[PATH_MAX];
    ssize_t len = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (len <= 0 || static_cast<size_t>(len) >= sizeof buffer)
        return nullptr;
    return ss8cpymn(res_ma, buffer, static_cast<size_t>(len));
}

int qpsysexec_main(int argc, char** argv)
{
    // Of the caller's environment only the locale has been read so far (see
    // the top of this unit): in a run as the daemon, setup_daemon_env reads
    // the sync descriptor from it and then replaces it; any other
    // set-user-id run gives up root before anything else reads it.
    bool setuid_run = qpsysexec_is_setuidroot();
    bool daemon = argc == 2 && strcmp(argv[1], daemon_command) == 0 && geteuid() == 0;
    if (daemon)
        setup_daemon_env();
    else if (setuid_run)
        drop_privileges();
    // A set-user-id run keeps no argument but "daemon", the daemon's argv[0]
    // is never the caller's, and an empty vector gets the program's own file.
    if (setuid_run || daemon || argc < 1) {
        argc = daemon ? 2 : 1;
        argv = daemon_argv();
    }
    proc_set_argv_main(argc, argv);
    file_prep_stdio();
    procsig_start();
    int argc8 = 0;
    char** argv8 = proc_get_argv8(&argc8);
    int result = argv8 ? poly_main8(nullptr, argc8 - 1, argv8 + 1, env_get_command(),
                                    application_title, QP_BUILD_TAG, QP_COPYRIGHT_LINE)
                       : err_no_mem;
    return err_to_perr(result);
}

} // extern "C"
