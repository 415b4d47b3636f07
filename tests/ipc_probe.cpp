// ipc_probe - a second process for the lock-file and process-signal tests.
//
//   ipc_probe lock <file> <hold_msecs>  takes the lock, prints "locked",
//                                        holds it, releases, prints "released"
//   ipc_probe listen <socket>            listens for process signals, prints
//                                        "ready", exits 0 once stopped (pin 1),
//                                        2 when refreshed first, 1 after 10 s
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "qpsocket.h"

namespace {

void say(const char* line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

int hold_lock(const char* name, int hold_msecs)
{
    lock_file_i* lock;
    int err = f8_lock_file_factory(&lock, name, nullptr);
    if (err)
        return 10 + err;
    say("locked");
    thread_wait(hold_msecs);
    (*lock)->release(lock);
    say("released");
    return 0;
}

int listen_for_stop(const char* name)
{
    procsig_start();
    int err = procsig_listen(name);
    if (err)
        return 10 + err;
    say("ready");
    if (pin_wait(procsig_pin(FILE_SIGNAL_STOP), nullptr, 10000))
        return 0;
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && !strcmp(argv[1], "lock"))
        return hold_lock(argv[2], atoi(argv[3]));
    if (argc == 3 && !strcmp(argv[1], "listen"))
        return listen_for_stop(argv[2]);
    return 64;
}
