// Tests of trace/trbuffer: the line ring of one channel, the time stamp
// codec and the channel anchor, plus the multi-writer stress test and the
// concurrent creation of one channel name.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../trace/trplatform.h"
#include "traces.h"

namespace {

constexpr size_t kReadRoom = 300000;

// A channel buffer on its own ring and index, as TraceOpen builds one.
struct OwnBuffer {
    TraceBuffer tb{};
    OwnBuffer()
    {
        TraceBuffer_init(&tb, static_cast<char*>(palloc(TRACEBUFFER_DATASIZE, 0)),
                         static_cast<uint32_t*>(palloc(TRACEBUFFER_INDEXSIZE * 4, 0)));
    }
    ~OwnBuffer() { TraceBuffer_term(&tb); }
    void write(const std::string& text) { TraceBuffer_Write(&tb, text.c_str(), text.size()); }
    // The line as a reader gets it; empty when it cannot be read.
    std::string read(size_t line)
    {
        std::string out(kReadRoom, '\x7f');
        size_t len = TraceBuffer_Read(&tb, line, &out[0], out.size());
        EXPECT_EQ(std::strlen(out.c_str()), len);
        out.resize(len);
        return out;
    }
    void info(size_t* start, size_t* end, size_t* endLen) { TraceBuffer_Info(&tb, start, end, endLen); }
    // The line in progress and its read length.
    void expectOpenLine(size_t endLine, size_t endLineLen)
    {
        size_t end, endLen;
        info(nullptr, &end, &endLen);
        EXPECT_EQ(endLine, end);
        EXPECT_EQ(endLineLen, endLen);
    }
};

bool IsDecodedStamp(const std::string& s)
{
    if (s.size() < TRACETIMESTAMPLEN)
        return false;
    for (size_t i = 0; i < TRACETIMESTAMPLEN; i++) {
        char c = s[i];
        bool ok = i == 6 ? c == '.' : i == 13 ? c == ' ' : (c >= '0' && c <= '9');
        if (!ok)
            return false;
    }
    return true;
}

std::string Text(const std::string& line)
{
    return line.substr(TRACETIMESTAMPLEN);
}

// Stamps: 42 bits as 7 digits of the RFC 4648 alphabet, decoded to
// "ssssss.uuuuuu ".
TEST(TraceStamp, EncodesAndDecodesFortyTwoBits)
{
    struct {
        uint64_t usec;
        const char* coded;
        const char* decoded;
    } cases[] = {
        {0, "AAAAAAA", "000000.000000 "},
        {63, "AAAAAA/", "000000.000063 "},
        {3723004005ull, "ADd6Ihl", "003723.004005 "},
        {(1ull << 42) - 1, "///////", "398046.511103 "},
        {(1ull << 42) + 5, "AAAAAAF", "000000.000005 "}, // higher bits drop
    };
    for (const auto& c : cases) {
        char coded[8] = {};
        char decoded[15] = {};
        TraceEncodeTimeStamp(c.usec, coded);
        EXPECT_STREQ(c.coded, coded) << c.usec;
        TraceDecodeTimeStamp(coded, decoded);
        EXPECT_STREQ(c.decoded, decoded) << c.usec;
    }
    // Bytes outside the alphabet count as 0; only the low 7 bits index.
    char decoded[15] = {};
    TraceDecodeTimeStamp("AAAAA*\xc2", decoded);
    EXPECT_STREQ("000000.000001 ", decoded);
}

// The kernel's eight-bytes-at-a-time search finds what memchr finds, at
// every alignment, length and position, also where a byte next to the
// match differs from it by one (the borrow of the word test), and never
// reads past the bytes it was given (the fence bytes hold the byte sought).
TEST(TraceMemchr, WordSearchFindsWhatMemchrFinds)
{
    for (int byte : {0, int('\n'), 0x80, 0xFF, 0x01}) {
        const char sought = char(byte);
        for (size_t offset = 0; offset < 8; offset++) {
            for (size_t len = 0; len <= 40; len++) {
                for (size_t at = 0; at <= len; at++) { // at == len: no match
                    std::vector<char> area(offset + len + 16, sought);
                    char* text = area.data() + offset;
                    for (size_t i = 0; i < len; i++)
                        text[i] = char(byte + 1 + (i & 1)); // near misses
                    if (at < len) {
                        text[at] = sought;
                        if (at + 1 < len)
                            text[at + 1] = char(byte - 1);
                    }
                    const char* expected = static_cast<const char*>(std::memchr(text, byte, len));
                    ASSERT_EQ(expected, trace_memchr_words(text, byte, len))
                        << "byte " << byte << " offset " << offset << " len " << len << " at " << at;
                }
            }
        }
    }
}

// A new buffer holds only its creation line 0, the bare stamp.
TEST(TraceBuffer, NewBufferHoldsTheCreationLine)
{
    OwnBuffer b;
    size_t start = 9, end = 9, endLen = 9;
    b.info(&start, &end, &endLen);
    EXPECT_EQ(0u, start);
    EXPECT_EQ(1u, end);
    EXPECT_EQ(0u, endLen);
    std::string line0 = b.read(0);
    EXPECT_EQ(14u, line0.size());
    EXPECT_TRUE(IsDecodedStamp(line0));
    EXPECT_EQ("", b.read(1));
    EXPECT_EQ("", b.read(2));
    b.info(nullptr, nullptr, nullptr);
}

// A text without line feed stays open; the next write continues it
// without a new stamp.
TEST(TraceBuffer, ContinuesAnOpenLineWithoutNewStamp)
{
    OwnBuffer b;
    b.write("abc");
    b.expectOpenLine(1u, 17u);
    std::string open = b.read(1);
    EXPECT_EQ("abc", Text(open));
    b.write("");
    b.write("def\n");
    b.expectOpenLine(2u, 0u);
    std::string line = b.read(1);
    EXPECT_EQ("abcdef", Text(line));
    EXPECT_EQ(open.substr(0, 14), line.substr(0, 14));
}

// Every line started in one call carries the call's one stamp.
TEST(TraceBuffer, LinesOfOneCallShareTheStamp)
{
    OwnBuffer b;
    b.write("x\n\ny\n");
    size_t end;
    b.info(nullptr, &end, nullptr);
    EXPECT_EQ(4u, end);
    std::string x = b.read(1), empty = b.read(2), y = b.read(3);
    EXPECT_EQ("x", Text(x));
    EXPECT_EQ(14u, empty.size());
    EXPECT_EQ("y", Text(y));
    EXPECT_EQ(x.substr(0, 14), empty);
    EXPECT_EQ(x.substr(0, 14), y.substr(0, 14));
}

// One write takes 65,536 bytes; a line past 65,536 bytes gets a forced
// line feed at the end of the write.
TEST(TraceBuffer, LongWritesAreCutAndEnded)
{
    OwnBuffer b;
    b.write(std::string(70000, 'a'));
    b.expectOpenLine(2u, 0u);
    EXPECT_EQ(std::string(65536, 'a'), Text(b.read(1)));
    b.write("next");
    EXPECT_EQ("next", Text(b.read(2)));

    OwnBuffer two;
    two.write(std::string(40000, 'b'));
    two.expectOpenLine(1u, 40014u);
    two.write(std::string(40000, 'c'));
    two.expectOpenLine(2u, 0u);
    std::string line = two.read(1);
    EXPECT_EQ(80014u, line.size()); // 80,007 raw bytes with the stamp
    EXPECT_EQ(std::string(40000, 'b') + std::string(40000, 'c'), Text(line));
}

// At most 8,192 lines, the open one included, even when the ring has room.
TEST(TraceBuffer, IndexHoldsAtMost8192Lines)
{
    OwnBuffer b;
    size_t start, end;
    for (int i = 1; i < 8191; i++)
        b.write(std::to_string(i) + "\n");
    b.info(&start, &end, nullptr);
    EXPECT_EQ(0u, start);
    EXPECT_EQ(8191u, end);
    b.write("8191\n");
    b.info(&start, &end, nullptr);
    EXPECT_EQ(1u, start);
    EXPECT_EQ(8192u, end);
    EXPECT_EQ("", b.read(0));
    EXPECT_EQ("1", Text(b.read(1)));
    b.write("8192\nopen");
    b.info(&start, &end, nullptr);
    EXPECT_EQ(2u, start);
    EXPECT_EQ(8193u, end);
    EXPECT_EQ("2", Text(b.read(2)));
    EXPECT_EQ("8192", Text(b.read(8192)));
    EXPECT_EQ("open", Text(b.read(8193)));
}

// Lines whose start the ring overwrote drop out; a line across the end of
// the ring reads whole and cuts correctly at every size.
TEST(TraceBuffer, RingWrapDropsOldLinesAndReadsAcrossTheEnd)
{
    OwnBuffer b;
    auto lineText = [](int n) {
        char head[16];
        std::snprintf(head, sizeof head, "%06d:", n);
        return std::string(head) + std::string(993 - 7 + (n % 7), char('a' + n % 26));
    };
    int written = 0;
    for (; written < 400; written++)
        b.write(lineText(written + 1) + "\n");
    size_t start, end;
    b.info(&start, &end, nullptr);
    EXPECT_EQ(401u, end);
    EXPECT_GT(start, 100u);
    EXPECT_EQ("", b.read(start - 1));
    // Every held line is intact; find the one that crosses the ring end.
    size_t total = 8, crossing = 0;
    for (size_t n = 1; n < end; n++) {
        size_t startPos = total;
        total += 7 + lineText(int(n)).size() + 1;
        if (n >= start) {
            ASSERT_EQ(lineText(int(n)), Text(b.read(n))) << n;
            if (startPos / TRACEBUFFER_DATASIZE != (total - 2) / TRACEBUFFER_DATASIZE)
                crossing = n;
        }
    }
    ASSERT_NE(0u, crossing);
    std::string whole = b.read(crossing);
    std::vector<char> out(whole.size() + 8);
    for (size_t room = 15; room <= whole.size() + 2; room++) {
        size_t len = TraceBuffer_Read(&b.tb, crossing, out.data(), room);
        ASSERT_EQ(whole.size(), len);
        ASSERT_EQ(whole.substr(0, room - 1), std::string(out.data())) << room;
    }
}

// Short rooms: below 15 nothing but a terminator; 15 gives the stamp alone
// with the full length as the result.
TEST(TraceBuffer, ReadCutsToTheRoomAndReportsTheFullLength)
{
    OwnBuffer b;
    b.write("hello\n");
    char out[32];
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(0u, TraceBuffer_Read(&b.tb, 1, out, 14));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ('z', out[1]);
    EXPECT_EQ(19u, TraceBuffer_Read(&b.tb, 1, out, 15));
    EXPECT_EQ(14u, std::strlen(out));
    EXPECT_EQ(19u, TraceBuffer_Read(&b.tb, 1, out, 17));
    EXPECT_STREQ("he", out + 14);
    EXPECT_EQ(0u, TraceBuffer_Read(&b.tb, 1, nullptr, 100));
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(0u, TraceBuffer_Read(&b.tb, 1, out, 0));
    EXPECT_EQ('z', out[0]);
}

// Reset leaves only the stamp-only reset line and an empty open line.
// A batch read gives the complete lines byte for byte as reads one by one
// do, whole lines only, across the ring's end and past dropped lines; the
// line in progress is never part of it.
TEST(TraceBuffer, ReadLinesMatchesReadsOneByOne)
{
    OwnBuffer b;
    for (int n = 0; n < 3000; n++)
        b.write("line " + std::to_string(n) + std::string(size_t(n % 200), 'x') + "\n");
    b.write("open line");
    size_t start, end;
    b.info(&start, &end, nullptr);
    ASSERT_GT(start, 0u) << "the ring must have wrapped";
    std::string expected;
    for (size_t line = start; line < end; line++)
        expected += b.read(line) + '\0';

    for (size_t room : {size_t(1), size_t(100), size_t(4096), size_t(65536), kReadRoom}) {
        std::string got;
        size_t next = 0, calls = 0;
        for (size_t line = 0; line < end; calls++) {
            std::string out(room, '\x7f');
            size_t count = 99, nextLine = 0;
            size_t bytes = TraceBuffer_ReadLines(&b.tb, line, &out[0], room, &count, &nextLine);
            ASSERT_LE(bytes, room);
            if (!count) {
                // Nothing fits: the line that does not is named.
                EXPECT_EQ(0u, bytes);
                EXPECT_EQ(line < start ? start : line, nextLine);
                break;
            }
            EXPECT_EQ(count, size_t(std::count(out.begin(), out.begin() + long(bytes), '\0')));
            EXPECT_EQ('\0', out[bytes - 1]);
            got.append(out, 0, bytes);
            next = nextLine;
            line = nextLine;
        }
        if (room >= 400) {
            EXPECT_EQ(expected, got) << "room " << room;
            EXPECT_EQ(end, next);
        }
        if (room == kReadRoom) {
            EXPECT_EQ(1u, calls);
        }
    }
    // From a line past the end, or with no room, nothing.
    size_t count = 9, nextLine = 0;
    char out[64];
    EXPECT_EQ(0u, TraceBuffer_ReadLines(&b.tb, end + 5, out, sizeof out, &count, &nextLine));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(end + 5, nextLine);
    EXPECT_EQ(0u, TraceBuffer_ReadLines(&b.tb, end - 1, out, 0, &count, &nextLine));
    EXPECT_EQ(0u, count);
}

TEST(TraceBuffer, ResetDiscardsEveryLine)
{
    OwnBuffer b;
    b.write("one\ntwo\nopen");
    TraceBuffer_Reset(&b.tb);
    size_t start, end, endLen;
    b.info(&start, &end, &endLen);
    EXPECT_EQ(4u, start);
    EXPECT_EQ(5u, end);
    EXPECT_EQ(0u, endLen);
    for (size_t n = 0; n < 4; n++)
        EXPECT_EQ("", b.read(n));
    EXPECT_EQ(14u, b.read(4).size());
    b.write("after\n");
    EXPECT_EQ("after", Text(b.read(5)));
    TraceBuffer_Reset(&b.tb); // the open line is empty: no extra line
    b.info(&start, &end, nullptr);
    EXPECT_EQ(6u, start);
    EXPECT_EQ(7u, end);
}

// ---- anchor ------------------------------------------------------------

struct OwnAnchor {
    TraceAnchor* anchor;
    OwnAnchor() : anchor(static_cast<TraceAnchor*>(calloc_d(1, sizeof(TraceAnchor))))
    {
        TraceAnchor_init(anchor);
    }
    ~OwnAnchor()
    {
        TraceAnchor_term(anchor);
        free_d(anchor);
    }
    static TraceBuffer* NewBuffer()
    {
        auto* tb = static_cast<TraceBuffer*>(calloc_d(1, sizeof(TraceBuffer)));
        TraceBuffer_init(tb, static_cast<char*>(palloc(TRACEBUFFER_DATASIZE, 0)),
                         static_cast<uint32_t*>(palloc(TRACEBUFFER_INDEXSIZE * 4, 0)));
        return tb;
    }
    static void DeleteBuffer(TraceBuffer* tb)
    {
        TraceBuffer_term(tb);
        free_d(tb);
    }
    size_t open(const char* name)
    {
        TraceBuffer* offered = NewBuffer();
        size_t channel = TraceAnchor_OpenChannel(anchor, name, &offered);
        if (offered)
            DeleteBuffer(offered);
        return channel;
    }
};

// The anchor block is recognisable and starts with "traces" as channel 1.
TEST(TraceAnchor, StartsWithTheDefaultChannel)
{
    OwnAnchor a;
    EXPECT_EQ(0, std::memcmp(a.anchor->tag, "TRANCHOR", 8));
    EXPECT_EQ(0x7445893Eu, a.anchor->signature[0]);
    EXPECT_EQ(0x34BC7590u, a.anchor->signature[1]);
    EXPECT_STREQ("traces\n", a.anchor->names);
    EXPECT_EQ(1u, a.anchor->count);
    EXPECT_EQ(&a.anchor->defaultBuffer, TraceAnchor_GetBuffer(a.anchor, TRCHANNEL(1)));
    EXPECT_EQ(&a.anchor->defaultBuffer, TraceAnchor_GetBuffer(a.anchor, TRCHANNEL_DEFAULT));
    EXPECT_EQ(nullptr, TraceAnchor_GetBuffer(a.anchor, TRCHANNEL(0)));
    EXPECT_EQ(nullptr, TraceAnchor_GetBuffer(a.anchor, TRCHANNEL(2)));
    EXPECT_EQ(1u, TraceAnchor_OpenChannel(a.anchor, nullptr, nullptr));
    EXPECT_EQ(1u, TraceAnchor_OpenChannel(a.anchor, "", nullptr));
    EXPECT_EQ(1u, TraceAnchor_OpenChannel(a.anchor, "TRACES", nullptr));
    EXPECT_EQ(0u, TraceAnchor_OpenChannel(a.anchor, "other", nullptr));
}

// Names match without regard to ASCII case and keep their first spelling.
TEST(TraceAnchor, FindsNamesWithoutRegardToCase)
{
    OwnAnchor a;
    EXPECT_EQ(2u, a.open("Foo"));
    EXPECT_EQ(2u, a.open("FOO"));
    EXPECT_EQ(2u, TraceAnchor_OpenChannel(a.anchor, "foo", nullptr));
    EXPECT_EQ(0u, TraceAnchor_OpenChannel(a.anchor, "fo", nullptr));
    EXPECT_EQ(0u, TraceAnchor_OpenChannel(a.anchor, "fooo", nullptr));
    EXPECT_EQ(3u, a.open("fo"));
    EXPECT_STREQ("traces\nFoo\nfo\n", a.anchor->names);
    TraceBuffer* foo = TraceAnchor_GetBuffer(a.anchor, TRCHANNEL(2));
    ASSERT_NE(nullptr, foo);
    EXPECT_EQ("Foo", std::string(foo->name, foo->nameLen));
}

// The 200th channel is created, the 201st is refused and the offer stays
// with the caller.
TEST(TraceAnchor, HoldsTwoHundredChannels)
{
    OwnAnchor a;
    for (int n = 2; n <= 200; n++)
        ASSERT_EQ(size_t(n), a.open(("c" + std::to_string(n)).c_str()));
    TraceBuffer* offered = OwnAnchor::NewBuffer();
    TraceBuffer* kept = offered;
    EXPECT_EQ(0u, TraceAnchor_OpenChannel(a.anchor, "c201", &offered));
    EXPECT_EQ(kept, offered);
    OwnAnchor::DeleteBuffer(offered);
    EXPECT_EQ(200u, a.open("C200"));
    EXPECT_EQ(nullptr, TraceAnchor_GetBuffer(a.anchor, TRCHANNEL(201)));
}

// The names area takes 9,999 bytes with line feeds; a longer name is
// refused and nothing changes.
TEST(TraceAnchor, RefusesNamesPastTheNamesArea)
{
    OwnAnchor a;
    std::string big(4995, 'n');
    EXPECT_EQ(2u, a.open((big + "1").c_str())); // 7 + 4997 bytes
    std::string rest(9999 - 7 - 4997 - 1, 'm'); // exactly fills 9,999
    EXPECT_EQ(0u, a.open((rest + "x").c_str()));
    EXPECT_EQ(3u, a.open(rest.c_str()));
    EXPECT_EQ(9999u, a.anchor->namesLen);
    EXPECT_EQ(0, a.anchor->names[9999]);
    EXPECT_EQ(0u, a.open("y"));
    EXPECT_EQ(3u, a.anchor->count);
}

// A stopped anchor hands out nothing, not even the default channel.
TEST(TraceAnchor, StoppedAnchorHasNoChannels)
{
    auto* anchor = static_cast<TraceAnchor*>(calloc_d(1, sizeof(TraceAnchor)));
    EXPECT_EQ(nullptr, TraceAnchor_GetBuffer(anchor, TRCHANNEL_DEFAULT));
    TraceBuffer* offered = OwnAnchor::NewBuffer();
    EXPECT_EQ(0u, TraceAnchor_OpenChannel(anchor, "x", &offered));
    ASSERT_NE(nullptr, offered);
    OwnAnchor::DeleteBuffer(offered);
    free_d(anchor);
}

// ---- concurrency -------------------------------------------------------

// A self-checking record: writer, sequence and a checksum of both.
uint32_t RecordSum(unsigned writer, unsigned seq)
{
    return (writer * 2654435761u) ^ (seq * 40503u) ^ 0x5bd1e995u;
}

std::string Record(unsigned writer, unsigned seq)
{
    char text[96];
    int len = std::snprintf(text, sizeof text, "w%u s%08u c%08X ", writer, seq, RecordSum(writer, seq));
    // Records vary in length so that lines cross the ring end at every offset.
    return std::string(text, size_t(len)) + std::string(seq % 61, char('a' + writer));
}

bool CheckRecord(const std::string& text, unsigned* writer, unsigned* seq)
{
    unsigned sum;
    int used = 0;
    if (std::sscanf(text.c_str(), "w%u s%u c%X %n", writer, seq, &sum, &used) != 3 || used == 0)
        return false;
    return sum == RecordSum(*writer, *seq) && text == Record(*writer, *seq);
}

// Four writers and two readers on one channel for two seconds: every line
// read is one whole record of one writer, each writer's records come in
// order and line numbers only grow.
TEST(TraceBufferStress, WritersAndReadersNeverSeeTornLines)
{
    constexpr unsigned kWriters = 4, kReaders = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    OwnBuffer b;
    std::atomic<unsigned> writersDone{0};
    std::atomic<unsigned long> recordsWritten{0}, linesChecked{0};
    std::atomic<bool> failed{false};

    std::vector<std::thread> threads;
    for (unsigned w = 0; w < kWriters; w++) {
        threads.emplace_back([&, w] {
            unsigned seq = 0;
            while (std::chrono::steady_clock::now() < deadline) {
                std::string text = Record(w, seq++) + "\n";
                if (seq % 5 == 0) // sometimes two records in one call
                    text += Record(w, seq++) + "\n";
                b.write(text);
            }
            recordsWritten += seq;
            writersDone++;
        });
    }
    for (unsigned r = 0; r < kReaders; r++) {
        threads.emplace_back([&] {
            std::vector<long> lastSeq(kWriters, -1);
            size_t next = 1, lastStart = 0, lastEnd = 0;
            std::vector<char> out(512);
            while (!failed) {
                bool finished = writersDone == kWriters;
                size_t start, end;
                b.info(&start, &end, nullptr);
                if (start < lastStart || end < lastEnd) {
                    ADD_FAILURE() << "line numbers went back";
                    failed = true;
                    break;
                }
                lastStart = start;
                lastEnd = end;
                if (next < start)
                    next = start;
                for (; next < end; next++) { // lines below end are complete
                    size_t len = TraceBuffer_Read(&b.tb, next, out.data(), out.size());
                    if (len == 0)
                        continue; // dropped since info
                    unsigned writer, seq;
                    std::string line(out.data(), len);
                    if (!IsDecodedStamp(line) || !CheckRecord(Text(line), &writer, &seq) ||
                        long(seq) <= lastSeq[writer]) {
                        ADD_FAILURE() << "line " << next << ": " << line;
                        failed = true;
                        break;
                    }
                    lastSeq[writer] = long(seq);
                    linesChecked++;
                }
                if (finished)
                    break;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(failed);
    EXPECT_GT(linesChecked.load(), 0ul);
    RecordProperty("records_written", std::to_string(recordsWritten.load()));
    RecordProperty("lines_checked", std::to_string(linesChecked.load()));
    size_t end;
    b.info(nullptr, &end, nullptr);
    EXPECT_EQ(recordsWritten.load() + 1, end);
}

// Threads opening one new name at once all get the same, single channel.
TEST(TraceBufferStress, ConcurrentOpensOfOneNameCreateOneChannel)
{
    trbuffer_initializer();
    constexpr int kThreads = 6;
    size_t countBefore = traceAnchor.count;
    std::vector<TRCHANNEL> got(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            ready++;
            while (ready < kThreads) {
            }
            got[size_t(t)] = TraceOpen(nullptr, "stress.same.name");
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_NE(nullptr, got[0]);
    for (TRCHANNEL c : got)
        EXPECT_EQ(got[0], c);
    EXPECT_EQ(countBefore + 1, traceAnchor.count);
}

} // namespace
