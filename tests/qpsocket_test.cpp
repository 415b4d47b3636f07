// Tests of the named sockets, their listener and descriptor passing. The
// tests whose names end in RootWithThrowawayUid run only as root on the
// host: a forked child drops to an unused user id (no account is created)
// and plays the hostile local user under /tmp.
#include "ipctest.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <vector>

#include "qperr.h"

namespace {

// A connection handler that keeps (or leaves) each accepted descriptor.
struct test_connect {
    socket_connect_i vtbl;
    std::atomic<int> refs{1};
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<int> fds;
    bool take = true;

    static test_connect* of(socket_connect_i* sc) { return reinterpret_cast<test_connect*>(sc); }
    static void retain(socket_connect_i* sc) { of(sc)->refs++; }
    static void release(socket_connect_i* sc) { of(sc)->refs--; }
    static void connect(socket_connect_i* sc, pin_i*, const char* local, const char* remote, int* fd)
    {
        test_connect* tc = of(sc);
        EXPECT_STREQ("localhost", local);
        EXPECT_STREQ("localhost", remote);
        std::lock_guard<std::mutex> guard(tc->lock);
        if (tc->take) {
            tc->fds.push_back(*fd);
            *fd = -1;
        } else {
            tc->fds.push_back(-1);
        }
        tc->arrived.notify_all();
    }
    bool wait_for(size_t count)
    {
        std::unique_lock<std::mutex> guard(lock);
        return arrived.wait_for(guard, std::chrono::seconds(5), [&] { return fds.size() >= count; });
    }
    ~test_connect()
    {
        // A cancelled listener's thread lets go of its handler on its own time.
        for (int i = 0; i < 500 && refs.load() != 1; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(1, refs.load());
        std::lock_guard<std::mutex> guard(lock);
        for (int fd : fds)
            fd_close(fd);
    }
};

const socket_connect_i_vtbl_t test_connect_vtbl = {test_connect::retain, test_connect::release,
                                                   test_connect::connect};

class QpSocketTest : public IpcDirTest {
protected:
    void SetUp() override
    {
        IpcDirTest::SetUp();
        conn.vtbl = &test_connect_vtbl;
    }
    // Cancels and releases a listener and waits until its thread let go of
    // the handler (the path goes with the last reference).
    void end_listener(socket_listen_i* listen)
    {
        (*listen)->cancel(listen);
        (*listen)->release(listen);
        for (int i = 0; i < 500 && conn.refs.load() != 1; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    test_connect conn;
};

// A path of 107 characters is accepted; 108 gives 36 and an empty name 22,
// for connecting and for listening alike.
TEST_F(QpSocketTest, NameLengthRule)
{
    std::string base = dir_ + "/";
    std::string name107 = base + std::string(107 - base.size(), 'n');
    std::string name108 = name107 + "m";
    ASSERT_EQ(107u, name107.size());
    socket_listen_i* listen = nullptr;
    ASSERT_EQ(0, domain_socket_listen_factory(&listen, &conn.vtbl, 0, name107.c_str()));
    int fd;
    EXPECT_EQ(0, domain_socket_open(&fd, name107.c_str()));
    fd_close(fd);
    end_listener(listen);
    EXPECT_EQ(err_bad_name, domain_socket_open(&fd, name108.c_str()));
    EXPECT_EQ(-1, fd);
    EXPECT_EQ(err_bad_name, domain_socket_listen_factory(&listen, &conn.vtbl, 0, name108.c_str()));
    EXPECT_EQ(nullptr, listen);
    EXPECT_EQ(err_bad_parameter, domain_socket_open(&fd, ""));
    EXPECT_EQ(err_bad_parameter, domain_socket_listen_factory(&listen, &conn.vtbl, 0, ""));
}

// A relative name lives under /tmp.
TEST_F(QpSocketTest, RelativeNameLivesUnderTmp)
{
    std::string relative = dir_.substr(strlen("/tmp/")) + "/rel";
    socket_listen_i* listen = nullptr;
    ASSERT_EQ(0, domain_socket_listen_factory(&listen, &conn.vtbl, 0, relative.c_str()));
    EXPECT_TRUE(exists(path("rel")));
    int fd;
    EXPECT_EQ(0, domain_socket_open(&fd, path("rel").c_str()));
    EXPECT_TRUE(conn.wait_for(1));
    fd_close(fd);
    end_listener(listen);
}

// The listener hands every connection to its handler with data flowing
// both ways; a second listener on the live name gets 17 and leaves the
// first one's path; the last release removes the path and the handler's
// reference.
TEST_F(QpSocketTest, ListenerServesAndSecondListenerFails)
{
    std::string name = path("svc");
    socket_listen_i* first = nullptr;
    ASSERT_EQ(0, domain_socket_listen_factory(&first, &conn.vtbl, 0, name.c_str()));
    EXPECT_EQ(2, conn.refs.load());
    socket_listen_i* second = nullptr;
    test_connect other;
    other.vtbl = &test_connect_vtbl;
    EXPECT_EQ(err_exists, domain_socket_listen_factory(&second, &other.vtbl, 0, name.c_str()));
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(1, other.refs.load());
    EXPECT_TRUE(exists(name));
    EXPECT_FALSE(exists(name + ".lock"));

    ASSERT_TRUE(conn.wait_for(1)); // the second one's probe
    int client;
    ASSERT_EQ(0, domain_socket_open(&client, name.c_str()));
    ASSERT_TRUE(conn.wait_for(2));
    int server = conn.fds[1];
    EXPECT_FALSE(fcntl(server, F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(fcntl(client, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(server, F_GETFD) & FD_CLOEXEC);
    size_t moved;
    char buf[4] = {};
    ASSERT_EQ(0, fd_send(client, 0, nullptr, 1000, "ping", 4, &moved));
    ASSERT_EQ(0, fd_recv(server, 0, nullptr, 1000, buf, 4, 4, &moved));
    EXPECT_EQ(0, memcmp(buf, "ping", 4));
    fd_close(client);

    end_listener(first);
    EXPECT_EQ(1, conn.refs.load());
    EXPECT_FALSE(exists(name));
    EXPECT_NE(0, domain_socket_open(&client, name.c_str()));
}

// A descriptor the handler leaves is closed by the listener.
TEST_F(QpSocketTest, ListenerClosesWhatTheHandlerLeaves)
{
    conn.take = false;
    std::string name = path("leave");
    socket_listen_i* listen = nullptr;
    ASSERT_EQ(0, domain_socket_listen_factory(&listen, &conn.vtbl, 0, name.c_str()));
    int client;
    ASSERT_EQ(0, domain_socket_open(&client, name.c_str()));
    ASSERT_TRUE(conn.wait_for(1));
    char c;
    size_t got;
    EXPECT_EQ(err_broken_pipe, fd_recv(client, 0, nullptr, 2000, &c, 1, 1, &got));
    fd_close(client);
    end_listener(listen);
}

// A dead socket left at the name is replaced; connecting to a name nobody
// serves fails at once.
TEST_F(QpSocketTest, StaleSocketIsReplacedAndNobodyAnswers)
{
    std::string name = path("stale");
    int raw = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, name.c_str());
    ASSERT_EQ(0, bind(raw, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    close(raw); // bound, never listened: nobody answers
    int fd;
    int64_t start = now_msecs();
    EXPECT_EQ(ECONNREFUSED, domain_socket_open(&fd, name.c_str()));
    EXPECT_EQ(ENOENT, domain_socket_open(&fd, path("none").c_str()));
    EXPECT_LT(now_msecs() - start, 1500);
    socket_listen_i* listen = nullptr;
    ASSERT_EQ(0, domain_socket_listen_factory(&listen, &conn.vtbl, 0, name.c_str()));
    EXPECT_EQ(0, domain_socket_open(&fd, name.c_str()));
    fd_close(fd);
    end_listener(listen);
}

int accept_after_descriptor_exhaustion(const std::string& name)
{
    test_connect conn;
    conn.vtbl = &test_connect_vtbl;
    socket_listen_i* listen = nullptr;
    int first, second = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (domain_socket_listen_factory(&listen, &conn.vtbl, 0, name.c_str()) ||
        domain_socket_open(&first, name.c_str()) || !conn.wait_for(1))
        return 1;
    struct rlimit old_limit, low_limit;
    getrlimit(RLIMIT_NOFILE, &old_limit);
    low_limit = old_limit;
    int lowest_free = 0;
    while (fcntl(lowest_free, F_GETFD) >= 0)
        lowest_free++;
    low_limit.rlim_cur = static_cast<rlim_t>(lowest_free);
    setrlimit(RLIMIT_NOFILE, &low_limit); // no new descriptor: the listener cannot accept
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, name.c_str());
    if (connect(second, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    setrlimit(RLIMIT_NOFILE, &old_limit);
    if (!conn.wait_for(2))
        return 3;
    close(second);
    fd_close(first);
    (*listen)->cancel(listen);
    (*listen)->release(listen);
    return 0;
}

// Run in a child: the limit is the process's. exit (not _exit) joins the
// threads once everything above is released.
void accept_waits_out_descriptor_exhaustion(const std::string& name)
{
    exit(accept_after_descriptor_exhaustion(name));
}

// A listener that runs out of descriptors waits until it can accept again
// instead of giving up after 20 failures.
TEST_F(QpSocketTest, AcceptWaitsOutDescriptorExhaustion)
{
    EXPECT_EXIT(accept_waits_out_descriptor_exhaustion(path("full")), testing::ExitedWithCode(0), "");
}

// Modes: 0600 by default, 0660 for the group, 0006 added for the world.
TEST_F(QpSocketTest, AccessModes)
{
    struct {
        int access;
        mode_t mode;
    } cases[] = {{0, 0600},
                 {domain_socket_access_group, 0660},
                 {domain_socket_access_world, 0606},
                 {domain_socket_access_group | domain_socket_access_world | domain_socket_access_real, 0666}};
    for (auto& c : cases) {
        std::string name = path("mode");
        socket_listen_i* listen = nullptr;
        ASSERT_EQ(0, domain_socket_listen_factory(&listen, &conn.vtbl, c.access, name.c_str()));
        struct stat st;
        ASSERT_EQ(0, lstat(name.c_str(), &st));
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(c.mode, st.st_mode & 0777) << c.access;
        EXPECT_EQ(geteuid(), st.st_uid);
        end_listener(listen);
    }
}

// ---- descriptor passing --------------------------------------------------------

struct socket_pair {
    int a = -1, b = -1;
    explicit socket_pair(int type = SOCK_STREAM)
    {
        int pair[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, pair));
        a = pair[0];
        b = pair[1];
        handle_alloced_d(static_cast<intptr_t>(a));
        handle_alloced_d(static_cast<intptr_t>(b));
    }
    ~socket_pair()
    {
        fd_close(a);
        fd_close(b);
    }
};

// A descriptor passes both ways of the exchange: one byte 0 with one
// SCM_RIGHTS message of 20 bytes, then the one-byte acknowledgement; the
// received descriptor is close-on-exec and works.
TEST(QpFdPassing, RoundTripOnTheWire)
{
    socket_pair pair;
    int r, w;
    ASSERT_EQ(0, file_create_pipe(&r, &w));
    int err = -1;
    std::thread sender([&] { err = file_send_fd_v2(pair.a, 0, nullptr, w); });
    // The raw message as it arrives.
    char data[4] = {9, 9, 9, 9};
    alignas(cmsghdr) char control[256];
    struct iovec iov = {data, sizeof(data)};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ASSERT_EQ(1, recvmsg(pair.b, &msg, MSG_CMSG_CLOEXEC));
    EXPECT_EQ(0, data[0]);
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    ASSERT_NE(nullptr, cmsg);
    EXPECT_EQ(SOL_SOCKET, cmsg->cmsg_level);
    EXPECT_EQ(SCM_RIGHTS, cmsg->cmsg_type);
    EXPECT_EQ(20u, cmsg->cmsg_len);
    EXPECT_EQ(nullptr, CMSG_NXTHDR(&msg, cmsg));
    int passed;
    memcpy(&passed, CMSG_DATA(cmsg), sizeof(int));
    close(passed);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(-1, err); // still waiting for the acknowledgement
    ASSERT_EQ(1, write(pair.b, "", 1));
    sender.join();
    EXPECT_EQ(0, err);

    std::thread sender2([&] { err = file_send_fd_v1(pair.a, 0, nullptr, w); });
    int got = -1;
    ASSERT_EQ(0, file_receive_fd_v2(pair.b, 0, nullptr, &got, 1));
    sender2.join();
    EXPECT_EQ(0, err);
    EXPECT_TRUE(fcntl(got, F_GETFD) & FD_CLOEXEC);
    ASSERT_EQ(1, write(got, "p", 1));
    char c;
    ASSERT_EQ(1, read(r, &c, 1));
    EXPECT_EQ('p', c);
    fd_close(got);
    fd_close(r);
    fd_close(w);
}

// A sender whose peer never acknowledges waits until its cancel pin fires.
TEST(QpFdPassing, NoAcknowledgementBlocksUntilCancelled)
{
    socket_pair pair;
    pin_t cancel;
    pin_init(&cancel);
    std::atomic<int> err{-1};
    std::thread sender([&] { err = file_send_fd_v1(pair.a, 0, &cancel.vtbl, pair.a); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(-1, err.load());
    pin_signal(&cancel);
    sender.join();
    EXPECT_EQ(err_cancelled, err.load());
    pin_term(&cancel);
    // Drain the message so its descriptor is closed.
    int fd;
    EXPECT_EQ(0, file_receive_cmsg(pair.b, 0, nullptr, nullptr, nullptr, &fd));
    fd_close(fd);
}

// Sends one byte with the given descriptors in one SCM_RIGHTS message (and
// a second message when split), optionally with credentials.
int send_raw(int sock, const std::vector<int>& fds, bool split, bool creds)
{
    alignas(cmsghdr) char control[512] = {};
    char byte = 0;
    struct iovec iov = {&byte, 1};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    size_t len = 0;
    cmsghdr* cmsg = reinterpret_cast<cmsghdr*>(control);
    auto add = [&](int level, int type, const void* data, size_t size) {
        cmsg = reinterpret_cast<cmsghdr*>(control + len);
        cmsg->cmsg_level = level;
        cmsg->cmsg_type = type;
        cmsg->cmsg_len = CMSG_LEN(size);
        memcpy(CMSG_DATA(cmsg), data, size);
        len += CMSG_SPACE(size);
    };
    if (split && fds.size() > 1) {
        add(SOL_SOCKET, SCM_RIGHTS, fds.data(), sizeof(int));
        add(SOL_SOCKET, SCM_RIGHTS, fds.data() + 1, (fds.size() - 1) * sizeof(int));
    } else if (!fds.empty()) {
        add(SOL_SOCKET, SCM_RIGHTS, fds.data(), fds.size() * sizeof(int));
    }
    if (creds) {
        struct ucred cred = {getpid(), getuid(), getgid()};
        add(SOL_SOCKET, SCM_CREDENTIALS, &cred, sizeof(cred));
    }
    msg.msg_controllen = len;
    if (!len)
        msg.msg_control = nullptr;
    return sendmsg(sock, &msg, 0) == 1 ? 0 : errno;
}

// Every malformed message is refused with 22 and leaves no descriptor
// open: several descriptors in one message, two descriptor messages, a
// descriptor nobody asked for, an unknown control type; credentials come
// out as user and group.
TEST(QpFdPassing, ControlMessageRules)
{
    int before = open_fd_count();
    socket_pair pair;
    int passcred = 1;
    ASSERT_EQ(0, setsockopt(pair.b, SOL_SOCKET, SO_PASSCRED, &passcred, sizeof(passcred)));
    int fds[3];
    ASSERT_EQ(0, pipe(fds));
    fds[2] = dup(fds[0]);
    int uid, gid, fd;

    ASSERT_EQ(0, send_raw(pair.a, {fds[0], fds[1], fds[2]}, false, false));
    EXPECT_EQ(err_bad_parameter, file_receive_cmsg(pair.b, 0, nullptr, &uid, &gid, &fd));
    EXPECT_EQ(-1, fd);
    ASSERT_EQ(0, send_raw(pair.a, {fds[0], fds[1]}, true, true));
    EXPECT_EQ(err_bad_parameter, file_receive_cmsg(pair.b, 0, nullptr, &uid, &gid, &fd));
    EXPECT_EQ(-1, fd);
    ASSERT_EQ(0, send_raw(pair.a, {fds[0]}, false, false));
    EXPECT_EQ(err_bad_parameter, file_receive_cmsg(pair.b, 0, nullptr, &uid, &gid, nullptr));
    ASSERT_EQ(0, send_raw(pair.a, {fds[0]}, false, true));
    ASSERT_EQ(0, file_receive_cmsg(pair.b, 0, nullptr, &uid, &gid, &fd));
    EXPECT_EQ(static_cast<int>(getuid()), uid);
    EXPECT_EQ(static_cast<int>(getgid()), gid);
    EXPECT_GT(fd, 2);
    fd_close(fd);
    ASSERT_EQ(0, send_raw(pair.a, {}, false, false));
    ASSERT_EQ(0, file_receive_cmsg(pair.b, 0, nullptr, &uid, &gid, &fd));
    EXPECT_EQ(-1, fd);
    EXPECT_EQ(static_cast<int>(getuid()), uid); // SO_PASSCRED adds them to every message

    socket_pair dgram(SOCK_DGRAM);
    int on = 1;
    ASSERT_EQ(0, setsockopt(dgram.b, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on)));
    ASSERT_EQ(0, send_raw(dgram.a, {fds[0]}, false, false));
    EXPECT_EQ(err_bad_parameter, file_receive_cmsg(dgram.b, 0, nullptr, &uid, &gid, &fd));
    EXPECT_EQ(-1, fd);

    close(fds[0]);
    close(fds[1]);
    close(fds[2]);
    EXPECT_EQ(before + 4, open_fd_count()); // the two pairs only
}

// A peer that closes mid-exchange gives 32; a message without its
// descriptor is refused and not acknowledged.
TEST(QpFdPassing, PeerClosesOrSendsNoDescriptor)
{
    socket_pair pair;
    int fd;
    ASSERT_EQ(0, send_raw(pair.a, {}, false, false));
    EXPECT_EQ(err_bad_parameter, file_receive_fd_v1(pair.b, 0, nullptr, &fd));
    EXPECT_EQ(-1, fd);
    char c;
    EXPECT_EQ(-1, recv(pair.a, &c, 1, MSG_DONTWAIT)); // no acknowledgement
    shutdown(pair.a, SHUT_WR);
    EXPECT_EQ(err_broken_pipe, file_receive_fd_v1(pair.b, 0, nullptr, &fd));
    shutdown(pair.b, SHUT_RD);
    EXPECT_NE(0, file_send_fd_v1(pair.b, 0, nullptr, pair.a));
}

// ---- hostile names under /tmp, as root ---------------------------------------------

class QpSocketRootTest : public QpSocketTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        QpSocketTest::SetUp();
    }
};

// A socket another user serves at the name does not stop root: root takes
// the name over. A link planted at the socket and lock paths is removed,
// never followed: its target keeps its owner and mode.
TEST_F(QpSocketRootTest, ForeignListenerAndPlantedLinksRootWithThrowawayUid)
{
    std::string name = path("svc"), target = path("victim");
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t server = fork();
    if (server == 0) {
        if (setresgid(throwaway_gid, throwaway_gid, throwaway_gid) ||
            setresuid(throwaway_uid, throwaway_uid, throwaway_uid))
            _exit(99);
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, name.c_str());
        if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) || listen(s, 5))
            _exit(98);
        (void)!write(ready[1], "r", 1);
        for (;;) {
            int c = accept(s, nullptr, nullptr);
            if (c >= 0)
                close(c);
        }
    }
    char r;
    ASSERT_EQ(1, read(ready[0], &r, 1));
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(0, run_as_throwaway_user([&] {
        int f = open(target.c_str(), O_CREAT | O_WRONLY, 0644);
        return f >= 0 && symlink(target.c_str(), (name + ".lock").c_str()) == 0;
    }));

    socket_listen_i* listen = nullptr;
    EXPECT_EQ(0, domain_socket_listen_factory(&listen, &conn.vtbl, 0, name.c_str()));
    struct stat st;
    ASSERT_EQ(0, lstat(name.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0u, st.st_uid);
    int client;
    ASSERT_EQ(0, domain_socket_open(&client, name.c_str()));
    struct ucred cred;
    socklen_t len = sizeof(cred);
    ASSERT_EQ(0, getsockopt(client, SOL_SOCKET, SO_PEERCRED, &cred, &len));
    EXPECT_EQ(getpid(), cred.pid);
    fd_close(client);
    if (listen) {
        end_listener(listen);
    }
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);

    // A link planted at the socket path itself.
    EXPECT_EQ(0, run_as_throwaway_user([&] { return symlink(target.c_str(), name.c_str()) == 0; }));
    ASSERT_EQ(0, domain_socket_listen_factory(&listen, &conn.vtbl, domain_socket_access_world, name.c_str()));
    ASSERT_EQ(0, lstat(name.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    end_listener(listen);
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(throwaway_uid, st.st_uid);
    EXPECT_EQ(0644u, st.st_mode & 0777);
    EXPECT_FALSE(exists(name + ".lock"));
}

// A listener served by root stays: a second root listener gets 17.
TEST_F(QpSocketRootTest, RootListenerStaysRootWithThrowawayUid)
{
    std::string name = path("svc");
    socket_listen_i* first = nullptr;
    ASSERT_EQ(0, domain_socket_listen_factory(&first, &conn.vtbl, 0, name.c_str()));
    socket_listen_i* second = nullptr;
    EXPECT_EQ(err_exists, domain_socket_listen_factory(&second, &conn.vtbl, 0, name.c_str()));
    // The other user cannot connect to the 0600 socket.
    EXPECT_EQ(0, run_as_throwaway_user([&] {
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, name.c_str());
        return connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
               errno == EACCES;
    }));
    end_listener(first);
}

} // namespace
