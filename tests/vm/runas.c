/*
 * runas.c - runs a program as another user inside the test VM:
 *
 *   runas <uid> <gid> <program> [args...]
 *
 * Drops the supplementary groups, then the group, then the user, and
 * executes the program from the PATH. Built static, so the guest needs no
 * libraries for it; busybox's su would need itself set-user-id and a
 * password set-up.
 */
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: runas <uid> <gid> <program> [args...]\n");
        return 125;
    }
    uid_t uid = (uid_t)strtoul(argv[1], NULL, 10);
    gid_t gid = (gid_t)strtoul(argv[2], NULL, 10);
    if (setgroups(0, NULL) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        perror("runas");
        return 125;
    }
    execvp(argv[3], argv + 3);
    perror("runas: exec");
    return 127;
}
