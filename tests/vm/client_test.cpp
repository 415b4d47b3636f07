// client_test.cpp - the client library against the real driver, inside the
// test VM (run by client_guest.sh as root, with libqptrace1.so installed at
// /usr/local/lib). Each suite runs in its own invocation:
//   AutoAttach     started before the driver is loaded: inert, then it
//                  loads the driver itself and attaches again
//   Client         the calls of the trace API through the wrappers
//   ClosedStdin    started with standard input closed
//   SharedChannel  two writer processes, this one reading both
//   Inert          the driver loaded but the library moved away
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qptrace.h"
#include "traceio.h"

namespace {

size_t end_line(TRCHANNEL channel)
{
    size_t end = 0;
    trinfo(channel, nullptr, &end, nullptr);
    return end;
}

// The text of a line without its stamp; empty when the line has none.
std::string line_text(TRCHANNEL channel, size_t line)
{
    std::vector<char> out(0x30000);
    trread(channel, line, out.data(), out.size());
    std::string read(out.data());
    return read.size() >= TRACETIMESTAMPLEN ? read.substr(TRACETIMESTAMPLEN) : "";
}

std::string last_text(TRCHANNEL channel)
{
    return line_text(channel, end_line(channel) - 1);
}

std::wstring last_wide_text(TRCHANNEL channel)
{
    wchar_t out[200];
    trwread(channel, end_line(channel) - 1, out, 200);
    std::wstring read(out);
    return read.size() >= TRACETIMESTAMPLEN ? read.substr(TRACETIMESTAMPLEN) : L"";
}

std::string fd_target(int fd)
{
    char target[PATH_MAX] = {};
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    return readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

// The list as names, from its terminated entries.
std::vector<std::string> list_names()
{
    char list[4096];
    std::vector<std::string> names;
    trlist(list, sizeof list);
    for (const char* name = list; *name; name += strlen(name) + 1)
        names.push_back(name);
    return names;
}

bool listed(const std::string& name)
{
    for (const std::string& entry : list_names())
        if (entry == name)
            return true;
    return false;
}

// Without the driver the program is inert; once the test has loaded it,
// TraceAutoAttach makes the same wrappers work.
TEST(AutoAttach, WorksAfterTheDriverIsLoaded)
{
    ASSERT_NE(0, access("/dev/qptrace", F_OK)) << "the driver must not be loaded yet";
    EXPECT_EQ(nullptr, tropen("client.auto"));
    trprintf(TRCHANNEL_DEFAULT, "%s\n", "dropped");
    EXPECT_EQ(nullptr, traceExports);
    EXPECT_EQ(nullptr, traceDll);

    ASSERT_EQ(0, system("insmod /root/qptrace.ko"));
    EXPECT_EQ(nullptr, tropen("client.auto")) << "the automatic attach is tried once";
    EXPECT_EQ(0, TraceAutoAttach());
    TRCHANNEL channel = tropen("client.auto");
    ASSERT_NE(nullptr, channel);
    trprintf(channel, "%s %d\n", "attached", 1);
    EXPECT_EQ("attached 1", last_text(channel));
}

class Client : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(1, trattach()); }
    void SetUp() override
    {
        channel = tropen("client.api");
        ASSERT_NE(nullptr, channel);
        trreset(channel);
    }
    void TearDown() override { trdefault(TRCHANNEL_DEFAULT); }
    TRCHANNEL channel = nullptr;
};

// Attaching copies the driver's stamp length into the library's table and
// hands out a descriptor of the device.
TEST_F(Client, AttachTakesTheDriversVersion)
{
    EXPECT_EQ(14u, traceExports->timeStampLen);
    EXPECT_EQ(3, traceExports->minCompatVersion);
    EXPECT_EQ("/dev/qptrace", fd_target(int(intptr_t(traceClient))));
    EXPECT_EQ(channel, tropen("client.api"));
    EXPECT_EQ(channel, trdup(channel));
    EXPECT_EQ(TRCHANNEL(1), tropen(nullptr)) << "the empty name is the default channel";
}

// Prints and formatted prints of 291 text bytes (the stack record) and 292
// and more (the heap record) arrive whole.
TEST_F(Client, PrintsAcrossTheStackLimit)
{
    for (size_t length : {1, 290, 291, 292, 293, 1000, 60000}) {
        std::string text(length - 1, char('a' + length % 26));
        trprint(channel, (text + "\n").c_str());
        EXPECT_EQ(text, last_text(channel)) << "trprint " << length;
        trprintf(channel, "%s\n", text.c_str());
        EXPECT_EQ(text, last_text(channel)) << "trprintf " << length;
    }
    trprintf(channel, "%s %d %x\n", "mixed", -5, 255u);
    EXPECT_EQ("mixed -5 ff", last_text(channel));
}

// Info counts lines, reset leaves only its own empty mark line, reads
// outside the range and of unknown channels come back empty, and a cut read
// stays terminated.
TEST_F(Client, InfoReadAndReset)
{
    size_t start = 0, end = 0, endLen = 1;
    trinfo(channel, &start, &end, &endLen);
    EXPECT_EQ(start + 1, end);
    EXPECT_EQ(0u, endLen);
    EXPECT_EQ("", line_text(channel, start));
    for (int n = 0; n < 3; n++)
        trprintf(channel, "line %d\n", n);
    trprint(channel, "open");
    trinfo(channel, &start, &end, &endLen);
    EXPECT_EQ(start + 4, end);
    EXPECT_EQ(TRACETIMESTAMPLEN + 4, endLen);
    EXPECT_EQ("line 0", line_text(channel, start + 1));
    EXPECT_EQ("line 2", line_text(channel, start + 3));
    EXPECT_EQ("", line_text(channel, end + 5));
    EXPECT_EQ("", line_text(TRCHANNEL(250), 1));

    char cut[18];
    size_t size = traceExports->trread(traceClient, channel, start + 1, cut, sizeof cut);
    EXPECT_EQ(sizeof cut, size);
    EXPECT_EQ(sizeof cut - 1, strlen(cut));
    EXPECT_EQ("lin", std::string(cut + TRACETIMESTAMPLEN));

    // Buffers beyond what the driver takes in one request still get the
    // line and the list.
    size_t hugeSize = size_t(TRACEIO_MAX_REQUEST_SIZE) + 4096;
    std::unique_ptr<char[]> huge(new char[hugeSize]);
    EXPECT_EQ(TRACETIMESTAMPLEN + 7, traceExports->trread(traceClient, channel, start + 1,
                                                          huge.get(), hugeSize));
    EXPECT_EQ("line 0", std::string(huge.get() + TRACETIMESTAMPLEN));
    EXPECT_LT(8u, traceExports->trlist(traceClient, huge.get(), hugeSize));
    EXPECT_STREQ("traces", huge.get());

    trreset(channel);
    trinfo(channel, &start, &end, nullptr);
    EXPECT_EQ(start + 1, end);
}

// The list names every channel, and a list with room for "traces" only
// holds it and the end mark.
TEST_F(Client, ListsTheChannels)
{
    EXPECT_TRUE(listed("traces"));
    EXPECT_TRUE(listed("client.api"));
    char small[8];
    EXPECT_EQ(8u, traceExports->trlist(traceClient, small, sizeof small));
    EXPECT_EQ(0, memcmp("traces\0", small, 8));
}

// The wide calls go through the narrow ones: names, texts and lines
// convert both ways, short and beyond the stack buffers.
TEST_F(Client, WideCalls)
{
    TRCHANNEL wide = trwopen(L"client.wide\u00e9");
    ASSERT_NE(nullptr, wide);
    EXPECT_EQ(wide, tropen("client.wide\xc3\xa9"));
    trwprint(wide, L"gr\u00fc\u00dfe \u20ac\n");
    EXPECT_EQ(L"gr\u00fc\u00dfe \u20ac", last_wide_text(wide));
    EXPECT_EQ("gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac", last_text(wide));
    trwprintf(wide, L"%d %s\n", 12, L"\u00e9t\u00e9");
    EXPECT_EQ(L"12 \u00e9t\u00e9", last_wide_text(wide));
    std::wstring longText(300, L'\u00e9');
    trwprint(wide, (longText + L"\n").c_str());
    EXPECT_EQ(600u, last_text(wide).size());

    wchar_t list[2048];
    trwlist(list, 2048);
    bool found = false;
    for (const wchar_t* name = list; *name; name += wcslen(name) + 1)
        found = found || std::wstring(name) == L"client.wide\u00e9";
    EXPECT_TRUE(found);
}

// -1 is "traces" until trdefault names another channel; a null channel
// prints nowhere.
TEST_F(Client, DefaultChannel)
{
    TRCHANNEL traces = tropen("traces");
    trprint(TRCHANNEL_DEFAULT, "client default to traces\n");
    EXPECT_EQ("client default to traces", last_text(traces));
    trdefault(channel);
    trprintf(TRCHANNEL_DEFAULT, "%s\n", "client default to api");
    EXPECT_EQ("client default to api", last_text(channel));
    EXPECT_EQ("client default to api", last_text(TRCHANNEL_DEFAULT));
    size_t before = end_line(channel);
    trprint(nullptr, "nowhere\n");
    EXPECT_EQ(before, end_line(channel));
}

// With standard input closed the first open of the device is descriptor 0:
// it stays open and the client is a second descriptor.
TEST(ClosedStdin, ClientIsTheSecondDescriptor)
{
    ASSERT_EQ(-1, fcntl(0, F_GETFD)) << "run with standard input closed";
    ASSERT_EQ(1, trattach());
    int client = int(intptr_t(traceClient));
    EXPECT_GT(client, 0);
    EXPECT_EQ("/dev/qptrace", fd_target(0));
    EXPECT_EQ("/dev/qptrace", fd_target(client));
    TRCHANNEL channel = tropen("client.stdin");
    trprintf(channel, "%s\n", "closed stdin");
    EXPECT_EQ("closed stdin", last_text(channel));
}

enum { sharedLines = 200 };

// A writer process of its own: attaches by itself and prints its lines.
void write_shared(char writer)
{
    TRCHANNEL channel = tropen("client.shared");
    for (int n = 0; n < sharedLines; n++)
        trprintf(channel, "%c %d\n", writer, n);
    _exit(channel ? 0 : 1);
}

// Two processes write into one channel at once; a third reads both, each
// writer's lines whole and in order.
TEST(SharedChannel, TwoWritersOneReader)
{
    ASSERT_EQ(nullptr, traceExports) << "the writers must attach on their own";
    pid_t writers[2];
    for (int w = 0; w < 2; w++) {
        writers[w] = fork();
        ASSERT_GE(writers[w], 0);
        if (!writers[w])
            write_shared(char('A' + w));
    }
    for (pid_t writer : writers) {
        int status = 0;
        ASSERT_EQ(writer, waitpid(writer, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    TRCHANNEL channel = tropen("client.shared");
    ASSERT_NE(nullptr, channel);
    size_t start = 0, end = 0;
    trinfo(channel, &start, &end, nullptr);
    int next[2] = {0, 0};
    for (size_t line = start; line < end; line++) {
        std::string text = line_text(channel, line);
        if (text.empty())
            continue; // the line before the first of a new channel
        int w = text[0] - 'A';
        ASSERT_TRUE(w == 0 || w == 1) << text;
        EXPECT_EQ(std::string(1, text[0]) + " " + std::to_string(next[w]), text);
        next[w]++;
    }
    EXPECT_EQ(sharedLines, next[0]);
    EXPECT_EQ(sharedLines, next[1]);
}

// With the driver there but no library the program stays silent.
TEST(Inert, WithoutTheLibrary)
{
    ASSERT_EQ(0, access("/dev/qptrace", F_OK));
    EXPECT_EQ(nullptr, tropen("client.nolib"));
    trprintf(TRCHANNEL_DEFAULT, "%s\n", "dropped");
    EXPECT_EQ(nullptr, traceExports);
    EXPECT_EQ(1, traceAutoAttachAttempted);
}

} // namespace
