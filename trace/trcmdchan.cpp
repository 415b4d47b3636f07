// trcmdchan.cpp - how the trace command reaches channels: attaching, the
// channel list and name resolution, reading one line, and the reader
// cursor with its lost-line accounting, and the follow loop.
//
// All access goes through the attached export table. Lines come in batches
// of up to TRACEIO_MAX_BATCH bytes (trreadlines); a batch that starts past
// the line wanted tells how many fell out of the ring since the line-range
// query, and the cursor counts them as lost. Without batch reads, and for a
// line longer than a batch, lines are read one per request: first into a
// 128-byte buffer (the driver serves that from its stack, so short lines
// cost no allocation in the kernel); a line that filled it is read again
// into a buffer big enough for any line. A single read that returns less
// than a stamp means the line is no longer held, and counts as lost.
// Single-threaded; no lock.
#include "trcmd.h"

#include <cstring>

#include "qperr.h"
#include "qpsys.h"
#include "sstring.h"

namespace {

UTDEF(ut_no_driver, "trcmd_error_no_driver",
      "ERROR: The trace driver is not reachable. Start it with: %1\n");
// Root starts the driver directly; everyone else through the execution
// service, which the installer has approve the start tool.
constexpr const char* start_command_root = "trstart sysstart";
constexpr const char* start_command_user = "qpsysexec start /usr/local/bin/trstart sysstart";
UTDEF(ut_unknown_channel, "trcmd_error_unknown_channel",
      "ERROR: There is no trace channel \"%1\". See: %(command_name) list\n");
UTDEF(ut_unreadable, "trcmd_error_unreadable",
      "ERROR: Channel %1 cannot be read any more (was the trace driver stopped?).\n");
UTDEF(ut_started_over, "trcmd_note_started_over",
      "NOTE: Channel %1 started over (was the trace driver loaded again?).\n");
UTDEF(ut_lost, "trcmd_note_lost",
      "NOTE: %1 lines lost on channel %2 (dropped from the ring before they were read).\n");

bool trcmd_table_complete(const TRACEEXPORTS* table)
{
    return table && table->trlist && table->trread && table->trinfo && table->tropen &&
           table->trprint && table->trreset;
}

// The characters a read wrote, terminator excluded, or 0 for a line that
// is not held.
size_t trcmd_read_into(size_t channel, size_t line, char* buffer, size_t size)
{
    size_t result =
        traceExports->trread(traceClient, trcmd_channel(channel), line, buffer, size);
    if (result > size)
        result = size;
    return result > trcmd_stamp_len() ? result - 1 : 0;
}

void trcmd_put_line(trcmd_cursor_t* cursor, trcmd_out_t* out, size_t line, const char* text,
                    size_t length)
{
    if (cursor->prefix)
        trcmd_out_bytes(out, cursor->prefix, strlen(cursor->prefix));
    if (cursor->numbered) {
        char number[24];
        trcmd_number_text(number, line);
        trcmd_out_bytes(out, number, strlen(number));
        trcmd_out_bytes(out, " ", 1);
    }
    trcmd_out_bytes(out, text, length);
    trcmd_out_bytes(out, "\n", 1);
}

void trcmd_report_lost(trcmd_cursor_t* cursor, trcmd_out_t* out, size_t count)
{
    char number[24];
    cursor->lost += count;
    trcmd_say2(out, ut_lost.tid, trcmd_number_text(number, count), cursor->name);
}

// Prints the lines of one batch read from cursor->next on, below limit.
// The lines printed, or -1 when the next line needs a single read: batches
// are missing (from then on the reader does without), or the line is
// longer than a batch.
long trcmd_pump_batch(trcmd_cursor_t* cursor, trcmd_reader_t* reader, trcmd_out_t* out,
                      size_t limit)
{
    if (!reader->batch && !reader->no_batches) {
        reader->batch = static_cast<char*>(malloc_d(TRACEIO_MAX_BATCH));
        reader->no_batches = !reader->batch;
    }
    if (reader->no_batches)
        return -1;
    size_t count = 0, next_line = cursor->next;
    if (trreadlines(trcmd_channel(cursor->channel), cursor->next, reader->batch,
                    TRACEIO_MAX_BATCH, &count, &next_line)) {
        reader->no_batches = 1;
        return -1;
    }
    size_t first = next_line - count;
    if (next_line < count || first < cursor->next)
        return -1; // an answer that makes no sense: read on line by line
    if (first > cursor->next) {
        // Dropped from the ring since the line-range query.
        size_t skipped_end = first < limit ? first : limit;
        trcmd_report_lost(cursor, out, skipped_end - cursor->next);
        cursor->next = skipped_end;
    } else if (!count) {
        return -1; // longer than a batch
    }
    long printed = 0;
    const char* line = reader->batch;
    for (size_t k = 0; k < count && cursor->next < limit; k++) {
        size_t length = strlen(line);
        trcmd_put_line(cursor, out, cursor->next++, line, length);
        line += length + 1;
        printed++;
    }
    return printed;
}

// The length of the well-formed UTF-8 character at c, 0 when there is
// none: no overlong forms (an overlong "\xc1\x9b" is a raw CSI byte to some
// terminals), surrogates or values past U+10FFFF. Stops at a terminator.
size_t trcmd_utf8_length(const unsigned char* c)
{
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    size_t len;
    uint32_t cp;
    if (c[0] < 0x80)
        return 1;
    if (c[0] >= 0xC2 && c[0] <= 0xDF)
        len = 2, cp = c[0] & 0x1Fu;
    else if (c[0] >= 0xE0 && c[0] <= 0xEF)
        len = 3, cp = c[0] & 0x0Fu;
    else if (c[0] >= 0xF0 && c[0] <= 0xF4)
        len = 4, cp = c[0] & 0x07u;
    else
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((c[i] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (c[i] & 0x3Fu);
    }
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// The printable form of a name into dest (never longer than the name):
// C0 and C1 control characters, DEL and bytes that are not well-formed
// UTF-8 become '?'. Returns the position after its terminator.
char* trcmd_show_name(char* dest, const char* name)
{
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c;) {
        size_t len = trcmd_utf8_length(c);
        bool control = (len == 1 && (c[0] < 0x20 || c[0] == 0x7F)) ||
                       (len == 2 && c[0] == 0xC2 && c[1] < 0xA0);
        if (!len || control) {
            *dest++ = '?';
            c += len ? len : 1;
        } else {
            memcpy(dest, c, len);
            dest += len;
            c += len;
        }
    }
    *dest++ = 0;
    return dest;
}

} // namespace

size_t trcmd_stamp_len(void)
{
    return traceExports && traceExports->timeStampLen ? traceExports->timeStampLen
                                                       : size_t(TRACETIMESTAMPLEN);
}

void trcmd_report_unreadable(trcmd_out_t* out, const char* name)
{
    trcmd_say1(out, ut_unreadable.tid, name);
}

int trcmd_attach(trcmd_out_t* out)
{
    trautoattach();
    if (trcmd_table_complete(traceExports))
        return 0;
    trcmd_say1(out, ut_no_driver.tid,
               env_is_user_privileged() ? start_command_root : start_command_user);
    return 1;
}

void trcmd_list_load(trcmd_list_t* list)
{
    list->count = 0;
    memset(list->names, 0, sizeof list->names);
    size_t size = traceExports->trlist(traceClient, list->names, sizeof list->names);
    if (size > sizeof list->names)
        size = sizeof list->names;
    // Names follow each other with a 0 byte each; an empty name ends them.
    // The last byte of the buffer stays 0, so a cut list still ends.
    char* shown = list->shown_names;
    for (size_t pos = 0; pos + 1 < size && list->names[pos];) {
        if (list->count == TRACEANCHOR_MAXCHANNELS)
            break;
        list->shown[list->count] = shown;
        shown = trcmd_show_name(shown, list->names + pos);
        list->name[list->count++] = list->names + pos;
        pos += strlen(list->names + pos) + 1;
    }
}

int trcmd_parse_count(const char* text, size_t* value)
{
    size_t result = 0;
    if (!text || !*text)
        return 0;
    for (const char* c = text; *c; c++) {
        if (*c < '0' || *c > '9')
            return 0;
        size_t digit = size_t(*c - '0');
        if (result > (SIZE_MAX - digit) / 10)
            return 0;
        result = result * 10 + digit;
    }
    *value = result;
    return 1;
}

size_t trcmd_list_find(const trcmd_list_t* list, const char* word)
{
    for (size_t i = 0; i < list->count; i++) {
        if (!ss8asciicmpi(list->name[i], word))
            return i + 1;
    }
    size_t number = 0;
    if (trcmd_parse_count(word, &number) && number >= 1 && number <= list->count)
        return number;
    return 0;
}

size_t trcmd_resolve(trcmd_out_t* out, const trcmd_list_t* list, const char* word)
{
    size_t channel = trcmd_list_find(list, word);
    if (!channel)
        trcmd_say1(out, ut_unknown_channel.tid, word);
    return channel;
}

void trcmd_reader_init(trcmd_reader_t* reader)
{
    reader->big = nullptr;
    reader->batch = nullptr;
    reader->no_batches = 0;
    reader->no_waits = 0;
}

void trcmd_reader_term(trcmd_reader_t* reader)
{
    free_d(reader->big);
    free_d(reader->batch);
    reader->big = nullptr;
    reader->batch = nullptr;
}

const char* trcmd_read_line(trcmd_reader_t* reader, size_t channel, size_t line, size_t* length)
{
    *length = trcmd_read_into(channel, line, reader->small, sizeof reader->small);
    if (*length + 1 < sizeof reader->small)
        return *length ? reader->small : nullptr;
    // The line filled the small buffer: it may have been cut.
    if (!reader->big)
        reader->big = static_cast<char*>(malloc_d(trcmd_read_big));
    if (!reader->big)
        return reader->small;
    *length = trcmd_read_into(channel, line, reader->big, trcmd_read_big);
    return *length ? reader->big : nullptr;
}

void trcmd_cursor_init(trcmd_cursor_t* cursor, size_t channel, const char* name)
{
    cursor->channel = channel;
    cursor->name = name;
    cursor->prefix = nullptr;
    cursor->numbered = 0;
    cursor->next = 0;
    cursor->stop = SIZE_MAX;
    cursor->lost = 0;
}

long trcmd_cursor_pump(trcmd_cursor_t* cursor, trcmd_reader_t* reader, trcmd_out_t* out)
{
    long printed = 0;
    size_t failed_line = SIZE_MAX; // a read failed here once already
    for (;;) {
        size_t start = 0, end = 0;
        traceExports->trinfo(traceClient, trcmd_channel(cursor->channel), &start, &end, nullptr);
        if (!end)
            return -1; // a live channel always has its line in progress, end >= 1
        size_t limit = end < cursor->stop ? end : cursor->stop;
        if (cursor->next > end) {
            // Line numbers only grow while the driver lives: this is a new
            // channel under the old number.
            trcmd_say1(out, ut_started_over.tid, cursor->name);
            cursor->next = start;
        }
        if (cursor->next < start) {
            size_t skipped_end = start < limit ? start : limit;
            if (skipped_end > cursor->next)
                trcmd_report_lost(cursor, out, skipped_end - cursor->next);
            cursor->next = start;
        }
        if (cursor->next >= limit)
            return printed;
        while (cursor->next < limit) {
            long batched = trcmd_pump_batch(cursor, reader, out, limit);
            if (batched >= 0) {
                printed += batched;
                continue;
            }
            size_t length = 0;
            const char* text = trcmd_read_line(reader, cursor->channel, cursor->next, &length);
            if (!text && failed_line != cursor->next) {
                failed_line = cursor->next;
                break; // dropped since the query: ask again
            }
            if (text) {
                trcmd_put_line(cursor, out, cursor->next, text, length);
                printed++;
            } else {
                // Still held, yet unreadable twice (the request itself
                // fails): skip it rather than loop on it.
                trcmd_report_lost(cursor, out, 1);
            }
            cursor->next++;
        }
        if (cursor->next >= limit)
            return printed;
    }
}

// Sleeps in the driver until the cursor's next line is complete, the
// channel is reset or a slice passes. 0 when the driver cannot wait (from
// then on the reader polls), else 1.
int trcmd_sleep_for_lines(trcmd_cursor_t* cursor, trcmd_reader_t* reader)
{
    size_t start, end;
    int err = trwait(trcmd_channel(cursor->channel), cursor->next, trcmd_wait_slice_msecs,
                     &start, &end);
    if (err && err != err_timeout && err != err_interrupt)
        reader->no_waits = 1;
    return !reader->no_waits;
}

int trcmd_follow(trcmd_cursor_t* cursors, size_t count, trcmd_reader_t* reader,
                 trcmd_out_t* out, trcmd_wait_t wait, void* wait_param)
{
    int pause_msecs = 0;
    if (!traceExports->trwait)
        reader->no_waits = 1;
    for (;;) {
        long printed = 0;
        for (size_t i = 0; i < count; i++) {
            long lines = trcmd_cursor_pump(&cursors[i], reader, out);
            if (lines < 0) {
                trcmd_report_unreadable(out, cursors[i].name);
                trcmd_out_flush(out);
                return 1;
            }
            printed += lines;
        }
        if (count == 1 && !reader->no_waits) {
            trcmd_out_flush(out);
            if (out->failed)
                return 1;
            // Lines came: let more gather for a millisecond (none after a
            // full batch) before looking again, so that a busy writer finds
            // nobody asleep to wake and the reader reads in big batches.
            // None: sleep in the driver until one comes.
            if (printed) {
                if (!wait(wait_param, printed >= trcmd_follow_batch ? 0 : 1))
                    return 0;
                continue;
            }
            if (!wait(wait_param, 0))
                return 0;
            if (trcmd_sleep_for_lines(&cursors[0], reader))
                continue;
        }
        // Polling. A full batch: more are waiting, read on at once (the
        // output is written when the buffer fills). A few lines: let more
        // gather for a millisecond, so that a busy channel costs one read
        // per line and little else. None: back off.
        if (printed >= trcmd_follow_batch)
            pause_msecs = 0;
        else if (printed)
            pause_msecs = 1;
        else
            pause_msecs = pause_msecs ? pause_msecs * 2 : 1;
        if (pause_msecs > trcmd_idle_msecs)
            pause_msecs = trcmd_idle_msecs;
        if (pause_msecs)
            trcmd_out_flush(out);
        if (out->failed)
            return 1; // nobody reads what follows
        if (!wait(wait_param, pause_msecs))
            return 0;
    }
}
