/*
 * hello_trace.c - a small program that traces: it opens the channel
 * "example" and writes a numbered line with a counter every 200 ms, for the
 * number of seconds given (default 10). Watch it with:
 *
 *     trcmd follow example
 *
 * It uses only the public client API (qptrace.h): the first trace call loads
 * /usr/local/lib/libqptrace1.so; without the library or the driver the calls
 * do nothing and the program runs all the same.
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "qptrace.h"

/* The run time: default 10 s, at most a million (about 11 days), so that
 * the tick count cannot overflow; a negative number runs no ticks. */
static int run_seconds(int argc, char** argv)
{
    long seconds = argc > 1 ? strtol(argv[1], NULL, 10) : 10;
    return seconds < 0 ? 0 : seconds > 1000000 ? 1000000 : (int)seconds;
}

int main(int argc, char** argv)
{
    int seconds = run_seconds(argc, argv);
    TRCHANNEL channel = tropen("example");
    if (!channel)
        printf("hello_trace: no trace driver; tracing is off\n");
    trprintf(channel, "hello_trace %d started, running %d s\n", (int)getpid(), seconds);
    for (int tick = 1; tick <= seconds * 5; tick++) {
        /* A line may be built from several calls: it is complete at its line feed. */
        trprintf(channel, "tick %d: ", tick);
        trprintf(channel, "%d squared is %d\n", tick, tick * tick);
        usleep(200 * 1000);
    }
    trprint(channel, "hello_trace done\n");
    return 0;
}
