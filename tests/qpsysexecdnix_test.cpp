// Tests of the daemon's start request in process, under the debug heap's
// leak check after every test: refusals, the stored spelling, the started
// program's descriptors, the exit-status socket and the watch. They need the
// approval store under /etc, so they run as root in a private mount
// namespace (tests/sysexec/private_system.sh); elsewhere they are skipped.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "qperr.h"
#include "qpsocket.h"
#include "qpsysexec.h"
#include "qpsysexecd.h"

namespace {

bool private_system()
{
    const char* flag = getenv("QP_PRIVATE_SYSTEM");
    return flag && std::string(flag) == "1";
}

std::string record(const std::vector<std::string>& args, const std::string& folder)
{
    std::string r(4, '\0');
    uint32_t argc = static_cast<uint32_t>(args.size());
    memcpy(&r[0], &argc, 4);
    for (const auto& a : args) {
        r += a;
        r.push_back('\0');
    }
    return r + folder + std::string(1, '\0');
}

// A tracked descriptor of /dev/null, as the daemon's received ones are.
int null_fd(int flags)
{
    int raw = open("/dev/null", flags | O_CLOEXEC);
    int fd = -1;
    EXPECT_EQ(file_duplicate(&fd, raw), 0);
    close(raw);
    return fd;
}

// The three descriptors of a request: a one-way pipe for the program's
// output (read here), /dev/null for its input and error.
struct request_io {
    int out_read = -1;
    int fds[3] = {-1, -1, -1};
    request_io()
    {
        EXPECT_EQ(file_create_pipe(&out_read, &fds[1]), 0);
        fds[0] = null_fd(O_RDONLY);
        fds[2] = null_fd(O_WRONLY);
    }
    ~request_io() { fd_close(out_read); }
    std::string output()
    {
        std::string text;
        char buf[256];
        ssize_t n;
        while ((n = read(out_read, buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
        return text;
    }
};

struct exec_result {
    int err;
    size_t output_size;
    int32_t pid;
    int exit_fd;
};

exec_result exec(const std::string& r, request_io& io, size_t max_output = 4)
{
    exec_result x{};
    uint8_t output[4] = {};
    x.err = qpsysexec_exec(r.data(), r.size(), io.fds[0], io.fds[1], io.fds[2], output, max_output,
                           &x.output_size, &x.exit_fd);
    memcpy(&x.pid, output, 4);
    return x;
}

// The four bytes on the exit-status socket, then its end; -1 when it ended
// without a code.
int read_exit_code(int fd)
{
    uint8_t code[4];
    size_t got = 0;
    while (got < 4) {
        ssize_t n = read(fd, code + got, 4 - got);
        if (n <= 0) {
            return -1;
        }
        got += static_cast<size_t>(n);
    }
    char more;
    EXPECT_EQ(read(fd, &more, 1), 0); // the daemon closed its end
    return code[0] | code[1] << 8 | code[2] << 16 | code[3] << 24;
}

// A process object let go while its program runs lives on in its waiter
// until the program is reaped, a moment after its output ends; the leak
// check after the test must not run in that moment.
void settle_waiter()
{
    usleep(300 * 1000);
}

class DaemonExec : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!private_system()) {
            GTEST_SKIP() << "needs a private /etc (tests/sysexec/private_system.sh)";
        }
        daemon_state_init();
        ASSERT_EQ(qpsysexec_approve_command("/bin/sh"), 0);
    }
    void TearDown() override
    {
        if (private_system()) {
            // Every monitor is gone once the count is back at 0. The idle
            // pin is set under daemon_lock: once the lock is free again the
            // last release has left the state, which may then be ended.
            EXPECT_TRUE(pin_wait(&daemon_idle.vtbl, nullptr, 5000));
            sync_lock(&daemon_lock);
            sync_unlock(&daemon_lock);
            int left = 0;
            qpsysexec_revoke_command("/bin/sh", &left);
            daemon_state_term();
        }
    }
};

// A started program gets exactly the three descriptors; its exit code
// arrives as four little-endian bytes, then the socket ends.
TEST_F(DaemonExec, StartsApprovedProgramAndReportsExitCode)
{
    request_io io;
    exec_result x = exec(record({"/bin/sh", "-c", "ls /proc/self/fd; pwd; exit 3"}, "/tmp"), io);
    ASSERT_EQ(x.err, 0);
    EXPECT_EQ(x.output_size, 4u);
    EXPECT_GT(x.pid, 0);
    EXPECT_EQ(read_exit_code(x.exit_fd), 3);
    fd_close(x.exit_fd);
    // ls lists 0, 1, 2 and its own listing descriptor (3).
    EXPECT_EQ(io.output(), "0\n1\n2\n3\n/tmp\n");
}

// The approval check replaces the caller's spelling by the stored one; an
// unapproved program, malformed records and a short output room are refused
// and start nothing (the descriptors are closed: the pipe ends).
TEST_F(DaemonExec, RefusalsStartNothing)
{
    struct row {
        std::string record;
        size_t max_output;
        int err;
    } rows[] = {
        {record({"/bin/true"}, "/"), 4, err_not_found},
        {record({"/no/such/program"}, "/"), 4, err_not_found},
        {record({""}, "/"), 4, err_bad_parameter},
        {record({"/bin/sh"}, ""), 4, err_bad_parameter},
        {record({"/bin/sh"}, "/"), 3, err_bad_parameter},
        {std::string("\0\0\0\0/bin/sh\0/\0", 14), 4, err_bad_parameter},
        {std::string("\x01\0\0\0/bin/sh", 11), 4, err_bad_parameter},
    };
    for (row& r : rows) {
        request_io io;
        exec_result x = exec(r.record, io, r.max_output);
        EXPECT_EQ(x.err, r.err) << r.record;
        EXPECT_EQ(x.output_size, 0u);
        EXPECT_EQ(x.exit_fd, -1);
        EXPECT_EQ(io.output(), ""); // every copy of the write end is closed
    }
}

// The caller closing its end stops the watch; the program runs on.
TEST_F(DaemonExec, CallerClosingStopsWatchOnly)
{
    request_io io;
    exec_result x = exec(record({"/bin/sh", "-c", "sleep 1; echo survived"}, "/"), io);
    ASSERT_EQ(x.err, 0);
    fd_close(x.exit_fd);
    EXPECT_TRUE(pin_wait(&daemon_idle.vtbl, nullptr, 5000)); // not busy any more
    EXPECT_EQ(io.output(), "survived\n");
    settle_waiter();
}

// A byte written by the caller also ends the watch.
TEST_F(DaemonExec, CallerWritingStopsWatch)
{
    request_io io;
    exec_result x = exec(record({"/bin/sh", "-c", "sleep 1"}, "/"), io);
    ASSERT_EQ(x.err, 0);
    EXPECT_TRUE(daemon_is_busy());
    ASSERT_EQ(write(x.exit_fd, "x", 1), 1);
    EXPECT_TRUE(pin_wait(&daemon_idle.vtbl, nullptr, 5000));
    struct pollfd p = {x.exit_fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(read_exit_code(x.exit_fd), -1); // ended without a code
    fd_close(x.exit_fd);
    io.output();
    settle_waiter();
}

} // namespace
