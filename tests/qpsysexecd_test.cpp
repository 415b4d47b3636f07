// Tests of the daemon's request checks on byte records as a hostile client
// would send them, its size caps, and the busy count with the idle rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qperr.h"
#include "qpsysexecd.h"

namespace {

// A start record: i32 LE argc, then the bytes as given (texts with their
// zeros, then the folder).
std::string record(int32_t argc, const std::string& texts)
{
    std::string r(4, '\0');
    uint32_t u = static_cast<uint32_t>(argc);
    for (int i = 0; i < 4; i++) {
        r[i] = static_cast<char>(u >> (8 * i));
    }
    return r + texts;
}

std::string zeroed(const std::vector<std::string>& args, const std::string& folder)
{
    std::string texts;
    for (const auto& a : args) {
        texts += a;
        texts.push_back('\0');
    }
    return texts + folder + std::string(1, '\0');
}

struct parse_result {
    int err;
    std::vector<std::string> argv;
    std::string folder;
    bool null_terminated;
};

parse_result parse(const std::string& r, size_t max_output = 4)
{
    qp_scratch_pool pool;
    qpsysexec_exec_args_t a;
    parse_result p{};
    p.err = qpsysexec_exec_parse(pool.ma(), r.data(), r.size(), max_output, &a);
    if (!p.err) {
        for (int i = 0; i < a.argc; i++) {
            p.argv.push_back(a.argv[i]);
        }
        p.null_terminated = a.argv[a.argc] == nullptr;
        p.folder = a.folder;
    } else {
        EXPECT_EQ(a.argv, nullptr);
        EXPECT_EQ(a.argc, 0);
    }
    return p;
}

// A well-formed record splits into the vector and the folder.
TEST(QpsysexecParse, SplitsArgumentsAndFolder)
{
    parse_result p = parse(record(3, zeroed({"/bin/echo", "a b", ""}, "/home/u")));
    ASSERT_EQ(p.err, 0);
    EXPECT_EQ(p.argv, (std::vector<std::string>{"/bin/echo", "a b", ""}));
    EXPECT_TRUE(p.null_terminated);
    EXPECT_EQ(p.folder, "/home/u");
}

// The folder runs to its zero or to the end of the data; bytes after its
// zero are ignored.
TEST(QpsysexecParse, FolderEndsAtZeroOrEndOfData)
{
    parse_result p = parse(record(1, std::string("/x\0/tmp", 7)));
    ASSERT_EQ(p.err, 0);
    EXPECT_EQ(p.folder, "/tmp");
    p = parse(record(1, std::string("/x\0/tmp\0junk", 12)));
    ASSERT_EQ(p.err, 0);
    EXPECT_EQ(p.folder, "/tmp");
    // The last argument's zero is the last byte: the folder is empty (the
    // caller refuses an empty folder after completion).
    p = parse(record(1, std::string("/bin/x\0", 7)));
    ASSERT_EQ(p.err, 0);
    EXPECT_EQ(p.folder, "");
}

// argc outside 1..1000 (negative and huge values included) gets 22.
TEST(QpsysexecParse, ArgcRange)
{
    std::string body = zeroed({"/bin/true"}, "/");
    for (int32_t argc : {0, -1, 1001, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(parse(record(argc, body)).err, err_bad_parameter) << argc;
    }
    std::vector<std::string> many(1000, "x");
    parse_result p = parse(record(1000, zeroed(many, "/")));
    ASSERT_EQ(p.err, 0);
    EXPECT_EQ(p.argv.size(), 1000u);
    // 1000 texts present but argc says 1001: the 1001st has no zero.
    EXPECT_EQ(parse(record(1001, zeroed(many, "/"))).err, err_bad_parameter);
}

// An argument whose zero is missing gets 22, wherever the data ends.
TEST(QpsysexecParse, ArgumentWithoutZero)
{
    EXPECT_EQ(parse(record(1, "/bin/true")).err, err_bad_parameter);
    EXPECT_EQ(parse(record(2, std::string("/bin/echo\0abc", 13))).err, err_bad_parameter);
    // argc counts the folder as an argument: its zero is there, but the
    // record then has one text too few only if the folder lacks its zero.
    EXPECT_EQ(parse(record(2, std::string("/bin/echo\0/", 11))).err, err_bad_parameter);
    EXPECT_EQ(parse(record(2, std::string("/bin/echo\0/\0", 12))).err, 0);
}

// Sizes: under 8 bytes, over the 2 MiB cap, or an output room under 4
// bytes get 22 before anything is read or allocated.
TEST(QpsysexecParse, SizeLimits)
{
    EXPECT_EQ(parse(record(1, std::string("a\0\0", 3))).err, err_bad_parameter);
    EXPECT_EQ(parse(record(1, std::string("ab\0\0", 4))).err, 0);
    EXPECT_EQ(parse(record(1, zeroed({"/bin/true"}, "/")), 3).err, err_bad_parameter);
    EXPECT_EQ(parse(record(1, zeroed({"/bin/true"}, "/")), 0).err, err_bad_parameter);

    std::string big_arg(qpsysexec_exec_max_input_size - 4 - 2, 'a');
    std::string at_cap = record(1, zeroed({big_arg}, ""));
    ASSERT_EQ(at_cap.size(), static_cast<size_t>(qpsysexec_exec_max_input_size));
    EXPECT_EQ(parse(at_cap).err, 0);
    std::string over_cap = record(1, zeroed({big_arg + "a"}, ""));
    EXPECT_EQ(parse(over_cap).err, err_bad_parameter);

    qp_scratch_pool pool;
    qpsysexec_exec_args_t a;
    EXPECT_EQ(qpsysexec_exec_parse(pool.ma(), nullptr, 8, 4, &a), err_bad_parameter);
}

// An allocator that fails makes the parse fail with 12 and hand out nothing.
TEST(QpsysexecParse, AllocationFailure)
{
    struct failing_ma {
        malloc_i vtbl;
    };
    static const malloc_i_vtbl_t failing_vtbl = {[](malloc_i*, size_t) -> void* { return nullptr; }};
    failing_ma ma{&failing_vtbl};
    qpsysexec_exec_args_t a;
    std::string r = record(1, zeroed({"/bin/true"}, "/"));
    EXPECT_EQ(qpsysexec_exec_parse(&ma.vtbl, r.data(), r.size(), 4, &a), err_no_mem);
    EXPECT_EQ(a.argv, nullptr);
}

// Every prefix of a valid record, and every single-byte corruption of its
// argc and zeros, is either refused with 22 or parsed within its bounds.
TEST(QpsysexecParse, TruncationsAndCorruptions)
{
    std::string good = record(3, zeroed({"/bin/echo", "one", "two"}, "/tmp"));
    for (size_t n = 0; n < good.size(); n++) {
        std::string cut = good.substr(0, n);
        parse_result p = parse(cut);
        if (n < 4 + 18) { // the third argument's zero is byte 21
            EXPECT_EQ(p.err, err_bad_parameter) << n;
        } else {
            EXPECT_EQ(p.err, 0) << n;
        }
    }
    for (size_t i = 0; i < good.size(); i++) {
        std::string bad = good;
        bad[i] = bad[i] ? '\0' : 'z';
        parse_result p = parse(bad);
        if (!p.err) {
            size_t total = 0;
            for (const auto& s : p.argv) {
                total += s.size() + 1;
            }
            EXPECT_LE(total + p.folder.size(), good.size() - 4) << i;
        }
    }
}

// The caps never raise a limit: a start gets 2 MiB in and 4 bytes out, a
// touch nothing, other codes a little input and no output.
TEST(QpsysexecMaxSizes, Caps)
{
    struct row {
        int code;
        size_t in, out, want_in, want_out;
    } rows[] = {
        {3, 0x40000000, 0x40000000, 0x200000, 4},
        {3, 100, 2, 100, 2},
        {2, 0x40000000, 16, 0, 0},
        {38, 0x40000000, 4, 1024, 0},
        {-1, 10, 4, 10, 0},
    };
    for (const row& r : rows) {
        size_t in = r.in, out = r.out;
        qpsysexec_max_sizes(r.code, &in, &out);
        EXPECT_EQ(in, r.want_in) << r.code;
        EXPECT_EQ(out, r.want_out) << r.code;
    }
}

class DaemonState : public ::testing::Test {
protected:
    void SetUp() override { daemon_state_init(); }
    void TearDown() override { daemon_state_term(); }
};

// The idle pin follows the count; retain and release count as activity.
TEST_F(DaemonState, BusyCountAndIdlePin)
{
    EXPECT_FALSE(daemon_is_busy());
    EXPECT_TRUE(pin_poll(&daemon_idle));
    daemon_busy_retain();
    daemon_busy_retain();
    EXPECT_TRUE(daemon_is_busy());
    EXPECT_FALSE(pin_poll(&daemon_idle));
    daemon_touch = 0;
    daemon_busy_release();
    EXPECT_GT(daemon_touch, 0u);
    EXPECT_FALSE(pin_poll(&daemon_idle));
    daemon_busy_release();
    EXPECT_FALSE(daemon_is_busy());
    EXPECT_TRUE(pin_poll(&daemon_idle));
}

// The idle rule: more than 5000 ms without activity while not busy sets
// exiting; from then on touches fail with 2.
TEST_F(DaemonState, IdleRuleAndExiting)
{
    ASSERT_EQ(daemon_busy_touch(), 0);
    uint64_t t = daemon_touch;
    EXPECT_FALSE(daemon_idle_check(t + 5000));
    daemon_busy_retain();
    uint64_t busy_since = daemon_touch;
    EXPECT_FALSE(daemon_idle_check(busy_since + 60000)); // busy: never idle
    daemon_busy_release();
    EXPECT_FALSE(daemon_idle_check(daemon_touch + 5000));
    EXPECT_TRUE(daemon_idle_check(daemon_touch + 5001));
    EXPECT_TRUE(daemon_exiting);
    EXPECT_EQ(daemon_busy_touch(), err_not_found);
    EXPECT_TRUE(daemon_idle_check(0)); // exiting stays set
}

// Concurrent retains and releases leave the count at 0 and the idle pin
// signalled once all are done.
TEST_F(DaemonState, ConcurrentBusyChanges)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([] {
            for (int i = 0; i < 20000; i++) {
                daemon_busy_retain();
                daemon_busy_touch();
                daemon_busy_release();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(daemon_is_busy());
    daemon_busy_retain();
    daemon_busy_release();
    EXPECT_TRUE(pin_poll(&daemon_idle));
}

} // namespace
