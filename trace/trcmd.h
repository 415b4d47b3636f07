/*
 * trcmd.h - the parts of the trace command trcmd: buffered output, the
 * channel list, line reading and the follow loop. The program (trcmd.cpp)
 * parses command lines on top of these; the host tests drive them against
 * the in-process trace API.
 *
 * Everything reads channels through the attached export table
 * (traceExports, traceClient) and never creates a channel: names resolve
 * through the table's channel list (trlist: names separated by 0 bytes,
 * ending with an empty name; channel number = position + 1).
 *
 * A reader cursor walks one channel by line number. Lines startLine to
 * endLine - 1 are complete and may be printed; line endLine is in progress
 * and never printed. When startLine has moved past the next line wanted
 * (the ring wrapped, the index filled, or a reset), the cursor reports the
 * skipped count once ("NOTE: ... lost") and goes on from startLine, so that
 * lines printed + lines reported lost = lines that passed through.
 *
 * Lines are read in batches (trreadlines, up to TRACEIO_MAX_BATCH bytes a
 * request) where the attached library and driver have them, else, and for
 * a line longer than a batch, one request per line. Follow of one channel
 * sleeps in the driver (trwait) until a line comes; several channels, or a
 * library or driver without waits, are polled.
 *
 * Single-threaded: one command runs on the main thread; nothing is locked.
 */
#ifndef TRCMD_H
#define TRCMD_H

#include <cstddef>

#include "qptraces.h"
#include "traceio.h"
#include "usertext.h"

enum {
    trcmd_out_size = 64 * 1024,
    /* Lines up to this read length come back in one small request that the
     * driver serves from its stack; longer ones are read again. */
    trcmd_read_small = 128,
    /* The longest read a line can need: a full ring plus stamp and
     * terminator. */
    trcmd_read_big = TRACEBUFFER_DATASIZE + TRACETIMESTAMPLEN + 1,
    trcmd_list_size = TRACEANCHOR_NAMESSIZE + TRACEANCHOR_MAXCHANNELS + 16,
    trcmd_idle_msecs = 200,  /* longest pause of the follow loop */
    /* Longest sleep in the driver between two looks at the stop signals. */
    trcmd_wait_slice_msecs = 100,
    trcmd_follow_batch = 256 /* lines per poll that make follow poll again at once */
};

/* ---- output -------------------------------------------------------------- */

/* Data lines and messages share one buffer in front of a descriptor, so
 * their order is kept and a fast channel costs one write per batch. */
struct trcmd_out_t {
    UtOut sink; /* messages: UtPrint(&out->sink, ...) */
    int fd;
    int failed; /* a write failed; further output is dropped */
    size_t len;
    char data[trcmd_out_size];
};

void trcmd_out_init(trcmd_out_t* out, int fd);
void trcmd_out_bytes(trcmd_out_t* out, const char* bytes, size_t count);
void trcmd_out_flush(trcmd_out_t* out);
/* Expands the user text tid with its arguments and prints it. */
void trcmd_say(trcmd_out_t* out, const char* tid, int argc, const char* const* argv);
void trcmd_say0(trcmd_out_t* out, const char* tid);
void trcmd_say1(trcmd_out_t* out, const char* tid, const char* arg);
void trcmd_say2(trcmd_out_t* out, const char* tid, const char* arg0, const char* arg1);
/* Decimal text of a count, in a caller's buffer of at least 24 bytes. */
const char* trcmd_number_text(char* buffer, size_t value);

/* ---- attach and channel list --------------------------------------------- */

/* Attaches on first use; 0 when the table with every slot trcmd uses is
 * there, else prints the "not reachable" error line and returns 1. */
int trcmd_attach(trcmd_out_t* out);

struct trcmd_list_t {
    size_t count;
    const char* name[TRACEANCHOR_MAXCHANNELS]; /* channel number = index + 1 */
    /* The names as they may be printed: any program can create a channel,
     * and its name must not drive the terminal of whoever lists it, so
     * control characters and bytes that are not UTF-8 show as '?'. */
    const char* shown[TRACEANCHOR_MAXCHANNELS];
    char names[trcmd_list_size];
    char shown_names[trcmd_list_size];
};

void trcmd_list_load(trcmd_list_t* list);
/* The channel a user's word names: a name (ASCII letters compared without
 * regard to case) or else a decimal channel number; 0 when neither. */
size_t trcmd_list_find(const trcmd_list_t* list, const char* word);
/* Looks the word up and prints the unknown-channel error line when it names
 * nothing; the channel number or 0. */
size_t trcmd_resolve(trcmd_out_t* out, const trcmd_list_t* list, const char* word);
/* Strict decimal: digits only, no overflow; 1 when parsed. */
int trcmd_parse_count(const char* text, size_t* value);

static inline TRCHANNEL trcmd_channel(size_t number)
{
    return (TRCHANNEL)(uintptr_t)number;
}

/* ---- reading ------------------------------------------------------------- */

/* The length of the decoded stamp that starts every line read (14). */
size_t trcmd_stamp_len(void);

struct trcmd_reader_t {
    char small[trcmd_read_small];
    char* big;      /* allocated on the first long line */
    char* batch;    /* TRACEIO_MAX_BATCH bytes, allocated on the first batch */
    int no_batches; /* the library or driver has no batch reads */
    int no_waits;   /* ... or no waits */
};

void trcmd_reader_init(trcmd_reader_t* reader);
void trcmd_reader_term(trcmd_reader_t* reader);
/* One line as the driver returns it (stamp and text, no line feed): its
 * text and *length, or null when the line is not held (any more). */
const char* trcmd_read_line(trcmd_reader_t* reader, size_t channel, size_t line, size_t* length);

struct trcmd_cursor_t {
    size_t channel;
    const char* name;
    const char* prefix; /* printed before each line, or null */
    int numbered;       /* each line starts with its number */
    size_t next;        /* the next line wanted */
    size_t stop;        /* lines from here on are not printed */
    size_t lost;        /* lines reported lost so far */
};

void trcmd_cursor_init(trcmd_cursor_t* cursor, size_t channel, const char* name);
/* Prints the complete lines from cursor->next up to the newest complete
 * line or cursor->stop, reporting lines lost on the way. The number of
 * lines printed, or -1 when the channel cannot be read any more (the driver
 * went away: its line range reads as zeros). */
long trcmd_cursor_pump(trcmd_cursor_t* cursor, trcmd_reader_t* reader, trcmd_out_t* out);
/* The error line for a channel that cannot be read any more. */
void trcmd_report_unreadable(trcmd_out_t* out, const char* name);

/* Waits up to msecs; 0 when the loop must end (a stop signal). */
typedef int (*trcmd_wait_t)(void* param, int msecs);

/* Follows the cursors until wait says stop: 0 then, 1 when a channel
 * became unreadable (the error line is printed). One cursor sleeps in the
 * driver until its next line is complete, for trcmd_wait_slice_msecs at a
 * time, and asks wait(param, 0) whether to stop before each sleep; after
 * lines it pauses as the polling does, so that lines gather. Without
 * waits, or with several cursors, it polls: again at once while full
 * batches of lines arrive, after 1 ms while a few do, backing off by
 * doubling to trcmd_idle_msecs when idle. Output is written before every
 * sleep or pause. */
int trcmd_follow(trcmd_cursor_t* cursors, size_t count, trcmd_reader_t* reader,
                 trcmd_out_t* out, trcmd_wait_t wait, void* wait_param);

/* ---- platform ------------------------------------------------------------ */

/* SIGINT and SIGTERM become a readable descriptor (blocked for the rest of
 * the process); -1 when that cannot be set up. */
int trcmd_stop_signals_open(void);
void trcmd_stop_signals_close(int fd);
/* The wait of the follow loop on that descriptor (param: the descriptor as
 * an int pointer). */
int trcmd_stop_signals_wait(void* param, int msecs);

#endif
