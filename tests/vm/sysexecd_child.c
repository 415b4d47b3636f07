/*
 * sysexecd_child.c - the program the execution service's VM tests start as
 * root. It reports what it was given and behaves as asked:
 *
 *   sysexecd_child report <code>   prints "uid=R euid=E", "cwd=FOLDER", one
 *                                 "env:NAME=VALUE" line per variable, "fds:"
 *                                 with its open descriptors, then reads one
 *                                 line and prints "echo:LINE"; exits <code>
 *   sysexecd_child exit <code>     exits with <code> at once
 *   sysexecd_child closeout <sec>  closes its output and error, then sleeps
 *   sysexecd_child sleep <sec>     sleeps, then exits 0
 *   sysexecd_child cat             copies its input to its output
 *   sysexecd_child say <text> <code>  prints the text and exits <code>
 *   sysexecd_child sayhold <text> <code>  the same, but a child of its own
 *                                 keeps the output open a second longer, so
 *                                 that the exit code comes before the end of
 *                                 the output however slow the machine
 *
 * Built static, so the guest needs no libraries for it.
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern char** environ;

static void list_fds(void)
{
    DIR* d = opendir("/proc/self/fd");
    int own = d ? dirfd(d) : -1;
    struct dirent* e;
    printf("fds:");
    while (d && (e = readdir(d))) {
        if (e->d_name[0] != '.' && atoi(e->d_name) != own) {
            printf(" %s", e->d_name);
        }
    }
    printf("\n");
    if (d) {
        closedir(d);
    }
}

static int report(int code)
{
    char cwd[4096];
    char line[4096];
    printf("uid=%d euid=%d gid=%d egid=%d\n", (int)getuid(), (int)geteuid(), (int)getgid(),
           (int)getegid());
    printf("cwd=%s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
    for (char** v = environ; *v; v++) {
        printf("env:%s\n", *v);
    }
    list_fds();
    fflush(stdout);
    if (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\n")] = 0;
        printf("echo:%s\n", line);
    }
    return code;
}

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "report";
    int n = argc > 2 ? atoi(argv[2]) : 0;
    if (!strcmp(mode, "report")) {
        return report(n);
    }
    if (!strcmp(mode, "exit")) {
        return n;
    }
    if (!strcmp(mode, "closeout")) {
        printf("closing\n");
        fflush(stdout);
        close(1);
        close(2);
        sleep((unsigned)n);
        return 0;
    }
    if (!strcmp(mode, "sleep")) {
        sleep((unsigned)n);
        return 0;
    }
    if (!strcmp(mode, "cat")) {
        char buf[4096];
        ssize_t got;
        while ((got = read(0, buf, sizeof buf)) > 0) {
            if (write(1, buf, (size_t)got) != got) {
                return 1;
            }
        }
        return 0;
    }
    if (!strcmp(mode, "say") || !strcmp(mode, "sayhold")) {
        printf("%s\n", argc > 2 ? argv[2] : "");
        fflush(stdout);
        if (!strcmp(mode, "sayhold") && fork() == 0) {
            sleep(1);
            _exit(0);
        }
        return argc > 3 ? atoi(argv[3]) : 0;
    }
    fprintf(stderr, "sysexecd_child: unknown mode %s\n", mode);
    return 2;
}
