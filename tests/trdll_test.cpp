// Tests of the trace API (trace/trdll, trace/trwide), the request decoder
// (trace/trreceive) and the export table (trace/trexports) over the
// process's anchor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "qperr.h"
#include "traceio.h"
#include "traces.h"

namespace {

class TraceApi : public testing::Test {
protected:
    static void SetUpTestSuite() { trbuffer_initializer(); }

    static TRCHANNEL Open(const char* name) { return TraceOpen(nullptr, name); }

    static size_t EndLine(TRCHANNEL channel)
    {
        size_t end = 0;
        TraceInfo(nullptr, channel, nullptr, &end, nullptr);
        return end;
    }
    // The text of a line without its stamp ("" when it cannot be read).
    static std::string ReadText(TRCHANNEL channel, size_t line)
    {
        std::vector<char> out(200000);
        size_t written = TraceRead(nullptr, channel, line, out.data(), out.size());
        std::string full(out.data());
        EXPECT_EQ(full.size() + 1, written);
        return full.size() >= TRACETIMESTAMPLEN ? full.substr(TRACETIMESTAMPLEN) : "";
    }
    static std::string LastText(TRCHANNEL channel) { return ReadText(channel, EndLine(channel) - 1); }

    static void Printf(TRCHANNEL channel, const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        TraceVprintf(nullptr, channel, format, args);
        va_end(args);
    }
    static void PrintfW(TRCHANNEL channel, const wchar_t* format, ...)
    {
        va_list args;
        va_start(args, format);
        TraceVprintfW(nullptr, channel, format, args);
        va_end(args);
    }
};

// Opening finds the default channel under every spelling of "traces" and
// creates a new name once; dup, close and default change nothing.
TEST_F(TraceApi, OpensChannelsByName)
{
    EXPECT_EQ(TRCHANNEL(1), Open(nullptr));
    EXPECT_EQ(TRCHANNEL(1), Open(""));
    EXPECT_EQ(TRCHANNEL(1), Open("Traces"));
    TRCHANNEL c = Open("api.open");
    EXPECT_GT(intptr_t(c), 1);
    EXPECT_EQ(c, Open("API.OPEN"));
    EXPECT_EQ(c, TraceOpenW(nullptr, L"Api.Open"));
    EXPECT_EQ(TRCHANNEL(1), TraceOpenW(nullptr, nullptr));
    EXPECT_EQ(c, TraceDup(nullptr, c));
    TraceClose(nullptr, c);
    TraceDefault(nullptr, c);
    EXPECT_EQ(c, Open("api.open"));
    EXPECT_EQ(TRCLIENT(1), TraceAttach());
}

// Unknown channels: prints and resets do nothing, info is zeros, a read is
// an empty string (1) or nothing at all without room (0).
TEST_F(TraceApi, UnknownChannelsAreQuiet)
{
    TRCHANNEL unknown = TRCHANNEL(201);
    TracePrint(nullptr, unknown, "lost\n");
    TraceReset(nullptr, unknown);
    size_t start = 7, end = 7, endLen = 7;
    TraceInfo(nullptr, unknown, &start, &end, &endLen);
    EXPECT_EQ(0u, start + end + endLen);
    char out[10];
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(1u, TraceRead(nullptr, unknown, 1, out, sizeof out));
    EXPECT_EQ(0, out[0]);
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(0u, TraceRead(nullptr, unknown, 1, out, 0));
    EXPECT_EQ('z', out[0]);
    EXPECT_EQ(0u, TraceRead(nullptr, TRCHANNEL(0), 1, nullptr, 10));
    TracePrint(nullptr, TRCHANNEL(1), nullptr);
}

// A read answers the characters written with the terminator, or the room
// when the line was cut.
TEST_F(TraceApi, ReadCountsWhatItWrote)
{
    TRCHANNEL c = Open("api.read");
    TracePrint(nullptr, c, "0123456789\n");
    size_t line = EndLine(c) - 1;
    char out[64];
    EXPECT_EQ(25u, TraceRead(nullptr, c, line, out, sizeof out));
    EXPECT_EQ(20u, TraceRead(nullptr, c, line, out, 20));
    EXPECT_EQ(19u, std::strlen(out));
    EXPECT_EQ(1u, TraceRead(nullptr, c, line, out, 14));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(1u, TraceRead(nullptr, c, line + 5, out, sizeof out));
}

// Listing copies the names that fit, skips the rest and ends with an empty
// name.
TEST_F(TraceApi, ListSkipsNamesThatDoNotFit)
{
    Open("api.list.a");
    char out[16000];
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(8u, TraceList(nullptr, out, 8));
    EXPECT_EQ(0, std::memcmp(out, "traces\0\0", 8));
    EXPECT_EQ('z', out[8]);
    EXPECT_EQ(1u, TraceList(nullptr, out, 1));
    EXPECT_EQ(0u, TraceList(nullptr, out, 0));
    EXPECT_EQ(0u, TraceList(nullptr, nullptr, 100));
    size_t all = TraceList(nullptr, out, sizeof out);
    EXPECT_EQ(0, out[all - 1]);
    EXPECT_EQ(0, out[all - 2]);
    EXPECT_STREQ("traces", out);
    bool found = false;
    for (const char* name = out; *name; name += std::strlen(name) + 1)
        found = found || std::string(name) == "api.list.a";
    EXPECT_TRUE(found);

    // The wide list holds the same names; a short one keeps what fits.
    std::vector<wchar_t> wide(16000);
    EXPECT_EQ(all, TraceListW(nullptr, wide.data(), wide.size()));
    for (size_t i = 0; i < all; i++)
        ASSERT_EQ(wchar_t(out[i]), wide[i]) << i;
    EXPECT_EQ(8u, TraceListW(nullptr, wide.data(), 8));
    EXPECT_EQ(0, std::wmemcmp(wide.data(), L"traces\0\0", 8));
    EXPECT_EQ(1u, TraceListW(nullptr, wide.data(), 1));
    EXPECT_EQ(0u, TraceListW(nullptr, wide.data(), 0));
}

size_t CountAllocations(const std::function<void()>& action);
extern size_t allocationBytes;

// A new channel costs its buffer object from the debug heap (ring and
// index come from the page allocator); opening it again costs nothing.
TEST_F(TraceApi, NewChannelAllocatesOnlyItsObject)
{
    EXPECT_EQ(1u, CountAllocations([] { Open("api.memory"); }));
    EXPECT_EQ(sizeof(TraceBuffer), allocationBytes);
    EXPECT_EQ(0u, CountAllocations([] { Open("API.memory"); }));
    TraceBuffer* tb = TraceAnchor_GetBuffer(&traceAnchor, Open("api.memory"));
    ASSERT_NE(nullptr, tb);
    EXPECT_EQ(size_t(TRACEBUFFER_DATASIZE), tb->dataSize);
    EXPECT_EQ(size_t(TRACEBUFFER_INDEXSIZE), tb->indexSize);
}

// A write whose length is not the text's length is a programming error.
TEST_F(TraceApi, WriteWithWrongLengthStops)
{
    TraceBuffer* tb = TraceAnchor_GetBuffer(&traceAnchor, Open("api.death"));
    const char text[] = "abc\0\0";
    EXPECT_DEATH(TraceBuffer_Write(tb, text, 5), "inLen == ss8len");
    EXPECT_DEATH(TraceBuffer_Write(tb, text, 2), "inLen == ss8len");
}

// Formatting stays on the stack up to 299 bytes and goes through the heap
// from 300 bytes on; long texts arrive whole.
TEST_F(TraceApi, FormatsIntoStackOrHeap)
{
    TRCHANNEL c = Open("api.printf");
    std::string t299(299 - 1, 'x'), t300(300 - 1, 'y');
    EXPECT_EQ(0u, CountAllocations([&] { Printf(c, "%s\n", t299.c_str()); }));
    EXPECT_EQ(t299, LastText(c));
    EXPECT_EQ(1u, CountAllocations([&] { Printf(c, "%s\n", t300.c_str()); }));
    EXPECT_EQ(t300, LastText(c));
    std::string big(20000, 'q');
    Printf(c, "%s %d %08X\n", big.c_str(), -5, 0xBEEFu);
    EXPECT_EQ(big + " -5 0000BEEF", LastText(c));
}

// Wide prints and wide formatting arrive as UTF-8, short and long.
TEST_F(TraceApi, WideTextArrivesAsUtf8)
{
    TRCHANNEL c = Open("api.wide");
    TracePrintW(nullptr, c, L"gr\u00FC\u00DF \u65E5\u672C\n");
    EXPECT_EQ("gr\xC3\xBC\xC3\x9F \xE6\x97\xA5\xE6\x9C\xAC", LastText(c));
    std::wstring longWide(200, L'\u00E9');
    TracePrintW(nullptr, c, (longWide + L"\n").c_str());
    std::string longUtf8;
    for (int i = 0; i < 200; i++)
        longUtf8 += "\xC3\xA9";
    EXPECT_EQ(longUtf8, LastText(c));
    PrintfW(c, L"%d:%s\n", 42, L"\u00E9t\u00E9");
    EXPECT_EQ("42:\xC3\xA9t\xC3\xA9", LastText(c));
    PrintfW(c, L"%s\n", longWide.c_str());
    EXPECT_EQ(longUtf8, LastText(c));
    TracePrintW(nullptr, c, nullptr);
}

// The reference conversion of a line read in UTF-8: one unit per character,
// cut to the room.
std::wstring Widen(const std::string& utf8, size_t maxChars)
{
    std::wstring out;
    for (size_t i = 0; i < utf8.size() && out.size() + 1 < maxChars;) {
        unsigned char lead = utf8[i];
        int len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t cp = len == 1 ? lead : lead & (0x7F >> len);
        for (int k = 1; k < len; k++)
            cp = (cp << 6) | (utf8[i + k] & 0x3F);
        out += wchar_t(cp);
        i += size_t(len);
    }
    return out;
}

// Wide reads at every room size, across the stack-scratch boundary, never
// write past the room and always hold the converted prefix of the line.
TEST_F(TraceApi, WideReadsAtEveryRoomSize)
{
    TRCHANNEL c = Open("api.readw");
    std::string text;
    for (int i = 0; i < 300; i++)
        text += i % 3 == 0 ? "a" : i % 3 == 1 ? "\xC3\xA9" : "\xF0\x9F\x98\x80";
    std::string ascii(700, 'k');
    for (const std::string& body : {text, ascii}) {
        TracePrint(nullptr, c, (body + "\n").c_str());
        size_t line = EndLine(c) - 1;
        std::vector<char> narrow(4096);
        TraceRead(nullptr, c, line, narrow.data(), narrow.size());
        std::wstring full = Widen(narrow.data(), SIZE_MAX);
        for (size_t room = 0; room <= full.size() + 3; room++) {
            std::vector<wchar_t> out(room + 4, L'#');
            size_t written = TraceReadW(nullptr, c, line, out.data(), room);
            std::wstring expected = room ? Widen(narrow.data(), room) : L"";
            ASSERT_EQ(room ? expected.size() + 1 : 0, written) << room;
            if (room) {
                ASSERT_EQ(expected, std::wstring(out.data())) << room;
                ASSERT_EQ(0, out[expected.size()]);
            }
            for (size_t k = room; k < out.size(); k++)
                ASSERT_EQ(L'#', out[k]) << "room " << room;
        }
    }
    wchar_t one[2] = {L'#', L'#'};
    EXPECT_EQ(1u, TraceReadW(nullptr, TRCHANNEL(201), 1, one, 1));
    EXPECT_EQ(0, one[0]);
    EXPECT_EQ(0u, TraceReadW(nullptr, c, 1, nullptr, 5));
}

// Reset through the API leaves only the reset line.
TEST_F(TraceApi, ResetStartsTheChannelAfresh)
{
    TRCHANNEL c = Open("api.reset");
    TracePrint(nullptr, c, "before\n");
    TraceReset(nullptr, c);
    size_t start, end, endLen;
    TraceInfo(nullptr, c, &start, &end, &endLen);
    EXPECT_EQ(start + 1, end);
    EXPECT_EQ(0u, endLen);
    EXPECT_EQ("", ReadText(c, start));
    EXPECT_EQ("", ReadText(c, start - 1));
}

// The export table has its tag, versions and every slot of this API.
TEST(TraceExports, TableHoldsTheApi)
{
    EXPECT_EQ(&traceexports1, traceExports_);
    EXPECT_EQ(TRACEEXPORTSTAG, traceexports1.tag);
    EXPECT_EQ(5, traceexports1.version);
    EXPECT_EQ(3, traceexports1.minCompatVersion);
    EXPECT_EQ(0u, traceexports1.timeStampLen);
    EXPECT_EQ(&TraceOpen, traceexports1.tropen);
    EXPECT_EQ(&TraceRead, traceexports1.trread);
    EXPECT_EQ(&TraceVprintfW, traceexports1.trvwprintf);
    EXPECT_EQ(&TraceWait, traceexports1.trwait);
    EXPECT_EQ(&TraceReadLines, traceexports1.trreadlines);
    EXPECT_EQ(nullptr, traceexports1.reserved1);
    for (void* reserved : traceexports1.reserved4)
        EXPECT_EQ(nullptr, reserved);
}

// ---- request decoder ----------------------------------------------------

// One request on one buffer for input and output, with a guard zone after
// the room; the result, the output size and the output bytes.
struct Request {
    std::vector<unsigned char> buffer;
    size_t outputSize = 77;
    int known = -1;
    static constexpr size_t kGuard = 64;

    Request(int code, const void* input, size_t inputSize, size_t maxOutputSize)
    {
        size_t size = std::max(inputSize, maxOutputSize);
        buffer.assign(size + kGuard, 0xA5);
        if (inputSize)
            std::memcpy(buffer.data(), input, inputSize);
        known = TraceReceive(nullptr, code, buffer.data(), inputSize, buffer.data(), maxOutputSize,
                             &outputSize);
        for (size_t k = size; k < buffer.size(); k++)
            EXPECT_EQ(0xA5, buffer[k]) << "code " << code << " wrote past the room";
        EXPECT_LE(outputSize, maxOutputSize) << "code " << code;
    }
    int64_t Int64(size_t offset) const
    {
        int64_t value;
        std::memcpy(&value, buffer.data() + offset, 8);
        return value;
    }
};

std::vector<unsigned char> ChannelRecord(int64_t channel, uint64_t line = 0, const std::string& text = "")
{
    std::vector<unsigned char> record(16);
    std::memcpy(record.data(), &channel, 8);
    std::memcpy(record.data() + 8, &line, 8);
    record.resize(text.empty() ? 16 : 8);
    record.insert(record.end(), text.begin(), text.end());
    return record;
}

// Known codes answer 1, others 0; close, default and crash produce nothing.
TEST_F(TraceApi, ReceiveKnowsItsFunctionCodes)
{
    for (int code : {14, 15, 75, 77, -1, 1000}) {
        Request r(code, nullptr, 0, 64);
        EXPECT_EQ(0, r.known) << code;
        EXPECT_EQ(0u, r.outputSize) << code;
    }
    auto record = ChannelRecord(1);
    for (int code : {TRACEIOCLOSE, TRACEIODEFAULT, TRACEIOCRASH}) {
        Request r(code, record.data(), 8, 64);
        EXPECT_EQ(1, r.known) << code;
        EXPECT_EQ(0u, r.outputSize) << code;
    }
}

// The version answer is 8 or 32 bytes by the room, nothing below 8.
TEST_F(TraceApi, ReceiveAnswersTheVersion)
{
    struct {
        size_t room, size;
    } cases[] = {{0, 0}, {7, 0}, {8, 8}, {16, 8}, {31, 8}, {32, 32}, {100, 32}};
    for (const auto& c : cases) {
        Request r(TRACEIOGETVERSION, nullptr, 0, c.room);
        EXPECT_EQ(1, r.known);
        ASSERT_EQ(c.size, r.outputSize) << c.room;
        if (c.size >= 8) {
            TRACEIOGETVERSIONRESULTS v{};
            std::memcpy(&v, r.buffer.data(), c.size);
            EXPECT_EQ(5, v.version);
            EXPECT_EQ(3, v.minCompatVersion);
            EXPECT_EQ(c.size == 32 ? 14u : 0u, v.timeStampLen);
            EXPECT_EQ(c.size == 32 ? uint64_t(uintptr_t(&traceexports1)) : 0u, v.exports);
        }
    }
}

// Every input check: a record that is too short, or a text without its
// terminator inside the input, is handled with no output and no effect.
TEST_F(TraceApi, ReceiveChecksEveryInput)
{
    TRCHANNEL c = Open("api.receive");
    int64_t channel = intptr_t(c);
    size_t endBefore = EndLine(c);
    struct {
        int code;
        std::vector<unsigned char> input;
        size_t room;
    } refused[] = {
        {TRACEIOOPEN, {}, 64},
        {TRACEIOOPEN, {'a', 'b'}, 64},
        {TRACEIOOPEN, {'a', 0}, 7},
        {TRACEIOOPENW, {'a', 0, 0}, 64},
        {TRACEIOOPENW, {'a', 0, 0, 0, 0, 0, 0}, 64}, // the zero unit lies past the last whole unit
        {TRACEIOOPENW, {0, 0, 0, 0}, 7},
        {TRACEIODUP, ChannelRecord(channel), 7},
        {TRACEIODUP, std::vector<unsigned char>(7, 1), 64},
        {TRACEIOINFO, ChannelRecord(channel), 23},
        {TRACEIOINFO, std::vector<unsigned char>(7, 1), 64},
        {TRACEIOREAD, std::vector<unsigned char>(15, 1), 64},
        {TRACEIOREADW, std::vector<unsigned char>(15, 1), 64},
        {TRACEIOPRINT, ChannelRecord(channel, 0, "text\n"), 0},
        {TRACEIOPRINT, std::vector<unsigned char>(7, 0), 0},
        {TRACEIOPRINTW, ChannelRecord(channel, 0, std::string("t\0\0\0\n\0\0", 7)), 0},
        {TRACEIORESET, std::vector<unsigned char>(7, 0), 0},
    };
    for (const auto& r : refused) {
        Request req(r.code, r.input.data(), r.input.size(), r.room);
        EXPECT_EQ(1, req.known) << r.code;
        EXPECT_EQ(0u, req.outputSize) << r.code << " input " << r.input.size();
    }
    EXPECT_EQ(endBefore, EndLine(c));
    EXPECT_EQ(0u, TraceAnchor_OpenChannel(&traceAnchor, "ab", nullptr));
}

// Accepted requests: open, dup, info, print, read, list and reset, each
// on one buffer for input and output.
TEST_F(TraceApi, ReceiveRunsEachCall)
{
    {
        const char name[] = "api.receive.open";
        Request r(TRACEIOOPEN, name, sizeof name, 8);
        ASSERT_EQ(8u, r.outputSize);
        EXPECT_EQ(intptr_t(Open(name)), r.Int64(0));
    }
    const std::wstring wideName = L"API.receive.OPEN";
    Request openW(TRACEIOOPENW, wideName.c_str(), (wideName.size() + 1) * 4, 8);
    ASSERT_EQ(8u, openW.outputSize);
    int64_t channel = openW.Int64(0);
    EXPECT_EQ(intptr_t(Open("api.receive.open")), channel);
    TRCHANNEL c = TRCHANNEL(intptr_t(channel));

    Request dup(TRACEIODUP, ChannelRecord(channel).data(), 8, 8);
    EXPECT_EQ(channel, dup.Int64(0));

    // The text ends at its first terminator; what follows it in the input
    // is not printed.
    size_t endBeforePrint = EndLine(c);
    auto print = ChannelRecord(channel, 0, std::string("printed\n\0after\n", 16));
    Request printed(TRACEIOPRINT, print.data(), print.size(), 0);
    EXPECT_EQ(0u, printed.outputSize);
    EXPECT_EQ("printed", LastText(c));
    EXPECT_EQ(endBeforePrint + 1, EndLine(c));
    std::u32string wideText = U"wide \u00E9\n";
    auto printW = ChannelRecord(channel, 0, std::string(reinterpret_cast<const char*>(wideText.c_str()),
                                                        (wideText.size() + 1) * 4));
    Request printedW(TRACEIOPRINTW, printW.data(), printW.size(), 0);
    EXPECT_EQ("wide \xC3\xA9", LastText(c));

    Request info(TRACEIOINFO, ChannelRecord(channel).data(), 8, 24);
    ASSERT_EQ(24u, info.outputSize);
    size_t start, end, endLen;
    TraceInfo(nullptr, c, &start, &end, &endLen);
    EXPECT_EQ(int64_t(start), info.Int64(0));
    EXPECT_EQ(int64_t(end), info.Int64(8));
    EXPECT_EQ(int64_t(endLen), info.Int64(16));

    auto readRecord = ChannelRecord(channel, end - 1);
    Request read(TRACEIOREAD, readRecord.data(), 16, 100);
    EXPECT_EQ(14u + 7 + 1, read.outputSize);
    EXPECT_STREQ("wide \xC3\xA9", reinterpret_cast<const char*>(read.buffer.data()) + 14);
    Request readCut(TRACEIOREAD, readRecord.data(), 16, 16);
    EXPECT_EQ(16u, readCut.outputSize);
    Request readW(TRACEIOREADW, readRecord.data(), 16, 100);
    EXPECT_EQ((14u + 6 + 1) * 4, readW.outputSize);
    Request readWOdd(TRACEIOREADW, readRecord.data(), 16, 19); // four whole units
    EXPECT_EQ(16u, readWOdd.outputSize);

    Request list(TRACEIOLIST, nullptr, 0, 8);
    EXPECT_EQ(8u, list.outputSize);
    EXPECT_EQ(0, std::memcmp(list.buffer.data(), "traces\0\0", 8));
    Request listW(TRACEIOLISTW, nullptr, 0, 35); // eight whole units
    EXPECT_EQ(32u, listW.outputSize);

    Request reset(TRACEIORESET, ChannelRecord(channel).data(), 8, 0);
    TraceInfo(nullptr, c, &start, &end, nullptr);
    EXPECT_EQ(start + 1, end);
}

} // namespace

// Allocations of the debug heap made by the action, counted with the
// heap's trace hook.
namespace {
size_t allocationCount;
size_t allocationBytes;
void CountAllocation(const char*, int, void*, size_t size)
{
    allocationCount++;
    allocationBytes += size;
}
size_t CountAllocations(const std::function<void()>& action)
{
    allocationCount = 0;
    allocationBytes = 0;
    debugheap_trace = CountAllocation;
    action();
    debugheap_trace = nullptr;
    return allocationCount;
}
} // namespace

namespace {

// The in-process wait answers at once: reached when the oldest held line or
// the newest complete one is at the line asked for, or a reset came since;
// timed out otherwise, with the range either way; unknown channels say so.
TEST_F(TraceApi, WaitAnswersAtOnceInProcess)
{
    TRCHANNEL c = Open("api.wait");
    TracePrint(nullptr, c, "one\ntwo\n");
    size_t start = 9, end = 9;
    EXPECT_EQ(0, TraceWait(nullptr, c, 2, 1000, &start, &end));
    EXPECT_EQ(0u, start);
    EXPECT_EQ(3u, end);
    EXPECT_EQ(err_timeout, TraceWait(nullptr, c, 3, -1, &start, &end));
    EXPECT_EQ(3u, end);
    EXPECT_EQ(err_timeout, TraceWait(nullptr, c, SIZE_MAX, 0, nullptr, nullptr));
    EXPECT_EQ(err_not_found, TraceWait(nullptr, TRCHANNEL(intptr_t(999)), 0, 0, &start, &end));
    EXPECT_EQ(0u, start);
    EXPECT_EQ(0u, end);
    EXPECT_EQ(err_not_found, TraceWait(nullptr, nullptr, 0, 0, &start, &end));
}

// Batch reads through the API: the lines of single reads, back to back;
// an unknown channel reads nothing and names the line asked for.
TEST_F(TraceApi, ReadLinesGivesTheLinesOfSingleReads)
{
    TRCHANNEL c = Open("api.readlines");
    TracePrint(nullptr, c, "alpha\nbeta\ngamma");
    char out[256];
    size_t count = 0, next = 0;
    ASSERT_EQ(0, TraceReadLines(nullptr, c, 1, out, sizeof out, &count, &next));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(3u, next);
    EXPECT_EQ("alpha", std::string(out + TRACETIMESTAMPLEN));
    const char* second = out + std::strlen(out) + 1;
    EXPECT_EQ("beta", std::string(second + TRACETIMESTAMPLEN));
    EXPECT_EQ(0, TraceReadLines(nullptr, TRCHANNEL(intptr_t(999)), 4, out, sizeof out, &count, &next));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(4u, next);
    EXPECT_EQ(0, TraceReadLines(nullptr, c, 0, out, sizeof out, nullptr, nullptr));
}

// The wait and read-lines requests: short records and rooms are refused
// without output; accepted ones answer their records, the read-lines
// output exactly the header and the whole lines.
TEST_F(TraceApi, ReceiveWaitsAndReadsLines)
{
    TRCHANNEL c = Open("api.receive.batch");
    int64_t channel = intptr_t(c);
    TracePrint(nullptr, c, "first\nsecond\n");
    TRACEIOWAITPARAMS wait = {channel, 2, 0};
    {
        Request shortInput(TRACEIOWAIT, &wait, sizeof wait - 1, 24);
        EXPECT_EQ(1, shortInput.known);
        EXPECT_EQ(0u, shortInput.outputSize);
        Request shortRoom(TRACEIOWAIT, &wait, sizeof wait, 23);
        EXPECT_EQ(0u, shortRoom.outputSize);
    }
    for (int64_t msecs : {int64_t(0), int64_t(-1), INT64_MIN, INT64_MAX}) {
        wait.msecs = msecs;
        Request r(TRACEIOWAIT, &wait, sizeof wait, 64);
        ASSERT_EQ(24u, r.outputSize);
        TRACEIOWAITRESULTS results;
        std::memcpy(&results, r.buffer.data(), sizeof results);
        EXPECT_EQ(0, results.result);
        EXPECT_EQ(0u, results.startLine);
        EXPECT_EQ(3u, results.endLine);
    }
    wait.line = 3;
    Request notYet(TRACEIOWAIT, &wait, sizeof wait, 24);
    EXPECT_EQ(err_timeout, int(notYet.Int64(0) & 0xffffffff));

    TRACEIOREADLINESPARAMS read = {channel, 1};
    Request shortRecord(TRACEIOREADLINES, &read, 15, 4096);
    EXPECT_EQ(0u, shortRecord.outputSize);
    Request headerOnly(TRACEIOREADLINES, &read, sizeof read, 16);
    ASSERT_EQ(16u, headerOnly.outputSize);
    EXPECT_EQ(0, headerOnly.Int64(0));
    EXPECT_EQ(1, headerOnly.Int64(8));
    Request r(TRACEIOREADLINES, &read, sizeof read, 4096);
    ASSERT_EQ(16u + 2 * (TRACETIMESTAMPLEN + 1) + 5 + 6, r.outputSize);
    EXPECT_EQ(2, r.Int64(0));
    EXPECT_EQ(3, r.Int64(8));
    EXPECT_EQ("first", std::string(reinterpret_cast<const char*>(r.buffer.data()) + 16 + TRACETIMESTAMPLEN));
}

} // namespace
