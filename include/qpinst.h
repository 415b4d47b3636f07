/*
 * qpinst.h - install steps: copy a file with a chosen mode and owner, delete
 * a file even when it is busy, run a command and log its output line by
 * line, approve or revoke a file with the execution service, and keep a
 * kernel module built for the running kernel and loaded (user mode).
 *
 * Every step reports progress and errors as text lines to the caller's
 * output callback and records its failure in a status shared by a sequence
 * of steps:
 *
 *   qpinst_stat_t st = {print_line, true, 0};
 *   qpinst_copy_exec(&st, src_folder, "trstart", "/usr/local/bin", NULL);
 *   qpinst_copy_kernel(&st, src_folder, "qptrace");
 *   if (st.err) ...
 *
 * A step is skipped when stop_on_err is set and err is non-zero; without
 * stop_on_err every step runs and a later failure overwrites err. Errors are
 * the platform codes of qperr.h: 2 not found, 20 no kernel source, 22 a
 * refused module archive, 999 unsuccessful (a command exited non-zero, a
 * built module is missing, a check file could not be written).
 *
 * Files these steps create (copies, check files, aside names) are created
 * without following a link planted in their place.
 */
#ifndef QPINST_H
#define QPINST_H

#include "qpbase.h"
#include "qpsync.h"

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qpinst_stat_t qpinst_stat_t;

/* Receives one formatted progress or error text. */
typedef void (*qpinst_output_t)(qpinst_stat_t* st, const char* text);

struct qpinst_stat_t {
    qpinst_output_t output; /* null: texts are not even formatted */
    bool stop_on_err;       /* every step does nothing once err is set */
    int err;                /* first error; later failures overwrite it */
};

/* Copy flags: what the destination gets. */
enum {
    qpinst_copy_flag_exec = 1,        /* execute for owner, group and others */
    qpinst_copy_flag_root = 2,        /* owner and group root */
    qpinst_copy_flag_run_as_root = 4, /* owner root, set-user-id, execute */
    qpinst_copy_flag_search = 32,     /* missing source: take it from the parent folder */
    qpinst_copy_flag_optional = 64,   /* missing source: silently skipped */
};

/* ---- output ------------------------------------------------------------- */

/* Formats (format engine) and passes the text to st->output when set. */
void qpinst_outf(qpinst_stat_t* st, const char* format, ...);
/* An output that drops every text. */
void qpinst_drop_output(qpinst_stat_t* st, const char* text);

/* Receives one line of a command's output (without its line end). */
typedef void (*qpinst_line_output_t)(void* context, const char* line, bool new_line);

/* Reads fd to its end and calls output(context, line, true) once per line:
 * a line ends at a line feed or a NUL byte; one '\r' before it is dropped; a
 * last line without an end is delivered when the data ends. Lines of any
 * length are delivered whole. Returns what ended the reading: 61 (end of
 * data) for a normal end, 125 when cancel_pin (may be null) fired, 12 when
 * memory ran out, or the read error. */
int qpinst_log_pump(int fd, pin_i* cancel_pin, qpinst_line_output_t output, void* context);

/* A line output for qpinst_log_pump: context is the qpinst_stat_t. Passes
 * data to qpinst_outf, followed by a line feed when new_line is set. */
void qpinst_exec_output(void* context, const char* data, bool new_line);

/* ---- commands ------------------------------------------------------------- */

/* Runs argv (the program searched on the PATH) with no input, its output
 * and error lines passed to st's output. Returns the start error; *out_res
 * (may be null) receives the exit code of a started command. */
int qpinst_exec_sub(qpinst_stat_t* st, int* out_res, const char* const* argv);
/* A step: prints the command line, runs it; a non-zero exit code is 999
 * when check_result is set. */
void qpinst_exec(qpinst_stat_t* st, bool check_result, const char* const* argv);
/* Runs argv and returns its output lines, each with a line feed (with
 * one_line every '\r' and '\n' is removed), as one text from ma; null when
 * memory ran out. */
char* qpinst_exec_capture(malloc_i* ma, const char* const* argv, bool one_line);

/* Approves name (completed against folder) with the execution service
 * program "qpsysexec" beside the calling program. */
void qpinst_set_run_as_root(qpinst_stat_t* st, const char* folder, const char* name);
/* Revokes it with the installed service program; the outcome is ignored. */
void qpinst_reset_run_as_root(qpinst_stat_t* st, const char* folder, const char* name);

/* ---- files -------------------------------------------------------------- */

/* Deletes a file; a file that cannot be deleted is renamed to
 * "<file>.deleteme_<time in 100 ns units, hex>" and counts as deleted. With
 * cleanup_folder an emptied containing folder goes too. */
int qpinst_delete_file_sub(const char* file, bool cleanup_folder);
void qpinst_delete_file2(qpinst_stat_t* st, const char* file, bool cleanup_folder);
void qpinst_delete_file(qpinst_stat_t* st, const char* folder, const char* name);

/* Mode 0644 plus what the flags add (see the copy flags), owner root with
 * root or run_as_root; type and sticky bit kept. A link is refused (40). */
int qpinst_set_mode_sub(int copy_flags, const char* dest_file);
/* Copies src to dest (nothing when dest already has the same content),
 * moving a destination that cannot be deleted to its aside name, then sets
 * the mode. */
int qpinst_copy_sub(int copy_flags, const char* src_file, const char* dest_file);
void qpinst_copy_opt2(qpinst_stat_t* st, int copy_flags, const char* src_file,
                      const char* dest_file);
void qpinst_copy_opt(qpinst_stat_t* st, int copy_flags, const char* src_folder,
                     const char* src_name, const char* dest_folder, const char* rename);
void qpinst_copy_exec(qpinst_stat_t* st, const char* src_folder, const char* src_name,
                      const char* dest_folder, const char* rename);
void qpinst_copy_exec2(qpinst_stat_t* st, const char* src, const char* dest);
void qpinst_copy_exec_setuidroot(qpinst_stat_t* st, const char* src, const char* dest);

/* CRC-32 of the first 50000000 bytes of file as "%08X" from ma; null when
 * the file cannot be read. */
char* qpinst_gen_file_hash(malloc_i* ma, const char* file);

/* ---- kernel modules --------------------------------------------------------- */

/* The kernel version as precompiled modules are named: Red Hat style
 * releases lose their build number ("2.6.32-431.el6.x86_64" gives
 * "2.6.32-x.el6.x86_64"), others are returned as they are. Null when memory
 * ran out. */
char* qpinst_normalize_kernel_ver(malloc_i* ma, const char* version, const char* arch);

/* "<name>-<normalised release>.ko": the name of a precompiled module for a
 * kernel release in the module archive. */
char* qpinst_precompiled_name(malloc_i* ma, const char* name, const char* release,
                              const char* arch);

/* Keeps /lib/modules/<release>/<name>/<name>.ko built from the archive
 * /lib/modules/<name>.kmod (or copied from a precompiled module in it) and
 * loads it when load_kmod is set. */
void qpinst_update_kmod(qpinst_stat_t* st, const char* name, bool load_kmod);
/* Copies <name>.kmod from src_folder (or its parent) to /lib/modules and
 * builds it without loading. */
void qpinst_copy_kernel(qpinst_stat_t* st, const char* src_folder, const char* name);
/* Deletes the archive and the built module of every kernel release. */
void qpinst_delete_kernel(qpinst_stat_t* st, const char* name);
/* qpinst_update_kmod with loading, printing nothing; returns its error. */
int f8_load_kernel(const char* name);

#ifdef __cplusplus
}
#endif

#endif
