// Tests of the process signals: the mapping of operating-system signals to
// the numbered pins (each in a fresh child process, as the death tests
// re-run this program), and the listener and sender between processes.
#include "ipctest.h"

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>

#include "qperr.h"

namespace {

bool signalled(int n)
{
    return pin_i_poll(procsig_pin(n)) != 0;
}

// Waits until pin n reaches the state (the alarm thread applies signals).
bool settles(int n, bool state)
{
    for (int i = 0; i < 200; i++) {
        if (signalled(n) == state)
            return true;
        thread_wait(5);
    }
    return false;
}

void stop_signals_stay(int nix_sig)
{
    procsig_start();
    if (signalled(FILE_SIGNAL_STOP))
        _exit(1);
    raise(nix_sig);
    if (!settles(FILE_SIGNAL_STOP, true))
        _exit(2);
    raise(nix_sig);
    thread_wait(50);
    _exit(signalled(FILE_SIGNAL_STOP) && !signalled(FILE_SIGNAL_PAUSE) ? 0 : 3);
}

// SIGINT and SIGTERM signal pin 1, which stays signalled; a second one
// changes nothing.
TEST(ProcsigDeathTest, InterruptAndTerminateStop)
{
    EXPECT_EXIT(stop_signals_stay(SIGINT), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(stop_signals_stay(SIGTERM), testing::ExitedWithCode(0), "");
}

void pause_and_resume()
{
    procsig_start();
    raise(SIGCONT); // resume starts signalled: nothing changes
    thread_wait(50);
    if (!signalled(FILE_SIGNAL_RESUME) || signalled(FILE_SIGNAL_PAUSE))
        _exit(1);
    raise(SIGTSTP);
    if (!settles(FILE_SIGNAL_PAUSE, true) || !settles(FILE_SIGNAL_RESUME, false))
        _exit(2);
    raise(SIGCONT);
    if (!settles(FILE_SIGNAL_RESUME, true) || !settles(FILE_SIGNAL_PAUSE, false))
        _exit(3);
    _exit(signalled(FILE_SIGNAL_STOP) ? 4 : 0);
}

// SIGTSTP and SIGCONT toggle pause and resume.
TEST(ProcsigDeathTest, PauseAndResumeToggle)
{
    EXPECT_EXIT(pause_and_resume(), testing::ExitedWithCode(0), "");
}

void refresh_pulses(int nix_sig)
{
    procsig_start();
    int woke = -1;
    std::thread waiter([&] { woke = pin_wait(procsig_pin(FILE_SIGNAL_REFRESH), nullptr, 5000); });
    thread_wait(100);
    raise(nix_sig);
    waiter.join();
    _exit(woke == 1 && !signalled(FILE_SIGNAL_REFRESH) ? 0 : 1);
}

// SIGHUP and SIGWINCH wake a current waiter on pin 4 and leave it reset.
TEST(ProcsigDeathTest, RefreshPulsesAndWakesWaiter)
{
    EXPECT_EXIT(refresh_pulses(SIGHUP), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(refresh_pulses(SIGWINCH), testing::ExitedWithCode(0), "");
}

bool handler_is(int nix_sig, void (*handler)(int))
{
    struct sigaction sa;
    sigaction(nix_sig, nullptr, &sa);
    return sa.sa_handler == handler;
}

void check_exit_dispositions()
{
    bool ok = handler_is(SIGTERM, SIG_DFL) && handler_is(SIGINT, SIG_IGN) &&
              handler_is(SIGHUP, SIG_IGN) && handler_is(SIGCONT, SIG_IGN);
    _exit(ok ? 0 : 5);
}

void start_twice_then_exit()
{
    atexit(check_exit_dispositions); // runs after the exit routine of the signals
    procsig_start();
    if (handler_is(SIGINT, SIG_DFL) || !handler_is(SIGPIPE, SIG_IGN))
        _exit(1);
    signal(SIGINT, SIG_IGN);
    procsig_start(); // installs nothing again
    if (!handler_is(SIGINT, SIG_IGN))
        _exit(2);
    exit(0);
}

// A second start installs nothing; at exit SIGTERM is back to its default
// and the others are ignored.
TEST(ProcsigDeathTest, StartOnceAndExitDispositions)
{
    EXPECT_EXIT(start_twice_then_exit(), testing::ExitedWithCode(0), "");
}

// ---- between processes ---------------------------------------------------------------

class ProcsigSocketTest : public IpcDirTest {
protected:
    void SetUp() override
    {
        IpcDirTest::SetUp();
        name = path("sig");
    }
    std::string name;
};

// Sending 1 to a listening process stops it; its socket is owned by the
// real user with mode 0600.
TEST_F(ProcsigSocketTest, SendStopsListeningChild)
{
    probe_process child({"listen", name});
    ASSERT_EQ("ready", child.next_line());
    struct stat st;
    ASSERT_EQ(0, lstat(name.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(getuid(), st.st_uid);
    EXPECT_EQ(0, procsig_send(nullptr, 2000, name.c_str(), FILE_SIGNAL_STOP));
    EXPECT_EQ(0, child.wait_exit());
}

// Sending to a name nobody serves fails at once with the connection error;
// an already fired cancel pin cancels.
TEST_F(ProcsigSocketTest, NobodyListensOrCancelled)
{
    int64_t start = now_msecs();
    EXPECT_EQ(ENOENT, procsig_send(nullptr, 2000, name.c_str(), FILE_SIGNAL_STOP));
    EXPECT_LT(now_msecs() - start, 1500);
    pin_t cancel;
    pin_init(&cancel);
    pin_signal(&cancel);
    EXPECT_EQ(err_cancelled, procsig_send(&cancel.vtbl, -1, name.c_str(), FILE_SIGNAL_STOP));
    pin_term(&cancel);
    EXPECT_EQ(err_bad_parameter, procsig_send(nullptr, -1, name.c_str(), 256));
}

// In this process: received numbers set the pins as the signals do; a
// connection closed without a byte, or silent for 5 s, changes nothing;
// after stop the name is gone.
TEST_F(ProcsigSocketTest, ListenerAppliesNumbersAndIgnoresSilence)
{
    procsig_listen_i* listener = nullptr;
    ASSERT_EQ(0, procsig_listen_factory(&listener, name.c_str()));

    int fd;
    ASSERT_EQ(0, domain_socket_open(&fd, name.c_str()));
    fd_close(fd); // no byte
    int silent;
    ASSERT_EQ(0, domain_socket_open(&silent, name.c_str()));

    ASSERT_EQ(0, procsig_send(nullptr, 2000, name.c_str(), FILE_SIGNAL_PAUSE));
    EXPECT_TRUE(settles(FILE_SIGNAL_PAUSE, true));
    EXPECT_TRUE(settles(FILE_SIGNAL_RESUME, false));
    int woke = -1;
    std::thread waiter([&] { woke = pin_wait(procsig_pin(FILE_SIGNAL_REFRESH), nullptr, 5000); });
    thread_wait(100);
    ASSERT_EQ(0, procsig_send(nullptr, 2000, name.c_str(), FILE_SIGNAL_REFRESH));
    waiter.join();
    EXPECT_EQ(1, woke);
    EXPECT_FALSE(signalled(FILE_SIGNAL_REFRESH));
    ASSERT_EQ(0, procsig_send(nullptr, 2000, name.c_str(), FILE_SIGNAL_RESUME));
    EXPECT_TRUE(settles(FILE_SIGNAL_RESUME, true));
    EXPECT_TRUE(settles(FILE_SIGNAL_PAUSE, false));

    // The silent connection is closed after 5 s without effect.
    char c;
    size_t got;
    int64_t start = now_msecs();
    EXPECT_EQ(err_broken_pipe, fd_recv(silent, 0, nullptr, 8000, &c, 1, 1, &got));
    EXPECT_GE(now_msecs() - start, 4000);
    fd_close(silent);
    EXPECT_FALSE(signalled(FILE_SIGNAL_STOP));
    EXPECT_FALSE(signalled(FILE_SIGNAL_PAUSE));

    (*listener)->stop(listener);
    EXPECT_NE(0, procsig_send(nullptr, 2000, name.c_str(), FILE_SIGNAL_REFRESH));
    (*listener)->release(listener);
    struct stat st;
    EXPECT_NE(0, lstat(name.c_str(), &st));
}

} // namespace
