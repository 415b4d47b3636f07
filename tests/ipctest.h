// ipctest.h - helpers of the local IPC tests: a recorder for asynchronous
// completions, the count of open descriptors, and a throw-away identity for
// the tests that run as root against another user.
#ifndef IPCTEST_H
#define IPCTEST_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <vector>
#include <mutex>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "envtestdir.h"
#include "qpsocket.h"
#include <pty.h>
#include <termios.h>

// Records the completions of asynchronous transfers; each recorder expects
// exactly one.
struct completion_recorder {
    std::mutex lock;
    std::condition_variable done;
    int calls = 0;
    int err = -1;
    size_t size = 0;
    std::thread::id thread;

    static void complete(void* param, int err, size_t size)
    {
        auto* r = static_cast<completion_recorder*>(param);
        std::lock_guard<std::mutex> guard(r->lock);
        r->calls++;
        r->err = err;
        r->size = size;
        r->thread = std::this_thread::get_id();
        r->done.notify_all();
    }

    // Waits for the completion; false when none came within the time.
    bool wait(int msecs = 5000)
    {
        std::unique_lock<std::mutex> guard(lock);
        return done.wait_for(guard, std::chrono::milliseconds(msecs), [this] { return calls > 0; });
    }
    int calls_now()
    {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
};

// A fresh folder per test, sticky and open to everyone like /tmp.
class IpcDirTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        chmod(dir_.c_str(), 01777);
    }
};

// A pseudo-terminal whose slave side echoes.
inline bool open_echoing_pty(int* master, int* slave)
{
    struct termios tio;
    if (openpty(master, slave, nullptr, nullptr, nullptr) != 0)
        return false;
    tcgetattr(*slave, &tio);
    tio.c_lflag |= ECHO;
    return tcsetattr(*slave, TCSANOW, &tio) == 0;
}

// Descriptors open in this process.
inline int open_fd_count()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (struct dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            count++;
    closedir(dir);
    return count - 1; // the listing's own
}

inline int64_t now_msecs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The identity the root-only tests give to a forked "other user": no
// account is created, the numbers alone are enough for the kernel.
const uid_t throwaway_uid = 48151;
const gid_t throwaway_gid = 48151;

// Runs fn in a child that has dropped to the throw-away identity; returns
// the child's exit status (0 when fn returned true). Only system calls may
// be made in fn (the child of a threaded process).
template <typename Fn> int run_as_throwaway_user(Fn fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(throwaway_gid, throwaway_gid, throwaway_gid) != 0 ||
            setresuid(throwaway_uid, throwaway_uid, throwaway_uid) != 0)
            _exit(99);
        _exit(fn() ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

#ifdef IPC_PROBE
// The ipc_probe program run as a child with its output on a pipe.
struct probe_process {
    pid_t pid = -1;
    int out = -1;
    std::string pending;

    explicit probe_process(const std::vector<std::string>& args)
    {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
        std::vector<char*> argv;
        std::string program = IPC_PROBE;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid, IPC_PROBE, &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(pipe_fds[1]);
        out = pipe_fds[0];
    }
    ~probe_process()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }
    // Waits for the next output line; empty when none came in time.
    std::string next_line(int msecs = 5000)
    {
        int64_t end = now_msecs() + msecs;
        for (;;) {
            size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return line;
            }
            struct pollfd p = {out, POLLIN, 0};
            int left = static_cast<int>(end - now_msecs());
            if (left <= 0 || poll(&p, 1, left) <= 0)
                return "";
            char buf[256];
            ssize_t got = read(out, buf, sizeof(buf));
            if (got <= 0)
                return "";
            pending.append(buf, static_cast<size_t>(got));
        }
    }
    // The exit status, or -1 when it did not end in time.
    int wait_exit(int msecs = 5000)
    {
        int64_t end = now_msecs() + msecs;
        while (now_msecs() < end) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
};
#endif

#endif
