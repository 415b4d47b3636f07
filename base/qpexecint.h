// qpexecint.h - the process object shared by the local kind (qpexec.cpp)
// and the service kind (qpexec2.cpp); not a public header.
//
// One exec_t serves both kinds; only the table differs. The pool owns every
// text and table of the object. Reference counts: ext_ref_count is the
// users' (starts at 1); int_ref_count is one for all users together plus
// one per running waiter or pending exit-code read. The object is freed
// when int_ref_count reaches 0, from whichever thread drops it last.
//
// Threads: setters and start run on the user's thread. While start waits
// for the local waiter to fork, the waiter alone touches the object. Once
// started, the waiter (or the exit-code read) writes exit_code and then
// signals exited, which orders the write before every reader that waited.
// pid_lock guards `reaped` against terminate, so that a process id is never
// signalled once the child has been reaped and the number may be reused.
#ifndef QPEXECINT_H
#define QPEXECINT_H

#include "qppin.h"
#include "qpsys.h"

struct exec_t {
    fw_exec_i vtbl;
    qp_mp_t mp;
    pin_t cancelled; // signalled when the last user reference goes
    pin_t exited;    // signalled when the child has ended; initially signalled
    int ext_ref_count;
    int int_ref_count;
    int err; // first recorded error
    bool no_console;
    bool detached;
    int pid;
    int exit_code;
    uint8_t exit_code_[4];             // service kind: little-endian exit code as received
    int proxy_fd;                      // service kind: delivers the exit code; -1
    int input_fd, output_fd, error_fd; // private duplicates; -1
    size_t max_var_count, var_count;
    wchar_t** vars; // NAME=VALUE, sorted by name, null-terminated; null until first set
    wchar_t* current_folder;
    wchar_t *domain, *user, *password;
    // what follows is private to this implementation
    bool started;
    bool reaped; // guarded by pid_lock
    sync_t pid_lock;
};

static inline exec_t* exec_vcast(fw_exec_i* e)
{
    return reinterpret_cast<exec_t*>(e);
}

// Creates an object with the given table (12 when out of memory).
int exec_create(const fw_exec_i_vtbl_t* vtbl, fw_exec_i** out);
// Records err unless an error is recorded already.
void exec_record(exec_t* th, int err);
// Takes and drops an internal reference; the last drop frees the object.
void exec_int_retain(exec_t* th);
void exec_int_release(exec_t* th);

// Slots both kinds share.
void exec_retain(fw_exec_i* e);
void exec_release(fw_exec_i* e);
void exec_set_no_console(fw_exec_i* e);
void exec_set_detached(fw_exec_i* e);
void exec_set_current_folder(fw_exec_i* e, const wchar_t* folder);
void exec_set_input(fw_exec_i* e, int fd);
void exec_set_output(fw_exec_i* e, int fd);
void exec_set_error(fw_exec_i* e, int fd);
int exec_get_pid(fw_exec_i* e);
void exec_terminate(fw_exec_i* e);
int exec_wait(fw_exec_i* e, pin_i* cancel_pin, int timeout_msecs);
int exec_get_exit_code(fw_exec_i* e);

// The first steps of either start: a second start is refused with 22 (and
// nothing recorded). Otherwise, each failure recorded: the program of
// argv[0] is searched and the vector copied into ma with the found path
// first (2 for an empty vector or a program not found, 12 when ma fails),
// the pool is checked (12 when it failed) and the empty standard slots are
// opened on the null device. Returns 0 unless refused.
int exec_begin_start(exec_t* th, malloc_i* ma, const wchar_t* const* argv, wchar_t** out_path,
                     wchar_t*** out_argv);
// Closes the three standard duplicates.
void exec_close_std_slots(exec_t* th);

// Creates a wide object with fw_factory and wraps it in a UTF-8 object; on
// failure of either step nothing is handed out and the error returned.
int f8_exec_wrap(int (*fw_factory)(fw_exec_i** out), f8_exec_i** out);

#endif
