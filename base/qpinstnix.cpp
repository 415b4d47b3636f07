// qpinstnix.cpp - the Linux side of the install steps: reads and pipes for
// the log pump, times for aside names, modes and owners, the file hash.
//
// Descriptors are close-on-exec and tracked by the debug heap; modes are
// set on the entry itself, never through a link. No state, no locks.
#include "qpinst.h"

#include "qperr.h"
#include "qpfile.h"
#include "qpinstint.h"
#include "qppin.h"
#include "qpsysnix.hpp"
#include "ssformat.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using qpfd::last_error;

// Waits until fd is readable or the pin fires (125).
int wait_readable(int fd, pin_i* cancel_pin)
{
    if (!cancel_pin)
        return 0;
    if (pin_i_poll(cancel_pin))
        return err_cancelled;
    pin_io_wire_t* wire = pin_io_wire_factory();
    if (!wire)
        return err_no_mem;
    pin_io_wire_attach(wire, cancel_pin);
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {pin_io_wire_fd(wire), POLLIN, 0}};
    int err = 0;
    while (poll(fds, 2, -1) < 0 && !err)
        err = errno == EINTR ? 0 : last_error();
    if (!err && (fds[1].revents & POLLIN))
        err = err_cancelled;
    pin_io_wire_detach(wire, cancel_pin);
    pin_io_wire_release(wire);
    return err;
}

} // namespace

int qpinst_read_(int fd, pin_i* cancel_pin, void* data, size_t max, size_t* out_got)
{
    *out_got = 0;
    int err = wait_readable(fd, cancel_pin);
    if (err)
        return err;
    ssize_t got;
    do
        got = read(fd, data, max);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return last_error();
    if (got == 0)
        return err_end_of_data;
    *out_got = static_cast<size_t>(got);
    return 0;
}

int qpinst_create_pipe_(int* out_read_fd, int* out_write_fd)
{
    int fds[2];
    *out_read_fd = *out_write_fd = -1;
    if (pipe2(fds, O_CLOEXEC) != 0)
        return last_error();
    // Descriptors 0-2 stay their owners' (fd_close refuses them).
    for (int& fd : fds) {
        if (fd > STDERR_FILENO)
            continue;
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        int err = moved < 0 ? last_error() : 0;
        close(fd);
        fd = moved;
        if (err) {
            for (int other : fds)
                if (other > STDERR_FILENO)
                    close(other);
            return err;
        }
    }
    for (int fd : fds)
        debugheap_handlealloced(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), __FILE__,
                                __LINE__);
    *out_read_fd = fds[0];
    *out_write_fd = fds[1];
    return 0;
}

int64_t qpinst_now_(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return file_time_from_unix(now.tv_sec, now.tv_nsec);
}

int qpinst_set_mode_sub(int copy_flags, const char* dest_file)
{
    struct stat st;
    int err = f8_lstat(dest_file, &st);
    if (err)
        return err;
    if (S_ISLNK(st.st_mode))
        return err_loop;
    const bool run_as_root = copy_flags & qpinst_copy_flag_run_as_root;
    const bool root = run_as_root || (copy_flags & qpinst_copy_flag_root);
    mode_t mode = (st.st_mode & ~static_cast<mode_t>(S_ISUID | S_ISGID | 0777)) | 0644;
    if (run_as_root)
        mode |= S_ISUID;
    if (run_as_root || (copy_flags & qpinst_copy_flag_exec))
        mode |= 0111;
    uid_t user = root ? 0 : st.st_uid;
    gid_t group = root ? 0 : st.st_gid;
    if (user != st.st_uid || group != st.st_gid) {
        if (lchown(dest_file, user, group) != 0)
            return last_error();
        // A change of owner clears the set-id bits: read the mode again.
        if ((err = f8_lstat(dest_file, &st)) != 0)
            return err;
    }
    if (mode != st.st_mode && fchmodat(AT_FDCWD, dest_file, mode & 07777, 0) != 0)
        return last_error();
    return 0;
}

char* qpinst_gen_file_hash(malloc_i* ma, const char* file)
{
    const size_t max_bytes = 50000000, block_size = 256 * 1024;
    int fd = -1;
    if (f8_open(&fd, file, fof_read_data) != 0)
        return nullptr;
    qpfd::heap_block block(block_size);
    uint32_t crc = 0;
    int err = block.get() ? 0 : err_no_mem;
    for (size_t total = 0; !err && total < max_bytes;) {
        size_t want = max_bytes - total < block_size ? max_bytes - total : block_size, got = 0;
        err = qpfd::read_full(fd, block.get(), want, &got);
        crc = Crc32Update(crc, block.get(), got);
        total += got;
        if (got < want)
            break;
    }
    fd_close(fd);
    return err ? nullptr : ss8formatm(ma, "%08X", crc);
}
