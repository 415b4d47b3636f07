// trnewchannelnix.cpp - the host callbacks of the trace core in a user-mode
// process: the channel-creation note and the crash request. A process that
// holds its channels in-process has no log for the note and must not stop
// on a request that any client may send, so both do nothing. The kernel
// module links its own versions (a log line, the debugging trap).
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
