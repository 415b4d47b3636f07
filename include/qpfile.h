/*
 * qpfile.h - file services of the base runtime (user mode).
 *
 * Every call returns 0 or a platform error number (qperr.h): 12 for a null
 * name, 36 for an empty one. Out values are cleared on failure. Descriptors
 * handed out by the _dh calls are close-on-exec, tracked by the debug heap
 * at the caller's position and must be closed with fd_close.
 *
 * File times are signed 64-bit counts of 100-ns units since 1601-01-01 UTC;
 * 0 means no time.
 */
#ifndef QPFILE_H
#define QPFILE_H

#include "qpbase.h"

#include <sys/stat.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- times --------------------------------------------------------- */

/* Seconds from 1601-01-01 to 1970-01-01, in 100-ns units. */
#define FILE_TIME_UNIX_EPOCH 116444736000000000LL

int64_t file_time_from_unix(int64_t seconds, long nanoseconds);
/* The inverse; returns 22 for a time before 1601 or for 0 (no time). */
int file_time_to_unix(int64_t file_time, int64_t* out_seconds, long* out_nanoseconds);

/* ---- status -------------------------------------------------------- */

int f8_stat(const char* name, struct stat* out_stat);
int f8_lstat(const char* name, struct stat* out_stat);
/* 0 when the name exists (links followed); *out_is_folder (may be null)
 * tells a folder. */
int f8_exists(const char* name, int* out_is_folder);

/* Portable attribute flags and permissions. */
enum {
    file_flag_read_only = 1,
    file_flag_executable = 8,
};
enum {
    file_perm_group_read = 1,
    file_perm_group_write = 2,
    file_perm_world_read = 4,
    file_perm_world_write = 8,
};

typedef struct file_attribs_t {
    uint8_t file_flags; /* file_flag_* */
    uint8_t is_symlink;
    uint8_t is_folder;
    uint8_t is_broken;  /* a link whose target (or the entry itself) cannot be read */
    uint8_t is_target;  /* the attributes are those of a link's target */
    uint8_t is_junction;
    uint8_t is_folder_end;
    uint8_t color;
    uint32_t perms; /* file_perm_* */
    uint32_t mode;  /* platform mode bits, type included */
    uint32_t user;
    uint32_t group;
    int err; /* why a broken entry could not be read; else 0 */
    uint64_t file_id;
    uint64_t file_size;
    int64_t create_time; /* status change on this platform */
    int64_t access_time;
    int64_t write_time;
    int64_t change_time;
} file_attribs_t;

void file_attribs_from_stat(file_attribs_t* out, const struct stat* st);
int fd_get_attribs(int fd, file_attribs_t* out_attribs);
/* Attributes of the file a name leads to; a link is followed and marked
 * is_symlink and is_target. */
int f8_get_attribs(const char* name, file_attribs_t* out_attribs);
/* Sets the access and modification time to t (microsecond precision). */
int fd_set_write_time(int fd, int64_t t);

/* Recomputes the permission bits from portable flags (file_flag_*) and
 * permissions (file_perm_*): a flag in or_flags is set, a flag in and_flags
 * keeps what the file has; set-id and sticky bits are kept. Group and world
 * read with the executable flag give 0755, without it 0644. */
int f8_set_flags(const char* name, unsigned and_flags, unsigned or_flags, unsigned color,
                 unsigned perms);
int fd_set_flags(int fd, unsigned and_flags, unsigned or_flags, unsigned color, unsigned perms);
/* The mode computation of the two calls above. */
mode_t file_flags_to_mode(mode_t old_mode, unsigned and_flags, unsigned or_flags, unsigned perms);

int f8_chmod(const char* name, unsigned mode);
/* -1 leaves the user or the group as it is. */
int f8_chown(const char* name, int user, int group);

/* ---- names --------------------------------------------------------- */

/* Removes a file, a link or an empty folder. */
int f8_delete(const char* name);
/* Renames; without replace an existing destination gives 17. */
int f8_move(const char* src, const char* dest, int replace);

/* ---- open ---------------------------------------------------------- */

enum {
    fof_read_attr = 1,
    fof_read_data = 2,
    fof_write_attr = 4,
    fof_write_data = 8,
    fof_create = 128,
    fof_truncate = 256,
    fof_unbuffered = 512,
    fof_link = 4096, /* do not follow a final link */
    fof_append = 8192,
};

/* Opens with portable flags; new files get 0777 before the creation mask. */
int f8_open_dh(const char* file, int line, int* out_fd, const char* name, int flags);
/* Creates a new file for reading and writing (17 when it exists; with
 * fof_truncate an existing file is removed and the creation retried). */
int f8_create_dh(const char* file, int line, int* out_fd, const char* name, int flags);
#define f8_open(out_fd, name, flags)   f8_open_dh(__FILE__, __LINE__, (out_fd), (name), (flags))
#define f8_create(out_fd, name, flags) f8_create_dh(__FILE__, __LINE__, (out_fd), (name), (flags))

/* Closes a descriptor handed out by a _dh call: -1 is ignored, 0-2 are a
 * programming error, EINTR repeats and EIO is ignored. */
void fd_close(int fd);

/* ---- whole files --------------------------------------------------- */

/* Copies src into dest, which is created as a new file (17 when it exists);
 * the modification time goes along; a failed copy removes dest again. */
int f8_copy(const char* src, const char* dest);
/* *out_duplicate is true only when both files could be read and are equal. */
int f8_compare(const char* a, const char* b, int* out_duplicate);
/* Reads at most max bytes; *out_data comes from res_ma with one zero byte
 * behind the data. */
int f8_read_data(malloc_i* res_ma, const char* name, size_t max, void** out_data,
                 size_t* out_size);
/* Creates or opens for writing, writes, and sets the size to the data's. */
int f8_write_bin(const char* name, const void* data, size_t size);
int f8_write_sz(const char* name, const char* text);

/* ---- folders ------------------------------------------------------- */

/* Creates a folder with every missing parent; new levels get the permission
 * bits of the deepest existing ancestor. An existing folder is success, an
 * existing non-folder 17. */
int f8_create_full_folder(const char* name);
/* Deletes a file, a link or a whole tree; links are removed, never
 * followed; at most 100 levels are descended. A missing path is success. */
int f8_delete_tree(const char* path);

enum {
    file_list_flag_names_only = 1,
    file_list_flag_no_follow = 2,
};

/* A folder listing. next returns 0 with the full path of the next entry
 * (owned by the listing until the next call; the entry's own name starts at
 * *out_end_index) and, unless names only were asked for, its attributes; 2
 * when there are no more entries. Each out pointer may be null. */
typedef struct f8_list_i_vtbl_t f8_list_i_vtbl_t;
typedef const f8_list_i_vtbl_t* f8_list_i;
struct f8_list_i_vtbl_t {
    void (*release)(f8_list_i* list);
    int (*next)(f8_list_i* list, const char** out_name, size_t* out_end_index,
                file_attribs_t* out_attribs);
};

int f8_list_factory_dh(const char* file, int line, f8_list_i** out_list, const char* folder,
                       int flags);
#define f8_list_factory(out_list, folder, flags)                                                   \
    f8_list_factory_dh(__FILE__, __LINE__, (out_list), (folder), (flags))

#ifdef __cplusplus
}
#endif

#endif
