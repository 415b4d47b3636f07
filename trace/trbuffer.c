/*
 * trbuffer.c - trace channels: the line ring of one channel (TraceBuffer),
 * the set of all channels (TraceAnchor) and the 7-character time stamp.
 *
 * Ring and index. A channel keeps 262,144 bytes of text (data) and 8,192
 * line starts (index). writePos counts every byte ever appended; its ring
 * offset is writePos & 0x3FFFF. A stored line is
 *
 *     7-byte stamp | text bytes | '\n'
 *
 * and index[(n - 1) & 0x1FFF] holds the low 32 bits of the position where
 * line n starts. Line 0 is the creation line (the bare creation stamp at
 * offsets 0..7); endLine is the line in progress, empty until the next write
 * and open until a line feed ends it; startLine is the oldest line held.
 * Lines startLine..endLine can be read. A line drops out of the ring
 * (startLine rises) when the ring bytes of its start are overwritten, or when
 * a completed line would make more than 8,192 lines.
 *
 * Invariants (under the buffer lock): the byte before writePos is a line feed
 * exactly when the line in progress is empty; startLine <= endLine; every line
 * from startLine on starts less than 262,144 bytes before writePos; a line is
 * ended by a forced line feed once it holds more than 65,536 bytes at the end
 * of a write call, so no line comes near the ring size.
 *
 * Stamps are the low 42 bits of counter_usec as 7 base-64 digits (RFC 4648
 * alphabet), most significant first; readers get them decoded as
 * "ssssss.uuuuuu " (14 characters). One write call reads the clock at most
 * once, so every line it starts carries the same stamp.
 *
 * Anchor. One static block (traceAnchor) holds the default channel "traces"
 * with its ring and index, the table of 200 channel pointers and the names
 * area (every name followed by a line feed, the rest terminated), so that a
 * memory image shows the channels by name. Channels are created once and
 * never removed while the anchor lives, so a channel number, once handed
 * out, always names the same buffer.
 *
 * Locks. Each buffer's spin lock is held for one whole write, read, batch
 * read (TraceBuffer_ReadLines, bounded by its caller's room: 64 KiB in the
 * driver), info or reset, which never sleeps or allocates. The anchor's spin lock guards the
 * table, count and the names area while they are searched or extended; no
 * path holds it together with a buffer lock. TraceAnchor_GetBuffer and the
 * channel listing read count and the table without the lock: creation stores
 * the table slot and the name before it publishes the raised count
 * ([publish], a release store), and readers load count with acquire
 * ([observe]).
 *
 *     TraceBuffer_Write(tb, "hello\n", 6);
 *     n = TraceBuffer_Read(tb, 1, out, sizeof out);   // "000012.345678 hello"
 */
#include "traces.h"
#include "sstring.h"
#include "trplatform.h"

#ifndef spinner_is_locked
#define spinner_is_locked(sp) sync_is_locked(&(sp)->sync)
#endif

enum {
    trace_data_mask = TRACEBUFFER_DATASIZE - 1,
    trace_index_mask = TRACEBUFFER_INDEXSIZE - 1,
    trace_names_limit = TRACEANCHOR_NAMESSIZE - 1
};

TraceAnchor traceAnchor;

/* ---- time stamps ----------------------------------------------------- */

const char traceBase64EncodeTable[64] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* Indexed by the low 7 bits of a stamp byte; bytes outside the alphabet are
 * digit 0. */
const unsigned char traceBase64DecodeTable[128] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  62, 0,  0,  0,  63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 0,  0,  0,  0,  0,  0,
    0,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 0,  0,  0,  0,  0,
    0,  26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 0,  0,  0,  0,  0};

void TraceEncodeTimeStamp(uint64_t usec, char* out7)
{
    int digit;
    for (digit = TRACESTAMP_CODEDLEN - 1; digit >= 0; digit--) {
        out7[digit] = traceBase64EncodeTable[usec & 63];
        usec >>= 6;
    }
}

static void trace_put_decimal6(char* out, uint32_t value)
{
    int digit;
    for (digit = 5; digit >= 0; digit--) {
        out[digit] = (char)('0' + value % 10);
        value /= 10;
    }
}

/* in7 may lie inside out14 (a read decodes in place): every input byte is
 * taken before the first output byte is written. */
void TraceDecodeTimeStamp(const char* in7, char* out14)
{
    uint64_t usec = 0;
    int digit;
    for (digit = 0; digit < TRACESTAMP_CODEDLEN; digit++)
        usec = (usec << 6) | traceBase64DecodeTable[(unsigned char)in7[digit] & 127];
    trace_put_decimal6(out14, (uint32_t)(usec / 1000000 % 1000000));
    out14[6] = '.';
    trace_put_decimal6(out14 + 7, (uint32_t)(usec % 1000000));
    out14[13] = ' ';
}

/* ---- buffer ---------------------------------------------------------- */

static uint32_t trace_line_start(const TraceBuffer* tb, uint64_t line)
{
    return tb->index[(line - 1) & trace_index_mask];
}

static void trace_set_line_start(TraceBuffer* tb, uint64_t line)
{
    tb->index[(line - 1) & trace_index_mask] = (uint32_t)tb->writePos;
}

/* Raw bytes of the line in progress, its stamp included. */
static size_t trace_open_line_len(const TraceBuffer* tb)
{
    return ((uint32_t)tb->writePos - trace_line_start(tb, tb->endLine)) & trace_data_mask;
}

static int trace_open_line_is_empty(const TraceBuffer* tb)
{
    return tb->data[(tb->writePos - 1) & trace_data_mask] == '\n';
}

/* A line feed has just been appended: the line in progress is complete. */
static void trace_end_line(TraceBuffer* tb)
{
    if (tb->startLine + TRACEBUFFER_INDEXSIZE <= tb->endLine + 1)
        tb->startLine++;
    trace_set_line_start(tb, tb->endLine + 1);
    tb->endLine++;
}

void TraceBuffer_init(TraceBuffer* tb, char* data, uint32_t* index)
{
    spinner_init(&tb->lock);
    tb->tag = TRACEBUFFER_TAG;
    tb->dataSize = TRACEBUFFER_DATASIZE;
    tb->writePos = TRACESTAMP_CODEDLEN + 1;
    tb->indexSize = TRACEBUFFER_INDEXSIZE;
    tb->endLine = 1;
    if (data) {
        tb->data = data;
        TraceEncodeTimeStamp(counter_usec(), data);
        data[TRACESTAMP_CODEDLEN] = '\n';
    }
    if (index) {
        tb->index = index;
        index[0] = TRACESTAMP_CODEDLEN + 1;
        index[TRACEBUFFER_INDEXSIZE - 1] = 0;
    }
}

void TraceBuffer_term(TraceBuffer* tb)
{
    spinner_term(&tb->lock);
    pfree(tb->data, TRACEBUFFER_DATASIZE, 0);
    pfree(tb->index, TRACEBUFFER_INDEXSIZE * sizeof(uint32_t), 0);
    tb->data = 0;
    tb->index = 0;
}

void TraceBuffer_WriteSub(TraceBuffer* tb, const char* bytes, size_t count)
{
    size_t from, to;
    QP_ASSERT(spinner_is_locked(&tb->lock));
    from = tb->writePos & trace_data_mask;
    tb->writePos += count;
    to = ((tb->writePos - 1) & trace_data_mask) + 1;
    if (to > from) {
        memcpy(tb->data + from, bytes, count);
    } else {
        size_t first = TRACEBUFFER_DATASIZE - from;
        memcpy(tb->data + from, bytes, first);
        memcpy(tb->data, bytes + first, to);
    }
    /* Drop every line whose start has just been overwritten. */
    while (tb->startLine < tb->endLine &&
           (uint32_t)((uint32_t)tb->writePos - trace_line_start(tb, tb->startLine)) >
               trace_data_mask)
        tb->startLine++;
}

void TraceBuffer_Write(TraceBuffer* tb, const char* data, size_t inLen)
{
    /* inLen is the text's length: no 0 byte before it, and one at it.
     * memchr finds that faster than a character scan. */
    TRACE_ASSERT_AS(!memchr(data, 0, inLen) && !data[inLen], "inLen == ss8len(data)");
    TraceBuffer_Write_(tb, data, inLen);
}

size_t TraceBuffer_Write_(TraceBuffer* tb, const char* data, size_t inLen)
{
    const char* rest = data;
    const char* end;
    char stamp[TRACESTAMP_CODEDLEN];
    int stamped = 0;
    size_t linesEnded = 0;

    if (inLen > TRACEBUFFER_MAXWRITE)
        inLen = TRACEBUFFER_MAXWRITE;
    end = data + inLen;

    spinner_lock(&tb->lock);
    while (rest < end) {
        const char* lineFeed;
        const char* pieceEnd;
        int ended;
        if (trace_open_line_is_empty(tb)) {
            if (!stamped) {
                TraceEncodeTimeStamp(counter_usec(), stamp);
                stamped = 1;
            }
            TraceBuffer_WriteSub(tb, stamp, sizeof stamp);
        }
        lineFeed = trace_memchr(rest, '\n', (size_t)(end - rest));
        pieceEnd = lineFeed ? lineFeed + 1 : end;
        TraceBuffer_WriteSub(tb, rest, (size_t)(pieceEnd - rest));
        rest = pieceEnd;
        ended = lineFeed != 0;
        if (!ended && trace_open_line_len(tb) > TRACEBUFFER_MAXWRITE) {
            TraceBuffer_WriteSub(tb, "\n", 1);
            ended = 1;
        }
        if (ended) {
            trace_end_line(tb);
            linesEnded++;
        }
    }
    spinner_unlock(&tb->lock);
    return linesEnded;
}

/* Where the raw bytes of a line (stamp, text, no line feed) lie in the
 * ring: from offset `from` for `length` bytes, ending at offset `end`
 * (1 to 262,144). The caller holds the lock and has checked the line. */
typedef struct trace_span_t {
    size_t from, end, length;
} trace_span_t;

static trace_span_t trace_line_span(const TraceBuffer* tb, uint64_t line)
{
    trace_span_t span;
    uint32_t endPos = line == tb->endLine ? (uint32_t)tb->writePos
                                          : trace_line_start(tb, line + 1) - 1;
    span.from = trace_line_start(tb, line) & trace_data_mask;
    span.end = ((endPos - 1) & trace_data_mask) + 1;
    span.length = (span.end - span.from) & trace_data_mask;
    return span;
}

/* Copies the raw bytes of line (stamp, text, no line feed) to dest with room
 * for room - 1 bytes and a terminator; returns the line's raw length. The
 * caller holds the lock and has checked the line number. */
static size_t trace_copy_line(const TraceBuffer* tb, uint64_t line, char* dest, size_t room)
{
    trace_span_t span = trace_line_span(tb, line);
    size_t copied;

    if (span.end > span.from) {
        copied = span.length < room - 1 ? span.length : room - 1;
        memcpy(dest, tb->data + span.from, copied);
    } else if (span.length != 0) {
        size_t first = TRACEBUFFER_DATASIZE - span.from;
        if (first >= room) {
            copied = room - 1;
            memcpy(dest, tb->data + span.from, copied);
        } else {
            size_t second = span.length >= room ? room - first - 1 : span.end;
            memcpy(dest, tb->data + span.from, first);
            memcpy(dest + first, tb->data, second);
            copied = first + second;
        }
    } else {
        copied = 0;
    }
    dest[copied] = 0;
    return span.length;
}

size_t TraceBuffer_Read(TraceBuffer* tb, size_t line, char* out, size_t maxChars)
{
    size_t length = 0;
    spinner_lock(&tb->lock);
    if (out && maxChars > TRACETIMESTAMPLEN && tb->startLine <= line && line <= tb->endLine)
        length = trace_copy_line(tb, line, out + TRACESTAMP_CODEDLEN,
                                 maxChars - TRACESTAMP_CODEDLEN);
    spinner_unlock(&tb->lock);

    if (length < TRACESTAMP_CODEDLEN) {
        if (out && maxChars > 0)
            out[0] = 0;
        return 0;
    }
    TraceDecodeTimeStamp(out + TRACESTAMP_CODEDLEN, out);
    return length + TRACESTAMP_CODEDLEN;
}

size_t TraceBuffer_ReadLines(TraceBuffer* tb, size_t line, char* out, size_t maxChars,
                             size_t* count, size_t* nextLine)
{
    size_t pos = 0, lines = 0;
    spinner_lock(&tb->lock);
    if (line < tb->startLine)
        line = tb->startLine;
    for (; out && line < tb->endLine; line++) {
        size_t rawLen = trace_line_span(tb, line).length;
        /* The decoded stamp is 7 bytes longer than the coded one. */
        size_t readLen = rawLen + TRACESTAMP_CODEDLEN;
        if (rawLen < TRACESTAMP_CODEDLEN || maxChars - pos <= readLen)
            break;
        trace_copy_line(tb, line, out + pos + TRACESTAMP_CODEDLEN, rawLen + 1);
        TraceDecodeTimeStamp(out + pos + TRACESTAMP_CODEDLEN, out + pos);
        pos += readLen + 1;
        lines++;
    }
    spinner_unlock(&tb->lock);
    *count = lines;
    *nextLine = line;
    return pos;
}

void TraceBuffer_Info(TraceBuffer* tb, size_t* startLineOut, size_t* endLineOut,
                      size_t* endLineLenOut)
{
    size_t startLine, endLine, rawLen;
    spinner_lock(&tb->lock);
    startLine = tb->startLine;
    endLine = tb->endLine;
    rawLen = trace_open_line_len(tb);
    spinner_unlock(&tb->lock);
    if (startLineOut)
        *startLineOut = startLine;
    if (endLineOut)
        *endLineOut = endLine;
    if (endLineLenOut)
        *endLineLenOut = rawLen >= TRACESTAMP_CODEDLEN ? rawLen + TRACESTAMP_CODEDLEN : 0;
}

void TraceBuffer_Reset(TraceBuffer* tb)
{
    char resetLine[TRACESTAMP_CODEDLEN + 1];
    TraceEncodeTimeStamp(counter_usec(), resetLine);
    resetLine[TRACESTAMP_CODEDLEN] = '\n';

    spinner_lock(&tb->lock);
    if (!trace_open_line_is_empty(tb)) {
        TraceBuffer_WriteSub(tb, "\n", 1);
        trace_set_line_start(tb, tb->endLine + 1);
        tb->endLine++;
    }
    TraceBuffer_WriteSub(tb, resetLine, sizeof resetLine);
    tb->startLine = tb->endLine;
    trace_set_line_start(tb, tb->endLine + 1);
    tb->endLine++;
    spinner_unlock(&tb->lock);
}

/* ---- anchor ---------------------------------------------------------- */

static const char trace_default_name[] = "traces";

void TraceAnchor_init(TraceAnchor* anchor)
{
    spinner_init(&anchor->lock);
    TraceBuffer_init(&anchor->defaultBuffer, anchor->defaultData, anchor->defaultIndex);
    anchor->tag[0] = 0x4E415254; /* "TRAN" */
    anchor->tag[1] = 0x524F4843; /* "CHOR" */
    anchor->signature[0] = 0x7445893E;
    anchor->signature[1] = 0x34BC7590;
    anchor->constantWords[0] = 4;
    anchor->constantWords[1] = 4;
    anchor->constantNamesLen = sizeof trace_default_name;
    anchor->namesLen = sizeof trace_default_name;
    anchor->names = anchor->namesArea;
    anchor->buffers = anchor->table;
    anchor->table[0] = &anchor->defaultBuffer;
    memcpy(anchor->namesArea, trace_default_name, sizeof trace_default_name - 1);
    anchor->namesArea[sizeof trace_default_name - 1] = '\n';
    anchor->namesArea[sizeof trace_default_name] = 0;
    anchor->defaultBuffer.name = anchor->namesArea;
    anchor->defaultBuffer.nameLen = sizeof trace_default_name - 1;
    __atomic_store_n(&anchor->count, 1, __ATOMIC_RELEASE); /* [publish] */
}

void TraceAnchor_term(TraceAnchor* anchor)
{
    spinner_term(&anchor->lock);
    /* Channels go newest first. */
    while (anchor->count > 1) {
        size_t slot = --anchor->count;
        TraceBuffer_term(anchor->table[slot]);
        free_d(anchor->table[slot]);
        anchor->table[slot] = 0;
    }
    /* The default channel's storage is part of the anchor block. */
    anchor->defaultBuffer.data = 0;
    anchor->defaultBuffer.index = 0;
    TraceBuffer_term(&anchor->defaultBuffer);
    anchor->count = 0;
}

static size_t trace_find_channel(const TraceAnchor* anchor, const char* name, size_t len)
{
    size_t slot;
    for (slot = 0; slot < anchor->count; slot++) {
        const TraceBuffer* tb = anchor->buffers[slot];
        if (tb->nameLen == len && ss8asciicmpin2(name, tb->name, len) == 0)
            return slot + 1;
    }
    return 0;
}

/* Appends the name, its line feed and the terminator to the names area;
 * returns where the name starts there. The caller has checked the room. */
static const char* trace_store_name(TraceAnchor* anchor, const char* name, size_t len)
{
    char* stored = anchor->names + anchor->namesLen;
    memcpy(stored, name, len);
    stored[len] = '\n';
    stored[len + 1] = 0;
    anchor->namesLen += len + 1;
    return stored;
}

size_t TraceAnchor_OpenChannel(TraceAnchor* anchor, const char* name, TraceBuffer** offeredBuffer)
{
    size_t len, channel;
    int created = 0;

    if (!name || !*name)
        name = trace_default_name;
    len = ss8len(name);

    spinner_lock(&anchor->lock);
    channel = trace_find_channel(anchor, name, len);
    /* count is 0 before TraceAnchor_init and after TraceAnchor_term: an
     * anchor that is not running takes no channels. */
    if (!channel && offeredBuffer && *offeredBuffer && anchor->count > 0 &&
        anchor->count < TRACEANCHOR_MAXCHANNELS && len + 1 <= trace_names_limit - anchor->namesLen) {
        TraceBuffer* tb = *offeredBuffer;
        *offeredBuffer = 0;
        tb->name = trace_store_name(anchor, name, len);
        tb->nameLen = len;
        anchor->buffers[anchor->count] = tb;
        channel = anchor->count + 1;
        __atomic_store_n(&anchor->count, channel, __ATOMIC_RELEASE); /* [publish] */
        created = 1;
    }
    spinner_unlock(&anchor->lock);

    if (created)
        TraceNewChannel(name, 1);
    return channel;
}

TraceBuffer* TraceAnchor_GetBuffer(TraceAnchor* anchor, TRCHANNEL channel)
{
    long number = (long)channel; /* pointer-sized: the kernel has no intptr_t */
    size_t count = __atomic_load_n(&anchor->count, __ATOMIC_ACQUIRE); /* [observe] */
    if (number == -1)
        number = 1;
    if (number >= 1 && (size_t)number <= count)
        return anchor->buffers[number - 1];
    return 0;
}

void trbuffer_terminator(void)
{
    TraceAnchor_term(&traceAnchor);
}

/* Runs once per module; a second call finds the anchor running. */
void trbuffer_initializer(void)
{
    if (__atomic_load_n(&traceAnchor.count, __ATOMIC_ACQUIRE))
        return;
    /* The debug heap starts the base layer on its first use: it registers
     * its leak check at exit and creates the synchronisation state, without
     * which spin locks only record their owner. Starting it here makes the
     * locks real from the first trace call and makes the anchor's end,
     * registered after the leak check, run before it. */
    free_d(malloc_d(1));
    TraceAnchor_init(&traceAnchor);
    atexit(trbuffer_terminator);
}
