// cdev_test.cpp - drives /dev/qpcdevtest (the framework's test owner,
// cdevtest.c) with raw ioctls inside the test VM: the interface query, the
// control request with every buffer path, faults, signals, pinned user
// pages, hostile sizes and a cancel under load.
//
// Runs as root, Unprivileged* as an ordinary user; Cancel* cuts the owner
// off for good and runs last. The guest script picks
// the groups with --gtest_filter.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qpioctl.h"
#include "cdevtest.h"

namespace {

// The records as they travel.
static_assert(sizeof(qp_interface_version_t) == 112, "interface record is 112 bytes");
static_assert(offsetof(qp_interface_version_t, start_code) == 8, "start_code at 8");
static_assert(offsetof(qp_interface_version_t, direct) == 24, "direct at 24");
static_assert(offsetof(qp_interface_version_t, interface_id) == 32, "interface_id at 32");
static_assert(sizeof(qp_ioctl_req_t) == 48, "control request is 48 bytes");
static_assert(offsetof(qp_ioctl_req_t, code) == 12, "code at 12");
static_assert(offsetof(qp_ioctl_req_t, err) == 16, "err at 16");
static_assert(offsetof(qp_ioctl_req_t, output_size) == 28, "output_size at 28");
static_assert(offsetof(qp_ioctl_req_t, input) == 32, "input at 32");
static_assert(offsetof(qp_ioctl_req_t, output) == 40, "output at 40");

const char* const dev_path = "/dev/" CDEVTEST_NAME;
const uint64_t unmapped = 0x10ull; // the first page is never mapped
const uint64_t kernel_address = 0xffff888000000000ull;

class Device {
public:
    Device() : fd_(open(dev_path, O_RDWR | O_CLOEXEC)) {}
    ~Device()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    int fd() const { return fd_; }

    // One control request; returns 0 or the ioctl's errno, the record as
    // the device answered it in `req`.
    int send(qp_ioctl_req_t& req) const
    {
        return ioctl(fd_, QP_IOCTL_CONTROL, &req) == 0 ? 0 : errno;
    }
    int call(int code, uint64_t in, uint32_t in_size, uint64_t out, uint32_t max_out,
             qp_ioctl_req_t* answer = nullptr) const
    {
        qp_ioctl_req_t req = request(code, in, in_size, out, max_out);
        int err = send(req);
        if (answer)
            *answer = req;
        return err;
    }
    int call(int code, const void* in, uint32_t in_size, void* out, uint32_t max_out,
             qp_ioctl_req_t* answer = nullptr) const
    {
        return call(code, reinterpret_cast<uintptr_t>(in), in_size,
                    reinterpret_cast<uintptr_t>(out), max_out, answer);
    }
    static qp_ioctl_req_t request(int code, uint64_t in, uint32_t in_size, uint64_t out,
                                  uint32_t max_out)
    {
        qp_ioctl_req_t req{};
        req.code = code;
        req.err = -1;
        req.input = in;
        req.input_size = in_size;
        req.output = out;
        req.max_output_size = max_out;
        req.output_size = 0xDEAD;
        return req;
    }
    int query(const char* id, qp_interface_version_t& version) const
    {
        version = qp_interface_version_t{};
        strncpy(version.interface_id, id, sizeof version.interface_id);
        return ioctl(fd_, QP_IOCTL_GET_INTERFACE, &version) == 0 ? 0 : errno;
    }
    int echo(std::vector<char>& in, qp_ioctl_req_t* answer = nullptr) const
    {
        std::vector<char> out(in.size() + 1, 'x');
        int err = call(cdevtest_echo, in.data(), in.size(), out.data(), in.size(), answer);
        if (!err && memcmp(in.data(), out.data(), in.size()))
            return -1;
        return err;
    }

private:
    int fd_;
};

// A private mapping with guard bytes: `size` bytes at `offset` into it.
class Area {
public:
    Area(size_t pages, size_t offset, size_t size, int prot = PROT_READ | PROT_WRITE)
        : pages_(pages), offset_(offset), size_(size)
    {
        base_ = static_cast<uint8_t*>(mmap(nullptr, pages * 4096, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        memset(base_, 0xAA, pages * 4096);
        mprotect(base_, pages * 4096, prot);
    }
    ~Area() { munmap(base_, pages_ * 4096); }
    Area(const Area&) = delete;
    Area& operator=(const Area&) = delete;
    uint64_t addr() const { return reinterpret_cast<uintptr_t>(base_ + offset_); }
    // The pattern exactly in the range, the guard value everywhere else.
    bool holds_pattern(uint32_t seed) const
    {
        for (size_t i = 0; i < pages_ * 4096; i++) {
            bool inside = i >= offset_ && i < offset_ + size_;
            uint8_t want = inside ? cdevtest_pattern(seed, i - offset_) : 0xAA;
            if (base_[i] != want) {
                ADD_FAILURE() << "byte " << i << " is " << int(base_[i]) << ", want "
                              << int(want);
                return false;
            }
        }
        return true;
    }
    bool untouched() const
    {
        for (size_t i = 0; i < pages_ * 4096; i++)
            if (base_[i] != 0xAA)
                return false;
        return true;
    }
    uint8_t* data() { return base_ + offset_; }

private:
    uint8_t* base_;
    size_t pages_, offset_, size_;
};

cdevtest_fill_t fill_record(uint64_t addr, uint64_t size, uint64_t split, uint32_t seed)
{
    cdevtest_fill_t fill{};
    fill.addr = addr;
    fill.size = size;
    fill.split = split;
    fill.seed = seed;
    return fill;
}

// ---- the interface query ----------------------------------------------------

// A known id answers the owner's record; user callers never see `direct`.
TEST(Interface, KnownId)
{
    Device dev;
    ASSERT_GE(dev.fd(), 0);
    qp_interface_version_t version;
    ASSERT_EQ(0, dev.query(CDEVTEST_INTERFACE, version));
    EXPECT_EQ(cdevtest_version, version.version);
    EXPECT_EQ(cdevtest_min_client_version, version.min_client_compat_version);
    EXPECT_EQ(cdevtest_start_code, version.start_code);
    EXPECT_EQ(0u, version.direct);
    EXPECT_STREQ(CDEVTEST_INTERFACE, version.interface_id);
}

// Unknown and unterminated ids are refused by the owner; the record is not
// answered.
TEST(Interface, UnknownAndUnterminatedIds)
{
    Device dev;
    qp_interface_version_t version;
    EXPECT_EQ(ENOENT, dev.query("qpcdevtest2", version));
    memset(&version, 'q', sizeof version);
    EXPECT_EQ(-1, ioctl(dev.fd(), QP_IOCTL_GET_INTERFACE, &version));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(0x71717171, version.version);
}

// ---- control requests ---------------------------------------------------------

// Echo across the stack buffer's edge and far into the heap.
TEST(Control, EchoSizes)
{
    Device dev;
    for (size_t size : {0u, 1u, 128u, 129u, 1u << 20}) {
        std::vector<char> in(size);
        for (size_t i = 0; i < size; i++)
            in[i] = char(i * 31 + size);
        qp_ioctl_req_t answer;
        EXPECT_EQ(0, dev.echo(in, &answer)) << size;
        EXPECT_EQ(0, answer.err) << size;
        EXPECT_EQ(size, answer.output_size) << size;
        EXPECT_EQ(cdevtest_echo, answer.code);
    }
}

// The control's own error comes back in err and as the ioctl's failure,
// with nothing produced.
TEST(Control, OwnErrorComesBack)
{
    Device dev;
    int32_t code = ENODATA;
    qp_ioctl_req_t answer;
    EXPECT_EQ(ENODATA, dev.call(cdevtest_fail, &code, sizeof code, nullptr, 0, &answer));
    EXPECT_EQ(ENODATA, answer.err);
    EXPECT_EQ(0u, answer.output_size);
    char in[200] = {1}, out[100];
    EXPECT_EQ(EOVERFLOW, dev.call(cdevtest_echo, in, sizeof in, out, sizeof out, &answer));
    EXPECT_EQ(EOVERFLOW, answer.err);
    EXPECT_EQ(0u, answer.output_size);
    EXPECT_EQ(ENOSYS, dev.call(cdevtest_start_code + 99, in, 4, out, 4, &answer));
}

// Bad input and output addresses fail with 14 and the record still comes
// back: err says what happened to the control.
TEST(Control, BadAddressesGive14)
{
    Device dev;
    char buf[300] = {};
    qp_ioctl_req_t answer;
    for (uint32_t size : {16u, 300u}) {
        EXPECT_EQ(EFAULT, dev.call(cdevtest_echo, unmapped, size,
                                   reinterpret_cast<uintptr_t>(buf), sizeof buf, &answer));
        EXPECT_EQ(EFAULT, answer.err);
        EXPECT_EQ(0u, answer.output_size);
        EXPECT_EQ(EFAULT, dev.call(cdevtest_echo, reinterpret_cast<uintptr_t>(buf), size,
                                   kernel_address, size, &answer));
        EXPECT_EQ(0, answer.err) << "the control itself succeeded";
        EXPECT_EQ(size, answer.output_size);
    }
    EXPECT_EQ(-1, ioctl(dev.fd(), QP_IOCTL_CONTROL, reinterpret_cast<void*>(unmapped)));
    EXPECT_EQ(EFAULT, errno);
    EXPECT_EQ(-1, ioctl(dev.fd(), QP_IOCTL_GET_INTERFACE, nullptr));
    EXPECT_EQ(EFAULT, errno);
}

// Other ioctls, read and write are not implemented (38).
TEST(Control, UnknownIoctlReadAndWriteGive38)
{
    Device dev;
    qp_ioctl_req_t req = Device::request(cdevtest_echo, 0, 0, 0, 0);
    for (unsigned long cmd : {0xC0306702ul, 0xC0286701ul, 0x6701ul, 0x80306701ul}) {
        EXPECT_EQ(-1, ioctl(dev.fd(), cmd, &req)) << std::hex << cmd;
        EXPECT_EQ(ENOSYS, errno) << std::hex << cmd;
    }
    char buf[8] = {};
    EXPECT_EQ(-1, read(dev.fd(), buf, sizeof buf));
    EXPECT_EQ(ENOSYS, errno);
    EXPECT_EQ(-1, write(dev.fd(), buf, sizeof buf));
    EXPECT_EQ(ENOSYS, errno);
}

// ---- sleeping requests -----------------------------------------------------------

void on_signal(int) {}

struct Sleeper {
    int err = -1;
    qp_ioctl_req_t answer{};
    int32_t timeout_msecs = -1;
};

void* sleep_request(void* arg)
{
    Sleeper* sleeper = static_cast<Sleeper*>(arg);
    Device dev;
    sleeper->err = dev.call(cdevtest_sleep, &sleeper->timeout_msecs, 4, nullptr, 0,
                            &sleeper->answer);
    return nullptr;
}

// A signal to the sleeping caller fires its interrupt pin: the request ends
// with 4 (the owner's 125 stays in err).
TEST(Sleep, SignalEndsItWith4)
{
    struct sigaction action {};
    action.sa_handler = on_signal; // no SA_RESTART
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, nullptr));
    Sleeper sleeper;
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, nullptr, sleep_request, &sleeper));
    usleep(300 * 1000);
    EXPECT_EQ(-1, sleeper.err) << "still asleep";
    pthread_kill(thread, SIGUSR1);
    pthread_join(thread, nullptr);
    EXPECT_EQ(EINTR, sleeper.err);
    EXPECT_EQ(ECANCELED, sleeper.answer.err);
}

// Without a signal the wait ends by its timeout.
TEST(Sleep, TimeoutEndsIt)
{
    Sleeper sleeper;
    sleeper.timeout_msecs = 50;
    sleep_request(&sleeper);
    EXPECT_EQ(ETIMEDOUT, sleeper.err);
}

// ---- user buffers ------------------------------------------------------------------

// A range over three pages at an odd offset is filled exactly (through two
// vector elements, the second an alias) and the bytes around it stay.
TEST(Buffers, FillThreePagesAtOddOffset)
{
    Device dev;
    const size_t size = 2 * 4096 + 1000;
    for (uint64_t split : {uint64_t(0), uint64_t(4000), uint64_t(size)}) {
        Area area(5, 4096 + 3001, size);
        cdevtest_fill_t fill = fill_record(area.addr(), size, split, 9 + split);
        EXPECT_EQ(0, dev.call(cdevtest_fill, &fill, sizeof fill, nullptr, 0));
        EXPECT_TRUE(area.holds_pattern(9 + split)) << split;
    }
    Area single(1, 77, 1);
    cdevtest_fill_t fill = fill_record(single.addr(), 1, 1, 3);
    EXPECT_EQ(0, dev.call(cdevtest_fill, &fill, sizeof fill, nullptr, 0));
    EXPECT_TRUE(single.holds_pattern(3));
}

// Pages the caller may not write are refused with 14 and stay untouched.
TEST(Buffers, ReadOnlyRangeGives14)
{
    Device dev;
    Area area(2, 100, 5000, PROT_READ);
    cdevtest_fill_t fill = fill_record(area.addr(), 5000, 10, 1);
    EXPECT_EQ(EFAULT, dev.call(cdevtest_fill, &fill, sizeof fill, nullptr, 0));
    EXPECT_TRUE(area.untouched());
}

// The sum of a vector of user ranges reads every byte once.
TEST(Buffers, SumOfAVector)
{
    Device dev;
    Area area(6, 1, 6 * 4096 - 1);
    for (size_t i = 0; i < 6 * 4096 - 1; i++)
        area.data()[i] = uint8_t(i * 5 + 3);
    cdevtest_range_t ranges[3] = {
        {area.addr() + 10, 1},
        {area.addr() + 4000, 9000},
        {area.addr() + 20000, 4000},
    };
    uint64_t expected = 0;
    for (const cdevtest_range_t& range : ranges)
        for (uint64_t i = 0; i < range.size; i++)
            expected += area.data()[range.addr - area.addr() + i];
    uint64_t sum = 0;
    qp_ioctl_req_t answer;
    ASSERT_EQ(0, dev.call(cdevtest_sum, ranges, sizeof ranges, &sum, sizeof sum, &answer));
    EXPECT_EQ(expected, sum);
    EXPECT_EQ(8u, answer.output_size);
}

// Through an allocated buffer and scattered pages (no kernel mapping) into
// user pages: multi-page sizes, odd offsets, and a size beyond a single
// page allocation.
TEST(Buffers, BouncePath)
{
    Device dev;
    for (size_t size : {size_t(1), size_t(3 * 4096 + 77), size_t(5u << 20)}) {
        size_t pages = (size + 4096 + 511) / 4096 + 1;
        Area area(pages, 511, size);
        cdevtest_fill_t fill = fill_record(area.addr(), size, 0, 41);
        EXPECT_EQ(0, dev.call(cdevtest_bounce, &fill, sizeof fill, nullptr, 0)) << size;
        EXPECT_TRUE(area.holds_pattern(41)) << size;
    }
}

// ---- as an ordinary user -------------------------------------------------------------

// Sizes and addresses anyone may send, up to 2^64-1: each refused with 22
// or 14 before anything is allocated or touched, and the device still
// works afterwards.
TEST(Unprivileged, HostileSizes)
{
    ASSERT_NE(0u, geteuid()) << "run as an ordinary user";
    Device dev;
    ASSERT_GE(dev.fd(), 0);
    char buf[64] = {};
    qp_ioctl_req_t answer;
    for (uint32_t size : {0xFFFFFFFFu, 0x80000000u, uint32_t(qp_ioctl_size_max) + 1}) {
        EXPECT_EQ(EINVAL, dev.call(cdevtest_echo, buf, size, buf, 0, &answer)) << size;
        EXPECT_EQ(EINVAL, answer.err);
        EXPECT_EQ(EINVAL, dev.call(cdevtest_echo, buf, 0, buf, size, &answer)) << size;
    }
    for (uint64_t addr : {uint64_t(~0ull), uint64_t(~0ull - 4095), kernel_address, unmapped}) {
        EXPECT_EQ(EFAULT, dev.call(cdevtest_echo, addr, 16, reinterpret_cast<uintptr_t>(buf),
                                   16, &answer));
        cdevtest_fill_t fill = fill_record(addr, 16, 0, 1);
        EXPECT_EQ(EFAULT, dev.call(cdevtest_fill, &fill, sizeof fill, nullptr, 0));
        EXPECT_EQ(EFAULT, dev.call(cdevtest_bounce, &fill, sizeof fill, nullptr, 0));
        cdevtest_range_t range{addr, 16};
        uint64_t sum;
        EXPECT_EQ(EFAULT, dev.call(cdevtest_sum, &range, sizeof range, &sum, sizeof sum));
    }
    Area area(1, 0, 16);
    for (uint64_t size : {uint64_t(~0ull), uint64_t(1ull << 63), uint64_t(cdevtest_max_size) + 1}) {
        cdevtest_fill_t fill = fill_record(area.addr(), size, 0, 1);
        EXPECT_EQ(EINVAL, dev.call(cdevtest_fill, &fill, sizeof fill, nullptr, 0));
        EXPECT_EQ(EINVAL, dev.call(cdevtest_bounce, &fill, sizeof fill, nullptr, 0));
        cdevtest_range_t range{area.addr(), size};
        uint64_t sum;
        EXPECT_EQ(EINVAL, dev.call(cdevtest_sum, &range, sizeof range, &sum, sizeof sum));
    }
    cdevtest_fill_t split_past = fill_record(area.addr(), 16, ~0ull, 1);
    EXPECT_EQ(EINVAL, dev.call(cdevtest_fill, &split_past, sizeof split_past, nullptr, 0));
    qp_interface_version_t version;
    ASSERT_EQ(0, dev.query(CDEVTEST_INTERFACE, version));
    EXPECT_EQ(0u, version.direct);
    std::vector<char> in(1000, 'z');
    EXPECT_EQ(0, dev.echo(in));
}

// ---- cancel (last: the owner is gone for good) -----------------------------------------

// Echo requests on fresh and long-lived files until the owner is gone:
// once a request got 32, every later open and request does too. Exits 0
// when the rule held and 32 was seen.
int hammer()
{
    Device lasting;
    std::vector<char> in(200, 'h');
    int seen_pipe = 0;
    for (int round = 0; round < 200000 && seen_pipe < 300; round++) {
        int err;
        if (round % 2) {
            err = lasting.echo(in);
        } else {
            Device fresh;
            err = fresh.fd() < 0 ? errno : fresh.echo(in);
        }
        if (err == EPIPE)
            seen_pipe++;
        else if (err != 0 || seen_pipe)
            return 1;
    }
    return seen_pipe ? 0 : 2;
}

// Two processes hammer the device while it is cancelled; a request asleep
// in the owner ends with 125 (its terminate pin fired); afterwards every
// open and request gets 32, and nothing crashed.
TEST(Cancel, UnderLoad)
{
    Device mine;
    Sleeper sleeper;
    sleeper.timeout_msecs = 20000; // a lost wake-up fails instead of hanging
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, nullptr, sleep_request, &sleeper));
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        if (child == 0)
            _exit(hammer());
    }
    usleep(500 * 1000);
    EXPECT_EQ(0, mine.call(cdevtest_cancel, nullptr, 0, nullptr, 0));
    pthread_join(thread, nullptr);
    EXPECT_EQ(ECANCELED, sleeper.err);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(0, WEXITSTATUS(status));
    }
    std::vector<char> in(10, 'a');
    EXPECT_EQ(EPIPE, mine.echo(in));
    qp_interface_version_t version;
    EXPECT_EQ(EPIPE, mine.query(CDEVTEST_INTERFACE, version));
    EXPECT_EQ(-1, open(dev_path, O_RDWR | O_CLOEXEC));
    EXPECT_EQ(EPIPE, errno);
}

} // namespace
