/*
 * traceio.h - the wire format of /dev/qptrace: the two ioctl commands, the
 * 48-byte send request and the limits the driver puts on request sizes.
 *
 * One header for the driver (kernel build) and its user-mode clients. The
 * per-function input and output records and the function codes are those of
 * the trace API (traces.h); this header only frames them. All fields are
 * little-endian, addresses are 64-bit user addresses.
 *
 * Version request: ioctl TRACEIOCTL_VERSION with the caller's answer area as
 * the argument. The driver writes a TRACEIOGETVERSIONRESULTS (traces.h) of 8
 * bytes when the command's size field is 8 to 31, 32 bytes when it is 32 or
 * more, nothing below 8. Its `exports` field is a kernel address and is
 * handed only to callers with CAP_SYSLOG; everyone else reads 0.
 *
 * Send request: ioctl TRACEIOCTL_SEND with a GenIoctlRequest as the
 * argument; the command's size field must be at least 48. The driver copies
 * the input in, runs the function and copies the output and the request
 * back. A failed request leaves the record as the caller wrote it, so
 * `error` keeps the caller's -1.
 *
 * Two function codes beyond those of the trace API let a reader block until
 * lines come and take many lines per request (records below). A driver
 * without them fails them with 22, like any unknown code; clients check
 * that and fall back to polling with codes 6 and 13.
 */
#ifndef TRACEIO_H
#define TRACEIO_H

#ifdef __KERNEL__
#include <linux/types.h>
#else
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The standard ioctl encoding: direction in bits 30..31 (2 read, 3 read and
 * write), the size in bits 16..29, the type in bits 8..15, the number in
 * bits 0..7. The driver matches type, number and direction and reads the
 * size field itself. */
#define TRACEIOCTL_TYPE          0x67u /* 'g' */
#define TRACEIOCTL_MATCH_MASK    0xC000FFFFu
#define TRACEIOCTL_VERSION_MATCH 0x80006700u
#define TRACEIOCTL_SEND_MATCH    0xC0006701u
#define TRACEIOCTL_SIZE(cmd)     (((cmd) >> 16) & 0x3FFFu)

/* What clients issue: a 32-byte version answer and a 48-byte request. */
#define TRACEIOCTL_VERSION 0x80206700u
#define TRACEIOCTL_SEND    0xC0306701u

typedef struct GenIoctlRequest {
    int32_t code;           /* in: function code (traces.h) */
    int32_t error;          /* out: 0 once the call was carried out; clients preset -1 */
    uint64_t input;         /* in: user address of the input bytes */
    uint64_t inputSize;     /* in */
    uint64_t output;        /* in: user address of the output area */
    uint64_t maxOutputSize; /* in */
    uint64_t outputSize;    /* out: output bytes written */
} GenIoctlRequest;

enum {
    TRACEIO_REQUEST_SIZE = 48,
    TRACEIO_VERSION_MAX_ANSWER = 64,
    /* Input and output of up to this many bytes need no allocation. */
    TRACEIO_STACK_BUFFER = 128
};

/* ---- waiting for lines and reading them in batches ------------------- */

enum {
    /* Wait: input TRACEIOWAITPARAMS, output TRACEIOWAITRESULTS (both 24
     * bytes; a shorter input or output room is refused, output size 0).
     * Returns once the channel's oldest held line or its newest complete
     * line (endLine - 1) has reached `line`, or the channel was reset, or
     * `msecs` passed (0: look once; negative or 0x7fffffff and more: no
     * timeout), or a signal came for the caller. The answer's `result` says
     * which: 0 reached or reset, 110 timed out, 4 interrupted, 2 no such
     * channel (its line numbers then read 0). The request itself succeeds
     * in every one of these cases. */
    TRACEIOWAIT = 20,
    /* Read lines: input TRACEIOREADLINESPARAMS (16 bytes), output a
     * TRACEIOREADLINESRESULTS header (16 bytes; a shorter room is refused)
     * followed by `count` lines, each in the form of code 13: the 14-
     * character stamp, the text and a terminator. The lines are the
     * complete lines from `line` on (from the oldest held one when `line`
     * is no longer held), as many whole ones as fit the room, at most
     * TRACEIO_MAX_BATCH bytes with the header. `nextLine` is the line after
     * the last one answered; the answer's first line is nextLine - count,
     * so lines `line` to nextLine - count - 1 had left the ring. A count of
     * 0 with nextLine below the newest complete line means that line is
     * longer than the room: read it with code 13. An unknown channel
     * answers count 0 and nextLine = line. */
    TRACEIOREADLINES = 21,
    TRACEIO_MAX_BATCH = 64 * 1024
};

typedef struct TRACEIOWAITPARAMS {
    int64_t channel;
    uint64_t line;
    int64_t msecs;
} TRACEIOWAITPARAMS;

typedef struct TRACEIOWAITRESULTS {
    int32_t result; /* 0, 110, 4 or 2 as above */
    uint32_t reserved;
    uint64_t startLine; /* the channel's oldest held line */
    uint64_t endLine;   /* its line in progress: the newest complete one is endLine - 1 */
} TRACEIOWAITRESULTS;

typedef struct TRACEIOREADLINESPARAMS {
    int64_t channel;
    uint64_t line; /* the first line wanted */
} TRACEIOREADLINESPARAMS;

typedef struct TRACEIOREADLINESRESULTS {
    uint64_t count;    /* lines that follow the header */
    uint64_t nextLine; /* the line after the last one answered */
} TRACEIOREADLINESRESULTS;

/* Sizes above this fail with 22: no function of the wire format can use
 * them. Smaller sizes are cut to what the function can use at most. */
#define TRACEIO_MAX_REQUEST_SIZE ((uint64_t)64 << 20)

#ifdef __cplusplus
}
#endif

#endif
