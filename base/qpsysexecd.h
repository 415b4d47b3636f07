/*
 * qpsysexecd.h - the execution service's root daemon: the parts of it that
 * need no operating system (request checks, size caps, the busy count and
 * the idle rule), and the commands daemon, proxy and start.
 *
 * The daemon is root and its request socket is open to every local user, so
 * everything in a request is hostile until checked here: sizes against the
 * total and a cap before any allocation, every argument's terminator, the
 * argument count.
 *
 * Busy state: daemon_busy_count counts what keeps the daemon alive (one per
 * watched process); daemon_idle is signalled while it is 0. daemon_lock
 * guards daemon_touch (counter_msec of the last activity) and
 * daemon_exiting; once exiting is set it stays set and touches fail with 2,
 * so that clients start a new daemon.
 */
#ifndef QPSYSEXECD_H
#define QPSYSEXECD_H

#include "qpbase.h"
#include "qppin.h"
#include "qpsys.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    qpsysexec_exec_max_argc = 1000,
    /* argc, at least one argument's terminator and the folder's */
    qpsysexec_exec_min_input_size = 8,
    /* more than the system allows for an argument vector */
    qpsysexec_exec_max_input_size = 0x200000,
    /* qpsysexec_exec_output_t: the i32 process id */
    qpsysexec_exec_output_size = 4,
    /* what an unknown code may carry and still get its answer 38 */
    qpsysexec_other_max_input_size = 1024,
    /* the idle rule: checks this far apart, exit after this much quiet */
    qpsysexec_idle_msec = 5000,
};

/* A checked start request: argv (argc texts and a null) and folder point
 * into one terminated copy of the request data, all from the caller's
 * allocator. */
typedef struct qpsysexec_exec_args_t {
    int argc;
    char** argv;
    char* folder;
} qpsysexec_exec_args_t;

/* Checks a start request's data (qpsysexec_exec_input_t: i32 LE argc, argc
 * zero-terminated texts, then the folder up to its zero or the end) and
 * copies it into *out. 22 for a size outside 8..2 MiB, a max output below
 * 4, argc outside 1..1000 or an argument without its zero before the end;
 * 12 when ma fails. *out is cleared on failure. */
int qpsysexec_exec_parse(malloc_i* ma, const void* input, size_t input_size,
                         size_t max_output_size, qpsysexec_exec_args_t* out);

/* The daemon's limits for an arriving request (the remote protocol's
 * max_sizes): a start request may carry 2 MiB and get 4 bytes back, a touch
 * nothing either way, any other code a little input and no output. The
 * values are only ever lowered. */
void qpsysexec_max_sizes(int code, size_t* max_input, size_t* max_output);

/* ---- busy count, touch and the idle rule -------------------------------- */

extern int daemon_busy_count;
extern qpsync_pin_t daemon_idle;
extern uint64_t daemon_touch;
extern int daemon_exiting;
extern sync_t daemon_lock;

/* Sets the state up afresh: not busy, idle signalled, touched now, not
 * exiting. The daemon and the proxy call it once before serving. */
void daemon_state_init(void);
void daemon_state_term(void);

void daemon_busy_retain(void);
void daemon_busy_release(void);
int daemon_is_busy(void);
/* 2 once the daemon is exiting, else 0 with the touch time set to now. */
int daemon_busy_touch(void);
/* The idle check at time now (counter_msec): sets daemon_exiting when the
 * daemon is not busy and more than 5000 ms passed since the last activity.
 * Returns whether the daemon is exiting. */
int daemon_idle_check(uint64_t now);

/* ---- daemon side (qpsysexecdnix.cpp) -------------------------------------- */

/* Serves one start request: checks the data, resolves the program and its
 * folder, checks the approval (the stored spelling is what starts) and
 * starts it as root with the three descriptors (always taken and closed).
 * On success output holds the 4-byte process id and *out_exit_fd the
 * caller's end of the exit-status socket; on failure *out_output_size is 0
 * and *out_exit_fd -1. 22 malformed, 2 not found or not approved, 12. */
int qpsysexec_exec(const void* input, size_t input_size, int stdin_fd, int stdout_fd,
                   int stderr_fd, void* output, size_t max_output_size, size_t* out_output_size,
                   int* out_exit_fd);


int daemon_main(int argc, char** argv);
int proxy_main(int argc, char** argv);
int start_main(int argc, char** argv);

#ifdef __cplusplus
}
#endif

#endif
