/*
 * qpsysexec.h - the isolated execution service: the approval store, the
 * registration of the daemon copies and the entry of the program qpsysexec
 * (user mode).
 *
 * The approvals are the values "approval.<time><crc>" of the file key
 * QPSYSEXEC_KEY_NAME in the system domain (/etc); each holds the full path
 * of one approved executable. Paths compare Unicode case-insensitively and
 * keep their stored spelling. The daemon copy QPSYSEXEC_DAEMON_FILE (set-
 * user-id root) and the plain copy qpsysexec_service_exe_name exist while
 * at least one executable is approved.
 *
 * Errors are platform codes (qperr.h); the program's exit status is the
 * portable code of its command's result.
 */
#ifndef QPSYSEXEC_H
#define QPSYSEXEC_H

#include "qpbase.h"
#include "qpsys.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The approval key under /etc. */
#define QPSYSEXEC_KEY_NAME QP_REVERSE_DOMAIN_PREFIX ".qpsysexec"
/* The daemon's signal socket, completed under /tmp, with its ".lock" file
 * (the request socket is qpsysexec_ipc_socket_name, qpsys.h). */
#define QPSYSEXEC_SIGNAL_SOCKET_NAME QP_REVERSE_DOMAIN_PREFIX ".qpsysexec.signal-socket"
/* The installed daemon copy (the plain copy is qpsysexec_service_exe_name). */
#define QPSYSEXEC_DAEMON_FILE "/usr/local/bin/qpsysexec-daemon"
/* The descriptor a new daemon waits on once before serving ("3"). */
#define QPSYSEXEC_DAEMON_SYNC_FD_VAR "QPSYSEXEC_DAEMON_SYNC_FD"
#define QPSYSEXEC_DAEMON_SYNC_FD     3

/* The version-date tag: these 31 bytes, then the date "YYYY.MM.DD" and a
 * zero byte, are carried by every build of the program. */
#define QPSYSEXEC_VER_DATE_TAG     "\nVER_DATE_TAG:803AFE4DC4ECEDC7:"
#define QPSYSEXEC_VER_DATE_TAG_LEN 31
/* Files larger than this are read only this far for their date. */
#define QPSYSEXEC_VER_DATE_MAX_FILE 10000000

/* ---- approval store ------------------------------------------------------ */

enum {
    qpsysexec_op_approve = 1,
    qpsysexec_op_revoke = 2,
    qpsysexec_op_check = 3,
    qpsysexec_op_list = 4,
};

/* Extra approved paths (null-terminated vector, may be null), compared
 * byte-wise before the store; set by the proxy command. */
extern char** proxy_approved_arg0;

/* The one store operation; args[0] is the path (for list: the filter, may be
 * empty). Approve and revoke need write access to the key (13 without);
 * revoke, check and list give 2 when nothing matched. out_count (may be
 * null) receives the number of approvals left. For check, args[0] is
 * replaced by the stored spelling, allocated from res_ma. */
int qpsysexec_config_op(malloc_i* res_ma, int op, char** args, int* out_count);
int qpsysexec_approve_command(const char* path);
int qpsysexec_revoke_command(const char* path, int* out_count);
/* 0 when args[0] is approved; res_ma must be given. */
int qpsysexec_check_command(malloc_i* res_ma, char** args);
/* Prints every approved path matching filter (Unicode case-insensitive
 * glob; null or empty: all), one per line. */
int qpsysexec_list_commands(const char* filter);

/* ---- registration -------------------------------------------------------- */

/* This program's version date ("YYYY.MM.DD"). */
const char* get_ver_date(void);
/* The last version date tagged in a program file, from res_ma; null when
 * the file cannot be read or holds no tag. */
char* get_file_ver_date(malloc_i* res_ma, const char* file_name);
/* Installs the daemon copy (set-user-id root) and the plain copy of the
 * running program unless the installed daemon copy carries a newer date. */
int qpsysexec_register_daemon(void);
/* Deletes both copies. */
int qpsysexec_unregister_daemon(void);
/* The running program's file (the kernel's view, not argv[0]), from res_ma. */
char* qpsysexec_running_program(malloc_i* res_ma);

/* ---- entry --------------------------------------------------------------- */

/* The program's main: the set-user-id guard, the daemon environment, the
 * process set-up and the dispatcher; returns the exit status (the portable
 * code of the command's result). */
int qpsysexec_main(int argc, char** argv);
/* True when the effective user is root and the real user is not. */
int qpsysexec_is_setuidroot(void);
/* Makes the calling process the clean root daemon: ids 0, umask 002, "/",
 * the six variables, standard descriptors on their own pipes, every other
 * descriptor closed (the sync descriptor waited on and closed). Any failure
 * ends the process with status 127. */
void setup_daemon_env(void);

/* Prints a message template (a user text whose stored text is a format of
 * the format engine) to standard output in one write. */
void qpsysexec_printf(const char* tid, ...);
/* Scans a command's arguments after its name (argv[1] on): each one-letter
 * switch ("-x") is warned about as unknown, the first other argument is
 * taken when max_taken is 1, every further one is warned about as
 * unexpected. Returns the argument taken, or null. */
const char* qpsysexec_scan_args(int argc, char** argv, int max_taken);

#ifdef __cplusplus
}
#endif

#endif
