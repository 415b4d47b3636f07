// trnewchannelnix.cpp - the host callbacks of the trace core in a user-mode
// process: the channel-creation note, the crash request and the waiters. A
// process that holds its channels in-process has no log for the note and
// must not stop on a request that any client may send, so both do nothing;
// a waiter is answered at once (a process that waited for its own lines
// would wait for itself), so nobody is ever asleep to be woken. The kernel
// module links its own versions (a log line, the debugging trap, a wait
// queue per channel).
#include "qperr.h"
#include "traces.h"

extern "C" void TraceNewChannel(const char* name, int created)
{
    (void)name;
    (void)created;
}

extern "C" void TraceCrash(TRCLIENT client)
{
    (void)client;
}

extern "C" int TraceHostWait(size_t slot, int (*ready)(void* param), void* param, int msecs)
{
    (void)slot;
    (void)msecs;
    return ready(param) ? 0 : err_timeout;
}

extern "C" void TraceHostWake(size_t slot)
{
    (void)slot;
}
