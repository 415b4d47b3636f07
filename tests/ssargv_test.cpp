// Tests of command-line splitting, argument encoding and joining.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sstring.h"

namespace {

qp_heap_ma_t heap = QP_HEAP_MA_INIT;
malloc_i* const ma = &heap.vtbl;

std::vector<std::string> split(const char* line, const char* program = nullptr)
{
    int argc = -1;
    char** argv = ss8toargvm(ma, &argc, program, line);
    std::vector<std::string> out;
    EXPECT_NE(argv, nullptr);
    for (int k = 0; argv && k < argc; k++)
        out.push_back(argv[k]);
    if (argv) {
        EXPECT_EQ(argv[argc], nullptr);
    }
    free_dh(argv);
    return out;
}

typedef std::vector<std::string> Args;

TEST(SsArgv, Split)
{
    EXPECT_EQ(split("a \"b c\" d\\ e"), (Args{"a", "b c", "d e"}));
    EXPECT_EQ(split(""), Args{});
    EXPECT_EQ(split(" \t\r\n "), Args{});
    EXPECT_EQ(split("\"\""), Args{""});
    EXPECT_EQ(split("a\"\"b"), Args{"ab"});
    EXPECT_EQ(split("x \"\" y"), (Args{"x", "", "y"}));
    EXPECT_EQ(split("\\\"q\\\""), Args{"\"q\""});
    EXPECT_EQ(split("a\\"), Args{"a"});        // a final backslash is dropped
    EXPECT_EQ(split("a\\\\"), Args{"a\\"});    // an escaped final backslash stays
    EXPECT_EQ(split("\\n"), Args{"n"});
    EXPECT_EQ(split("\"open quote"), Args{"open quote"});
    EXPECT_EQ(split("b c", "/bin/prog"), (Args{"/bin/prog", "b", "c"}));
    EXPECT_EQ(split(nullptr, "p"), Args{"p"});
    int argc = 7;
    char** argv = ss8toargvmn(ma, &argc, nullptr, "one two", 3);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(argc, 1);
    EXPECT_STREQ(argv[0], "one");
    free_dh(argv);
}

TEST(SsArgv, EncodeArg)
{
    const char* const cases[][2] = {
        {"", "\"\""},         {"plain", "plain"},        {"a b", "\"a b\""},
        {"*.c", "\"*.c\""},   {"a\tb", "\"a\\tb\""},     {"$HOME", "\\$HOME"},
        {"it's", "it\\'s"},   {"q\"", "q\\\""},          {"back\\", "back\\\\"},
        {"`x`", "\\`x\\`"},
    };
    for (const auto& c : cases) {
        size_t len = ss8encodearg(c[0], 0, nullptr);
        std::string out(len, '?');
        EXPECT_EQ(ss8encodearg(c[0], 0, &out[0]), len);
        EXPECT_EQ(out, c[1]) << c[0];
    }
}

// Joining then splitting gives the arguments back (tab, CR and LF aside:
// they are written as backslash letters for people and shells).
TEST(SsArgv, JoinSplitRoundTrip)
{
    const std::vector<Args> sets = {
        {"prog"},
        {"prog", "a", "b c", ""},
        {"/usr/bin/x", "*.txt", "it's", "say \"hi\"", "c:\\dir\\", "$PATH", "`cmd`", "?"},
    };
    for (const Args& set : sets) {
        std::vector<const char*> argv;
        for (const auto& s : set)
            argv.push_back(s.c_str());
        argv.push_back(nullptr);
        size_t rest = 0;
        char* line = ss8fromargvm(ma, &rest, argv.data());
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(split(line), set) << line;
        if (set.size() > 1)
            EXPECT_EQ(split(line + rest), Args(set.begin() + 1, set.end()));
        else
            EXPECT_EQ(rest, ss8len(line));
        free_dh(line);
    }
}

} // namespace
