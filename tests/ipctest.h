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
#include <mutex>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "qpsocket.h"

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

#endif
