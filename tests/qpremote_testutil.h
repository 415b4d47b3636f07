// Helpers shared by the remote protocol's tests.
#ifndef QPREMOTE_TESTUTIL_H
#define QPREMOTE_TESTUTIL_H

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "qpremote.h"

// True once every connection has ended (its receive interface released, its
// memory freed), so that receive interfaces on a test's stack may go.
inline bool all_connections_gone(int msecs = 10000)
{
    for (int waited = 0; __atomic_load_n(&g_qp_remote_count, __ATOMIC_ACQUIRE); waited += 5) {
        if (waited >= msecs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The inode of a descriptor: tells duplicates of one file apart from
// others; 0 for a descriptor that is not open.
inline ino_t inode_of(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

#endif
