// traceio_test.cpp - drives /dev/qptrace with raw ioctls inside the test VM:
// the version answer, the send request's size rules, every function code
// with good and bad records, hostile sizes, bad addresses, read-only opens
// and many processes writing and reading one channel at once.
//
// Runs as root unless a test drops privileges itself (Unprivileged*). The
// guest script picks the groups with --gtest_filter.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <string>
#include <vector>

#include "traceio.h"
#include "traces.h"

namespace {

static_assert(sizeof(GenIoctlRequest) == 48, "request record is 48 bytes");

const char* const dev_path = "/dev/qptrace";

unsigned version_cmd(unsigned size)
{
    return 0x80000000u | (size << 16) | 0x6700u;
}
unsigned send_cmd(unsigned size)
{
    return 0xC0000000u | (size << 16) | 0x6701u;
}

class Device {
public:
    explicit Device(int flags = O_RDWR) : fd_(open(dev_path, flags | O_CLOEXEC)) {}
    ~Device()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    int fd() const { return fd_; }

    // One send request; returns 0 or the errno of the failed ioctl. The
    // record is left in `req` as the driver answered it.
    int send(GenIoctlRequest& req, unsigned cmd = TRACEIOCTL_SEND) const
    {
        return ioctl(fd_, cmd, &req) == 0 ? 0 : errno;
    }
    int call(int code, const void* in, uint64_t in_size, void* out, uint64_t max_out,
             GenIoctlRequest* answer = nullptr) const
    {
        GenIoctlRequest req = request(code, in, in_size, out, max_out);
        int err = send(req);
        if (answer)
            *answer = req;
        return err;
    }
    static GenIoctlRequest request(int code, const void* in, uint64_t in_size, void* out,
                                   uint64_t max_out)
    {
        GenIoctlRequest req{};
        req.code = code;
        req.error = -1;
        req.input = reinterpret_cast<uintptr_t>(in);
        req.inputSize = in_size;
        req.output = reinterpret_cast<uintptr_t>(out);
        req.maxOutputSize = max_out;
        req.outputSize = 0xDEAD;
        return req;
    }

    int64_t open_channel(const std::string& name) const
    {
        TRACEIOOPENRESULTS res{};
        GenIoctlRequest req;
        EXPECT_EQ(0, call(TRACEIOOPEN, name.c_str(), name.size() + 1, &res, sizeof res, &req));
        EXPECT_EQ(8u, req.outputSize);
        return res.channel;
    }
    void print(int64_t channel, const std::string& text) const
    {
        std::vector<char> in(8 + text.size() + 1);
        memcpy(in.data(), &channel, 8);
        memcpy(in.data() + 8, text.c_str(), text.size() + 1);
        GenIoctlRequest req;
        EXPECT_EQ(0, call(TRACEIOPRINT, in.data(), in.size(), nullptr, 0, &req));
        EXPECT_EQ(0, req.error);
    }
    TRACEIOINFORESULTS info(int64_t channel) const
    {
        TRACEIOINFORESULTS res{};
        EXPECT_EQ(0, call(TRACEIOINFO, &channel, 8, &res, sizeof res));
        return res;
    }
    // The line's text without its 14-character stamp; "" for no line.
    std::string read(int64_t channel, uint64_t line, size_t room = 70000) const
    {
        TRACEIOREADPARAMS params{channel, line};
        std::vector<char> out(room, 'x');
        GenIoctlRequest req;
        EXPECT_EQ(0, call(TRACEIOREAD, &params, sizeof params, out.data(), out.size(), &req));
        if (req.outputSize <= 14)
            return "";
        EXPECT_EQ('\0', out[req.outputSize - 1]);
        return std::string(out.data() + 14);
    }

    // A wait request: its answer record (result 0, 110, 4 or 2).
    TRACEIOWAITRESULTS wait(int64_t channel, uint64_t line, int64_t msecs) const
    {
        TRACEIOWAITPARAMS params{channel, line, msecs};
        TRACEIOWAITRESULTS res{};
        GenIoctlRequest req;
        EXPECT_EQ(0, call(TRACEIOWAIT, &params, sizeof params, &res, sizeof res, &req));
        EXPECT_EQ(sizeof res, req.outputSize);
        return res;
    }
    // A read-lines request into out (room bytes): the header, and the
    // output size in *size.
    TRACEIOREADLINESRESULTS read_lines(int64_t channel, uint64_t line, std::vector<char>& out,
                                       uint64_t* size = nullptr) const
    {
        TRACEIOREADLINESPARAMS params{channel, line};
        TRACEIOREADLINESRESULTS head{~0ull, ~0ull};
        GenIoctlRequest req;
        EXPECT_EQ(0, call(TRACEIOREADLINES, &params, sizeof params, out.data(), out.size(), &req));
        if (req.outputSize >= sizeof head)
            memcpy(&head, out.data(), sizeof head);
        if (size)
            *size = req.outputSize;
        return head;
    }

private:
    int fd_;
};

long long now_msecs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Runs fn in a child process whose exit status is fn's result; its pid.
template <class Fn> pid_t spawn(Fn fn)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    return pid;
}

// Runs fn in a child process after `delay_ms`; returns its pid.
template <class Fn> pid_t later(int delay_ms, Fn fn)
{
    return spawn([delay_ms, fn] {
        usleep(useconds_t(delay_ms) * 1000);
        fn();
        return testing::Test::HasFailure() ? 1 : 0;
    });
}

void reap(pid_t pid)
{
    int status = 0;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Drops root for the rest of the process: what any user may do.
void become_nobody()
{
    ASSERT_EQ(0, setgid(65534));
    ASSERT_EQ(0, setuid(65534));
    ASSERT_NE(0u, geteuid());
}

// ---- device and commands --------------------------------------------------

// The node is open to all; read and write are refused with 524.
TEST(Device, ReadAndWriteFailWith524)
{
    Device dev;
    ASSERT_GE(dev.fd(), 0);
    char buf[16] = {};
    EXPECT_EQ(-1, read(dev.fd(), buf, sizeof buf));
    EXPECT_EQ(524, errno);
    EXPECT_EQ(-1, write(dev.fd(), buf, sizeof buf));
    EXPECT_EQ(524, errno);
}

// Commands of another type, number or direction fail with 524.
TEST(Device, UnknownCommandsFailWith524)
{
    Device dev;
    char buf[128] = {};
    for (unsigned cmd : {0x00006700u, 0x40206700u, 0xC0206700u, 0x80306701u, 0xC0306702u,
                         0xC0306801u, 0x5401u}) {
        EXPECT_EQ(-1, ioctl(dev.fd(), cmd, buf)) << std::hex << cmd;
        EXPECT_EQ(524, errno) << std::hex << cmd;
    }
}

// The answer is 8 bytes for sizes 8 to 31, 32 from 32 on, nothing below 8;
// bytes past the answer stay untouched.
TEST(Version, AnswerSizeFollowsTheSizeField)
{
    Device dev;
    struct Case {
        unsigned size, written;
    };
    for (Case c : {Case{0, 0}, Case{7, 0}, Case{8, 8}, Case{16, 8}, Case{31, 8}, Case{32, 32},
                   Case{100, 32}, Case{0x3FFF, 32}}) {
        unsigned char buf[128];
        memset(buf, 0xAB, sizeof buf);
        ASSERT_EQ(0, ioctl(dev.fd(), version_cmd(c.size), buf)) << c.size;
        for (unsigned i = c.written; i < sizeof buf; i++)
            ASSERT_EQ(0xAB, buf[i]) << "size " << c.size << " byte " << i;
        if (c.written == 0)
            continue;
        TRACEIOGETVERSIONRESULTS r{};
        memcpy(&r, buf, c.written);
        EXPECT_EQ(5, r.version);
        EXPECT_EQ(3, r.minCompatVersion);
        if (c.written == 32) {
            EXPECT_EQ(14u, r.timeStampLen);
            EXPECT_NE(0u, r.exports) << "root has CAP_SYSLOG";
            EXPECT_EQ(0, memcmp(r.reserved2, "\0\0\0\0\0\0\0\0", 8));
        }
    }
}

// Code 0 through a send request answers by maxOutputSize the same way.
TEST(Version, SendRequestAnswersBySize)
{
    Device dev;
    struct Case {
        uint64_t max_out, written;
    };
    for (Case c : {Case{0, 0}, Case{7, 0}, Case{8, 8}, Case{31, 8}, Case{32, 32}, Case{4096, 32}}) {
        unsigned char out[4096];
        memset(out, 0xAB, sizeof out);
        GenIoctlRequest req;
        ASSERT_EQ(0, dev.call(TRACEIOGETVERSION, nullptr, 0, out, c.max_out, &req));
        EXPECT_EQ(0, req.error);
        EXPECT_EQ(c.written, req.outputSize) << c.max_out;
        EXPECT_EQ(0xAB, out[c.written]) << c.max_out;
    }
}

TEST(Version, BadAnswerAddressFailsWith14)
{
    Device dev;
    EXPECT_EQ(-1, ioctl(dev.fd(), TRACEIOCTL_VERSION, reinterpret_cast<void*>(8)));
    EXPECT_EQ(EFAULT, errno);
}

// The size field must be 48 or more; exactly 48 bytes are read and written.
TEST(Send, SizeFieldBelow48FailsAndLeavesTheRecord)
{
    Device dev;
    for (unsigned size : {0u, 8u, 40u, 47u}) {
        GenIoctlRequest req = Device::request(TRACEIODEFAULT, nullptr, 0, nullptr, 0);
        GenIoctlRequest before = req;
        EXPECT_EQ(EINVAL, dev.send(req, send_cmd(size))) << size;
        EXPECT_EQ(0, memcmp(&before, &req, sizeof req)) << size;
    }
    struct {
        GenIoctlRequest req;
        char tail[64];
    } big;
    big.req = Device::request(TRACEIODEFAULT, nullptr, 0, nullptr, 0);
    memset(big.tail, 0x5A, sizeof big.tail);
    ASSERT_EQ(0, ioctl(dev.fd(), send_cmd(112), &big));
    EXPECT_EQ(0, big.req.error);
    EXPECT_EQ(0u, big.req.outputSize);
    for (char c : big.tail)
        ASSERT_EQ(0x5A, c);
}

// Codes the trace API does not know fail with 22; `error` keeps the -1.
TEST(Send, UnknownCodesFailWith22)
{
    Device dev;
    char out[64];
    for (int code : {14, 15, 75, 77, -1, 1000, INT32_MIN}) {
        GenIoctlRequest req = Device::request(code, out, 8, out, sizeof out);
        GenIoctlRequest before = req;
        EXPECT_EQ(EINVAL, dev.send(req)) << code;
        EXPECT_EQ(0, memcmp(&before, &req, sizeof req)) << code;
    }
}

TEST(Send, BadAddressesFailWith14)
{
    Device dev;
    int64_t channel = -1;
    char out[64];
    void* bad = reinterpret_cast<void*>(16);
    GenIoctlRequest req;
    EXPECT_EQ(EFAULT, dev.call(TRACEIODUP, bad, 8, out, 8, &req));
    EXPECT_EQ(-1, req.error);
    EXPECT_EQ(EFAULT, dev.call(TRACEIODUP, &channel, 8, bad, 8, &req));
    EXPECT_EQ(EFAULT, dev.call(TRACEIOLIST, nullptr, 0, bad, 4096, &req));
    // A kernel address is no user address either.
    void* kernel = reinterpret_cast<void*>(0xffffffff81000000ull);
    EXPECT_EQ(EFAULT, dev.call(TRACEIOLIST, nullptr, 0, kernel, 64, &req));
    EXPECT_EQ(-1, ioctl(dev.fd(), TRACEIOCTL_SEND, bad));
    EXPECT_EQ(EFAULT, errno);
}

// ---- function codes --------------------------------------------------------

// A fresh driver lists just the default channel (the VM loads it fresh).
TEST(Functions, ListOfAFreshDriver)
{
    Device dev;
    char out[4096];
    GenIoctlRequest req;
    ASSERT_EQ(0, dev.call(TRACEIOLIST, nullptr, 0, out, sizeof out, &req));
    EXPECT_EQ(0, req.error);
    ASSERT_EQ(8u, req.outputSize);
    EXPECT_EQ(0, memcmp(out, "traces\0\0", 8));
}

TEST(Functions, OpenDupInfoPrintReadReset)
{
    Device dev;
    int64_t ch = dev.open_channel("vmtest");
    ASSERT_GT(ch, 1);
    EXPECT_EQ(ch, dev.open_channel("VMTEST")) << "names compare without case";

    wchar_t wide[] = L"vmtest";
    TRACEIOOPENRESULTS opened{};
    GenIoctlRequest req;
    ASSERT_EQ(0, dev.call(TRACEIOOPENW, wide, sizeof wide, &opened, 8, &req));
    EXPECT_EQ(8u, req.outputSize);
    EXPECT_EQ(ch, opened.channel);

    TRACEIODUPRESULTS dup{};
    ASSERT_EQ(0, dev.call(TRACEIODUP, &ch, 8, &dup, 8, &req));
    EXPECT_EQ(ch, dup.channel);

    TRACEIOINFORESULTS info = dev.info(ch);
    EXPECT_EQ(0u, info.startLine);
    EXPECT_EQ(1u, info.endLine);
    EXPECT_EQ(0u, info.endLineLen);

    dev.print(ch, "first line\n");
    dev.print(ch, "second ");
    info = dev.info(ch);
    EXPECT_EQ(2u, info.endLine);
    EXPECT_EQ(14u + 7, info.endLineLen);
    EXPECT_EQ("first line", dev.read(ch, 1));

    wchar_t wtext[] = L"line \u00e9\u4e2d\n";
    std::vector<char> in(8 + sizeof wtext);
    memcpy(in.data(), &ch, 8);
    memcpy(in.data() + 8, wtext, sizeof wtext);
    ASSERT_EQ(0, dev.call(TRACEIOPRINTW, in.data(), in.size(), nullptr, 0, &req));
    EXPECT_EQ(0, req.error);
    EXPECT_EQ("second line \xc3\xa9\xe4\xb8\xad", dev.read(ch, 2));

    // The wide read answers units of 4 bytes, terminated.
    TRACEIOREADPARAMS params{ch, 2};
    wchar_t wout[64];
    ASSERT_EQ(0, dev.call(TRACEIOREADW, &params, sizeof params, wout, sizeof wout, &req));
    ASSERT_EQ((14u + 14 + 1) * 4, req.outputSize);
    EXPECT_EQ(0, wcscmp(wout + 14, L"second line \u00e9\u4e2d"));

    ASSERT_EQ(0, dev.call(TRACEIORESET, &ch, 8, nullptr, 0, &req));
    info = dev.info(ch);
    EXPECT_EQ(info.startLine + 1, info.endLine);
    EXPECT_EQ("", dev.read(ch, 1)) << "reset drops the old lines";

    // Close and default are accepted and change nothing in the driver.
    ASSERT_EQ(0, dev.call(TRACEIOCLOSE, &ch, 8, nullptr, 0, &req));
    EXPECT_EQ(0, req.error);
    ASSERT_EQ(0, dev.call(TRACEIODEFAULT, &ch, 8, nullptr, 0, &req));
    EXPECT_EQ(0, req.error);
    EXPECT_EQ(ch, dev.open_channel("vmtest"));
}

TEST(Functions, ListsNameTheChannels)
{
    Device dev;
    dev.open_channel("vmlist");
    char out[4096];
    GenIoctlRequest req;
    ASSERT_EQ(0, dev.call(TRACEIOLIST, nullptr, 0, out, sizeof out, &req));
    std::string names(out, req.outputSize);
    EXPECT_NE(std::string::npos, names.find(std::string("vmlist\0", 7)));
    EXPECT_EQ('\0', names.back());

    wchar_t wout[1024];
    ASSERT_EQ(0, dev.call(TRACEIOLISTW, nullptr, 0, wout, sizeof wout, &req));
    ASSERT_EQ(0u, req.outputSize % 4);
    std::wstring wnames(wout, req.outputSize / 4);
    EXPECT_NE(std::wstring::npos, wnames.find(std::wstring(L"vmlist\0", 7)));
}

// Records too short or without terminator are carried out as no-ops: error
// 0 and no output.
TEST(Functions, BadRecordsAnswerNothing)
{
    Device dev;
    int64_t ch = dev.open_channel("vmbad");
    char unterminated[16];
    memset(unterminated, 'a', sizeof unterminated);
    char print_unterminated[24];
    memcpy(print_unterminated, &ch, 8);
    memset(print_unterminated + 8, 'b', 16);
    wchar_t wname[4] = {L'a', L'b', L'c', L'd'};
    struct Case {
        int code;
        const void* in;
        uint64_t in_size, max_out;
    } cases[] = {
        {TRACEIOOPEN, unterminated, sizeof unterminated, 8},
        {TRACEIOOPEN, "name", 5, 7},
        {TRACEIOOPEN, "", 0, 8},
        {TRACEIOOPENW, wname, sizeof wname, 8},
        {TRACEIOOPENW, wname, 3, 8},
        {TRACEIODUP, &ch, 7, 8},
        {TRACEIODUP, &ch, 8, 7},
        {TRACEIOINFO, &ch, 7, 24},
        {TRACEIOINFO, &ch, 8, 23},
        {TRACEIOREAD, &ch, 15, 100},
        {TRACEIOREADW, &ch, 15, 100},
        {TRACEIOPRINT, &ch, 7, 0},
        {TRACEIOPRINT, print_unterminated, sizeof print_unterminated, 0},
        {TRACEIOPRINTW, print_unterminated, sizeof print_unterminated, 0},
        {TRACEIORESET, &ch, 7, 0},
        {TRACEIOGETVERSION, nullptr, 0, 7},
    };
    TRACEIOINFORESULTS before = dev.info(ch);
    int n = 0;
    for (const Case& c : cases) {
        char out[128];
        memset(out, 0x11, sizeof out);
        GenIoctlRequest req;
        ASSERT_EQ(0, dev.call(c.code, c.in, c.in_size, out, c.max_out, &req)) << "case " << n;
        EXPECT_EQ(0, req.error) << "case " << n;
        EXPECT_EQ(0u, req.outputSize) << "case " << n;
        for (char b : out)
            ASSERT_EQ(0x11, b) << "case " << n;
        n++;
    }
    TRACEIOINFORESULTS after = dev.info(ch);
    EXPECT_EQ(before.endLine, after.endLine);
    EXPECT_EQ(before.endLineLen, after.endLineLen);
}

// Unknown channels: prints are ignored, reads are empty, info is zero.
TEST(Functions, UnknownChannels)
{
    Device dev;
    for (int64_t ch : {int64_t(0), int64_t(201), int64_t(199), INT64_MIN}) {
        dev.print(ch, "lost\n");
        TRACEIOINFORESULTS info = dev.info(ch);
        EXPECT_EQ(0u, info.endLine);
        TRACEIOREADPARAMS params{ch, 0};
        char out[32];
        GenIoctlRequest req;
        ASSERT_EQ(0, dev.call(TRACEIOREAD, &params, sizeof params, out, sizeof out, &req));
        EXPECT_EQ(1u, req.outputSize);
        EXPECT_EQ('\0', out[0]);
    }
}

// The crash request is acknowledged and does nothing else.
TEST(Functions, CrashIsOnlyAcknowledged)
{
    Device dev;
    GenIoctlRequest req;
    ASSERT_EQ(0, dev.call(TRACEIOCRASH, nullptr, 0, nullptr, 0, &req));
    EXPECT_EQ(0, req.error);
    EXPECT_EQ(0u, req.outputSize);
}

// Input and output above 128 bytes go through the heap buffer, whole.
TEST(Functions, InputAndOutputAbove128Bytes)
{
    Device dev;
    int64_t ch = dev.open_channel("vmlong");
    for (size_t len : {120u, 121u, 200u, 4000u, 65000u}) {
        std::string text(len, 'q');
        for (size_t i = 0; i < len; i++)
            text[i] = char('a' + i % 26);
        dev.print(ch, text + "\n");
        uint64_t line = dev.info(ch).endLine - 1;
        EXPECT_EQ(text, dev.read(ch, line)) << len;
    }
    // A read whose output area is larger than the line answers the line.
    TRACEIOREADPARAMS params{ch, dev.info(ch).endLine - 1};
    std::vector<char> out(200);
    GenIoctlRequest req;
    ASSERT_EQ(0, dev.call(TRACEIOREAD, &params, 200, out.data(), out.size(), &req));
    EXPECT_EQ(200u, req.outputSize) << "cut to the area, terminated";
    EXPECT_EQ('\0', out[199]);
}

// Every request works on a file opened read-only.
TEST(Functions, ReadOnlyOpenServesEveryRequest)
{
    Device dev(O_RDONLY);
    ASSERT_GE(dev.fd(), 0);
    int64_t ch = dev.open_channel("vmreadonly");
    ASSERT_GT(ch, 1);
    dev.print(ch, "from a read-only file\n");
    EXPECT_EQ("from a read-only file", dev.read(ch, 1));
}

// ---- hostile sizes, as an ordinary user -------------------------------------

// The kernel address in the version answer is for CAP_SYSLOG only.
TEST(Unprivileged, VersionHidesTheExportTable)
{
    become_nobody();
    Device dev;
    ASSERT_GE(dev.fd(), 0) << "the node is open to everyone";
    TRACEIOGETVERSIONRESULTS r{};
    ASSERT_EQ(0, ioctl(dev.fd(), TRACEIOCTL_VERSION, &r));
    EXPECT_EQ(5, r.version);
    EXPECT_EQ(0u, r.exports);
    // The same answer through a send request.
    TRACEIOGETVERSIONRESULTS sent{};
    GenIoctlRequest req;
    ASSERT_EQ(0, dev.call(TRACEIOGETVERSION, nullptr, 0, &sent, sizeof sent, &req));
    EXPECT_EQ(32u, req.outputSize);
    EXPECT_EQ(5, sent.version);
    EXPECT_EQ(0u, sent.exports);
}

// Sizes up to 2^64-1 for every code: above the wire format's limit they
// fail with 22, below it they are cut to what the function uses. The
// kernel log must stay clean (the harness checks it for warnings).
TEST(Unprivileged, HostileSizes)
{
    become_nobody();
    Device dev;
    const size_t area_size = 2u << 20;
    char* area = static_cast<char*>(
        mmap(nullptr, area_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, area);
    memset(area, 'h', area_size);
    int64_t ch = dev.open_channel("vmhostile");
    memcpy(area, &ch, 8);
    memset(area + 8, 0, 8); // line 0 for the reads
    const uint64_t limit = TRACEIO_MAX_REQUEST_SIZE;
    const uint64_t sizes[] = {~0ull, 1ull << 63, 1ull << 32, limit + 1, limit, 1u << 20, 129};
    const int codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 76, 14,
                         TRACEIOWAIT, TRACEIOREADLINES};
    for (int code : codes) {
        for (uint64_t in_size : sizes) {
            for (uint64_t out_size : {uint64_t(0), uint64_t(64), in_size}) {
                GenIoctlRequest req =
                    Device::request(code, area, in_size, area + area_size / 2, out_size);
                int err = dev.send(req);
                bool absurd = in_size > limit || out_size > limit;
                int expected = absurd || code == 14 ? EINVAL : 0;
                ASSERT_EQ(expected, err) << "code " << code << " in " << in_size << " out "
                                         << out_size;
                if (!err) {
                    ASSERT_LE(req.outputSize, out_size);
                }
            }
        }
    }
    // The cut print text kept the first bytes, as a plain long print would.
    TRACEIOINFORESULTS info = dev.info(ch);
    EXPECT_GT(info.endLine, 1u);
    munmap(area, area_size);
}

// The wait and read-lines records from anyone: unknown channels, lines far
// past the end, rooms of nothing, of the header alone and smaller than one
// line are answered, never refused, and nothing is read past the room.
TEST(Unprivileged, HostileWaitAndReadLinesRecords)
{
    become_nobody();
    Device dev;
    int64_t ch = dev.open_channel("vmhostile.batch");
    dev.print(ch, "a line longer than the room below\n");
    for (int64_t unknown : {int64_t(0), int64_t(201), int64_t(-5), INT64_MAX, INT64_MIN}) {
        TRACEIOWAITRESULTS res = dev.wait(unknown, 0, -1);
        EXPECT_EQ(2, res.result) << unknown;
        EXPECT_EQ(0u, res.startLine);
        EXPECT_EQ(0u, res.endLine);
        std::vector<char> out(4096);
        TRACEIOREADLINESRESULTS head = dev.read_lines(unknown, 7, out);
        EXPECT_EQ(0u, head.count);
        EXPECT_EQ(7u, head.nextLine);
    }
    long long begin = now_msecs();
    for (uint64_t far : {uint64_t(1) << 40, ~uint64_t(0)}) {
        EXPECT_EQ(110, dev.wait(ch, far, 50).result);
        std::vector<char> out(4096);
        TRACEIOREADLINESRESULTS head = dev.read_lines(ch, far, out);
        EXPECT_EQ(0u, head.count);
        EXPECT_EQ(far, head.nextLine);
    }
    EXPECT_LT(now_msecs() - begin, 5000);

    // Room 0 and below the header: refused, nothing written. The header
    // alone, or room short of the line: no lines, the line named.
    for (uint64_t room : {0u, 1u, 15u, 16u, 36u}) {
        std::vector<char> out(room + 64, 'g');
        TRACEIOREADLINESPARAMS params{ch, 1};
        GenIoctlRequest req;
        ASSERT_EQ(0, dev.call(TRACEIOREADLINES, &params, sizeof params, out.data(), room, &req));
        EXPECT_EQ(room < 16 ? 0u : 16u, req.outputSize) << room;
        for (size_t k = req.outputSize; k < out.size(); k++)
            ASSERT_EQ('g', out[k]) << "room " << room << " byte " << k;
        if (room >= 16) {
            uint64_t head[2];
            memcpy(head, out.data(), sizeof head);
            EXPECT_EQ(0u, head[0]);
            EXPECT_EQ(1u, head[1]);
        }
    }
    // A record shorter than its fields is refused.
    TRACEIOWAITPARAMS wait{ch, 0, 0};
    TRACEIOWAITRESULTS res{};
    GenIoctlRequest req;
    ASSERT_EQ(0, dev.call(TRACEIOWAIT, &wait, sizeof wait - 1, &res, sizeof res, &req));
    EXPECT_EQ(0u, req.outputSize);
    ASSERT_EQ(0, dev.call(TRACEIOWAIT, &wait, sizeof wait, &res, sizeof res - 1, &req));
    EXPECT_EQ(0u, req.outputSize);
}

// ---- waiting and batch reads ----------------------------------------------------

// A print in another process wakes a waiter at once, with the new range.
TEST(Wait, WokenByAPrintInAnotherProcess)
{
    Device dev;
    int64_t ch = dev.open_channel("vmwait.print");
    uint64_t end = dev.info(ch).endLine;
    pid_t writer = later(300, [ch] { Device(O_WRONLY).print(ch, "wake up\n"); });
    long long begin = now_msecs();
    TRACEIOWAITRESULTS res = dev.wait(ch, end, 20000);
    long long took = now_msecs() - begin;
    EXPECT_EQ(0, res.result);
    EXPECT_EQ(end + 1, res.endLine);
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 10000);
    EXPECT_EQ("wake up", dev.read(ch, end));
    reap(writer);
    // A line already there answers at once; a piece without a line feed
    // ends no line and wakes nobody.
    EXPECT_EQ(0, dev.wait(ch, end, 0).result);
    dev.print(ch, "half a line");
    EXPECT_EQ(110, dev.wait(ch, end + 1, 100).result);
}

// A reset wakes a waiter whose line will never come under the old numbers.
TEST(Wait, WokenByAReset)
{
    Device dev;
    int64_t ch = dev.open_channel("vmwait.reset");
    uint64_t end = dev.info(ch).endLine;
    pid_t resetter = later(300, [ch] {
        Device other;
        EXPECT_EQ(0, other.call(TRACEIORESET, &ch, 8, nullptr, 0));
    });
    TRACEIOWAITRESULTS res = dev.wait(ch, end + 1000, 20000);
    EXPECT_EQ(0, res.result);
    EXPECT_EQ(res.startLine + 1, res.endLine);
    reap(resetter);
}

// The timeout ends a wait with 110 and the range as it is.
TEST(Wait, TimesOut)
{
    Device dev;
    int64_t ch = dev.open_channel("vmwait.timeout");
    TRACEIOINFORESULTS info = dev.info(ch);
    long long begin = now_msecs();
    TRACEIOWAITRESULTS res = dev.wait(ch, info.endLine, 400);
    long long took = now_msecs() - begin;
    EXPECT_EQ(110, res.result);
    EXPECT_EQ(info.startLine, res.startLine);
    EXPECT_EQ(info.endLine, res.endLine);
    EXPECT_GE(took, 350);
    EXPECT_LT(took, 5000);
}

void on_alarm(int) {}

// A signal ends a wait without timeout with 4; the request itself succeeds.
TEST(Wait, InterruptedByASignal)
{
    Device dev;
    int64_t ch = dev.open_channel("vmwait.signal");
    struct sigaction action = {};
    action.sa_handler = on_alarm;
    action.sa_flags = SA_RESTART; // even so: the wait answers, it is not restarted
    ASSERT_EQ(0, sigaction(SIGALRM, &action, nullptr));
    alarm(1);
    TRACEIOWAITRESULTS res = dev.wait(ch, dev.info(ch).endLine, -1);
    EXPECT_EQ(4, res.result);
    EXPECT_GT(res.endLine, 0u);
    signal(SIGALRM, SIG_DFL);
}

// The lines of a batch read are byte for byte those of reads one by one,
// whatever the room, across the ring's end and with lines of every length.
TEST(ReadLines, ByteIdenticalToSingleReads)
{
    Device dev;
    int64_t ch = dev.open_channel("vmbatch");
    for (int n = 0; n < 12000; n++)
        dev.print(ch, "line " + std::to_string(n) + " " + std::string(size_t(n * 7919 % 300), 'a' + n % 26) + "\n");
    dev.print(ch, std::string(70000, 'L') + "\n"); // longer than any batch
    dev.print(ch, "after the long line\nin progress");
    TRACEIOINFORESULTS info = dev.info(ch);
    std::string single;
    for (uint64_t line = info.startLine; line < info.endLine; line++) {
        TRACEIOREADPARAMS params{ch, line};
        std::vector<char> out(300000);
        GenIoctlRequest req;
        ASSERT_EQ(0, dev.call(TRACEIOREAD, &params, sizeof params, out.data(), out.size(), &req));
        single.append(out.data(), req.outputSize);
    }
    for (size_t room : {size_t(500), size_t(4096), size_t(TRACEIO_MAX_BATCH), size_t(1) << 20}) {
        std::string batch;
        size_t requests = 0;
        for (uint64_t line = info.startLine; line < info.endLine; requests++) {
            std::vector<char> out(room);
            uint64_t size = 0;
            TRACEIOREADLINESRESULTS head = dev.read_lines(ch, line, out, &size);
            ASSERT_LE(size, std::min<uint64_t>(room, TRACEIO_MAX_BATCH));
            ASSERT_EQ(line, head.nextLine - head.count) << "nothing was dropped meanwhile";
            if (!head.count) {
                // Longer than the room: the single read takes it.
                ASSERT_EQ(line, head.nextLine);
                TRACEIOREADPARAMS params{ch, line};
                std::vector<char> one(300000);
                GenIoctlRequest req;
                ASSERT_EQ(0, dev.call(TRACEIOREAD, &params, sizeof params, one.data(), one.size(), &req));
                batch.append(one.data(), req.outputSize);
                line++;
                continue;
            }
            batch.append(out.data() + 16, size - 16);
            line = head.nextLine;
        }
        EXPECT_TRUE(batch == single) << "room " << room;
        if (room >= TRACEIO_MAX_BATCH) {
            EXPECT_LT(requests * 10, info.endLine - info.startLine) << "room " << room;
        }
    }
}

// ---- many processes at once --------------------------------------------------

// A self-checking line: writer, sequence number, a filler whose length and
// content follow from both, and a checksum over everything before it.
std::string stress_line(int writer, int seq)
{
    char head[32];
    snprintf(head, sizeof head, "w%02d n%06d ", writer, seq);
    std::string line = head;
    size_t fill = (size_t(seq) * 37 + size_t(writer) * 11) % 200;
    for (size_t i = 0; i < fill; i++)
        line += char('A' + (writer + seq + i) % 26);
    uint32_t sum = 0;
    for (unsigned char c : line)
        sum = sum * 31 + c;
    char tail[16];
    snprintf(tail, sizeof tail, " s%08x", sum);
    return line + tail;
}

// Returns the writer and sequence of a whole line, or -1 for a torn one.
int check_stress_line(const std::string& line, int* seq)
{
    int writer = -1;
    if (sscanf(line.c_str(), "w%02d n%06d ", &writer, seq) != 2)
        return -1;
    if (writer < 0 || writer > 99 || *seq < 0 || line != stress_line(writer, *seq))
        return -1;
    return writer;
}

// 1,200 lines of about 130 bytes: the ring (256 KiB) keeps them all.
const int stress_writers = 4, stress_readers = 2, stress_lines = 300;

void stress_writer(int writer, int64_t ch)
{
    Device dev;
    for (int seq = 0; seq < stress_lines; seq++)
        dev.print(ch, stress_line(writer, seq) + "\n");
}

// Reads every completed line again and again while the writers run;
// returns the number of torn lines seen (an empty answer is a line that
// has just been dropped, or not yet written).
int stress_reader(int64_t ch, int rounds)
{
    Device dev;
    int bad = 0;
    for (int r = 0; r < rounds; r++) {
        TRACEIOINFORESULTS info = dev.info(ch);
        for (uint64_t line = info.startLine + 1; line < info.endLine; line++) {
            int seq;
            std::string text = dev.read(ch, line, 1024);
            if (!text.empty() && check_stress_line(text, &seq) < 0) {
                fprintf(stderr, "torn line %llu: %s\n", (unsigned long long)line, text.c_str());
                bad++;
            }
        }
    }
    return bad;
}

// Starts the stress writers on channel ch, adding their pids to pids.
void start_stress_writers(int64_t ch, std::vector<pid_t>& pids)
{
    for (int w = 0; w < stress_writers; w++)
        pids.push_back(later(0, [w, ch] { stress_writer(w, ch); }));
}

TEST(Concurrency, WritersAndReadersInSeveralProcesses)
{
    Device dev;
    int64_t ch = dev.open_channel("vmstress");
    std::vector<pid_t> children;
    start_stress_writers(ch, children);
    for (int r = 0; r < stress_readers; r++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(stress_reader(ch, 3) == 0 && !testing::Test::HasFailure() ? 0 : 1);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
    }
    // Every line of every writer is there once, whole and in its order.
    TRACEIOINFORESULTS info = dev.info(ch);
    ASSERT_EQ(0u, info.startLine) << "nothing dropped";
    ASSERT_EQ(uint64_t(stress_writers * stress_lines + 1), info.endLine);
    std::vector<int> next(stress_writers, 0);
    for (uint64_t line = 1; line < info.endLine; line++) {
        int seq;
        std::string text = dev.read(ch, line, 1024);
        int w = check_stress_line(text, &seq);
        ASSERT_GE(w, 0) << "line " << line << ": " << text;
        ASSERT_LT(w, stress_writers);
        ASSERT_EQ(next[w], seq) << "writer " << w;
        next[w]++;
    }
}

// A reader that follows with wait and batch reads from line 1 until it has
// `total` lines; returns the torn or out-of-order lines it saw, or -1 when
// it never got them all.
int batch_follower(int64_t ch, int total)
{
    Device dev;
    std::vector<int> next(stress_writers, 0);
    std::vector<char> out(TRACEIO_MAX_BATCH);
    int bad = 0, seen = 0;
    uint64_t line = 1;
    long long deadline = now_msecs() + 60000;
    while (seen < total && now_msecs() < deadline) {
        TRACEIOWAITRESULTS res = dev.wait(ch, line, 1000);
        if (res.result != 0 && res.result != 110)
            return -1;
        TRACEIOREADLINESRESULTS head = dev.read_lines(ch, line, out);
        if (head.nextLine - head.count != line)
            return -1; // lost lines: the ring holds them all here
        const char* text = out.data() + 16;
        for (uint64_t k = 0; k < head.count; k++, seen++) {
            int seq;
            int w = check_stress_line(text + 14, &seq);
            if (w < 0 || w >= stress_writers || seq != next[w]++)
                bad++;
            text += strlen(text) + 1;
        }
        line = head.nextLine;
    }
    return seen == total ? bad : -1;
}

// Writers in several processes while as many followers block in wait and
// read in batches, and sleepers wait on another channel: every follower
// sees every line once, whole and in each writer's order.
TEST(Concurrency, WaitersAndWritersAtOnce)
{
    Device dev;
    int64_t ch = dev.open_channel("vmstress.wait");
    int64_t quiet = dev.open_channel("vmstress.quiet");
    std::vector<pid_t> followers, others;
    for (int r = 0; r < 4; r++)
        followers.push_back(
            spawn([ch] { return batch_follower(ch, stress_writers * stress_lines) == 0 ? 0 : 1; }));
    for (int s = 0; s < 2; s++)
        others.push_back(spawn([quiet] { return Device().wait(quiet, 1u << 30, 30000).result; }));
    usleep(200000); // the followers are asleep before the first line
    start_stress_writers(ch, others);
    for (pid_t pid : followers) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "follower " << pid;
    }
    // The sleepers on the quiet channel are woken by its reset.
    EXPECT_EQ(0, dev.call(TRACEIORESET, &quiet, 8, nullptr, 0));
    for (pid_t pid : others)
        reap(pid);
}

// ---- kernel client ------------------------------------------------------------

// The test module attached as a kernel client and printed into its channel.
TEST(KernelClient, LineIsVisibleToUserMode)
{
    Device dev;
    int64_t ch = dev.open_channel("kclient");
    TRACEIOINFORESULTS info = dev.info(ch);
    bool found = false;
    for (uint64_t line = info.startLine; line < info.endLine; line++)
        found |= dev.read(ch, line) == "kernel client attached through the export table";
    EXPECT_TRUE(found);
}

} // namespace
