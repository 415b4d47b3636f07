// qpsyncnix.cpp - user-mode side of the basic lock: thread identity and
// yielding the processor.
#include <pthread.h>
#include <sched.h>

#include "qpsync.h"

void* thread_self_(void)
{
    // pthread_t is the address of the thread's control block on Linux:
    // non-null and unique among live threads.
    return reinterpret_cast<void*>(pthread_self());
}

void thread_yield_(void)
{
    sched_yield();
}
