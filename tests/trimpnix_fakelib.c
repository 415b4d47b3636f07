/*
 * trimpnix_fakelib.c - stand-ins for the trace library in the attach tests
 * (tests/trimpnix_test.cpp): a table that attaches with client 7 and
 * records what reaches it in environment variables of the process (the
 * library is unloaded between tests, so nothing inside it survives).
 *
 * Built three ways: FAKE_GOOD (an acceptable table), FAKE_BADTAG (a wrong
 * tag) and FAKE_RAISES (attaching raises minCompatVersion past what a
 * client accepts).
 */
#include <stdio.h>
#include <stdlib.h>

#include "traces.h"

enum { fake_client = 7 };

static void fake_record(const char* what, TRCLIENT client, TRCHANNEL channel, const char* text)
{
    char value[400];
    snprintf(value, sizeof value, "%ld %ld %s", (long)(intptr_t)client, (long)(intptr_t)channel,
             text);
    setenv(what, value, 1);
}

static TRCLIENT fake_attach(void);

static void fake_detach(TRCLIENT client)
{
    fake_record("QP_FAKE_DETACHED", client, 0, "");
}

static TRCHANNEL fake_open(TRCLIENT client, const char* name)
{
    fake_record("QP_FAKE_OPENED", client, 0, name);
    return (TRCHANNEL)(intptr_t)42;
}

static void fake_vprintf(TRCLIENT client, TRCHANNEL channel, const char* format, va_list args)
{
    char text[300];
    vsnprintf(text, sizeof text, format, args);
    fake_record("QP_FAKE_PRINTED", client, channel, text);
}

__attribute__((visibility("default"))) TRACEEXPORTS traceexports1 = {
#ifdef FAKE_BADTAG
    .tag = 0x54585255,
#else
    .tag = TRACEEXPORTSTAG,
#endif
    .version = TRACEVERSION,
    .minCompatVersion = TRACESERVERMINCOMPATVERSION,
    .trattach = fake_attach,
    .trdetach = fake_detach,
    .tropen = fake_open,
    .trvprintf = fake_vprintf,
};

static TRCLIENT fake_attach(void)
{
#ifdef FAKE_RAISES
    traceexports1.minCompatVersion = TRACEVERSION + 1;
#endif
    return (TRCLIENT)(intptr_t)fake_client;
}
