/*
 * trwide.c - the wide-text forms of the trace API (one 32-bit wchar_t unit
 * per code point), built on the UTF-8 calls of trdll.c.
 *
 * Names and texts are converted to UTF-8 before they reach a channel, and
 * lists and lines are converted back. No lock is taken here beyond those of
 * the UTF-8 calls.
 *
 * TraceReadW stages the UTF-8 line inside the caller's own buffer when the
 * buffer is larger than the stack scratch. The line is first read to the
 * front of the buffer; then exactly the bytes of the characters that the
 * output can hold (at most maxChars - 1 of them) are moved to the end of the
 * buffer, and converted from there to the front, one character pulled before
 * its unit is stored. With B = 4 * maxChars bytes, K output characters and
 * L staged bytes, after k characters the output ends at byte 4k and the
 * unconverted text starts at byte B - L + S(k), S(k) being the bytes of the
 * first k characters. A character takes one to four bytes, so 4k - S(k)
 * never decreases and is at most 4K - L; hence 4k <= B - L + S(k) whenever
 * 4K <= B, which K <= maxChars - 1 guarantees. The wide output therefore
 * never reaches a byte that is still to be converted, for any text.
 */
#include "traces.h"
#include "sstring.h"
#include "ssformat.h"
#include "trplatform.h"

enum {
    trace_stack_wide_size = 150,
    /* The longest list: every name of the full names area, terminated. */
    trace_list_max_bytes = TRACEANCHOR_NAMESSIZE + TRACEANCHOR_MAXCHANNELS + 8,
    /* More than the longest line (two writes of 65,536 bytes, stamps). */
    trace_line_max_chars = 0x40000,
#ifdef __KERNEL__
    trace_read_scratch_size = 200
#else
    trace_read_scratch_size = 400
#endif
};

TRCHANNEL TraceOpenW(TRCLIENT client, const wchar_t* name)
{
    qp_mp_t pool;
    TRCHANNEL channel;
    mp_t_init(&pool);
    /* Without memory the null name opens the default channel. */
    channel = TraceOpen(client, name ? ss8convwm(mp_t_ma(&pool), name) : 0);
    mp_t_term(&pool);
    return channel;
}

size_t TraceListW(TRCLIENT client, wchar_t* buffer, size_t maxChars)
{
    size_t listSize, pos = 0;
    const char* name;
    char* list;
    if (!buffer || !maxChars)
        return 0;
    /* A UTF-8 name takes up to four bytes per unit; the list never needs
     * more than the whole names area. */
    listSize = maxChars < trace_list_max_bytes / 4 - 125 ? (maxChars + 125) * 4
                                                         : trace_list_max_bytes;
    list = (char*)malloc_d(listSize);
    if (!list)
        return 0;
    TraceList(client, list, listSize);
    for (name = list; *name; name += ss8len(name) + 1) {
        size_t nameLen = sswconv8n(buffer + pos, maxChars - pos, name, listSize);
        /* A name that does not fit is converted over by the next one. */
        if (pos + nameLen + 1 < maxChars)
            pos += nameLen + 1;
    }
    if (pos < maxChars)
        buffer[pos++] = 0;
    free_d(list);
    return pos;
}

/* Converts the first characters of src (len bytes) into dest, pulling each
 * character before its unit is stored; stores at most maxChars - 1 units and
 * a terminator. Returns the units stored. */
static size_t trace_wide_from8(wchar_t* dest, size_t maxChars, const char* src, size_t len)
{
    size_t index = 0, units = 0;
    while (index < len && units + 1 < maxChars) {
        size_t next;
        uint32_t codePoint = ss8pullchar(src, len, index, &next);
        dest[units++] = (wchar_t)codePoint;
        index = next;
    }
    dest[units] = 0;
    return units;
}

/* Bytes taken by the first maxChars - 1 characters of src. */
static size_t trace_bytes_of_chars(const char* src, size_t len, size_t maxChars)
{
    size_t index = 0, chars = 0;
    while (index < len && chars + 1 < maxChars) {
        (void)ss8pullchar(src, len, index, &index);
        chars++;
    }
    return index;
}

/* The length of the line read into text: the client library's TraceRead
 * answers 0 (and an empty string) when its request failed. */
static size_t trace_read_text(TRCLIENT client, TRCHANNEL channel, size_t line, char* text,
                              size_t size)
{
    size_t readSize = TraceRead(client, channel, line, text, size);
    return readSize ? readSize - 1 : 0;
}

size_t TraceReadW(TRCLIENT client, TRCHANNEL channel, size_t line, wchar_t* buffer,
                  size_t maxChars)
{
    char stackScratch[trace_read_scratch_size];
    size_t viewChars, stagedLen, textLen, units;
    char* text;
    if (!buffer || !maxChars)
        return 0;
    viewChars = maxChars < trace_line_max_chars ? maxChars : trace_line_max_chars;
    if (viewChars * sizeof(wchar_t) < sizeof stackScratch) {
        textLen = trace_read_text(client, channel, line, stackScratch, sizeof stackScratch);
        text = stackScratch;
    } else {
        size_t viewBytes = viewChars * sizeof(wchar_t);
        char* front = (char*)buffer;
        textLen = trace_read_text(client, channel, line, front, viewBytes);
        stagedLen = trace_bytes_of_chars(front, textLen, viewChars);
        text = front + viewBytes - stagedLen;
        memmove(text, front, stagedLen);
        textLen = stagedLen;
    }
    units = trace_wide_from8(buffer, viewChars, text, textLen);
    return units + 1;
}

void TracePrintW(TRCLIENT client, TRCHANNEL channel, const wchar_t* value)
{
    char stackScratch[trace_stack_wide_size];
    char* heapScratch = 0;
    const char* text = stackScratch;
    size_t len;
    if (!value)
        return;
    len = ss8convwn1(stackScratch, sizeof stackScratch, value);
    if (len >= sizeof stackScratch) {
        /* Without memory the cut stack text is printed. */
        heapScratch = (char*)malloc_d(len + 1);
        if (heapScratch) {
            TRACE_ASSERT_AS(ss8convw(heapScratch, value) == len,
                            "(sswconv8(data8,dataw)) == (len)");
            text = heapScratch;
        }
    }
    TracePrint(client, channel, text);
    free_d(heapScratch);
}

void TraceVprintfW(TRCLIENT client, TRCHANNEL channel, const wchar_t* format, va_list args)
{
    wchar_t stackScratch[trace_stack_wide_size];
    wchar_t* heapScratch = 0;
    const wchar_t* text = stackScratch;
    size_t len;
    va_list measureArgs;

    va_copy(measureArgs, args);
    len = sswformatvn(stackScratch, trace_stack_wide_size, format, measureArgs);
    va_end(measureArgs);
    if (len >= trace_stack_wide_size) {
        heapScratch = (wchar_t*)malloc_d((len + 1) * sizeof(wchar_t));
        if (heapScratch) {
            TRACE_ASSERT_AS(sswformatv(heapScratch, format, args) == len,
                            "(sswformatv(data,format,args)) == (len)");
            text = heapScratch;
        }
    }
    TracePrintW(client, channel, text);
    free_d(heapScratch);
}
