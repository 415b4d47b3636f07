// trcmd_writer - the writer of the trace command's VM tests: writes numbered
// lines "w <n> ..." into a channel through the client wrappers.
//
//   trcmd_writer <channel> <count> [<pause usec> [<pad bytes> [split|raw]]]
//
// With a pause it sleeps between lines; with split each line is written in
// two pieces with the pause between them, so that a reader sees the line in
// progress half done. With raw each line is one print request of its own
// on the device, the fastest a program can write. Pad bytes make lines long
// enough to wrap the ring by bytes before the index fills. At the end it
// prints its own rate: "writer: <count> lines in <usec> us".
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "qptrace.h"
#include "traceio.h"

namespace {

long long now_usec()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

// One print request straight to the driver: channel and text, terminated.
void raw_print(int fd, TRCHANNEL channel, const std::string& text)
{
    std::string record(8, '\0');
    int64_t number = int64_t(intptr_t(channel));
    record.replace(0, 8, reinterpret_cast<const char*>(&number), 8);
    record += text;
    record += '\0';
    GenIoctlRequest request = {};
    request.code = TRACEIOPRINT;
    request.error = -1;
    request.input = uintptr_t(record.data());
    request.inputSize = record.size();
    ioctl(fd, TRACEIOCTL_SEND, &request);
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
    std::string mode = argc > 5 ? argv[5] : "";
    bool split = mode == "split";
    int raw_fd = mode == "raw" ? open("/dev/qptrace", O_RDWR | O_CLOEXEC) : -1;
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
        } else if (raw_fd >= 0)
            raw_print(raw_fd, channel, "w " + std::to_string(n) + pad + "\n");
        else
            trprintf(channel, "w %ld%s\n", n, pad.c_str());
        if (pause)
            usleep(useconds_t(pause));
    }
    printf("writer: %ld lines in %lld us\n", count, now_usec() - begin);
    return 0;
}
