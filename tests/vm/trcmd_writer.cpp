// trcmd_writer - the writer of the trace command's VM tests: writes numbered
// lines "w <n> ..." into a channel through the client wrappers.
//
//   trcmd_writer <channel> <count> [<pause usec> [<pad bytes> [split]]]
//
// With a pause it sleeps between lines; with split each line is written in
// two pieces with the pause between them, so that a reader sees the line in
// progress half done. Pad bytes make lines long enough to wrap the ring by
// bytes before the index fills. At the end it prints its own rate:
// "writer: <count> lines in <usec> us".
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

#include "qptrace.h"

namespace {

long long now_usec()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s <channel> <count> [<pause usec> [<pad> [split]]]\n", argv[0]);
        return 2;
    }
    long count = atol(argv[2]);
    long pause = argc > 3 ? atol(argv[3]) : 0;
    std::string pad(argc > 4 ? size_t(atol(argv[4])) : 0, 'x');
    bool split = argc > 5;
    TRCHANNEL channel = tropen(argv[1]);
    if (!channel) {
        fprintf(stderr, "writer: cannot open %s\n", argv[1]);
        return 1;
    }
    long long begin = now_usec();
    for (long n = 1; n <= count; n++) {
        if (split) {
            trprintf(channel, "w %ld ", n);
            usleep(useconds_t(pause));
            trprintf(channel, "end%s\n", pad.c_str());
        } else
            trprintf(channel, "w %ld%s\n", n, pad.c_str());
        if (pause)
            usleep(useconds_t(pause));
    }
    printf("writer: %ld lines in %lld us\n", count, now_usec() - begin);
    return 0;
}
