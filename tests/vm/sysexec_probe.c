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
 *       blocked and a file size limit of 1000 bytes; the pipe's name as
 *       /proc shows it ("pipe:[<inode>]") goes to /tmp/sysexec_probe.pipe;
 *   sysexec_probe hold <seconds> <program> [args...]
 *       executes it with the sync variable naming the read end of a pipe
 *       whose only write end a child keeps open for that many seconds.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
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
    fprintf(stderr, "usage: sysexec_probe empty|hostile|hold ...\n");
    return 125;
}
