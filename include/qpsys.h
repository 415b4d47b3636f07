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

#endif /* __KERNEL__ */

#ifdef __cplusplus
}
#endif

#endif
