// fileionix.cpp - file services on Linux: status, names, open and create,
// whole-file copy, compare, read and write, folders, permission flags, times;
// and the descriptor side of the local plumbing: socket pairs, one-way
// pipes, duplicates, descriptor flags, the standard slots, terminal echo,
// readiness waits with a cancel pin and the synchronous transfers.
//
// Every call returns 0 or an errno value (12 for a null name, 36 for an
// empty one) and clears its outs on failure. Every descriptor is opened
// close-on-exec through qpfd::open_at; the ones a _dh call hands out are
// tracked by the debug heap at the caller's position and closed with
// fd_close, all others live in a qpfd::unique_fd inside one call.
//
// Links: copy creates its destination exclusively, so it never writes
// through a link planted there; the tree deletion walks with descriptors
// relative to the folder being emptied and opens folders with O_NOFOLLOW, so
// it never leaves the tree through a link, even one swapped in meanwhile.
// No state, no locks.
#include "qpfile.h"

#include "qperr.h"
#include "qpsocket.h"
#include "qpsysnix.hpp"
#include "qpsys.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using qpfd::check_name;
using qpfd::heap_block;
using qpfd::last_error;
using qpfd::open_at;
using qpfd::unique_fd;

// Block size of copy and compare: 256 KiB above 128 KiB, else the size
// rounded up to 8 KiB.
size_t transfer_block_size(off_t file_size)
{
    const size_t small_limit = 128 * 1024, large_block = 256 * 1024, granule = 8 * 1024;
    if (file_size > static_cast<off_t>(small_limit))
        return large_block;
    size_t rounded = (static_cast<size_t>(file_size) + granule - 1) / granule * granule;
    return rounded ? rounded : granule;
}

int stat_name(const char* name, struct stat* out, int at_flags)
{
    struct stat st;
    int err = check_name(name);
    if (!err && fstatat(AT_FDCWD, name, &st, at_flags) != 0)
        err = last_error();
    if (out) {
        if (err)
            memset(out, 0, sizeof(*out));
        else
            *out = st;
    }
    return err;
}

// Tracks a descriptor handed out by a _dh call at the caller's position.
int hand_out(unique_fd* fd, const char* file, int line, int* out_fd)
{
    *out_fd = fd->release();
    debugheap_handlealloced(reinterpret_cast<void*>(static_cast<intptr_t>(*out_fd)), file, line);
    return 0;
}

int open_flags_of(int flags)
{
    const int write_kind = fof_write_data | fof_create | fof_truncate | fof_append;
    int os_flags = O_RDONLY;
    if (flags & write_kind)
        os_flags = (flags & (fof_read_data | fof_read_attr)) ? O_RDWR : O_WRONLY;
    if (flags & fof_create)
        os_flags |= O_CREAT;
    if (flags & fof_truncate)
        os_flags |= O_TRUNC;
    if (flags & fof_append)
        os_flags |= O_APPEND;
    if (flags & fof_link)
        os_flags |= O_NOFOLLOW;
    return os_flags;
}

// Opens, asking for direct I/O when unbuffered was asked and dropping it
// again when the file system refuses it.
int open_maybe_direct(const char* name, int os_flags, int flags, mode_t mode, unique_fd* out)
{
    if (flags & fof_unbuffered) {
        int err = open_at(AT_FDCWD, name, os_flags | O_DIRECT, mode, out);
        if (err != EINVAL)
            return err;
    }
    return open_at(AT_FDCWD, name, os_flags, mode, out);
}

// Removes a file this process created, unless the name meanwhile leads
// somewhere else.
void remove_created(const char* name, int fd)
{
    struct stat by_fd, by_name;
    if (fstat(fd, &by_fd) == 0 && lstat(name, &by_name) == 0 && by_fd.st_dev == by_name.st_dev &&
        by_fd.st_ino == by_name.st_ino)
        unlink(name);
}

int copy_data(int src_fd, int dest_fd, size_t block_size)
{
    heap_block buffer(block_size);
    if (!buffer.get())
        return err_no_mem;
    for (;;) {
        size_t got = 0;
        int err = qpfd::read_full(src_fd, buffer.get(), block_size, &got);
        if (!err && got)
            err = qpfd::write_all(dest_fd, buffer.get(), got);
        if (err || got < block_size)
            return err;
    }
}

int compare_data(int a_fd, int b_fd, size_t block_size, int* out_duplicate)
{
    heap_block a_buf(block_size), b_buf(block_size);
    if (!a_buf.get() || !b_buf.get())
        return err_no_mem;
    for (;;) {
        size_t a_got = 0, b_got = 0;
        int err = qpfd::read_full(a_fd, a_buf.get(), block_size, &a_got);
        if (!err)
            err = qpfd::read_full(b_fd, b_buf.get(), block_size, &b_got);
        if (err)
            return err;
        if (a_got != b_got || memcmp(a_buf.get(), b_buf.get(), a_got) != 0)
            return 0;
        if (a_got < block_size) {
            *out_duplicate = 1;
            return 0;
        }
    }
}

int open_read_only(const char* name, unique_fd* fd, struct stat* st)
{
    int err = check_name(name);
    if (!err)
        err = open_at(AT_FDCWD, name, O_RDONLY, 0, fd);
    if (!err && fstat(fd->get(), st) != 0)
        err = last_error();
    return err;
}

} // namespace

// ---- descriptor plumbing ------------------------------------------------

namespace qpfd {

// EINTR is no failure: Linux has released the descriptor and the data is
// handed on. EIO is: a deferred write of this file failed, so the copy or
// write that closes here must not report success.
int unique_fd::reset(int fd)
{
    int err = 0;
    if (fd_ >= 0 && close(fd_) != 0 && errno != EINTR)
        err = last_error();
    fd_ = fd;
    return err;
}

int last_error()
{
    return errno ? errno : err_unsuccessful;
}

int move_above_stdio(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    // A standard slot was free: keep it free for its owner.
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return moved;
}

int open_at(int dir_fd, const char* path, int flags, mode_t mode, unique_fd* out)
{
    int fd;
    do
        fd = openat(dir_fd, path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return last_error();
    fd = move_above_stdio(fd);
    if (fd < 0)
        return last_error();
    out->reset(fd);
    return 0;
}

int write_all(int fd, const void* data, size_t size)
{
    const char* pos = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t done = write(fd, pos, size);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return last_error();
        }
        if (done == 0)
            return err_no_space;
        pos += done;
        size -= static_cast<size_t>(done);
    }
    return 0;
}

int read_full(int fd, void* data, size_t size, size_t* out_got)
{
    char* pos = static_cast<char*>(data);
    size_t got = 0;
    int err = 0;
    while (got < size) {
        ssize_t done = read(fd, pos + got, size - got);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            err = last_error();
            break;
        }
        if (done == 0)
            break;
        got += static_cast<size_t>(done);
    }
    *out_got = got;
    return err;
}

int check_name(const char* name)
{
    if (!name)
        return err_no_mem;
    return name[0] ? 0 : err_bad_name;
}

} // namespace qpfd

// ---- times ----------------------------------------------------------------

int64_t file_time_from_unix(int64_t seconds, long nanoseconds)
{
    return seconds * 10000000 + nanoseconds / 100 + FILE_TIME_UNIX_EPOCH;
}

int file_time_to_unix(int64_t file_time, int64_t* out_seconds, long* out_nanoseconds)
{
    *out_seconds = 0;
    *out_nanoseconds = 0;
    if (file_time <= 0)
        return err_bad_parameter;
    int64_t since_epoch = file_time - FILE_TIME_UNIX_EPOCH;
    int64_t seconds = since_epoch / 10000000, rest = since_epoch % 10000000;
    if (rest < 0) {
        seconds--;
        rest += 10000000;
    }
    *out_seconds = seconds;
    *out_nanoseconds = static_cast<long>(rest * 100);
    return 0;
}

int fd_set_write_time(int fd, int64_t t)
{
    int64_t seconds;
    long nanoseconds;
    int err = file_time_to_unix(t, &seconds, &nanoseconds);
    if (err)
        return err;
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = nanoseconds / 1000 * 1000; // microsecond precision
    times[1] = times[0];
    return futimens(fd, times) == 0 ? 0 : last_error();
}

// ---- status -----------------------------------------------------------------

int f8_stat(const char* name, struct stat* out_stat)
{
    return stat_name(name, out_stat, 0);
}

int f8_lstat(const char* name, struct stat* out_stat)
{
    return stat_name(name, out_stat, AT_SYMLINK_NOFOLLOW);
}

int f8_exists(const char* name, int* out_is_folder)
{
    struct stat st;
    int err = stat_name(name, &st, 0);
    if (out_is_folder)
        *out_is_folder = !err && S_ISDIR(st.st_mode);
    return err;
}

void file_attribs_from_stat(file_attribs_t* out, const struct stat* st)
{
    memset(out, 0, sizeof(*out));
    out->is_folder = S_ISDIR(st->st_mode);
    out->is_symlink = S_ISLNK(st->st_mode);
    if (!(st->st_mode & S_IWUSR))
        out->file_flags |= file_flag_read_only;
    if (S_ISREG(st->st_mode) && (st->st_mode & S_IXUSR))
        out->file_flags |= file_flag_executable;
    out->perms = ((st->st_mode & S_IRGRP) ? file_perm_group_read : 0) |
                 ((st->st_mode & S_IWGRP) ? file_perm_group_write : 0) |
                 ((st->st_mode & S_IROTH) ? file_perm_world_read : 0) |
                 ((st->st_mode & S_IWOTH) ? file_perm_world_write : 0);
    out->mode = st->st_mode;
    out->user = st->st_uid;
    out->group = st->st_gid;
    out->file_id = st->st_ino;
    out->file_size = static_cast<uint64_t>(st->st_size);
    out->create_time = file_time_from_unix(st->st_ctim.tv_sec, st->st_ctim.tv_nsec);
    out->access_time = file_time_from_unix(st->st_atim.tv_sec, st->st_atim.tv_nsec);
    out->write_time = file_time_from_unix(st->st_mtim.tv_sec, st->st_mtim.tv_nsec);
    out->change_time = out->create_time;
}

int fd_get_attribs(int fd, file_attribs_t* out_attribs)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        memset(out_attribs, 0, sizeof(*out_attribs));
        return last_error();
    }
    file_attribs_from_stat(out_attribs, &st);
    return 0;
}

int f8_get_attribs(const char* name, file_attribs_t* out_attribs)
{
    struct stat own, target;
    int err = stat_name(name, &own, AT_SYMLINK_NOFOLLOW);
    if (!err && S_ISLNK(own.st_mode))
        err = stat_name(name, &target, 0);
    if (err) {
        memset(out_attribs, 0, sizeof(*out_attribs));
        return err;
    }
    if (!S_ISLNK(own.st_mode)) {
        file_attribs_from_stat(out_attribs, &own);
        return 0;
    }
    file_attribs_from_stat(out_attribs, &target);
    out_attribs->is_symlink = 1;
    out_attribs->is_target = 1;
    return 0;
}

// ---- permission flags ---------------------------------------------------------

mode_t file_flags_to_mode(mode_t old_mode, unsigned and_flags, unsigned or_flags, unsigned perms)
{
    const mode_t kept_bits = S_ISUID | S_ISGID | S_ISVTX;
    const bool group_read = perms & file_perm_group_read, world_read = perms & file_perm_world_read;
    // The owner, group and world bits of one kind (read 4, write 2, search 1).
    auto bits_for = [](mode_t kind, bool group, bool world) -> mode_t {
        return static_cast<mode_t>((kind << 6) | (group ? kind << 3 : 0) | (world ? kind : 0));
    };
    mode_t mode = (old_mode & kept_bits) | bits_for(4, group_read, world_read);
    if (S_ISDIR(old_mode))
        mode |= bits_for(1, group_read, world_read);
    if (or_flags & file_flag_read_only)
        ;
    else if (and_flags & file_flag_read_only)
        mode |= old_mode & 0222;
    else
        mode |= bits_for(2, perms & file_perm_group_write, perms & file_perm_world_write);
    if (S_ISDIR(old_mode))
        return mode;
    if (!S_ISREG(old_mode) || (and_flags & file_flag_executable))
        mode |= old_mode & 0111;
    else if (or_flags & file_flag_executable)
        mode |= bits_for(1, group_read, world_read);
    return mode;
}

int f8_set_flags(const char* name, unsigned and_flags, unsigned or_flags, unsigned /*color*/,
                 unsigned perms)
{
    struct stat st;
    int err = stat_name(name, &st, 0);
    if (err)
        return err;
    mode_t mode = file_flags_to_mode(st.st_mode, and_flags, or_flags, perms);
    if (mode == (st.st_mode & 07777))
        return 0;
    return chmod(name, mode) == 0 ? 0 : last_error();
}

int fd_set_flags(int fd, unsigned and_flags, unsigned or_flags, unsigned /*color*/, unsigned perms)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return last_error();
    mode_t mode = file_flags_to_mode(st.st_mode, and_flags, or_flags, perms);
    if (mode == (st.st_mode & 07777))
        return 0;
    return fchmod(fd, mode) == 0 ? 0 : last_error();
}

int f8_chmod(const char* name, unsigned mode)
{
    int err = check_name(name);
    if (!err && chmod(name, static_cast<mode_t>(mode)) != 0)
        err = last_error();
    return err;
}

int f8_chown(const char* name, int user, int group)
{
    int err = check_name(name);
    if (!err && chown(name, static_cast<uid_t>(user), static_cast<gid_t>(group)) != 0)
        err = last_error();
    return err;
}

// ---- names ----------------------------------------------------------------

int f8_delete(const char* name)
{
    int err = check_name(name);
    if (err)
        return err;
    if (unlink(name) == 0)
        return 0;
    err = last_error();
    if (err != EISDIR && err != EPERM)
        return err;
    return rmdir(name) == 0 ? 0 : last_error();
}

int f8_move(const char* src, const char* dest, int replace)
{
    int err = check_name(src);
    if (!err)
        err = check_name(dest);
    if (err)
        return err;
    if (replace)
        return rename(src, dest) == 0 ? 0 : last_error();
    if (renameat2(AT_FDCWD, src, AT_FDCWD, dest, RENAME_NOREPLACE) == 0)
        return 0;
    err = last_error();
    if (err != EINVAL && err != ENOSYS)
        return err;
    // The file system cannot refuse atomically: check, then rename.
    struct stat st;
    if (lstat(dest, &st) == 0)
        return err_exists;
    return rename(src, dest) == 0 ? 0 : last_error();
}

// ---- open and create --------------------------------------------------------

int f8_open_dh(const char* file, int line, int* out_fd, const char* name, int flags)
{
    unique_fd fd;
    *out_fd = -1;
    int err = check_name(name);
    if (!err)
        err = open_maybe_direct(name, open_flags_of(flags), flags, 0777, &fd);
    return err ? err : hand_out(&fd, file, line, out_fd);
}

int f8_create_dh(const char* file, int line, int* out_fd, const char* name, int flags)
{
    const int os_flags = O_RDWR | O_CREAT | O_EXCL | ((flags & fof_append) ? O_APPEND : 0);
    unique_fd fd;
    *out_fd = -1;
    int err = check_name(name);
    if (!err)
        err = open_maybe_direct(name, os_flags, flags, 0666, &fd);
    if (err == EEXIST && (flags & fof_truncate)) {
        err = f8_delete(name);
        if (!err)
            err = open_maybe_direct(name, os_flags, flags, 0666, &fd);
    }
    return err ? err : hand_out(&fd, file, line, out_fd);
}

void fd_close(int fd)
{
    if (fd == -1)
        return;
    QP_ASSERT(fd > STDERR_FILENO);
    debugheap_handlefreed(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    // Linux releases the descriptor even when close reports EINTR, so it is
    // not repeated: a second close could hit a descriptor another thread just
    // received.
    close(fd);
}

// ---- whole files --------------------------------------------------------------

int f8_copy(const char* src, const char* dest)
{
    unique_fd src_fd, dest_fd;
    struct stat st;
    int err = open_read_only(src, &src_fd, &st);
    if (!err)
        err = check_name(dest);
    if (!err && S_ISDIR(st.st_mode))
        err = err_is_folder;
    if (!err)
        err = open_at(AT_FDCWD, dest, O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 0777, &dest_fd);
    if (err)
        return err;
    err = copy_data(src_fd.get(), dest_fd.get(), transfer_block_size(st.st_size));
    if (!err) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
        if (futimens(dest_fd.get(), times) != 0)
            err = last_error();
    }
    if (err)
        remove_created(dest, dest_fd.get());
    int close_err = dest_fd.reset();
    if (!err && close_err) {
        err = close_err;
        unlink(dest);
    }
    return err;
}

int f8_compare(const char* a, const char* b, int* out_duplicate)
{
    unique_fd a_fd, b_fd;
    struct stat a_st, b_st;
    *out_duplicate = 0;
    int err = open_read_only(a, &a_fd, &a_st);
    if (!err)
        err = open_read_only(b, &b_fd, &b_st);
    if (err || a_st.st_size != b_st.st_size)
        return err;
    return compare_data(a_fd.get(), b_fd.get(), transfer_block_size(a_st.st_size), out_duplicate);
}

int f8_read_data(malloc_i* res_ma, const char* name, size_t max, void** out_data, size_t* out_size)
{
    const size_t first_chunk = 64 * 1024;
    unique_fd fd;
    struct stat st;
    *out_data = nullptr;
    *out_size = 0;
    int err = open_read_only(name, &fd, &st);
    if (err)
        return err;
    // Room for the whole file plus one byte, so that a file of the size it
    // claims is read without growing; files that report no size grow.
    size_t want = (S_ISREG(st.st_mode) && st.st_size > 0) ? static_cast<size_t>(st.st_size)
                                                          : first_chunk;
    size_t room = (want < max ? want : max) + 1, len = 0;
    char* buffer = static_cast<char*>(malloc_d(room));
    while (buffer) {
        size_t got = 0;
        err = qpfd::read_full(fd.get(), buffer + len, (room < max ? room : max) - len, &got);
        len += got;
        if (err || len < room || len >= max)
            break;
        char* larger = static_cast<char*>(malloc_d(room * 2));
        if (larger)
            memcpy(larger, buffer, len);
        free_d(buffer);
        buffer = larger;
        room *= 2;
    }
    if (!buffer)
        return err_no_mem;
    if (!err) {
        *out_data = ma_alloc(res_ma, len + 1);
        if (*out_data)
            memcpy(*out_data, buffer, len);
        else
            err = err_no_mem;
    }
    free_d(buffer);
    if (!err)
        *out_size = len;
    return err;
}

int f8_write_bin(const char* name, const void* data, size_t size)
{
    unique_fd fd;
    int err = check_name(name);
    if (!err)
        err = open_at(AT_FDCWD, name, O_WRONLY | O_CREAT, 0666, &fd);
    if (!err)
        err = qpfd::write_all(fd.get(), data, size);
    if (!err && ftruncate(fd.get(), static_cast<off_t>(size)) != 0)
        err = last_error();
    int close_err = fd.reset();
    return err ? err : close_err;
}

int f8_write_sz(const char* name, const char* text)
{
    return f8_write_bin(name, text, text ? strlen(text) : 0);
}

// ---- folders ------------------------------------------------------------------

namespace {

// Index of the separator that ends the parent of path[0, end), or 0 at the root.
size_t parent_end(const char* path, size_t end)
{
    while (end > 1 && path[end - 1] != '/')
        end--;
    return end > 1 ? end - 1 : 0;
}

// Creates the missing levels below the existing ancestor ending at
// path[ancestor_end]; a level that fails skips to the last level.
int create_levels(char* path, size_t ancestor_end, size_t len, mode_t bits)
{
    int err = 0;
    size_t end = ancestor_end;
    while (end < len) {
        end++;
        while (end < len && path[end] != '/')
            end++;
        path[end] = 0;
        err = mkdir(path, bits) == 0 ? 0 : last_error();
        if (!err)
            err = chmod(path, bits) == 0 ? 0 : last_error();
        else if (err == EEXIST)
            err = f8_exists(path, nullptr) == 0 ? 0 : err;
        if (end < len)
            path[end] = '/';
        if (err)
            end = end < len ? parent_end(path, len) : len;
    }
    return err;
}

} // namespace

int f8_create_full_folder(const char* name)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    int err = check_name(name);
    if (err)
        return err;
    char* path = f8_path_complete(&heap.vtbl, nullptr, name);
    if (!path)
        return err_no_mem;
    size_t len = strlen(path);
    while (len > 1 && path[len - 1] == '/')
        path[--len] = 0;
    int is_folder = 0;
    err = f8_exists(path, &is_folder);
    if (!err) {
        free_d(path);
        return is_folder ? 0 : err_exists;
    }
    // The deepest existing ancestor gives the permission bits of every level.
    mode_t bits = 0777;
    size_t end = len;
    for (;;) {
        end = parent_end(path, end);
        char saved = path[end ? end : 1];
        path[end ? end : 1] = 0;
        struct stat st;
        int found = stat(path, &st) == 0;
        path[end ? end : 1] = saved;
        if (found) {
            bits = st.st_mode & 07777;
            break;
        }
        if (end == 0)
            break;
    }
    err = create_levels(path, end, len, bits);
    free_d(path);
    return err;
}

namespace {

const int delete_tree_max_depth = 100;

// One folder being emptied: its listing and its name in the parent.
struct tree_level {
    DIR* dir;
    char name[256];
    bool removed_any;
};

// Removes a name that is not a folder to descend into; a folder found here
// (too deep, or it could not be opened) goes only when it is empty.
int remove_entry(int dir_fd, const char* name)
{
    if (unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT)
        return 0;
    if (errno != EISDIR && errno != EPERM)
        return last_error();
    if (unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return 0;
    return last_error();
}

// Opens a folder below dir_fd without following a link.
DIR* open_level(int dir_fd, const char* name, int* out_err)
{
    unique_fd fd;
    *out_err = open_at(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, &fd);
    if (*out_err)
        return nullptr;
    DIR* dir = fdopendir(fd.get());
    if (!dir)
        *out_err = last_error();
    else
        fd.release();
    return dir;
}

bool is_dot_name(const char* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Empties the folder open as levels[0] depth first without recursion; a
// folder is removed from its parent once its listing found nothing more.
int empty_tree(tree_level* levels)
{
    int first_err = 0, depth = 0;
    while (depth >= 0) {
        tree_level* level = &levels[depth];
        errno = 0;
        struct dirent* entry = readdir(level->dir);
        if (entry) {
            if (is_dot_name(entry->d_name))
                continue;
            int err = 0, dir_fd = dirfd(level->dir);
            bool maybe_folder = entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN;
            if (maybe_folder && depth < delete_tree_max_depth) {
                DIR* child = open_level(dir_fd, entry->d_name, &err);
                if (child) {
                    tree_level* next = &levels[++depth];
                    next->dir = child;
                    next->removed_any = false;
                    size_t name_len = strlen(entry->d_name);
                    QP_ASSERT(name_len < sizeof(next->name));
                    memcpy(next->name, entry->d_name, name_len + 1);
                    continue;
                }
                // Not a folder after all (a link, or replaced meanwhile).
                err = (err == ENOTDIR || err == ELOOP || err == ENOENT) ? 0 : err;
            }
            if (!err)
                err = remove_entry(dir_fd, entry->d_name);
            if (!err)
                level->removed_any = true;
            else if (!first_err)
                first_err = err;
            continue;
        }
        if (errno && !first_err)
            first_err = errno;
        // Entries removed during a listing may hide others: list once more.
        if (level->removed_any) {
            level->removed_any = false;
            rewinddir(level->dir);
            continue;
        }
        closedir(level->dir);
        if (--depth >= 0) {
            tree_level* parent = &levels[depth];
            if (unlinkat(dirfd(parent->dir), level->name, AT_REMOVEDIR) == 0 || errno == ENOENT)
                parent->removed_any = true;
            else if (!first_err)
                first_err = last_error();
        }
    }
    return first_err;
}

} // namespace

int f8_delete_tree(const char* path)
{
    int err = check_name(path);
    if (err)
        return err;
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? 0 : last_error();
    if (!S_ISDIR(st.st_mode))
        return remove_entry(AT_FDCWD, path);
    heap_block levels_block(sizeof(tree_level) * (delete_tree_max_depth + 1));
    tree_level* levels = reinterpret_cast<tree_level*>(levels_block.get());
    if (!levels)
        return err_no_mem;
    levels[0].dir = open_level(AT_FDCWD, path, &err);
    levels[0].removed_any = false;
    if (!levels[0].dir)
        return (err == ENOTDIR || err == ELOOP) ? remove_entry(AT_FDCWD, path)
                                                : (err == ENOENT ? 0 : err);
    err = empty_tree(levels);
    if (rmdir(path) != 0 && errno != ENOENT && !err)
        err = last_error();
    return err;
}

// ---- descriptor utilities -------------------------------------------------------
//
// Sockets, pipes and duplicates handed out here are close-on-exec and
// tracked like the opens above. Where a kernel refuses the close-on-exec
// type flag of socketpair (EINVAL) the refusal is remembered for the rest of
// the process and the flag is set afterwards instead.

namespace {

int socketpair_cloexec_refused;

int create_socket_pair(int pair[2])
{
    if (!__atomic_load_n(&socketpair_cloexec_refused, __ATOMIC_RELAXED)) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0)
            return 0;
        if (errno != EINVAL)
            return last_error();
        __atomic_store_n(&socketpair_cloexec_refused, 1, __ATOMIC_RELAXED);
    }
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return last_error();
    fd_set_cloexec(pair[0]);
    fd_set_cloexec(pair[1]);
    return 0;
}

int hand_out_pair(int pair[2], const char* file, int line, int* out_first, int* out_second)
{
    pair[0] = qpfd::move_above_stdio(pair[0]);
    int err = pair[0] < 0 ? last_error() : 0;
    pair[1] = qpfd::move_above_stdio(pair[1]);
    if (!err && pair[1] < 0)
        err = last_error();
    if (err) {
        if (pair[0] >= 0)
            close(pair[0]);
        if (pair[1] >= 0)
            close(pair[1]);
        return err;
    }
    unique_fd first(pair[0]), second(pair[1]);
    hand_out(&first, file, line, out_first);
    return hand_out(&second, file, line, out_second);
}

void set_fd_flag(int fd, unsigned long request, int value)
{
    if (fd == -1)
        return;
    int res = ioctl(fd, request, &value);
    QP_ASSERT(res == 0);
}

// Puts /dev/null into standard slot `slot` (replacing what is there).
void null_into_slot(int slot)
{
    int fd;
    do
        fd = open("/dev/null", (slot == STDIN_FILENO ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return;
    if (fd != slot) {
        dup2(fd, slot); // the standard slot is not close-on-exec
        close(fd);
    } else {
        fcntl(fd, F_SETFD, 0);
    }
}

} // namespace

int file_create_socket_dh(const char* file, int line, int* out_first, int* out_second)
{
    int pair[2];
    *out_first = *out_second = -1;
    int err = create_socket_pair(pair);
    return err ? err : hand_out_pair(pair, file, line, out_first, out_second);
}

int file_create_pipe_dh(const char* file, int line, int* out_read, int* out_write)
{
    int pair[2];
    *out_read = *out_write = -1;
    int err = create_socket_pair(pair);
    if (!err && (shutdown(pair[0], SHUT_WR) != 0 || shutdown(pair[1], SHUT_RD) != 0)) {
        err = last_error();
        close(pair[0]);
        close(pair[1]);
    }
    return err ? err : hand_out_pair(pair, file, line, out_read, out_write);
}

int file_duplicate_dh(const char* file, int line, int* out_fd, int fd)
{
    *out_fd = -1;
    if (fd == -1)
        return err_bad_parameter;
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (copy < 0)
        return last_error();
    unique_fd owned(copy);
    return hand_out(&owned, file, line, out_fd);
}

void fd_set_blocking(int fd)
{
    set_fd_flag(fd, FIONBIO, 0);
}

void fd_set_non_blocking(int fd)
{
    set_fd_flag(fd, FIONBIO, 1);
}

void fd_set_cloexec(int fd)
{
    if (fd == -1)
        return;
    int res = fcntl(fd, F_SETFD, FD_CLOEXEC);
    QP_ASSERT(res == 0);
}

void file_ignore_sigpipe(void)
{
    static int ignored;
    if (__atomic_exchange_n(&ignored, 1, __ATOMIC_ACQ_REL))
        return;
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
}

void file_prep_stdio(void)
{
    for (int slot = STDIN_FILENO; slot <= STDERR_FILENO; slot++)
        if (fcntl(slot, F_GETFD) < 0 && errno == EBADF)
            null_into_slot(slot);
}

void file_close_stdin(void)
{
    null_into_slot(STDIN_FILENO);
}

void file_close_stdout(void)
{
    null_into_slot(STDOUT_FILENO);
}

void file_close_stderr(void)
{
    null_into_slot(STDERR_FILENO);
}

namespace {

// Sets (on) or clears the echo flags when ECHO is in the other state; 17
// when it already is in the asked one.
int set_echo(int fd, bool on)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return last_error();
    if (((tio.c_lflag & ECHO) != 0) == on)
        return err_exists;
    if (on)
        tio.c_lflag |= ECHO | ECHONL;
    else
        tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    return tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : last_error();
}

} // namespace

int file_echo_off(int fd, uint8_t /*mode*/)
{
    return set_echo(fd, false);
}

int file_echo_on(int fd, uint8_t /*mode*/)
{
    return set_echo(fd, true);
}

// ---- readiness waits and synchronous transfers ------------------------------------
//
// A wait polls the descriptor together with the read end of a pollable wire
// attached to the cancel pin, so that a signalled pin ends the poll. A
// transfer waits before each part; the parts themselves never block on a
// socket (MSG_DONTWAIT), so a cancel pin is observed between parts.

namespace {

const size_t file_io_part_max = 0x1000000; // 16 MiB

short poll_events_of(int direction)
{
    return direction == qp_io_direction_send ? POLLOUT : POLLIN;
}

// The poll timeout left until deadline (all ones: none).
int remaining_timeout(uint64_t deadline)
{
    if (deadline == UINT64_MAX)
        return -1;
    uint64_t now = counter_msec();
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

} // namespace

uint64_t qpfd::deadline_of(int timeout)
{
    if (timeout < 0 || timeout >= sync_timeout_none)
        return UINT64_MAX;
    return counter_msec() + static_cast<uint64_t>(timeout);
}

ssize_t qpfd::transfer_once(int fd, int direction, void* data, size_t size)
{
    ssize_t done;
    if (direction == qp_io_direction_send) {
        done = send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (done < 0 && errno == ENOTSOCK)
            done = write(fd, data, size);
    } else {
        done = recv(fd, data, size, MSG_DONTWAIT);
        if (done < 0 && errno == ENOTSOCK)
            done = read(fd, data, size);
    }
    return done;
}

int file_wait_ready_init(file_wait_ready_t* w, int fd, int direction, pin_i* cancel_pin,
                         int timeout)
{
    w->fd = fd;
    w->direction = direction;
    w->cancel_pin = cancel_pin;
    w->timeout = timeout;
    w->cancel_pipe = nullptr;
    if (cancel_pin) {
        w->cancel_pipe = pin_io_wire_factory();
        if (!w->cancel_pipe)
            return err_no_mem;
    }
    return 0;
}

int file_wait_ready(file_wait_ready_t* w)
{
    if (w->fd == -1)
        return err_bad_fd;
    struct pollfd fds[2] = {{w->fd, poll_events_of(w->direction), 0},
                            {pin_io_wire_fd(w->cancel_pipe), POLLIN, 0}};
    nfds_t count = w->cancel_pipe ? 2 : 1;
    uint64_t deadline = qpfd::deadline_of(w->timeout);
    if (w->cancel_pipe)
        pin_io_wire_attach(w->cancel_pipe, w->cancel_pin);
    int res, err = 0;
    do
        res = poll(fds, count, remaining_timeout(deadline));
    while (res < 0 && errno == EINTR);
    if (res < 0)
        err = last_error();
    if (w->cancel_pipe)
        pin_io_wire_detach(w->cancel_pipe, w->cancel_pin);
    if (err)
        return err;
    if (fds[0].revents)
        return 0;
    return res == 0 ? err_timeout : err_cancelled;
}

void file_wait_ready_term(file_wait_ready_t* w)
{
    pin_io_wire_release(w->cancel_pipe);
    w->cancel_pipe = nullptr;
}

int fd_wait_ready(int fd, pin_i* cancel_pin, int timeout, int direction)
{
    if (fd == -1)
        return err_bad_fd;
    file_wait_ready_t w;
    int err = file_wait_ready_init(&w, fd, direction, cancel_pin, timeout);
    if (!err)
        err = file_wait_ready(&w);
    file_wait_ready_term(&w);
    return err;
}

namespace {

// The transfer loop of fd_recv and fd_send: parts of at most 16 MiB, each
// after a readiness wait, until max_size, or until min_size once a part
// came back short. Ending below min_size reports why (32 for end of data);
// at or above it nothing is reported.
int file_io(int fd, int direction, pin_i* cancel_pin, int timeout, char* data, size_t min_size,
            size_t max_size, size_t* out_transferred)
{
    size_t done = 0;
    int err = 0;
    uint64_t deadline = qpfd::deadline_of(timeout);
    file_wait_ready_t w;
    *out_transferred = 0;
    if (fd == -1)
        return err_bad_fd;
    err = file_wait_ready_init(&w, fd, direction, cancel_pin, timeout);
    while (!err && done < max_size) {
        w.timeout = deadline == UINT64_MAX ? -1 : remaining_timeout(deadline);
        err = file_wait_ready(&w);
        if (err)
            break;
        size_t part = max_size - done < file_io_part_max ? max_size - done : file_io_part_max;
        ssize_t moved = qpfd::transfer_once(fd, direction, data + done, part);
        if (moved < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue; // a spurious readiness: wait again
            err = last_error();
            break;
        }
        if (moved == 0 && direction == qp_io_direction_recv) {
            err = err_broken_pipe; // end of data
            break;
        }
        done += static_cast<size_t>(moved);
        if (done >= min_size && static_cast<size_t>(moved) < part)
            break;
    }
    file_wait_ready_term(&w);
    *out_transferred = done;
    if (done >= min_size)
        return 0;
    return err ? err : err_broken_pipe;
}

} // namespace

int fd_recv(int fd, uint8_t /*mode*/, pin_i* cancel_pin, int timeout, void* data, size_t min_size,
            size_t max_size, size_t* out_transferred)
{
    return file_io(fd, qp_io_direction_recv, cancel_pin, timeout, static_cast<char*>(data),
                   min_size, max_size, out_transferred);
}

int fd_send(int fd, uint8_t /*mode*/, pin_i* cancel_pin, int timeout, const void* data,
            size_t size, size_t* out_transferred)
{
    file_ignore_sigpipe();
    return file_io(fd, qp_io_direction_send, cancel_pin, timeout,
                   const_cast<char*>(static_cast<const char*>(data)), size, size,
                   out_transferred);
}
