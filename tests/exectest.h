// exectest.h - helpers of the process-object tests.
#ifndef EXECTEST_H
#define EXECTEST_H

#include <cerrno>
#include <string>
#include <unistd.h>

// Reads a descriptor to its end.
inline std::string read_all(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR))
        if (got > 0)
            text.append(buffer, static_cast<size_t>(got));
    return text;
}

#endif
