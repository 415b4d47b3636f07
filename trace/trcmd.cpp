// trcmd.cpp - the trace command: lists, shows, follows, writes, describes
// and resets trace channels through the attached trace library.
//
//   trcmd list | show [-l] <ch> [<first> [<count>]] | follow [-t <n>] [-l] <ch>...
//         print <ch> <text>... | info <ch> | reset <ch>
//
// A command handler scans its arguments (unknown switches and surplus
// arguments are warned about and ignored), attaches, resolves channels
// through the channel list and works on trcmd_cursor_t readers
// (trcmdchan.cpp). Only print may create a channel, and only under a name
// that is not a number. Every visible text is a user text; channel lines are
// printed as the driver returns them. Exit status: 0 done, 1 an error line
// was printed or the output could not be written, 255 an unknown command.
#include <cstring>
#include <unistd.h>

#include "qppolymain8.h"
#include "sstring.h"
#include "trcmd.h"

namespace {

UTDEF(ut_warn_switch, "trcmd_warning_unknown_switch", "WARNING: Unknown switch \"%1\" ignored.\n");
UTDEF(ut_warn_surplus, "trcmd_warning_surplus_argument",
      "WARNING: Surplus argument \"%1\" ignored.\n");
UTDEF(ut_missing_channel, "trcmd_error_missing_channel",
      "ERROR: Name a channel. For help run: %(command_name) %1 -h\n");
UTDEF(ut_missing_text, "trcmd_error_missing_text",
      "ERROR: Nothing to print. For help run: %(command_name) %1 -h\n");
UTDEF(ut_missing_value, "trcmd_error_missing_value", "ERROR: Switch %1 needs a number.\n");
UTDEF(ut_bad_number, "trcmd_error_bad_number", "ERROR: \"%1\" is not a number.\n");
UTDEF(ut_open_failed, "trcmd_error_open_failed",
      "ERROR: Channel \"%1\" could not be created (200 channels or the names area full).\n");
UTDEF(ut_not_held, "trcmd_note_not_held",
      "NOTE: Lines %2 to %3 of channel %1 are no longer held.\n");
UTDEF(ut_nothing_in_range, "trcmd_note_nothing_in_range",
      "NOTE: Channel %1 has no complete line from line %2 on (it holds lines %3 to %4).\n");
UTDEF(ut_list_row, "trcmd_list_row", "%1  %2  %3  %4\n");
UTDEF(ut_list_col_number, "trcmd_list_column_number", "No.");
UTDEF(ut_list_col_name, "trcmd_list_column_name", "Channel");
UTDEF(ut_list_col_oldest, "trcmd_list_column_oldest", "Oldest");
UTDEF(ut_list_col_newest, "trcmd_list_column_newest", "Newest");
UTDEF(ut_info, "trcmd_info",
      "Channel: %1 (number %2)\nOldest line: %3\nNewest line: %4\n"
      "Line in progress: %5 characters\n");
UTDEF(ut_channel_prefix, "trcmd_channel_prefix", "[%1] ");

UTDEF(ut_list_short, "trcmd_list_short_help", "List the trace channels.\n");
UTDEF(ut_list_long, "trcmd_list_long_help",
      "syntax: %(command_name) %1\n"
      "Lists every trace channel: its number, its name and its oldest and newest line\n"
      "numbers (the newest line is the one in progress).\n");
UTDEF(ut_show_short, "trcmd_show_short_help", "Print the lines of a channel.\n");
UTDEF(ut_show_long, "trcmd_show_long_help",
      "syntax: %(command_name) %1 [-l] <channel> [<first> [<count>]]\n"
      "Prints the held lines of a channel from line <first> (default: the oldest held)\n"
      "for <count> lines (default: up to the newest complete line), each with its time\n"
      "stamp (seconds.microseconds of the monotonic clock).\n"
      "  -l  start each line with its line number\n"
      "A channel is named by its name (in any case) or by its number.\n");
UTDEF(ut_follow_short, "trcmd_follow_short_help", "Print the lines of channels as they come.\n");
UTDEF(ut_follow_long, "trcmd_follow_long_help",
      "syntax: %(command_name) %1 [-t <n>] [-l] <channel> [<channel> ...]\n"
      "Prints the held lines of the channels, then each new line once it is complete,\n"
      "until interrupted (Ctrl-C).\n"
      "  -t <n>  start with only the last <n> held lines of each channel\n"
      "  -l      start each line with its line number\n"
      "With several channels each line starts with [<name>]. Lines that fell out of a\n"
      "channel's ring before they could be read are counted in a NOTE line.\n");
UTDEF(ut_print_short, "trcmd_print_short_help", "Write a line into a channel.\n");
UTDEF(ut_print_long, "trcmd_print_long_help",
      "syntax: %(command_name) %1 <channel> <text> [...]\n"
      "Writes the text, its words joined by spaces, as one line into the channel. A\n"
      "channel name that does not exist yet creates the channel; a number must name an\n"
      "existing one. Everything after the channel is text, switches included.\n");
UTDEF(ut_info_short, "trcmd_info_short_help", "Show the line range of a channel.\n");
UTDEF(ut_info_long, "trcmd_info_long_help",
      "syntax: %(command_name) %1 <channel>\n"
      "Shows the oldest and newest line numbers of a channel and the length of its\n"
      "line in progress.\n");
UTDEF(ut_reset_short, "trcmd_reset_short_help", "Discard the lines of a channel.\n");
UTDEF(ut_reset_long, "trcmd_reset_long_help",
      "syntax: %(command_name) %1 <channel>\n"
      "Discards every line of a channel; the channel itself stays, with its number.\n");

enum { trcmd_max_words = TRACEANCHOR_MAXCHANNELS };

// The switches a command knows: "-l" (numbered) and "-t <n>" (tail).
enum { trcmd_switch_l = 1, trcmd_switch_t = 2 };

struct trcmd_args_t {
    int count;
    const char* word[trcmd_max_words];
    int numbered;
    int tail_set;
    size_t tail;
};

// A run of one command: its output and its channel list.
struct trcmd_run_t {
    trcmd_out_t out;
    trcmd_list_t list;
};

int trcmd_end(trcmd_run_t* run, int status)
{
    trcmd_out_flush(&run->out);
    // Lines that could not be written (a full disk, a pipe closed while
    // SIGPIPE is ignored) fail the command.
    if (run->out.failed)
        status = 1;
    free_d(run);
    return status;
}

// Reads the value of "-t": "-t 20" or "-t20". 1 on success.
int trcmd_scan_tail(trcmd_out_t* out, int argc, char** argv, int* i, trcmd_args_t* args)
{
    const char* value = argv[*i][2] ? argv[*i] + 2 : (*i + 1 < argc ? argv[++*i] : nullptr);
    if (!value) {
        trcmd_say1(out, ut_missing_value.tid, "-t");
        return 0;
    }
    if (!trcmd_parse_count(value, &args->tail)) {
        trcmd_say1(out, ut_bad_number.tid, value);
        return 0;
    }
    args->tail_set = 1;
    return 1;
}

// Splits argv[1..] into switches and at most max_words words (argv[0] is
// the command word). "--" ends the switches. 1 on success, 0 after an error
// line.
int trcmd_scan(trcmd_out_t* out, int argc, char** argv, int switches, int max_words,
               trcmd_args_t* args)
{
    memset(args, 0, sizeof *args);
    int words_only = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (!words_only && arg[0] == '-' && arg[1]) {
            if (!strcmp(arg, "--"))
                words_only = 1;
            else if ((switches & trcmd_switch_l) && !strcmp(arg, "-l"))
                args->numbered = 1;
            else if ((switches & trcmd_switch_t) && !strncmp(arg, "-t", 2)) {
                if (!trcmd_scan_tail(out, argc, argv, &i, args))
                    return 0;
            } else
                trcmd_say1(out, ut_warn_switch.tid, arg);
        } else if (args->count < max_words)
            args->word[args->count++] = arg;
        else
            trcmd_say1(out, ut_warn_surplus.tid, arg);
    }
    return 1;
}

// Starts a command: scans, checks that a channel is named, attaches and
// loads the channel list. Null after an error line (status 1).
trcmd_run_t* trcmd_begin(int argc, char** argv, int switches, int max_words, trcmd_args_t* args)
{
    trcmd_run_t* run = static_cast<trcmd_run_t*>(malloc_d(sizeof(trcmd_run_t)));
    if (!run)
        return nullptr;
    trcmd_out_init(&run->out, 1);
    int ok = trcmd_scan(&run->out, argc, argv, switches, max_words, args);
    if (ok && max_words && !args->count) {
        trcmd_say1(&run->out, ut_missing_channel.tid, argv[0]);
        ok = 0;
    }
    if (ok && !trcmd_attach(&run->out)) {
        trcmd_list_load(&run->list);
        return run;
    }
    trcmd_end(run, 1);
    return nullptr;
}

// trcmd_begin for a command whose first word names a channel: resolves it
// into *channel. Null after an error line (status 1).
trcmd_run_t* trcmd_begin_channel(int argc, char** argv, int switches, int max_words,
                                 trcmd_args_t* args, size_t* channel)
{
    trcmd_run_t* run = trcmd_begin(argc, argv, switches, max_words, args);
    if (!run)
        return nullptr;
    *channel = trcmd_resolve(&run->out, &run->list, args->word[0]);
    if (*channel)
        return run;
    trcmd_end(run, 1);
    return nullptr;
}

void trcmd_info_of(size_t channel, size_t* start, size_t* end, size_t* end_len)
{
    *start = *end = 0;
    if (end_len)
        *end_len = 0;
    traceExports->trinfo(traceClient, trcmd_channel(channel), start, end, end_len);
}

// Characters of a UTF-8 text (what a terminal column count is near to).
size_t trcmd_text_width(const char* text)
{
    size_t width = 0;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; c++)
        width += (*c & 0xC0) != 0x80;
    return width;
}

// text padded to width, on the left (right-aligned) or the right.
const char* trcmd_pad(malloc_i* ma, const char* text, size_t width, int right_align)
{
    size_t have = trcmd_text_width(text), len = strlen(text);
    size_t pad = have < width ? width - have : 0;
    char* padded = static_cast<char*>(ma_alloc(ma, len + pad + 1));
    if (!padded)
        return text;
    memset(padded, ' ', len + pad);
    memcpy(padded + (right_align ? pad : 0), text, len);
    return padded;
}

size_t trcmd_max(size_t a, size_t b)
{
    return a > b ? a : b;
}

// One row of the listing, every field padded to its column.
void trcmd_list_row_out(trcmd_out_t* out, malloc_i* ma, const char* const* fields,
                        const size_t* widths)
{
    const char* padded[4];
    for (int col = 0; col < 4; col++)
        padded[col] = trcmd_pad(ma, fields[col], widths[col], col != 1);
    trcmd_say(out, ut_list_row.tid, 4, padded);
}

int run_list(int argc, char** argv)
{
    trcmd_args_t args;
    trcmd_run_t* run = trcmd_begin(argc, argv, 0, 0, &args);
    if (!run)
        return 1;
    qp_mp_t mp;
    mp_t_init(&mp);
    malloc_i* ma = mp_t_ma(&mp);
    size_t rows = run->list.count + 1;
    const char** fields = static_cast<const char**>(ma_alloc(ma, rows * 4 * sizeof(char*)));
    size_t widths[4] = {0, 0, 0, 0};
    if (fields) {
        fields[0] = UtGet0(ma, ut_list_col_number.tid);
        fields[1] = UtGet0(ma, ut_list_col_name.tid);
        fields[2] = UtGet0(ma, ut_list_col_oldest.tid);
        fields[3] = UtGet0(ma, ut_list_col_newest.tid);
        for (size_t row = 1; row < rows; row++) {
            size_t start, end;
            trcmd_info_of(row, &start, &end, nullptr);
            fields[row * 4 + 0] = ss8fromintm(ma, int64_t(row), 0, 0);
            fields[row * 4 + 1] = run->list.shown[row - 1];
            fields[row * 4 + 2] = ss8fromintm(ma, int64_t(start), 0, 0);
            fields[row * 4 + 3] = ss8fromintm(ma, int64_t(end), 0, 0);
        }
        for (size_t i = 0; i < rows * 4; i++) {
            fields[i] = fields[i] ? fields[i] : "";
            widths[i % 4] = trcmd_max(widths[i % 4], trcmd_text_width(fields[i]));
        }
        for (size_t row = 0; row < rows; row++)
            trcmd_list_row_out(&run->out, ma, fields + row * 4, widths);
    }
    mp_t_term(&mp);
    return trcmd_end(run, 0);
}

// Parses the optional number word i of args into *value; 1 when absent or
// valid, 0 after an error line.
int trcmd_number_word(trcmd_out_t* out, const trcmd_args_t* args, int i, size_t* value)
{
    if (i >= args->count)
        return 1;
    if (trcmd_parse_count(args->word[i], value))
        return 1;
    trcmd_say1(out, ut_bad_number.tid, args->word[i]);
    return 0;
}

// Prints a note about lines a to b of a channel (the line range query's
// numbers in c and d where the text names them).
void trcmd_note_range(trcmd_out_t* out, const char* tid, const char* name, size_t a, size_t b,
                      size_t c, size_t d)
{
    char numbers[4][24];
    const char* fields[5] = {name, trcmd_number_text(numbers[0], a),
                             trcmd_number_text(numbers[1], b), trcmd_number_text(numbers[2], c),
                             trcmd_number_text(numbers[3], d)};
    trcmd_say(out, tid, 5, fields);
}

// Prints the lines of one cursor once; 1 when the channel was unreadable.
int trcmd_pump_once(trcmd_cursor_t* cursor, trcmd_out_t* out)
{
    trcmd_reader_t reader;
    trcmd_reader_init(&reader);
    long printed = trcmd_cursor_pump(cursor, &reader, out);
    trcmd_reader_term(&reader);
    if (printed >= 0)
        return 0;
    trcmd_report_unreadable(out, cursor->name);
    return 1;
}

int run_show(int argc, char** argv)
{
    trcmd_args_t args;
    size_t channel, start, end, first = 0, count = SIZE_MAX;
    trcmd_run_t* run = trcmd_begin_channel(argc, argv, trcmd_switch_l, 3, &args, &channel);
    if (!run)
        return 1;
    trcmd_info_of(channel, &start, &end, nullptr);
    first = start;
    if (!trcmd_number_word(&run->out, &args, 1, &first) ||
        !trcmd_number_word(&run->out, &args, 2, &count))
        return trcmd_end(run, 1);
    const char* name = run->list.shown[channel - 1];
    size_t stop = first < end && count < end - first ? first + count : end;
    if (first < start && first < stop)
        trcmd_note_range(&run->out, ut_not_held.tid, name, first,
                         (start < stop ? start : stop) - 1, 0, 0);
    if (first >= end) {
        if (count)
            trcmd_note_range(&run->out, ut_nothing_in_range.tid, name, first, start, end - 1, 0);
        return trcmd_end(run, 0);
    }
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, name);
    cursor.numbered = args.numbered;
    cursor.next = first > start ? first : start;
    cursor.stop = stop;
    return trcmd_end(run, trcmd_pump_once(&cursor, &run->out));
}

// The cursors of follow, one per distinct channel named.
size_t trcmd_follow_cursors(trcmd_run_t* run, const trcmd_args_t* args, malloc_i* ma,
                            trcmd_cursor_t* cursors)
{
    size_t count = 0;
    for (int i = 0; i < args->count; i++) {
        size_t channel = trcmd_resolve(&run->out, &run->list, args->word[i]);
        if (!channel)
            return 0;
        int seen = 0;
        for (size_t j = 0; j < count; j++)
            seen |= cursors[j].channel == channel;
        if (seen)
            continue;
        trcmd_cursor_t* cursor = &cursors[count++];
        trcmd_cursor_init(cursor, channel, run->list.shown[channel - 1]);
        cursor->numbered = args->numbered;
        size_t start, end;
        trcmd_info_of(channel, &start, &end, nullptr);
        cursor->next = args->tail_set && end - start > args->tail ? end - args->tail : start;
    }
    if (count > 1) {
        for (size_t j = 0; j < count; j++)
            cursors[j].prefix = UtGet1(ma, ut_channel_prefix.tid, cursors[j].name);
    }
    return count;
}

// Waits without a stop descriptor: only the pause (the signals then end the
// program by their default action).
int trcmd_plain_wait(void*, int msecs)
{
    usleep(useconds_t(msecs) * 1000);
    return 1;
}

int run_follow(int argc, char** argv)
{
    trcmd_args_t args;
    trcmd_run_t* run = trcmd_begin(argc, argv, trcmd_switch_l | trcmd_switch_t,
                                   trcmd_max_words, &args);
    if (!run)
        return 1;
    qp_mp_t mp;
    mp_t_init(&mp);
    trcmd_cursor_t* cursors = static_cast<trcmd_cursor_t*>(
        ma_alloc(mp_t_ma(&mp), sizeof(trcmd_cursor_t) * trcmd_max_words));
    size_t count = cursors ? trcmd_follow_cursors(run, &args, mp_t_ma(&mp), cursors) : 0;
    int status = 1;
    if (count) {
        trcmd_reader_t reader;
        trcmd_reader_init(&reader);
        int stop_fd = trcmd_stop_signals_open();
        if (stop_fd >= 0)
            status = trcmd_follow(cursors, count, &reader, &run->out, trcmd_stop_signals_wait,
                                  &stop_fd);
        else
            status = trcmd_follow(cursors, count, &reader, &run->out, trcmd_plain_wait, nullptr);
        trcmd_stop_signals_close(stop_fd);
        trcmd_reader_term(&reader);
    }
    mp_t_term(&mp);
    return trcmd_end(run, status);
}

// Hands the text to the channel in pieces the driver takes whole (a write
// keeps at most 65,536 bytes), cut between characters.
void trcmd_print_text(TRCHANNEL channel, char* text, size_t len)
{
    while (len) {
        size_t piece = len;
        if (piece > TRACEBUFFER_MAXWRITE) {
            piece = TRACEBUFFER_MAXWRITE;
            while (piece > 1 && (static_cast<unsigned char>(text[piece]) & 0xC0) == 0x80)
                piece--;
        }
        char kept = text[piece];
        text[piece] = 0;
        trprint(channel, text);
        text[piece] = kept;
        text += piece;
        len -= piece;
    }
}

// The channel print writes to: an existing one, else a new one under a
// name that is not a number. 0 after an error line.
TRCHANNEL trcmd_print_channel(trcmd_run_t* run, const char* word)
{
    size_t number = trcmd_list_find(&run->list, word);
    if (number)
        return trcmd_channel(number);
    size_t ignored;
    if (trcmd_parse_count(word, &ignored)) {
        trcmd_resolve(&run->out, &run->list, word);
        return nullptr;
    }
    TRCHANNEL channel = tropen(word);
    if (!channel)
        trcmd_say1(&run->out, ut_open_failed.tid, word);
    return channel;
}

int run_print(int argc, char** argv)
{
    // Switches are scanned only up to the channel ("--" ends them, so that
    // a channel name may start with '-'): the rest is text.
    int channel_at = 1;
    while (channel_at < argc && argv[channel_at][0] == '-' && argv[channel_at][1]) {
        if (!strcmp(argv[channel_at++], "--"))
            break;
    }
    trcmd_args_t args;
    trcmd_run_t* run = trcmd_begin(channel_at + 1 < argc ? channel_at + 1 : argc, argv, 0, 1,
                                   &args);
    if (!run)
        return 1;
    if (channel_at + 1 >= argc) {
        trcmd_say1(&run->out, ut_missing_text.tid, argv[0]);
        return trcmd_end(run, 1);
    }
    TRCHANNEL channel = trcmd_print_channel(run, args.word[0]);
    if (!channel)
        return trcmd_end(run, 1);
    size_t len = 0;
    for (int i = channel_at + 1; i < argc; i++)
        len += strlen(argv[i]) + 1;
    char* text = static_cast<char*>(malloc_d(len + 1));
    if (!text)
        return trcmd_end(run, 1);
    size_t pos = 0;
    for (int i = channel_at + 1; i < argc; i++) {
        size_t word_len = strlen(argv[i]);
        memcpy(text + pos, argv[i], word_len);
        pos += word_len;
        text[pos++] = i + 1 < argc ? ' ' : '\n';
    }
    text[pos] = 0;
    trcmd_print_text(channel, text, len);
    free_d(text);
    return trcmd_end(run, 0);
}

int run_info(int argc, char** argv)
{
    trcmd_args_t args;
    size_t channel, start, end, end_len;
    trcmd_run_t* run = trcmd_begin_channel(argc, argv, 0, 1, &args, &channel);
    if (!run)
        return 1;
    trcmd_info_of(channel, &start, &end, &end_len);
    size_t stamp = trcmd_stamp_len();
    char n[4][24];
    const char* fields[5] = {run->list.shown[channel - 1], trcmd_number_text(n[0], channel),
                             trcmd_number_text(n[1], start), trcmd_number_text(n[2], end),
                             trcmd_number_text(n[3], end_len > stamp ? end_len - stamp : 0)};
    trcmd_say(&run->out, ut_info.tid, 5, fields);
    return trcmd_end(run, 0);
}

int run_reset(int argc, char** argv)
{
    trcmd_args_t args;
    size_t channel;
    trcmd_run_t* run = trcmd_begin_channel(argc, argv, 0, 1, &args, &channel);
    if (!run)
        return 1;
    trreset(trcmd_channel(channel));
    return trcmd_end(run, 0);
}

declare_main8_c decl_list(nullptr, "list", run_list, ut_list_short.tid, ut_list_long.tid);
declare_main8_c decl_show(nullptr, "show", run_show, ut_show_short.tid, ut_show_long.tid);
declare_main8_c decl_follow(nullptr, "follow", run_follow, ut_follow_short.tid,
                            ut_follow_long.tid);
declare_main8_c decl_print(nullptr, "print", run_print, ut_print_short.tid, ut_print_long.tid);
declare_main8_c decl_info(nullptr, "info", run_info, ut_info_short.tid, ut_info_long.tid);
declare_main8_c decl_reset(nullptr, "reset", run_reset, ut_reset_short.tid, ut_reset_long.tid);

int main8(int argc, char** argv8)
{
    return poly_main8(nullptr, argc - 1, argv8 + 1, env_get_command(),
                      "Trace Tool - Velkor Trace Tool", QP_BUILD_TAG, QP_COPYRIGHT_LINE);
}

} // namespace

int main(int argc, char** argv)
{
    return poly_main_entry(argc, argv, main8);
}
