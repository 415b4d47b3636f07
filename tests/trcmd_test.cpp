// Tests of the trace command's units against the in-process trace API
// (channel list and resolution, the reader cursor with its lost-line
// accounting, the follow loop's polling), and of the program itself on a
// machine without the driver.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "trcmd.h"

// The attach code is not linked here: the tests attach the in-process
// table themselves.
extern "C" int trautoattach(void)
{
    return traceExports != nullptr;
}

namespace {

class TraceCommand : public testing::Test {
protected:
    static void SetUpTestSuite() { trbuffer_initializer(); }
    void SetUp() override
    {
        traceExports = &traceexports1;
        traceClient = traceexports1.trattach();
        file = tmpfile();
        ASSERT_NE(nullptr, file);
        out = static_cast<trcmd_out_t*>(malloc_d(sizeof(trcmd_out_t)));
        trcmd_out_init(out, fileno(file));
        trcmd_reader_init(&reader);
    }
    void TearDown() override
    {
        trcmd_reader_term(&reader);
        free_d(out);
        fclose(file);
        traceExports = nullptr;
        traceClient = nullptr;
    }
    // Everything printed so far.
    std::string Output()
    {
        trcmd_out_flush(out);
        std::string text;
        char chunk[4096];
        lseek(fileno(file), 0, SEEK_SET);
        for (ssize_t n; (n = read(fileno(file), chunk, sizeof chunk)) > 0;)
            text.append(chunk, size_t(n));
        return text;
    }
    // The output's lines with their stamps cut off (notes stay whole).
    std::vector<std::string> Texts()
    {
        std::vector<std::string> texts;
        std::string all = Output();
        for (size_t pos = 0, end; (end = all.find('\n', pos)) != std::string::npos; pos = end + 1) {
            std::string line = all.substr(pos, end - pos);
            bool stamped = line.size() >= TRACETIMESTAMPLEN && line[6] == '.' &&
                           line[TRACETIMESTAMPLEN - 1] == ' ';
            texts.push_back(stamped ? line.substr(TRACETIMESTAMPLEN) : line);
        }
        return texts;
    }
    // A table as an older library has it: no waits, no batch reads.
    void UseOlderTable()
    {
        older = traceexports1;
        older.trwait = nullptr;
        older.trreadlines = nullptr;
        traceExports = &older;
    }
    TRACEEXPORTS older;
    static size_t Open(const char* name)
    {
        return size_t(uintptr_t(TraceOpen(nullptr, name)));
    }
    static void Print(size_t channel, const char* text)
    {
        TracePrint(nullptr, trcmd_channel(channel), text);
    }
    static void Range(size_t channel, size_t* start, size_t* end)
    {
        TraceInfo(nullptr, trcmd_channel(channel), start, end, nullptr);
    }
    FILE* file = nullptr;
    trcmd_out_t* out = nullptr;
    trcmd_reader_t reader;
};

// Names resolve without regard to ASCII case, then numbers; a name that
// looks like a number wins over the number; nothing else resolves.
TEST_F(TraceCommand, ChannelWordsResolveByNameThenNumber)
{
    size_t alpha = Open("cmd.Alpha");
    size_t numeric = Open("1");
    trcmd_list_t* list = static_cast<trcmd_list_t*>(malloc_d(sizeof(trcmd_list_t)));
    trcmd_list_load(list);
    ASSERT_GE(list->count, 3u);
    EXPECT_STREQ("traces", list->name[0]);
    EXPECT_STREQ("cmd.Alpha", list->name[alpha - 1]);
    EXPECT_EQ(alpha, trcmd_list_find(list, "CMD.ALPHA"));
    EXPECT_EQ(numeric, trcmd_list_find(list, "1"));
    EXPECT_EQ(alpha, trcmd_list_find(list, std::to_string(alpha).c_str()));
    std::string past_the_end = std::to_string(list->count + 1);
    for (const char* nothing : {"", "0", "cmd.alph", "cmd.Alpha ", "99999999999999999999",
                                past_the_end.c_str(), "-1", "+2"})
        EXPECT_EQ(0u, trcmd_list_find(list, nothing)) << "[" << nothing << "]";
    EXPECT_EQ(0u, trcmd_resolve(out, list, "cmd.nosuch"));
    free_d(list);
    EXPECT_EQ("ERROR: There is no trace channel \"cmd.nosuch\". See: command_name list\n",
              Output());
}

// A name is shown without its control characters and invalid bytes (they
// could drive the terminal of whoever lists it), and still resolves as it
// was created.
TEST_F(TraceCommand, HostileNamesAreShownHarmless)
{
    const char* hostile = "cmd.\x1b[2J\r\n\x7f\xc2\x9b\xff.\xc3\xa9";
    size_t channel = Open(hostile);
    trcmd_list_t* list = static_cast<trcmd_list_t*>(malloc_d(sizeof(trcmd_list_t)));
    trcmd_list_load(list);
    ASSERT_GE(list->count, channel);
    EXPECT_STREQ(hostile, list->name[channel - 1]);
    EXPECT_STREQ("cmd.?[2J?????.\xc3\xa9", list->shown[channel - 1]);
    EXPECT_STREQ("traces", list->shown[0]);
    EXPECT_EQ(channel, trcmd_list_find(list, hostile));
    EXPECT_EQ(0u, trcmd_list_find(list, list->shown[channel - 1]));
    // Overlong forms (of a NUL, of CSI), surrogates, values past U+10FFFF,
    // stray and cut sequences; well-formed characters of every length stay.
    const struct {
        const char* name;
        const char* shown;
    } forms[] = {{"cmd.o\xc0\x80", "cmd.o??"},
                 {"cmd.c\xc1\x9b", "cmd.c??"},
                 {"cmd.e\xe0\x80\x80", "cmd.e???"},
                 {"cmd.s\xed\xa0\x80", "cmd.s???"},
                 {"cmd.p\xf4\x90\x80\x80", "cmd.p????"},
                 {"cmd.x\x80\xfe", "cmd.x??"},
                 {"cmd.t\xe2\x82", "cmd.t??"},
                 {"cmd.k\xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80",
                  "cmd.k\xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80"}};
    for (auto& form : forms) {
        size_t number = Open(form.name);
        trcmd_list_load(list);
        ASSERT_GE(list->count, number) << form.shown;
        EXPECT_STREQ(form.shown, list->shown[number - 1]);
    }
    free_d(list);
}

// Counts are plain decimal digits that fit; everything else is refused.
TEST_F(TraceCommand, CountsAreStrictDecimal)
{
    struct {
        const char* text;
        int ok;
        size_t value;
    } cases[] = {{"0", 1, 0},
                 {"0042", 1, 42},
                 {"18446744073709551615", 1, SIZE_MAX},
                 {"18446744073709551616", 0, 0},
                 {"", 0, 0},
                 {"-1", 0, 0},
                 {" 1", 0, 0},
                 {"1x", 0, 0},
                 {"0x10", 0, 0}};
    for (auto& c : cases) {
        size_t value = 7;
        EXPECT_EQ(c.ok, trcmd_parse_count(c.text, &value)) << c.text;
        EXPECT_EQ(c.ok ? c.value : 7, value) << c.text;
    }
    EXPECT_EQ(0, trcmd_parse_count(nullptr, nullptr));
}

// The line in progress is never printed; once complete it is printed once,
// The reading tests run with batch reads and, as with an older library,
// line by line; both must print the same.
class TraceCommandReads : public TraceCommand, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        TraceCommand::SetUp();
        if (!GetParam())
            UseOlderTable();
    }
    // Channels live as long as the process: each run has its own.
    size_t Open(const char* name)
    {
        return TraceCommand::Open((std::string(name) + (GetParam() ? ".batches" : ".lines")).c_str());
    }
};
INSTANTIATE_TEST_SUITE_P(BatchesAndSingleReads, TraceCommandReads, testing::Bool());

// with the text of every piece, and numbered and prefixed when asked.
TEST_P(TraceCommandReads, CursorPrintsEachCompleteLineOnce)
{
    size_t channel = Open("cmd.pieces");
    Print(channel, "first\nsec");
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, "cmd.pieces");
    EXPECT_EQ(2, trcmd_cursor_pump(&cursor, &reader, out));
    EXPECT_EQ(0, trcmd_cursor_pump(&cursor, &reader, out));
    Print(channel, "ond\n");
    cursor.prefix = "[p] ";
    cursor.numbered = 1;
    EXPECT_EQ(1, trcmd_cursor_pump(&cursor, &reader, out));
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ("", texts[0]);
    EXPECT_EQ("first", texts[1]);
    // Prefix, number, then the line as the driver returns it.
    EXPECT_EQ(0u, texts[2].find("[p] 2 ")) << texts[2];
    EXPECT_EQ(6 + TRACETIMESTAMPLEN + 6, texts[2].size()) << texts[2];
    EXPECT_EQ("second", texts[2].substr(texts[2].size() - 6));
    EXPECT_EQ(0u, cursor.lost);
}

// A line longer than the small read buffer comes back whole.
TEST_P(TraceCommandReads, LongLinesAreReadWhole)
{
    size_t channel = Open("cmd.long");
    std::string text(70000, 'q');
    Print(channel, (text + "\n").c_str());
    size_t start, end, length = 0;
    Range(channel, &start, &end);
    const char* line = trcmd_read_line(&reader, channel, end - 1, &length);
    ASSERT_NE(nullptr, line);
    // A write keeps 65,536 bytes; the line is cut there by a forced line feed.
    EXPECT_EQ(TRACETIMESTAMPLEN + TRACEBUFFER_MAXWRITE, length);
    EXPECT_EQ(std::string(TRACEBUFFER_MAXWRITE, 'q'),
              std::string(line + TRACETIMESTAMPLEN, length - TRACETIMESTAMPLEN));
    EXPECT_EQ(nullptr, trcmd_read_line(&reader, channel, end + 5, &length));
    EXPECT_EQ(0u, length);
}

// Lines that fell out of the ring are reported once, and lines printed plus
// lines reported lost cover every line number passed.
TEST_P(TraceCommandReads, DroppedLinesAreCountedOnce)
{
    size_t channel = Open("cmd.wrap");
    for (int n = 1; n <= 3 * TRACEBUFFER_INDEXSIZE; n++)
        Print(channel, ("w " + std::to_string(n) + "\n").c_str());
    size_t start, end;
    Range(channel, &start, &end);
    ASSERT_GT(start, 0u);
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, "cmd.wrap");
    long printed = trcmd_cursor_pump(&cursor, &reader, out);
    EXPECT_EQ(start, cursor.lost);
    EXPECT_EQ(end, size_t(printed) + cursor.lost);
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(size_t(printed) + 1, texts.size());
    EXPECT_EQ("NOTE: " + std::to_string(start) +
                  " lines lost on channel cmd.wrap (dropped from the ring before they were read).",
              texts[0]);
    EXPECT_EQ("w " + std::to_string(start), texts[1]);
    EXPECT_EQ("w " + std::to_string(end - 1), texts.back());
}

// A reset moves the oldest line past the reader: the line ended by the
// reset is counted lost and the reset line is printed.
TEST_P(TraceCommandReads, ResetSkipsAhead)
{
    size_t channel = Open("cmd.reset");
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, "cmd.reset");
    Print(channel, "kept\n");
    EXPECT_EQ(2, trcmd_cursor_pump(&cursor, &reader, out));
    Print(channel, "cut off");
    TraceReset(nullptr, trcmd_channel(channel));
    Print(channel, "after\n");
    EXPECT_EQ(2, trcmd_cursor_pump(&cursor, &reader, out));
    EXPECT_EQ(1u, cursor.lost);
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(5u, texts.size());
    EXPECT_EQ(0u, texts[2].find("NOTE: 1 lines lost on channel cmd.reset"));
    EXPECT_EQ("", texts[3]); // the reset line: its stamp alone
    EXPECT_EQ("after", texts[4]);
}

// A stop sets just past the range; a channel that reads as zeros (the
// driver went away) ends the pump with -1.
TEST_P(TraceCommandReads, CursorStopsAtItsRangeAndAtAnUnknownChannel)
{
    size_t channel = Open("cmd.range");
    for (int n = 1; n <= 5; n++)
        Print(channel, ("r " + std::to_string(n) + "\n").c_str());
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, "cmd.range");
    cursor.next = 2;
    cursor.stop = 4;
    EXPECT_EQ(2, trcmd_cursor_pump(&cursor, &reader, out));
    EXPECT_EQ(std::vector<std::string>({"r 2", "r 3"}), Texts());
    trcmd_cursor_init(&cursor, TRACEANCHOR_MAXCHANNELS + 1, "gone");
    EXPECT_EQ(-1, trcmd_cursor_pump(&cursor, &reader, out));
}

// A cursor past the newest line reads a channel that began again (the
// driver was loaded anew): it says so and starts from its oldest line.
TEST_P(TraceCommandReads, CursorPastTheEndStartsOver)
{
    size_t channel = Open("cmd.again");
    Print(channel, "one\n");
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, "cmd.again");
    cursor.next = 50;
    EXPECT_EQ(2, trcmd_cursor_pump(&cursor, &reader, out));
    EXPECT_EQ(std::vector<std::string>(
                  {"NOTE: Channel cmd.again started over (was the trace driver loaded again?).", "",
                   "one"}),
              Texts());
    EXPECT_EQ(0u, cursor.lost);
}

// The follow loop's script: lines written between polls, the pauses it
// asks for, and the end it takes when told to stop.
struct FollowScript {
    size_t channel;
    std::vector<int> pauses;
    int polls_left;
};

int FollowWait(void* param, int msecs)
{
    FollowScript* script = static_cast<FollowScript*>(param);
    script->pauses.push_back(msecs);
    if (script->pauses.size() == 3)
        TracePrint(nullptr, trcmd_channel(script->channel), "late\n");
    return --script->polls_left > 0;
}

// Without waits follow polls again soon after lines, backs off by doubling
// to 200 ms when idle, starts over when a line comes, and ends with 0 when
// told to stop.
TEST_F(TraceCommand, FollowBacksOffWhenIdle)
{
    UseOlderTable();
    size_t channel = Open("cmd.follow");
    Print(channel, "early\n");
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, "cmd.follow");
    FollowScript script = {channel, {}, 14};
    EXPECT_EQ(0, trcmd_follow(&cursor, 1, &reader, out, FollowWait, &script));
    EXPECT_EQ(std::vector<int>({1, 2, 4, 1, 2, 4, 8, 16, 32, 64, 128, 200, 200, 200}),
              script.pauses);
    EXPECT_EQ(std::vector<std::string>({"", "early", "late"}), Texts());
}

int FollowOnce(void* param, int msecs)
{
    static_cast<std::vector<int>*>(param)->push_back(msecs);
    return 0;
}

// A full batch of waiting lines makes follow read on at once.
TEST_F(TraceCommand, FollowReadsOnAfterAFullBatch)
{
    UseOlderTable();
    size_t channel = Open("cmd.batch");
    for (int n = 0; n < trcmd_follow_batch; n++)
        Print(channel, "b\n");
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, "cmd.batch");
    std::vector<int> pauses;
    EXPECT_EQ(0, trcmd_follow(&cursor, 1, &reader, out, FollowOnce, &pauses));
    EXPECT_EQ(std::vector<int>({0}), pauses);
    EXPECT_EQ(size_t(trcmd_follow_batch) + 1, Texts().size());
}

// A stand-in for the driver's wait: records what follow waits for, and a
// line arrives during the second sleep.
struct SleepScript {
    size_t channel;
    int answer; // what the wait answers
    std::vector<size_t> lines;
    std::vector<int> slices;
    std::vector<int> stop_checks;
};
SleepScript* sleepScript;

int SleepWait(TRCLIENT, TRCHANNEL channel, size_t line, int msecs, size_t* start, size_t* end)
{
    sleepScript->lines.push_back(line);
    sleepScript->slices.push_back(msecs);
    if (sleepScript->lines.size() == 2)
        TracePrint(nullptr, channel, "woken\n");
    TraceInfo(nullptr, channel, start, end, nullptr);
    return sleepScript->answer;
}

int SleepStopCheck(void* param, int msecs)
{
    auto* script = static_cast<SleepScript*>(param);
    script->stop_checks.push_back(msecs);
    return script->stop_checks.size() < 4;
}

// One channel sleeps in the driver for the line after the newest complete
// one, a slice at a time, looking for a stop signal before each sleep; a
// wait that the driver refuses (22) turns follow to polling.
TEST_F(TraceCommand, FollowSleepsInTheDriverForTheNextLine)
{
    size_t channel = Open("cmd.sleep");
    Print(channel, "before\n");
    TRACEEXPORTS table = traceexports1;
    table.trwait = SleepWait;
    traceExports = &table;
    SleepScript script = {channel, 110, {}, {}, {}};
    sleepScript = &script;
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, "cmd.sleep");
    EXPECT_EQ(0, trcmd_follow(&cursor, 1, &reader, out, SleepStopCheck, &script));
    EXPECT_EQ(std::vector<size_t>({2, 2}), script.lines);
    EXPECT_EQ(std::vector<int>(2, trcmd_wait_slice_msecs), script.slices);
    // After lines a pause of 1 ms lets more gather; before each sleep a
    // look at the stop signals.
    EXPECT_EQ(std::vector<int>({1, 0, 0, 1}), script.stop_checks);
    EXPECT_EQ(std::vector<std::string>({"", "before", "woken"}), Texts());

    SleepScript refused = {channel, 22, {}, {}, {}};
    sleepScript = &refused;
    trcmd_reader_term(&reader);
    trcmd_reader_init(&reader);
    cursor.next = 3;
    EXPECT_EQ(0, trcmd_follow(&cursor, 1, &reader, out, SleepStopCheck, &refused));
    EXPECT_EQ(1u, refused.lines.size());
    EXPECT_EQ(std::vector<int>({0, 1, 2, 4}), refused.stop_checks);
    sleepScript = nullptr;
}

int FollowForever(void*, int)
{
    return 1;
}

// A channel that cannot be read ends follow with 1 and an error line.
TEST_F(TraceCommand, FollowEndsWhenAChannelIsGone)
{
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, TRACEANCHOR_MAXCHANNELS + 1, "gone");
    EXPECT_EQ(1, trcmd_follow(&cursor, 1, &reader, out, FollowForever, nullptr));
    EXPECT_EQ("ERROR: Channel gone cannot be read any more (was the trace driver stopped?).\n",
              Output());
}

// Output nobody reads any more (a closed pipe, SIGPIPE ignored) ends
// follow with 1 instead of following on forever.
TEST_F(TraceCommand, FollowEndsWhenTheOutputFails)
{
    size_t channel = Open("cmd.closed");
    Print(channel, "unread\n");
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    close(ends[0]);
    void (*before)(int) = signal(SIGPIPE, SIG_IGN);
    trcmd_out_init(out, ends[1]);
    trcmd_cursor_t cursor;
    trcmd_cursor_init(&cursor, channel, "cmd.closed");
    EXPECT_EQ(1, trcmd_follow(&cursor, 1, &reader, out, FollowForever, nullptr));
    EXPECT_EQ(1, out->failed);
    signal(SIGPIPE, before);
    close(ends[1]);
}

// Output keeps order across the buffer's edge and passes big pieces whole.
TEST_F(TraceCommand, OutputKeepsOrderAcrossFlushes)
{
    std::string expected;
    for (int i = 0; i < 3000; i++) {
        std::string piece = std::to_string(i) + std::string(size_t(i % 50), '.') + "\n";
        trcmd_out_bytes(out, piece.data(), piece.size());
        expected += piece;
    }
    std::string big(3 * trcmd_out_size, 'b');
    trcmd_out_bytes(out, big.data(), big.size());
    trcmd_say1(out, "WARNING: %1\n", "end");
    EXPECT_EQ(expected + big + "WARNING: end\n", Output());
    EXPECT_EQ(0, out->failed);
}

// SIGINT and SIGTERM arrive through the descriptor; when it cannot be
// made they stay unblocked, so that they still end the program.
TEST(TraceCommandSignals, StopSignalsAreBlockedOnlyWithTheirDescriptor)
{
    sigset_t before, now;
    sigprocmask(SIG_SETMASK, nullptr, &before);
    rlimit files;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &files));
    int lowest_free = open("/dev/null", O_RDONLY);
    ASSERT_GE(lowest_free, 0);
    close(lowest_free);
    rlimit none = {rlim_t(lowest_free), files.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
    int refused = trcmd_stop_signals_open();
    setrlimit(RLIMIT_NOFILE, &files);
    EXPECT_EQ(-1, refused);
    sigprocmask(SIG_SETMASK, nullptr, &now);
    EXPECT_FALSE(sigismember(&now, SIGINT));
    EXPECT_FALSE(sigismember(&now, SIGTERM));

    int fd = trcmd_stop_signals_open();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(1, trcmd_stop_signals_wait(&fd, 0));
    kill(getpid(), SIGTERM);
    EXPECT_EQ(0, trcmd_stop_signals_wait(&fd, 1000));
    signalfd_siginfo taken;
    EXPECT_EQ(ssize_t(sizeof taken), read(fd, &taken, sizeof taken));
    EXPECT_EQ(uint32_t(SIGTERM), taken.ssi_signo);
    trcmd_stop_signals_close(fd);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

// Runs the program; its output and exit status.
std::string RunProgram(const std::string& args, int* status)
{
    std::string output;
    FILE* pipe = popen((std::string(TRCMD_PROGRAM) + " " + args + " 2>&1").c_str(), "r");
    char chunk[512];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, n);
    int raw = pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

// Without the driver every command says so in one error line and fails;
// argument warnings come first, help still works.
TEST(TraceCommandProgram, WithoutTheDriverEveryCommandFails)
{
    const std::string no_driver =
        "ERROR: The trace driver is not reachable. Start it with: trstart sysstart\n";
    int status = 0;
    for (const char* args : {"list", "show traces", "follow traces", "print traces hello",
                             "info 1", "reset traces", "LIST"}) {
        EXPECT_EQ(no_driver, RunProgram(args, &status)) << args;
        EXPECT_EQ(1, status) << args;
    }
    EXPECT_EQ("WARNING: Unknown switch \"-z\" ignored.\nWARNING: Surplus argument \"4\" "
              "ignored.\n" +
                  no_driver,
              RunProgram("show -z a 2 3 4", &status));
    EXPECT_EQ(1, status);
    EXPECT_EQ("ERROR: Name a channel. For help run: trcmd show -h\n", RunProgram("show", &status));
    EXPECT_EQ(1, status);
    EXPECT_EQ("ERROR: \"x\" is not a number.\n", RunProgram("follow -t x a", &status));
    EXPECT_EQ(1, status);
    std::string help = RunProgram("follow -h", &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(0u, help.find("syntax: trcmd follow [-t <n>] [-l] <channel>")) << help;
    EXPECT_EQ("23X\n", RunProgram("version", &status));
    EXPECT_EQ(0u, RunProgram("nosuch", &status).find("ERROR: Unknown command \"nosuch\"."));
    EXPECT_EQ(255, status);
}

} // namespace
