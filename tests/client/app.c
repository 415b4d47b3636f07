/* A third-party program that traces: built against the installed client
 * files only. It must run, and print, whether or not the trace system is
 * there; the attach code must have been linked (the first wrapper call
 * records the automatic attach). */
#include <qptrace.h>
#include <stdio.h>

int main(void)
{
    TRCHANNEL channel = tropen("client.app");
    trprintf(channel, "%s %d\n", "started", 42);
    trprintf(TRCHANNEL_DEFAULT, "default channel line\n");
    printf("client app: attach %s, %s\n", traceAutoAttachAttempted ? "tried" : "never tried",
           channel ? "tracing" : "not tracing");
    return traceAutoAttachAttempted ? 0 : 1;
}
