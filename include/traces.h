/*
 * traces.h - the trace core: channel buffers, the channel anchor, the trace
 * API, its request records and the export table TRACEEXPORTS.
 *
 * One header for both builds (user mode and the kernel module). A channel is
 * a ring of time-stamped lines held by a TraceBuffer; all channels live in
 * the one static TraceAnchor (traceAnchor). The trace API (TraceOpen,
 * TracePrint, ...) works on that anchor; TraceReceive decodes one request of
 * the driver's wire format into one API call. The export table has a fixed
 * 256-byte layout shared between separately built deliverables.
 *
 * Channel handles (TRCHANNEL) carry the channel number 1..200; 0 is "no
 * channel" and -1 the default channel "traces". Trace calls never report
 * errors: an unknown channel makes them do nothing.
 */
#ifndef TRACES_H
#define TRACES_H

#include "qpbase.h"
#include "qpsync.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- handles and versions ------------------------------------------ */

typedef struct _TRCLIENT {
    int unused;
} * TRCLIENT;
typedef struct _TRCHANNEL {
    int unused;
} * TRCHANNEL;

#define TRCHANNEL_DEFAULT ((TRCHANNEL)(uintptr_t)-1)

enum {
    TRACEVERSION = 5,
    TRACESERVERMINCOMPATVERSION = 3,
    TRACECLIENTMINCOMPATVERSION = 5,
    TRACEEXPORTSTAG = 0x54585254, /* "TRXT" */
    TRACETIMESTAMPLEN = 14        /* decoded stamp: "ssssss.uuuuuu " */
};

/* ---- function codes and request records ------------------------------ */

enum {
    TRACEIOGETVERSION = 0,
    TRACEIOOPEN = 1,
    TRACEIOOPENW = 2,
    TRACEIODUP = 3,
    TRACEIOCLOSE = 4,
    TRACEIOLISTW = 5,
    TRACEIOINFO = 6,
    TRACEIOREADW = 7,
    TRACEIOPRINT = 8,
    TRACEIOPRINTW = 9,
    TRACEIODEFAULT = 10,
    TRACEIORESET = 11,
    TRACEIOLIST = 12,
    TRACEIOREAD = 13,
    TRACEIOCRASH = 76
};

typedef struct TRACEIOGETVERSIONRESULTS {
    int32_t version;
    int32_t minCompatVersion;
    uint32_t timeStampLen;
    uint8_t reserved1[4];
    uint64_t exports;
    uint8_t reserved2[8];
} TRACEIOGETVERSIONRESULTS;

typedef struct TRACEIOOPENRESULTS {
    int64_t channel;
} TRACEIOOPENRESULTS, TRACEIODUPRESULTS;

typedef struct TRACEIOCHANNELPARAMS {
    int64_t channel;
} TRACEIODUPPARAMS, TRACEIOCLOSEPARAMS, TRACEIODEFAULTPARAMS, TRACEIORESETPARAMS,
    TRACEIOINFOPARAMS;

typedef struct TRACEIOINFORESULTS {
    uint64_t startLine;
    uint64_t endLine;
    uint64_t endLineLen;
} TRACEIOINFORESULTS;

typedef struct TRACEIOREADPARAMS {
    int64_t channel;
    uint64_t line;
} TRACEIOREADPARAMS;

/* The text follows the channel, terminated, filling the rest of the input. */
typedef struct TRACEIOPRINTPARAMS {
    int64_t channel;
    char value[];
} TRACEIOPRINTPARAMS;

/* ---- export table ---------------------------------------------------- */

typedef struct TRACEEXPORTS {
    int32_t tag;
    int32_t version;
    int32_t minCompatVersion;
    uint32_t timeStampLen;
    void* reserved1;
    void* reserved2;
    TRCLIENT (*trattach)(void);
    void (*trdetach)(TRCLIENT client);
    TRCHANNEL (*tropen)(TRCLIENT client, const char* name);
    TRCHANNEL (*trwopen)(TRCLIENT client, const wchar_t* name);
    TRCHANNEL (*trdup)(TRCLIENT client, TRCHANNEL channel);
    void (*trclose)(TRCLIENT client, TRCHANNEL channel);
    void (*trdefault)(TRCLIENT client, TRCHANNEL channel);
    size_t (*trwlist)(TRCLIENT client, wchar_t* buffer, size_t maxChars);
    void (*trinfo)(TRCLIENT client, TRCHANNEL channel, size_t* startLine, size_t* endLine,
                   size_t* endLineLen);
    size_t (*trwread)(TRCLIENT client, TRCHANNEL channel, size_t line, wchar_t* buffer,
                      size_t maxChars);
    void (*trprint)(TRCLIENT client, TRCHANNEL channel, const char* value);
    void (*trwprint)(TRCLIENT client, TRCHANNEL channel, const wchar_t* value);
    void (*trvprintf)(TRCLIENT client, TRCHANNEL channel, const char* format, va_list args);
    void (*trvwprintf)(TRCLIENT client, TRCHANNEL channel, const wchar_t* format, va_list args);
    void (*trcrash)(TRCLIENT client);
    void (*trreset)(TRCLIENT client, TRCHANNEL channel);
    size_t (*trlist)(TRCLIENT client, char* buffer, size_t maxChars);
    size_t (*trread)(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer,
                     size_t maxChars);
    /* Null in a library or driver that predates them: check before use. */
    int (*trwait)(TRCLIENT client, TRCHANNEL channel, size_t line, int msecs, size_t* startLine,
                  size_t* endLine);
    int (*trreadlines)(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer,
                       size_t maxChars, size_t* count, size_t* nextLine);
    void* reserved4[8];
} TRACEEXPORTS;

/* The export table of the trace API of this module (the driver's table in
 * the kernel, the in-process table in user mode) and the pointer that the
 * version request hands out. */
extern TRACEEXPORTS traceexports1;
extern TRACEEXPORTS* traceExports_;

/* ---- channel buffer -------------------------------------------------- */

enum {
    TRACEBUFFER_TAG = 0x46425254, /* "TRBF" */
    TRACEBUFFER_DATASIZE = 0x40000,
    TRACEBUFFER_INDEXSIZE = 0x2000,
    TRACEBUFFER_MAXWRITE = 0x10000,  /* bytes one write takes; also the forced line feed */
    TRACESTAMP_CODEDLEN = 7,         /* stamp as stored in the ring */
    TRACEANCHOR_MAXCHANNELS = 200,
    TRACEANCHOR_NAMESSIZE = 10000
};

typedef struct TraceBuffer {
    uint32_t tag;
    const char* name; /* inside the anchor's names area, followed by a line feed */
    size_t nameLen;
    size_t dataSize;
    char* data;
    uint64_t writePos; /* bytes ever appended; ring offset = writePos mod dataSize */
    size_t indexSize;
    uint32_t* index; /* entry (n - 1) mod indexSize: low 32 bits of the start of line n */
    uint64_t endLine;   /* the line in progress */
    uint64_t startLine; /* the oldest line held */
    spinner_t lock;
} TraceBuffer;

typedef struct TraceAnchor {
    uint32_t tag[2];
    uint32_t signature[2];
    uint32_t constantWords[2];
    uint64_t constantNamesLen;
    size_t namesLen;
    char* names;
    size_t count; /* raised only after the new slot is stored */
    TraceBuffer** buffers;
    spinner_t lock;
    TraceBuffer defaultBuffer;
    TraceBuffer* table[TRACEANCHOR_MAXCHANNELS];
    char namesArea[TRACEANCHOR_NAMESSIZE];
    char defaultData[TRACEBUFFER_DATASIZE];
    uint32_t defaultIndex[TRACEBUFFER_INDEXSIZE];
} TraceAnchor;

extern TraceAnchor traceAnchor;

void TraceBuffer_init(TraceBuffer* tb, char* data, uint32_t* index);
void TraceBuffer_term(TraceBuffer* tb);
void TraceBuffer_Write(TraceBuffer* tb, const char* data, size_t inLen);
/* TraceBuffer_Write for a caller that has just measured the text: inLen is
 * its length, unchecked (the trace API's own prints, which would otherwise
 * scan every text twice more). */
size_t TraceBuffer_Write_(TraceBuffer* tb, const char* data, size_t inLen); /* lines ended */
size_t TraceBuffer_Read(TraceBuffer* tb, size_t line, char* out, size_t maxChars);
void TraceBuffer_Info(TraceBuffer* tb, size_t* startLineOut, size_t* endLineOut,
                      size_t* endLineLenOut);
void TraceBuffer_Reset(TraceBuffer* tb);
/* Copies the complete lines from `line` on (from startLine when `line` is
 * no longer held) into out, each as TraceBuffer_Read gives it with its
 * terminator, as many whole ones as fit maxChars; *count gets their number
 * and *nextLine the line after the last one copied. Returns the bytes
 * written. One pass under the lock; no allocation. */
size_t TraceBuffer_ReadLines(TraceBuffer* tb, size_t line, char* out, size_t maxChars,
                             size_t* count, size_t* nextLine);
void TraceBuffer_WriteSub(TraceBuffer* tb, const char* bytes, size_t count);

void TraceAnchor_init(TraceAnchor* anchor);
void TraceAnchor_term(TraceAnchor* anchor);
size_t TraceAnchor_OpenChannel(TraceAnchor* anchor, const char* name, TraceBuffer** offeredBuffer);
TraceBuffer* TraceAnchor_GetBuffer(TraceAnchor* anchor, TRCHANNEL channel);

extern const char traceBase64EncodeTable[64];
extern const unsigned char traceBase64DecodeTable[128];
void TraceEncodeTimeStamp(uint64_t usec, char* out7);
void TraceDecodeTimeStamp(const char* in7, char* out14);

void trbuffer_initializer(void);
void trbuffer_terminator(void);

/* Required of the host: called after a channel was created (created = 1)
 * and when an open failed (created = 0). */
void TraceNewChannel(const char* name, int created);

/* ---- trace API ------------------------------------------------------- */

TRCLIENT TraceAttach(void);
void TraceDetach(TRCLIENT client);
TRCHANNEL TraceOpen(TRCLIENT client, const char* name);
TRCHANNEL TraceOpenW(TRCLIENT client, const wchar_t* name);
TRCHANNEL TraceDup(TRCLIENT client, TRCHANNEL channel);
void TraceClose(TRCLIENT client, TRCHANNEL channel);
void TraceDefault(TRCLIENT client, TRCHANNEL channel);
void TraceReset(TRCLIENT client, TRCHANNEL channel);
size_t TraceList(TRCLIENT client, char* buffer, size_t maxChars);
size_t TraceListW(TRCLIENT client, wchar_t* buffer, size_t maxChars);
void TraceInfo(TRCLIENT client, TRCHANNEL channel, size_t* startLine, size_t* endLine,
               size_t* endLineLen);
size_t TraceRead(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer, size_t maxChars);
size_t TraceReadW(TRCLIENT client, TRCHANNEL channel, size_t line, wchar_t* buffer,
                  size_t maxChars);
void TracePrint(TRCLIENT client, TRCHANNEL channel, const char* value);
/* TracePrint of a text whose length len the caller has measured. */
void TracePrint_(TRCLIENT client, TRCHANNEL channel, const char* value, size_t len);
void TracePrintW(TRCLIENT client, TRCHANNEL channel, const wchar_t* value);
void TraceVprintf(TRCLIENT client, TRCHANNEL channel, const char* format, va_list args);
void TraceVprintfW(TRCLIENT client, TRCHANNEL channel, const wchar_t* format, va_list args);
/* Required of the host: the debugging crash request. */
void TraceCrash(TRCLIENT client);

/* Blocks until the channel's oldest held line or its newest complete line
 * (endLine - 1) has reached `line`, the channel is reset, msecs pass
 * (negative or 0x7fffffff and more: no timeout) or the caller is
 * interrupted: 0 reached or reset, err_timeout, err_interrupt, or
 * err_not_found for an unknown channel (range 0, 0). The out pointers,
 * which may be null, get the channel's range as it was at the end. A
 * process without a driver (the in-process build) answers at once. */
int TraceWait(TRCLIENT client, TRCHANNEL channel, size_t line, int msecs, size_t* startLine,
              size_t* endLine);
/* Reads the complete lines from `line` on, as many whole ones as fit
 * (TraceBuffer_ReadLines), into buffer: 0, or an error code of the request
 * in the library (22 from a driver that lacks it). An unknown channel gives
 * 0 lines and *nextLine = line. */
int TraceReadLines(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer,
                   size_t maxChars, size_t* count, size_t* nextLine);
/* TraceReadLines of this module's own channels: the bytes written. */
size_t TraceReadLines_(TRCLIENT client, TRCHANNEL channel, size_t line, char* buffer,
                       size_t maxChars, size_t* count, size_t* nextLine);
/* Required of the host: sleeps on the waiters of channel slot `slot` until
 * ready(param) holds (0), msecs pass (err_timeout) or a signal comes
 * (err_interrupt); ready is called with no lock held, and may take the
 * channel's. A host that cannot sleep answers ready(param) at once. */
int TraceHostWait(size_t slot, int (*ready)(void* param), void* param, int msecs);
/* Required of the host: wakes the waiters of channel slot `slot`, if any;
 * called after the channel lock was released. */
void TraceHostWake(size_t slot);

/* Decodes one request: 1 when the function code is known, 0 if not. The
 * input and the output may be the same buffer (the driver passes one). */
int TraceReceive(TRCLIENT client, int function, const void* input, size_t inputSize,
                 void* output, size_t maxOutputSize, size_t* outOutputSize);

#ifdef __cplusplus
}
#endif

#endif
