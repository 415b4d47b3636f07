/*
 * sysexec_probe.c - starts a program the way a hostile local user would,
 * for the execution service's VM tests (built static):
 *
 *   sysexec_probe empty <program>
 *       executes the program with an empty argument vector (argc 0);
 *   sysexec_probe hostile <program> [args...]
 *       executes it with attacker values in PATH, LD_*, HOME, LANG, LC_ALL,
 *       TMPDIR and EVIL, the sync variable naming descriptor 7 (a pipe whose
 *       write end is descriptor 8, both inherited), /etc/passwd open as 5
 *       and /dev/null as 9, umask 077, folder /tmp, SIGTERM ignored, SIGINT
 *       blocked, a file size limit of 1000 bytes, the idle scheduling
 *       class and a real-time interval
 *       timer (SIGALRM) due in 2 seconds; the pipe's name as
 *       /proc shows it ("pipe:[<inode>]") goes to /tmp/sysexec_probe.pipe;
 *   sysexec_probe hold <seconds> <program> [args...]
 *       executes it with the sync variable naming the read end of a pipe
 *       whose only write end a child keeps open for that many seconds;
 *   sysexec_probe tty <seconds> <program> [args...]
 *       executes it as the leader of a new session whose controlling
 *       terminal is a pseudo-terminal; after that many seconds the probe
 *       types the interrupt character (^C) on it, waits one second more
 *       and hangs the terminal up; its children are not left as zombies.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

static int fail(const char* what)
{
    perror(what);
    return 125;
}

static int exec_hostile(char** argv)
{
    static char* env[] = {"PATH=/tmp/evil",        "LD_PRELOAD=/tmp/evil.so",
                          "LD_LIBRARY_PATH=/tmp",  "HOME=/tmp/evil",
                          "LANG=evil",             "LC_ALL=evil",
                          "TMPDIR=/tmp/evil",      "EVIL=1",
                          "QPSYSEXEC_DAEMON_SYNC_FD=7", NULL};
    int sync_pipe[2];
    if (pipe(sync_pipe) != 0 || dup2(sync_pipe[0], 7) != 7 || dup2(sync_pipe[1], 8) != 8)
        return fail("pipe");
    close(sync_pipe[0]);
    close(sync_pipe[1]);
    struct stat st;
    FILE* name = fopen("/tmp/sysexec_probe.pipe", "w");
    if (fstat(7, &st) != 0 || !name)
        return fail("pipe name");
    fprintf(name, "pipe:[%lu]\n", (unsigned long)st.st_ino);
    fclose(name);
    int passwd = open("/etc/passwd", O_RDONLY);
    int null = open("/dev/null", O_RDWR);
    if (passwd < 0 || null < 0 || dup2(passwd, 5) != 5 || dup2(null, 9) != 9)
        return fail("open");
    close(passwd);
    close(null);
    umask(077);
    if (chdir("/tmp") != 0)
        return fail("chdir");
    signal(SIGTERM, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, NULL);
    struct rlimit small = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &small);
    struct sched_param no_priority = {0};
    if (sched_setscheduler(0, SCHED_IDLE, &no_priority) != 0)
        return fail("sched_setscheduler");
    struct itimerval alarm_timer = {{0, 0}, {2, 0}};
    setitimer(ITIMER_REAL, &alarm_timer, NULL);
    execve(argv[0], argv, env);
    return fail("execve");
}

static int exec_held(int seconds, char** argv)
{
    int sync_pipe[2];
    if (pipe(sync_pipe) != 0)
        return fail("pipe");
    pid_t pid = fork();
    if (pid < 0)
        return fail("fork");
    if (pid == 0) {
        close(sync_pipe[0]);
        sleep((unsigned)seconds);
        _exit(0);
    }
    close(sync_pipe[1]);
    char value[16];
    snprintf(value, sizeof value, "%d", sync_pipe[0]);
    setenv("QPSYSEXEC_DAEMON_SYNC_FD", value, 1);
    execve(argv[0], argv, environ);
    return fail("execve");
}

static int exec_on_tty(int seconds, char** argv)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return fail("posix_openpt");
    char* slave_name = ptsname(master);
    pid_t pid = fork();
    if (pid < 0)
        return fail("fork");
    if (pid == 0) {
        close(master);
        int slave = setsid() < 0 ? -1 : open(slave_name, O_RDWR); /* becomes the terminal */
        if (slave < 0)
            _exit(125);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        if (slave > 2)
            close(slave);
        execve(argv[0], argv, environ);
        _exit(125);
    }
    signal(SIGCHLD, SIG_IGN);
    sleep((unsigned)seconds);
    if (write(master, "\003", 1) != 1)
        return fail("write");
    sleep(1);
    close(master);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "empty") == 0) {
        char* none[] = {NULL};
        execve(argv[2], none, environ);
        return fail("execve");
    }
    if (argc >= 3 && strcmp(argv[1], "hostile") == 0)
        return exec_hostile(argv + 2);
    if (argc >= 4 && strcmp(argv[1], "hold") == 0)
        return exec_held(atoi(argv[2]), argv + 3);
    if (argc >= 4 && strcmp(argv[1], "tty") == 0)
        return exec_on_tty(atoi(argv[2]), argv + 3);
    fprintf(stderr, "usage: sysexec_probe empty|hostile|hold|tty ...\n");
    return 125;
}
