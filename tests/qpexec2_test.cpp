// Tests of the service kind of process objects against a fake daemon (a
// listener in this process, run by root, answering as the execution
// service's daemon does), against a listener of an ordinary user, and
// against no listener at all. They run in a private mount namespace whose
// /tmp and /usr/local/bin are scratch folders (tests/sysexec/private_system.sh), so that
// the fixed socket name and service program can be planted; elsewhere they
// are skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "exectest.h"
#include "qperr.h"
#include "qpfile.h"
#include "qppin.h"
#include "qpremote.h"
#include "qpsocket.h"
#include "qpsys.h"

namespace {

std::string socket_path()
{
    return std::string("/tmp/") + qpsysexec_ipc_socket_name;
}

bool in_private_mounts()
{
    return getenv("QP_PRIVATE_SYSTEM") != nullptr;
}

// Skips outside the namespace; inside, starts without a socket left by an
// earlier test (a listener unlinks its path only when its thread ends).
#define REQUIRE_PRIVATE_MOUNTS()                                                                   \
    if (!in_private_mounts())                                                                      \
        GTEST_SKIP() << "needs the private mount namespace of tests/qpexec2_ns.sh";                \
    unlink(socket_path().c_str())

// ---- the fake daemon ----------------------------------------------------------------

// What the fake daemon saw and how it answers a start request.
struct fake_daemon_state {
    std::mutex lock;
    int pings = 0;
    int starts = 0;
    std::vector<std::string> args; // of the last start: arguments, then the folder
    int answer_err = 0;            // error of the start answer
    uint32_t answer_pid = 4242;    // 0: an answer without a process id
    bool answer_fd = true;         // false: no exit-status descriptor
    int exit_code = 3;             // written on the exit-status socket
    bool hold_exit = false;        // keep the exit-status socket open, silent
    int held_fd = -1;
};

fake_daemon_state* g_fake;

// One accepted connection: its receive interface and the connection. The
// connection may end, and release the receive interface, before its factory
// has handed the connection out (on another thread, or inside the factory
// on this one); whichever of the two comes last frees the client and drops
// the connection.
struct fake_client {
    remote_receive_i vtbl;
    remote_i* remote;
    bool receive_released;
};

std::mutex g_fake_connect_lock;

void fake_client_release(remote_receive_i* rcv)
{
    fake_client* client = reinterpret_cast<fake_client*>(rcv);
    remote_i* remote;
    {
        std::lock_guard<std::mutex> guard(g_fake_connect_lock);
        remote = client->remote;
        client->receive_released = true;
        if (!remote)
            return; // fake_connect finishes
    }
    (*remote)->release(remote);
    delete client;
}

void fake_client_cancel(remote_receive_i*, int) {}
void fake_client_max_sizes(remote_receive_i*, int, size_t*, size_t*) {}

// Serves a start as the daemon does: writes to the caller's output and
// error, answers the process id with the exit-status socket, and writes the
// exit code on it. The state is read and written only before the answer, so
// that a test that got the answer may end.
void fake_start(remote_req_i* req)
{
    fake_daemon_state* s = g_fake;
    const char* input = static_cast<const char*>((*req)->input(req));
    size_t size = (*req)->input_size(req);
    std::vector<std::string> args;
    uint32_t argc = 0;
    memcpy(&argc, input, size >= 4 ? 4 : 0);
    for (size_t at = 4, i = 0; i <= argc && at < size; i++) {
        args.emplace_back(input + at);
        at += args.back().size() + 1;
    }
    int fds[3];
    for (int i = 0; i < 3; i++)
        fds[i] = (*req)->input_fd(req, i);
    EXPECT_EQ(3, write(fds[1], "out", 3));
    EXPECT_EQ(3, write(fds[2], "err", 3));
    for (int fd : fds)
        fd_close(fd);
    fake_daemon_state answer;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->starts++;
        s->args = args;
        answer.answer_err = s->answer_err;
        answer.answer_pid = s->answer_pid;
        answer.answer_fd = s->answer_fd;
        answer.exit_code = s->exit_code;
        answer.hold_exit = s->hold_exit;
    }
    if (answer.answer_err) {
        (*req)->complete(req, answer.answer_err, 0, nullptr, 0);
        return;
    }
    int ours = -1, theirs = -1;
    EXPECT_EQ(0, file_create_socket(&ours, &theirs));
    if (answer.answer_fd)
        (*req)->output_fd(req, 0, &theirs);
    fd_close(theirs);
    if (answer.hold_exit) {
        std::lock_guard<std::mutex> guard(s->lock);
        s->held_fd = ours;
        ours = -1;
    }
    uint32_t pid = answer.answer_pid;
    (*req)->complete(req, 0, 0, &pid, sizeof(pid));
    if (ours != -1) {
        // The caller may have closed its end already (a refused answer).
        uint32_t code = static_cast<uint32_t>(answer.exit_code);
        ssize_t wrote = write(ours, &code, 4);
        (void)wrote;
        fd_close(ours);
    }
}

void fake_client_dispatch(remote_receive_i*, remote_req_i* req)
{
    int code = (*req)->code(req);
    if (code == qpsysexec_code_ping) {
        {
            std::lock_guard<std::mutex> guard(g_fake->lock);
            g_fake->pings++;
        }
        (*req)->complete(req, 0, 0, nullptr, 0);
    } else if (code == qpsysexec_code_exec) {
        fake_start(req);
    } else {
        (*req)->complete(req, err_not_implemented, 0, nullptr, 0);
    }
}

const remote_receive_i_vtbl_t fake_client_vtbl = {fake_client_release, fake_client_cancel,
                                                  fake_client_max_sizes, fake_client_dispatch};

void fake_connect_retain(socket_connect_i*) {}
void fake_connect_release(socket_connect_i*) {}

void fake_connect(socket_connect_i*, pin_i*, const char*, const char*, int* in_out_fd)
{
    fake_client* client = new fake_client{&fake_client_vtbl, nullptr, false};
    remote_receive_i* receive = &client->vtbl;
    int flags = remote_flag_receive | remote_flag_receive_fd | remote_flag_send_fd |
                remote_flag_serialize | remote_flag_server;
    remote_i* remote = nullptr;
    remote_factory_d(&remote, procsig_pin(FILE_SIGNAL_STOP), flags, in_out_fd, nullptr, &receive);
    bool over;
    {
        std::lock_guard<std::mutex> guard(g_fake_connect_lock);
        over = client->receive_released;
        client->remote = remote;
    }
    if (over) {
        if (remote)
            (*remote)->release(remote);
        delete client;
    }
}

const socket_connect_i_vtbl_t fake_connect_vtbl = {fake_connect_retain, fake_connect_release,
                                                   fake_connect};
socket_connect_i fake_connect_obj = &fake_connect_vtbl;

// The fake daemon listening on the request socket for one test.
class FakeDaemon : public testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_PRIVATE_MOUNTS();
        g_fake = &state_;
        ASSERT_EQ(0, domain_socket_listen_factory(&listen_, &fake_connect_obj,
                                                  domain_socket_access_world,
                                                  qpsysexec_ipc_socket_name));
    }
    void TearDown() override
    {
        if (listen_) {
            (*listen_)->cancel(listen_);
            (*listen_)->release(listen_);
        }
        {
            std::lock_guard<std::mutex> guard(state_.lock);
            fd_close(state_.held_fd);
            state_.held_fd = -1;
        }
        g_fake = nullptr;
    }

    // Changes the answers of the fake daemon.
    template <typename Change>
    void answer(Change change)
    {
        std::lock_guard<std::mutex> guard(state_.lock);
        change(state_);
    }

    fake_daemon_state state_;
    socket_listen_i* listen_ = nullptr;
};

// A service object with its output and error on pipes.
struct service_run {
    f8_exec_i* e = nullptr;
    int out[2] = {-1, -1}, err[2] = {-1, -1};

    service_run()
    {
        EXPECT_EQ(0, f8_exec_system_factory(&e));
        EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
        EXPECT_EQ(0, pipe2(err, O_CLOEXEC));
        (*e)->set_output(e, out[1]);
        (*e)->set_error(e, err[1]);
    }
    int start(std::vector<const char*> argv)
    {
        argv.push_back(nullptr);
        int res = (*e)->start(e, argv.data());
        close(out[1]);
        close(err[1]);
        return res;
    }
    ~service_run()
    {
        close(out[0]);
        close(err[0]);
        if (e)
            (*e)->release(e);
    }
};

// The whole exchange: ping, start request with the resolved path, the
// arguments, the folder and the three descriptors, then the process id and
// the exit code read from the exit-status socket.
TEST_F(FakeDaemon, StartRelaysDescriptorsPidAndExitCode)
{
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    service_run run;
    (*run.e)->set_current_folder(run.e, "/tmp");
    ASSERT_EQ(0, run.start({"/bin/sh", "one", "two words", ""}));
    EXPECT_EQ(4242, (*run.e)->get_pid(run.e));
    EXPECT_EQ(3, (*run.e)->get_exit_code(run.e));
    EXPECT_EQ("out", read_all(run.out[0]));
    EXPECT_EQ("err", read_all(run.err[0]));
    std::lock_guard<std::mutex> guard(state_.lock);
    EXPECT_GE(state_.pings, 1);
    EXPECT_EQ(1, state_.starts);
    std::vector<std::string> expected = {"/bin/sh", "one", "two words", "", "/tmp"};
    EXPECT_EQ(expected, state_.args);
}

// The daemon's refusal is the start's error; an answer without a process id
// or without the exit-status descriptor is a bad format.
TEST_F(FakeDaemon, RefusalsAndBadAnswers)
{
    answer([](fake_daemon_state& s) { s.answer_err = err_not_found; });
    {
        service_run run;
        EXPECT_EQ(err_not_found, run.start({"/bin/true"}));
        EXPECT_TRUE((*run.e)->wait(run.e, nullptr, 0));
    }
    answer([](fake_daemon_state& s) {
        s.answer_err = 0;
        s.answer_pid = 0;
    });
    {
        service_run run;
        EXPECT_EQ(err_bad_format, run.start({"/bin/true"}));
    }
    answer([](fake_daemon_state& s) {
        s.answer_pid = 4242;
        s.answer_fd = false;
    });
    {
        service_run run;
        EXPECT_EQ(err_bad_format, run.start({"/bin/true"}));
    }
}

// While the exit code has not come, the object waits; a release then
// cancels the read (no leak, no hang).
TEST_F(FakeDaemon, PendingExitCodeAndEarlyRelease)
{
    answer([](fake_daemon_state& s) { s.hold_exit = true; });
    service_run run;
    ASSERT_EQ(0, run.start({"/bin/true"}));
    EXPECT_FALSE((*run.e)->wait(run.e, nullptr, 100));
    (*run.e)->release(run.e);
    run.e = nullptr;
}

// A daemon that goes away without an exit code ends the wait.
TEST_F(FakeDaemon, ClosedExitSocketEndsTheWait)
{
    answer([](fake_daemon_state& s) { s.hold_exit = true; });
    service_run run;
    ASSERT_EQ(0, run.start({"/bin/true"}));
    {
        std::lock_guard<std::mutex> guard(state_.lock);
        fd_close(state_.held_fd);
        state_.held_fd = -1;
    }
    EXPECT_TRUE((*run.e)->wait(run.e, nullptr, 10000));
}

// ---- a listener of an ordinary user --------------------------------------------------

// A listener planted by user nobody gets nothing: the start fails with 13 at
// once and not one byte reaches it.
TEST(ServiceImpostor, ListenerOfOrdinaryUserGetsNothing)
{
    REQUIRE_PRIVATE_MOUNTS();
    int report[2], stop[2];
    ASSERT_EQ(0, pipe(report));
    ASSERT_EQ(0, pipe(stop));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls from here on: this process was forked from one
        // with threads.
        close(stop[1]);
        close(report[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr;
        memset(&addr, 0, sizeof(addr));
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, "/tmp/" QP_REVERSE_DOMAIN_PREFIX ".qpsysexec.ipc-socket",
                sizeof(addr.sun_path) - 1);
        if (bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
            chmod(addr.sun_path, 0666) != 0 || listen(listener, 8) != 0)
            _exit(3);
        long received = 0;
        for (;;) {
            struct pollfd watch[2] = {{listener, POLLIN, 0}, {stop[0], POLLIN, 0}};
            if (poll(watch, 2, 10000) <= 0 || watch[1].revents)
                break;
            int conn = accept(listener, nullptr, nullptr);
            if (conn < 0)
                break;
            char buffer[256];
            ssize_t got;
            struct pollfd data = {conn, POLLIN, 0};
            while (poll(&data, 1, 300) > 0 && (got = read(conn, buffer, sizeof(buffer))) > 0)
                received += got;
            close(conn);
        }
        if (write(report[1], &received, sizeof(received)) != sizeof(received))
            _exit(4);
        _exit(0);
    }
    close(report[1]);
    close(stop[0]);
    struct stat st;
    for (int i = 0; i < 200 && stat(socket_path().c_str(), &st) != 0; i++)
        usleep(10000);
    auto began = std::chrono::steady_clock::now();
    {
        service_run run;
        EXPECT_EQ(err_access_denied, run.start({"/bin/true"}));
    }
    auto took = std::chrono::steady_clock::now() - began;
    EXPECT_LT(took, std::chrono::seconds(2));
    close(stop[1]);
    long received = -1;
    EXPECT_EQ(static_cast<ssize_t>(sizeof(received)), read(report[0], &received, sizeof(received)));
    close(report[0]);
    EXPECT_EQ(0, received);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, WEXITSTATUS(status));
    unlink(socket_path().c_str());
}

// ---- no listener ------------------------------------------------------------------------

// Reads the start times (ms) the fake service program logged.
std::vector<long long> logged_starts(const std::string& log)
{
    std::vector<long long> times;
    std::ifstream in(log);
    long long nanoseconds;
    while (in >> nanoseconds)
        times.push_back(nanoseconds / 1000000);
    return times;
}

// Nobody answers: the service program is run with "sysstart" at most once
// every 200 ms, and the start ends after 5 s with the connect error.
TEST(ServiceNoListener, StartsTheDaemonAtMostEvery200msThenGivesUp)
{
    REQUIRE_PRIVATE_MOUNTS();
    const std::string log = "/tmp/sysstart.log";
    {
        std::ofstream program(qpsysexec_service_exe_name);
        program << "#!/bin/sh\n[ \"$1\" = sysstart ] && [ \"$(pwd)\" = / ] && date +%s%N >> "
                << log << "\n";
    }
    chmod(qpsysexec_service_exe_name, 0755);
    auto began = std::chrono::steady_clock::now();
    {
        service_run run;
        EXPECT_EQ(err_not_found, run.start({"/bin/true"})); // connect: no such socket
    }
    auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, std::chrono::milliseconds(4900)); // the limit counts whole ms
    EXPECT_LT(took, std::chrono::milliseconds(7000));
    std::vector<long long> starts = logged_starts(log);
    EXPECT_GE(starts.size(), 5u);
    EXPECT_LE(starts.size(), 26u);
    for (size_t i = 1; i < starts.size(); i++)
        EXPECT_GE(starts[i] - starts[i - 1], 150) << i; // start latency blurs the 200 ms
    unlink(qpsysexec_service_exe_name);
    unlink(log.c_str());
}

// A socket nobody listens on gives "connection refused" after 5 s, also
// when the service program does not exist.
TEST(ServiceNoListener, RefusedSocketWithoutServiceProgram)
{
    REQUIRE_PRIVATE_MOUNTS();
    int dead = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, socket_path().c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(0, bind(dead, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
    auto began = std::chrono::steady_clock::now();
    {
        service_run run;
        EXPECT_EQ(err_connection_refused, run.start({"/bin/true"}));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(4900));
    close(dead);
    unlink(socket_path().c_str());
}

} // namespace
