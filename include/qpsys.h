/*
 * qpsys.h - process facts, environment and the path algebra.
 *
 * Process facts (arguments, executable file and folder, command name,
 * machine name, home and current folders, environment) are computed on first
 * use, published once with a compare-exchange into the one process record
 * qpsys_proc_info and released at process exit; a value that cannot be found
 * has a fixed default ("/_", "/", "_", ".", "/", "/").
 *
 * Paths: '/' separates components, '\' is accepted as well. A path may start
 * with a volume: a letter and ':' ("C:", rooted when a separator follows),
 * "//=" followed by a separator, or "//server/share" (both parts non-empty,
 * rooted). A path starting with one separator is rooted; rooted means
 * absolute. Every operation comes as an f8_ form on UTF-8 text and an fw_
 * form on wide text; both follow the same rules. Results are allocated from
 * the caller's allocator (res_ma) and are null on failure.
 *
 * The parsing and joining part (f8_path_parse, f8_path_normalize,
 * f8_path_cat and their wide forms) is also built for the kernel.
 */
#ifndef QPSYS_H
#define QPSYS_H

#include "qpbase.h"

#ifndef __KERNEL__
#include "qpsync.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The system's reverse-domain prefix: the execution service's socket names
 * under /tmp and its approval key under /etc all start with it. */
#define QP_REVERSE_DOMAIN_PREFIX "com.velkor"

/* ---- path algebra (user mode and kernel) ---------------------------- */

/* Splits a path: volume length in units, rooted flag, index of the last
 * component (just after the last separator at or after the volume) and index
 * of its extension (the last '.' of the last component that is not its first
 * unit; the text length when there is none). Returns 0, or 36 (bad name) for
 * an empty or null name, a lone "//" or an incomplete "//server/share". Each
 * out pointer may be null; on error the outs are zero. */
int f8_path_parse(const char* name, size_t* out_volume_chars, int* out_rooted,
                  size_t* out_name_index, size_t* out_ext_index);
int fw_path_parse(const wchar_t* name, size_t* out_volume_chars, int* out_rooted,
                  size_t* out_name_index, size_t* out_ext_index);

/* Normalises: separators become '/', runs of them one; a component of n dots
 * goes up n - 1 levels; a relative path that went up past its start gets one
 * "../" per level in front (a rooted one ignores them); an empty result is
 * "."; a trailing separator is kept; a relative first component that would
 * read as a volume ("a:") gets "./" in front. Null for an empty or bad name. */
char* f8_path_normalize(malloc_i* res_ma, const char* name);
wchar_t* fw_path_normalize(malloc_i* res_ma, const wchar_t* name);

/* Joins: an empty folder gives a copy of name; otherwise folder without one
 * trailing separator, '/', and name without one leading separator. */
char* f8_path_cat(malloc_i* res_ma, const char* folder, const char* name);
wchar_t* fw_path_cat(malloc_i* res_ma, const wchar_t* folder, const wchar_t* name);

#ifndef __KERNEL__

/* ---- completion and search (user mode) ------------------------------ */

/* An absolute normalised path for name: "~" and "~user" name home folders,
 * a rooted name is normalised as is, anything else is joined to def_folder
 * (the current folder when def_folder is null, empty or "."; a relative
 * def_folder is first joined to the current folder). Null on failure. */
char* f8_path_complete(malloc_i* res_ma, const char* def_folder, const char* name);
wchar_t* fw_path_complete(malloc_i* res_ma, const wchar_t* def_folder, const wchar_t* name);

/* Search flags: which folders f8_search tries besides exec_folder. */
enum {
    fsf_current_folder = 1,    /* always the current folder */
    fsf_current_folder_if = 2, /* the current folder when the name holds a '/' */
    fsf_path = 4,              /* the process PATH when no search path is given */
    fsf_exec = 6,
    fsf_library = 4,
};

/* Finds an existing non-folder file for name, trying each suffix of the
 * ':'-separated suffix_list (unless name already ends with one, compared
 * without regard to case) before the bare name, in exec_folder, then the
 * current folder (by flags), then each entry of search_path (or of PATH).
 * Returns the absolute path of the first hit, or null. */
char* f8_search(malloc_i* res_ma, int flags, const char* exec_folder, const char* search_path,
                const char* name, const char* suffix_list);
wchar_t* fw_search(malloc_i* res_ma, int flags, const wchar_t* exec_folder,
                   const wchar_t* search_path, const wchar_t* name, const wchar_t* suffix_list);

/* The home folder of user from the user database; "/" for an unknown user
 * or an empty entry; null only when allocation fails. */
char* f8_get_user_folder(malloc_i* res_ma, const char* user);
wchar_t* fw_get_user_folder(malloc_i* res_ma, const wchar_t* user);

/* The current folder, determined anew on every call (the text of PWD when it
 * names the same folder). Null when allocation fails; "/" when the system
 * cannot tell. */
char* f8_get_current_folder(malloc_i* res_ma);
wchar_t* fw_get_current_folder(malloc_i* res_ma);

/* ---- process record ----------------------------------------------- */

typedef struct qpsys_proc_info_t {
    int argc;
    char** argv8;    /* recorded by proc_set_argv_main; one allocation */
    wchar_t** argvw; /* the same vector in wide form */
    char** envp8;    /* environment captured by proc_get_envp */
    wchar_t** envpw;
    wchar_t* exec_file;
    wchar_t* exec_folder;
    wchar_t* command;
    wchar_t* machine;
    wchar_t* home_folder;
    wchar_t* current_folder;
} qpsys_proc_info_t;

/* The one process record. Pointers are published with a compare-exchange
 * and never change afterwards until the exit handler releases them. */
extern qpsys_proc_info_t qpsys_proc_info;

/* Records the argument vector (once per process, argc > 0), determines the
 * executable file and sets the variable "_" to it (removes "_" when it is
 * unknown). */
void proc_set_argv_main(int argc, char** argv);
/* The recorded UTF-8 vector and its count; null (and 0) before recording. */
char** proc_get_argv8(int* out_argc);

/* Process-owned wide texts (never null; defaults when unknown). */
const wchar_t* proc_get_exec_file(void);
const wchar_t* proc_get_exec_folder(void);
const wchar_t* proc_get_command(void);
const wchar_t* proc_get_machine(void);
const wchar_t* proc_get_home_folder(void);
const wchar_t* proc_get_current_folder(void);
/* The environment in wide form, captured once; never null. */
wchar_t** proc_get_envp(void);

/* Process-owned UTF-8 texts (never null). After the exit handler ran they
 * return their defaults. */
const char* env_get_exec_file(void);
const char* env_get_exec_folder(void);
const char* env_get_module_folder(void);
const char* env_get_command(void);
const char* env_get_home_folder(void);
const char* env_get_current_folder(void);

/* Sets the character-type locale from the environment when it is "C",
 * "POSIX" or empty, and "en_US.UTF-8" when it still is. Once per process. */
void proc_init_locale(void);
/* True when the effective user is root. */
int env_is_user_privileged(void);
/* The variable's value (pointing into the live environment) or null. */
const char* env_get_val(const char* name);
/* A copy of the variable's value from res_ma, or null. */
char* f8_proc_get_env(malloc_i* res_ma, const char* name);
wchar_t* fw_proc_get_env(malloc_i* res_ma, const wchar_t* name);

/* ---- process execution (user mode) ------------------------------------ */

/* A process object starts one child program with a chosen argument vector,
 * environment, current folder and standard descriptors, and gives its
 * process id, its end and its exit code. The local kind forks and executes
 * the program itself; the service kind asks the root execution service to
 * start it and relays its exit code. fw_exec_i takes wide texts, f8_exec_i
 * UTF-8 texts (converted and forwarded to a wrapped fw_exec_i); the slots
 * are the same sixteen in the same order.
 *
 * Setters return nothing: the first failure is recorded and returned by
 * start, which does nothing further once an error is recorded. start is
 * called at most once. The object lives until the user's last release and
 * the end of its waiter, so it may outlive its user while a child runs.
 *
 *   fw_exec_i* e;
 *   if (!fw_exec_factory(&e)) {
 *       (*e)->set_output(e, pipe_fd);
 *       if (!(*e)->start(e, argv)) code = (*e)->get_exit_code(e);
 *       (*e)->release(e);
 *   }
 *
 * Exit codes: the child's 8-bit exit status, or 128 + the signal number for
 * a child ended by a signal; 127 when the program could not be executed (its
 * output then holds "ERROR: <errno> execve <path>"). */
typedef struct fw_exec_i_vtbl_t fw_exec_i_vtbl_t;
typedef const fw_exec_i_vtbl_t* fw_exec_i;
struct fw_exec_i_vtbl_t {
    void (*retain)(fw_exec_i* e);
    void (*release)(fw_exec_i* e);
    /* Either flag makes the child start a new session (setsid). */
    void (*set_no_console)(fw_exec_i* e);
    void (*set_detached)(fw_exec_i* e);
    /* Replaces the child's environment by the NAME=VALUE texts of envp
     * (null: an empty environment). */
    void (*set_envp)(fw_exec_i* e, const wchar_t* const* envp);
    /* Sets one variable of the child's environment (which starts as a copy
     * of the process environment); an empty value removes it; a name that
     * holds '=' after its first character is the whole entry. */
    void (*set_env)(fw_exec_i* e, const wchar_t* name, const wchar_t* value);
    /* The child's current folder, completed against the process's; null or
     * empty: inherit. */
    void (*set_current_folder)(fw_exec_i* e, const wchar_t* folder);
    /* The child's standard descriptors: the object keeps a private duplicate
     * of fd (-1 leaves the slot as it is); an unset slot is the null device. */
    void (*set_input)(fw_exec_i* e, int fd);
    void (*set_output)(fw_exec_i* e, int fd);
    void (*set_error)(fw_exec_i* e, int fd);
    /* Records "domain\user", "domain/user", "user@domain" or a bare user
     * (of this machine) and a password; not used by the local start. */
    void (*set_creds)(fw_exec_i* e, const wchar_t* user, const wchar_t* password);
    /* Starts argv[0] (searched: the program's own folder, the current folder
     * for names with '/', then PATH, the table's own PATH when an environment
     * was set) with argv. 0, 2 (empty vector or program not found), 12, or
     * the recorded error. */
    int (*start)(fw_exec_i* e, const wchar_t* const* argv);
    int (*get_pid)(fw_exec_i* e);
    /* Kills the child (SIGKILL) while it has not been reaped. */
    void (*terminate)(fw_exec_i* e);
    /* 1 when the child has ended (or never started); 0 on timeout or when
     * the cancel pin (may be null) fired. Timeout in ms, -1: none. */
    int (*wait)(fw_exec_i* e, pin_i* cancel_pin, int timeout_msecs);
    /* Waits for the end without limit and returns the exit code. */
    int (*get_exit_code)(fw_exec_i* e);
};

typedef struct f8_exec_i_vtbl_t f8_exec_i_vtbl_t;
typedef const f8_exec_i_vtbl_t* f8_exec_i;
struct f8_exec_i_vtbl_t {
    void (*retain)(f8_exec_i* e);
    void (*release)(f8_exec_i* e);
    void (*set_no_console)(f8_exec_i* e);
    void (*set_detached)(f8_exec_i* e);
    void (*set_envp)(f8_exec_i* e, const char* const* envp);
    void (*set_env)(f8_exec_i* e, const char* name, const char* value);
    void (*set_current_folder)(f8_exec_i* e, const char* folder);
    void (*set_input)(f8_exec_i* e, int fd);
    void (*set_output)(f8_exec_i* e, int fd);
    void (*set_error)(f8_exec_i* e, int fd);
    void (*set_creds)(f8_exec_i* e, const char* user, const char* password);
    int (*start)(f8_exec_i* e, const char* const* argv);
    int (*get_pid)(f8_exec_i* e);
    void (*terminate)(f8_exec_i* e);
    int (*wait)(f8_exec_i* e, pin_i* cancel_pin, int timeout_msecs);
    int (*get_exit_code)(f8_exec_i* e);
};

/* Local kind and service kind; 0 or 12 (out of memory, *out null). */
int fw_exec_factory(fw_exec_i** out);
int fw_exec_system_factory(fw_exec_i** out);
int f8_exec_factory(f8_exec_i** out);
int f8_exec_system_factory(f8_exec_i** out);

/* Closes every descriptor from first_fd upwards. Async-signal-safe: a
 * forked child may call it. */
void exec_cleanup_fd_table(int first_fd);

/* ---- execution service: request constants ----------------------------- */

/* The service program, and the name of its request socket under /tmp
 * (QP_REVERSE_DOMAIN_PREFIX ".qpsysexec.ipc-socket"). */
extern const char qpsysexec_service_exe_name[];
extern const char qpsysexec_ipc_socket_name[];

enum {
    qpsysexec_code_ping = 2, /* no data; keeps the daemon from stopping as idle */
    qpsysexec_code_exec = 3, /* qpsysexec_exec_input_t and three descriptors */
    qpsysexec_start_timeout_msecs = 5000,
};

/* Exec request: argc (little-endian), then argc NUL-terminated UTF-8 texts
 * (the resolved path first, then argv[1] onwards), then the current folder
 * as one more NUL-terminated text (empty: inherit). Sent with the input,
 * output and error descriptors in that order. */
typedef struct qpsysexec_exec_input_t {
    uint32_t argc;
    char args[];
} qpsysexec_exec_input_t;

/* Exec answer: the child's process id (little-endian), with one descriptor
 * that later delivers the 32-bit little-endian exit code. */
typedef struct qpsysexec_exec_output_t {
    uint32_t pid;
} qpsysexec_exec_output_t;

/* Runs the service program with "sysstart" (inputs at end of data, outputs
 * read by nobody) and waits for it. 0, or the fork error. */
int sysexec_start_qpsysexec(pin_i* cancel_pin);

#endif /* __KERNEL__ */

#ifdef __cplusplus
}
#endif

#endif
