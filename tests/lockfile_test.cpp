// Tests of the lock file and the console pump. The lock tests between
// processes use the ipc_probe program; the test whose name ends in
// RootWithThrowawayUid runs only as root on the host, with a forked child
// under an unused user id planting names.
#include "ipctest.h"

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>

#include "qperr.h"

namespace {

class LockFileTest : public IpcDirTest {
protected:
    void SetUp() override
    {
        IpcDirTest::SetUp();
        name = path("x.lock");
    }
    static int64_t mtime_usecs(const std::string& p)
    {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            return -1;
        return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
    }
    std::string name;
};

// The file exists exactly while the lock is held, and the holder refreshes
// its time every 3 s.
TEST_F(LockFileTest, HeldFileAndHeartbeat)
{
    lock_file_i* lock = nullptr;
    ASSERT_EQ(0, f8_lock_file_factory(&lock, name.c_str(), nullptr));
    ASSERT_TRUE(exists(name));
    int64_t first = mtime_usecs(name);
    std::this_thread::sleep_for(std::chrono::milliseconds(3300));
    EXPECT_GT(mtime_usecs(name), first);
    (*lock)->release(lock);
    EXPECT_FALSE(exists(name));
}

// A second process waits until the first released the lock (its file
// removed), then creates it.
TEST_F(LockFileTest, ContentionBetweenProcesses)
{
    probe_process holder({"lock", name, "1000"});
    ASSERT_EQ("locked", holder.next_line());
    int64_t start = now_msecs();
    lock_file_i* lock = nullptr;
    ASSERT_EQ(0, f8_lock_file_factory(&lock, name.c_str(), nullptr));
    EXPECT_GE(now_msecs() - start, 800);
    EXPECT_EQ("released", holder.next_line());
    EXPECT_EQ(0, holder.wait_exit());
    EXPECT_TRUE(exists(name));
    (*lock)->release(lock);
}

// A waiter whose cancel pin fires gives up with the creation error.
TEST_F(LockFileTest, CancelledWait)
{
    probe_process holder({"lock", name, "3000"});
    ASSERT_EQ("locked", holder.next_line());
    pin_t cancel;
    pin_init(&cancel);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pin_signal(&cancel);
    });
    lock_file_i* lock = reinterpret_cast<lock_file_i*>(1);
    int64_t start = now_msecs();
    EXPECT_EQ(err_exists, f8_lock_file_factory(&lock, name.c_str(), &cancel.vtbl));
    EXPECT_LT(now_msecs() - start, 3000);
    EXPECT_EQ(nullptr, lock);
    canceller.join();
    pin_term(&cancel);
    EXPECT_TRUE(exists(name)); // still the holder's
}

// A file left by a dead holder (time not changing) is taken over after a
// little more than 10 s.
TEST_F(LockFileTest, StaleFileTakenOver)
{
    int fd = open(name.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    int64_t start = now_msecs();
    lock_file_i* lock = nullptr;
    ASSERT_EQ(0, f8_lock_file_factory(&lock, name.c_str(), nullptr));
    int64_t took = now_msecs() - start;
    EXPECT_GE(took, 10000);
    EXPECT_LT(took, 13000);
    (*lock)->release(lock);
}

// A holder whose file was replaced meanwhile counts the lock as lost and
// does not remove the other one's file.
TEST_F(LockFileTest, ReplacedFileIsNotRemoved)
{
    lock_file_i* lock = nullptr;
    ASSERT_EQ(0, f8_lock_file_factory(&lock, name.c_str(), nullptr));
    ASSERT_EQ(0, unlink(name.c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int fd = open(name.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    (*lock)->release(lock);
    EXPECT_TRUE(exists(name));
}

void exit_holding_lock_and_pump(const std::string& name)
{
    lock_file_i* lock;
    tty_pump_i* pump;
    int r, w;
    if (f8_lock_file_factory(&lock, name.c_str(), nullptr) || file_create_pipe(&r, &w) ||
        tty_pump_factory(&pump, nullptr, r, w, 0))
        _exit(1);
    // Neither the lock nor the pump is let go: the collection at exit ends
    // their threads. Their objects stay, which the leak check need not tell.
    debugheap_ignoreallleaks(malloc_d(1));
    exit(0);
}

// A process that exits holding a lock and running a pump ends, and its
// lock file is gone.
TEST_F(LockFileTest, ExitWhileHoldingEnds)
{
    EXPECT_EXIT(exit_holding_lock_and_pump(name), testing::ExitedWithCode(0), "");
    EXPECT_FALSE(exists(name));
}

// Root takes over at once a lock file or a folder another user owns, and
// removes a link planted at the name without touching its target.
TEST_F(LockFileTest, ForeignFileAndLinkRootWithThrowawayUid)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    std::string target = path("victim");
    EXPECT_EQ(0, run_as_throwaway_user([&] {
        int f = open(name.c_str(), O_CREAT | O_WRONLY, 0644);
        int t = open(target.c_str(), O_CREAT | O_WRONLY, 0600);
        return f >= 0 && t >= 0;
    }));
    int64_t start = now_msecs();
    lock_file_i* lock = nullptr;
    ASSERT_EQ(0, f8_lock_file_factory(&lock, name.c_str(), nullptr));
    EXPECT_LT(now_msecs() - start, 3000);
    struct stat st;
    ASSERT_EQ(0, lstat(name.c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
    (*lock)->release(lock);

    // A folder with content, planted at the name.
    EXPECT_EQ(0, run_as_throwaway_user([&] {
        return mkdir(name.c_str(), 0755) == 0 && symlink(target.c_str(), (name + "/in").c_str()) == 0;
    }));
    start = now_msecs();
    ASSERT_EQ(0, f8_lock_file_factory(&lock, name.c_str(), nullptr));
    EXPECT_LT(now_msecs() - start, 3000);
    (*lock)->release(lock);

    EXPECT_EQ(0, run_as_throwaway_user([&] { return symlink(target.c_str(), name.c_str()) == 0; }));
    ASSERT_EQ(0, f8_lock_file_factory(&lock, name.c_str(), nullptr));
    ASSERT_EQ(0, lstat(name.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    (*lock)->release(lock);
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(throwaway_uid, st.st_uid);
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(0, st.st_size);
}

// ---- console pump ------------------------------------------------------------------

struct pump_pipes {
    int in_r = -1, in_w = -1, out_r = -1, out_w = -1;
    pump_pipes()
    {
        EXPECT_EQ(0, file_create_pipe(&in_r, &in_w));
        EXPECT_EQ(0, file_create_pipe(&out_r, &out_w));
    }
    ~pump_pipes()
    {
        for (int fd : {in_r, in_w, out_r, out_w})
            fd_close(fd);
    }
    std::string read_all()
    {
        std::string text;
        char buf[4096];
        size_t got;
        while (fd_recv(out_r, 0, nullptr, 5000, buf, 1, sizeof(buf), &got) == 0)
            text.append(buf, got);
        return text;
    }
};

// With line-feed fixing "a", CR, LF, "b", CR becomes "a", LF, "b", LF, also
// when the CR and the LF arrive in different reads; the pump's pin fires
// when its input ends.
TEST(TtyPump, LineFeedsAcrossReads)
{
    pump_pipes p;
    tty_pump_i* pump = nullptr;
    ASSERT_EQ(0, tty_pump_factory(&pump, nullptr, p.in_r, p.out_w, tty_pump_flag_fix_line_feeds));
    fd_close(p.out_w); // the pump keeps its own duplicate
    p.out_w = -1;
    size_t sent;
    ASSERT_EQ(0, fd_send(p.in_w, 0, nullptr, -1, "a\r", 2, &sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(0, fd_send(p.in_w, 0, nullptr, -1, "\nb\r", 3, &sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(0, fd_send(p.in_w, 0, nullptr, -1, "\n\nc\n\r\r", 6, &sent));
    fd_close(p.in_w);
    p.in_w = -1;
    EXPECT_TRUE(pin_wait((*pump)->pin(pump), nullptr, 5000));
    (*pump)->drain(pump);
    (*pump)->release(pump);
    EXPECT_EQ("a\nb\n\nc\n\n\n", p.read_all());
}

// Without fixing, every byte passes unchanged; the caller's descriptors
// stay open after the pump is gone.
TEST(TtyPump, PassesBytesUnchanged)
{
    pump_pipes p;
    tty_pump_i* pump = nullptr;
    ASSERT_EQ(0, tty_pump_factory(&pump, nullptr, p.in_r, p.out_w, 0));
    std::string data;
    for (int i = 0; i < 100000; i++)
        data += static_cast<char>(i * 7);
    std::thread writer([&] {
        size_t sent;
        EXPECT_EQ(0, fd_send(p.in_w, 0, nullptr, -1, data.data(), data.size(), &sent));
        fd_close(p.in_w);
        p.in_w = -1;
    });
    std::string got;
    char buf[4096];
    size_t n;
    while (got.size() < data.size() &&
           fd_recv(p.out_r, 0, nullptr, 5000, buf, 1, sizeof(buf), &n) == 0)
        got.append(buf, n);
    writer.join();
    EXPECT_TRUE(got == data);
    (*pump)->drain(pump);
    (*pump)->release(pump);
    EXPECT_EQ(0, fcntl(p.in_r, F_GETFD) < 0);
    EXPECT_EQ(0, fcntl(p.out_w, F_GETFD) < 0);
}

// An outside cancel pin stops a pump waiting for input, also one that fired
// before the pump started; cancel stops it as well.
TEST(TtyPump, CancelPins)
{
    pump_pipes p;
    pin_t outside;
    pin_init(&outside);
    tty_pump_i* pump = nullptr;
    ASSERT_EQ(0, tty_pump_factory(&pump, &outside.vtbl, p.in_r, p.out_w, 0));
    EXPECT_FALSE(pin_wait((*pump)->pin(pump), nullptr, 50));
    pin_signal(&outside);
    EXPECT_TRUE(pin_wait((*pump)->pin(pump), nullptr, 5000));
    (*pump)->drain(pump);
    (*pump)->release(pump);

    ASSERT_EQ(0, tty_pump_factory(&pump, &outside.vtbl, p.in_r, p.out_w, 0));
    (*pump)->drain(pump);
    (*pump)->release(pump);
    pin_term(&outside);

    ASSERT_EQ(0, tty_pump_factory(&pump, nullptr, p.in_r, p.out_w, 0));
    (*pump)->retain(pump);
    (*pump)->cancel(pump);
    (*pump)->drain(pump);
    (*pump)->release(pump);
    (*pump)->release(pump);
}

// Echo is off on the read terminal while the pump runs and back on after.
TEST(TtyPump, EchoOffWhileRunning)
{
    int master, slave;
    ASSERT_TRUE(open_echoing_pty(&master, &slave));
    struct termios tio;
    pump_pipes p;
    tty_pump_i* pump = nullptr;
    ASSERT_EQ(0, tty_pump_factory(&pump, nullptr, slave, p.out_w, tty_pump_flag_echo_off));
    bool off = false;
    for (int i = 0; i < 100 && !off; i++) {
        tcgetattr(slave, &tio);
        off = !(tio.c_lflag & ECHO);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(off);
    (*pump)->cancel(pump);
    (*pump)->drain(pump);
    (*pump)->release(pump);
    tcgetattr(slave, &tio);
    EXPECT_TRUE(tio.c_lflag & ECHO);
    close(master);
    close(slave);
}

// A descriptor that cannot be duplicated fails the factory with its error.
TEST(TtyPump, BadDescriptor)
{
    tty_pump_i* pump = reinterpret_cast<tty_pump_i*>(1);
    EXPECT_EQ(err_bad_parameter, tty_pump_factory(&pump, nullptr, -1, 1, 0));
    EXPECT_EQ(nullptr, pump);
}

} // namespace
