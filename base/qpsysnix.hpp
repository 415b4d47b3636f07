// qpsysnix.hpp - plumbing shared by the environment, path and file-service
// units on Linux (C++ only, not a public header).
//
// A scratch pool and a heap block that free themselves at the end of a
// scope, one move-only owner for a descriptor, and the few system-call
// wrappers that every unit uses: opens are always close-on-exec and never hand out 0-2 by
// accident (such a descriptor is moved above 2), EINTR is retried, and reads
// and writes loop over partial transfers in one place. Errors are errno
// values returned as ints; nothing here throws.
#ifndef QPSYSNIX_HPP
#define QPSYSNIX_HPP

#include "qpbase.h"

#include <cstddef>
#include <sys/types.h>

namespace qpfd {

// A scratch pool for the temporary texts of one call.
using scratch_pool = qp_scratch_pool;

// A debug-heap block owned for the length of one call (null when the
// allocation failed).
class heap_block {
public:
    explicit heap_block(size_t size) : mem_(malloc_d(size)) {}
    ~heap_block() { free_d(mem_); }
    heap_block(const heap_block&) = delete;
    heap_block& operator=(const heap_block&) = delete;
    char* get() const { return static_cast<char*>(mem_); }

private:
    void* mem_;
};

// Owns one descriptor; closes it when it goes out of scope.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the held descriptor; returns the close error (0 when none).
    int reset(int fd = -1);

private:
    int fd_ = -1;
};

// The calling thread's errno, never 0 (999 when the system left none).
int last_error();

// A descriptor in a standard slot (0-2) moved above 2, close-on-exec; the
// slot is freed again. -1 with errno when it cannot be moved.
int move_above_stdio(int fd);

// open/openat with O_CLOEXEC added, EINTR retried, 0-2 moved above 2.
int open_at(int dir_fd, const char* path, int flags, mode_t mode, unique_fd* out);

// Writes all size bytes (EINTR and partial writes handled).
int write_all(int fd, const void* data, size_t size);
// Reads until size bytes or the end of data; *out_got is what arrived.
int read_full(int fd, void* data, size_t size, size_t* out_got);

// 12 for a null name, 36 for an empty one, else 0.
int check_name(const char* name);

// The counter_msec deadline of a timeout (all ones when there is none).
uint64_t deadline_of(int timeout);
// One read or write (direction qp_io_direction_*) that never blocks on a
// socket: the result and errno of recv/send, or of read/write for a
// descriptor that is no socket.
ssize_t transfer_once(int fd, int direction, void* data, size_t size);

} // namespace qpfd

#endif
