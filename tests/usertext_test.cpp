// Expansion, registration and printing rules of the user-text map.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "usertext.h"

// Runs before every C++ static initialiser of the program, so before the
// map or any other text exists.
__attribute__((constructor(101))) static void register_before_everything()
{
    UtAdd("ut_test_early", "registered first");
}

namespace {

using Pool = qp_scratch_pool;

std::string get(const char* id, std::vector<const char*> args = {})
{
    Pool pool;
    const char* text = UtGetV(pool.ma(), id, int(args.size()), args.data());
    return text ? text : "<null>";
}

// Registers with first-wins or last-wins as asked, restoring the flag.
void add(const char* id, const char* text, int collisions_ok = 1)
{
    int saved = utCollisionsOk;
    utCollisionsOk = collisions_ok;
    UtAdd(id, text);
    utCollisionsOk = saved;
}

// An unregistered id is its own text and comes back without a copy.
TEST(UserText, UnregisteredLiteralIsReturnedAsIs)
{
    Pool pool;
    const char* literal = "Install complete.\n";
    EXPECT_EQ(UtGet0(pool.ma(), literal), literal);
    EXPECT_STREQ(ut_map_get("no such id, surely"), "no such id, surely");
}

// A registration that arrives before the map's unit has started still lands.
TEST(UserText, RegistrationBeforeStaticInitialisersLands)
{
    EXPECT_STREQ(ut_map_get("UT_TEST_EARLY"), "registered first");
}

// Positional arguments, missing and null ones, and the escapes of '%'.
TEST(UserText, ArgumentsAndPercentRules)
{
    EXPECT_EQ(get("ERROR: %1 failed", {"x"}), "ERROR: x failed");
    EXPECT_EQ(get("ERROR: %1 failed"), "ERROR: missing_arg failed");
    EXPECT_EQ(get("%2-%1", {"a", nullptr}), "missing_arg-a");
    EXPECT_EQ(get("%9", {"1", "2", "3", "4", "5", "6", "7", "8", "nine"}), "nine");
    EXPECT_EQ(get("100%% done"), "100% done");
    EXPECT_EQ(get("%x%0"), "x0");
    EXPECT_EQ(get("trailing %"), "trailing ");
    EXPECT_EQ(get("%"), "");
}

// A registered "missing_arg" text stands in for absent arguments, unexpanded.
TEST(UserText, MissingArgumentTextIsRegistrable)
{
    add("missing_arg", "<?%1>");
    EXPECT_EQ(get("[%3]", {"a"}), "[<?%1>]");
    add("missing_arg", "missing_arg");
}

// References expand with the caller's arguments; unclosed ones run to the end.
TEST(UserText, ReferencesUseTheCallersArguments)
{
    add("ut_test_inner", "[%1]");
    add("ut_test_outer", "x%(ut_test_inner)y");
    EXPECT_EQ(get("ut_test_outer", {"Q"}), "x[Q]y");
    EXPECT_EQ(get("a%(ut_test_inner", {"Z"}), "a[Z]");
    EXPECT_EQ(get("%(unregistered id)!"), "unregistered id!");
    EXPECT_EQ(get("%()"), "");
}

// Self-reference stops after six levels with the raw template inside.
TEST(UserText, RecursionStopsAfterSixLevels)
{
    add("ut_test_self", "<%(ut_test_self)>");
    EXPECT_EQ(get("ut_test_self"), "<<<<<<<%(ut_test_self)>>>>>>>");
}

// Ids differ only in ASCII case are one id; first wins until collisions are
// allowed, the last wins afterwards.
TEST(UserText, CaseInsensitiveIdsAndCollisionRules)
{
    add("UT_Test_Case", "first", 0);
    add("ut_test_case", "second", 0);
    EXPECT_STREQ(ut_map_get("ut_TEST_case"), "first");
    add("UT_TEST_CASE", "third", 1);
    EXPECT_STREQ(ut_map_get("ut_test_case"), "third");
}

// Every destination size gets a terminated prefix and the full length.
TEST(UserText, FormSubCutsAtEverySizeAndReportsFullLength)
{
    add("ut_test_cut", "ab%1cd");
    const char* arg = "XYZ";
    const std::string full = "abXYZcd";
    for (size_t size = 0; size <= full.size() + 2; size++) {
        char buffer[16];
        memset(buffer, '#', sizeof buffer);
        int depth = 0;
        const char* static_text = nullptr;
        size_t length = UtFormSub(&depth, buffer, size, &static_text, "ut_test_cut", 1, &arg);
        EXPECT_EQ(length, full.size());
        EXPECT_EQ(depth, 0);
        EXPECT_EQ(static_text, nullptr);
        if (size)
            EXPECT_EQ(std::string(buffer), full.substr(0, std::min(size - 1, full.size())));
        else
            EXPECT_EQ(buffer[0], '#');
    }
}

// Texts without '%' are static results; an empty expansion is the empty text.
TEST(UserText, StaticResults)
{
    add("ut_test_plain", "plain text");
    int depth = 0;
    const char* static_text = nullptr;
    EXPECT_EQ(UtFormSub(&depth, nullptr, 0, &static_text, "ut_test_plain", 0, nullptr), 10u);
    EXPECT_STREQ(static_text, "plain text");
    EXPECT_EQ(UtFormSub(&depth, nullptr, 0, &static_text, "%", 0, nullptr), 0u);
    ASSERT_NE(static_text, nullptr);
    EXPECT_STREQ(static_text, "");
}

// Results of 100 characters or more are expanded a second time into the
// caller's allocator.
TEST(UserText, LongExpansionIsAllocated)
{
    std::string arg(250, 'q');
    EXPECT_EQ(get("<%1>", {arg.c_str()}), "<" + arg + ">");
}

struct RecordingSink {
    UtOut out{record};
    std::vector<std::pair<std::string, int>> lines;
    static void record(UtOut* self, const char* text, int newline)
    {
        reinterpret_cast<RecordingSink*>(self)->lines.emplace_back(text, newline);
    }
};

// Lines are split at line feeds, lose one '\r', and a rest has no line feed.
TEST(UserText, PrintSplitsLines)
{
    using Lines = std::vector<std::pair<std::string, int>>;
    RecordingSink sink;
    UtPrint(&sink.out, "a\r\nb");
    EXPECT_EQ(sink.lines, (Lines{{"a", 1}, {"b", 0}}));
    sink.lines.clear();
    UtPrint(&sink.out, "");
    EXPECT_EQ(sink.lines, (Lines{{"", 0}}));
    sink.lines.clear();
    UtPrint(&sink.out, "x\n\ny\r\r\n");
    EXPECT_EQ(sink.lines, (Lines{{"x", 1}, {"", 1}, {"y\r", 1}}));
}

// Standard output receives each line with its line feed; "" writes nothing.
TEST(UserText, PrintOutWritesToStandardOutput)
{
    testing::internal::CaptureStdout();
    UtPrintOut("a\r\nb");
    UtPrintOut("");
    UtOutFileLine(-1, "never", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\nb");
}

// A line longer than the local buffer is written whole with its line feed.
TEST(UserText, LongLineIsWrittenWhole)
{
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    std::string text(100000, 'x');
    text[0] = 'a';
    UtOutFileLine(fileno(file), text.c_str(), 1);
    std::string back(text.size() + 2, 0);
    ssize_t got = pread(fileno(file), &back[0], back.size(), 0);
    fclose(file);
    ASSERT_EQ(got, static_cast<ssize_t>(text.size() + 1));
    back.resize(static_cast<size_t>(got));
    EXPECT_EQ(back, text + "\n");
}

// The locale texts exist with the C locale's conventions.
TEST(UserText, LocaleTexts)
{
    EXPECT_STREQ(ut_map_get("locale_neg_format"), "-%1");
    EXPECT_STREQ(ut_map_get("locale_decimal"), ".");
    EXPECT_STREQ(ut_map_get("locale_time_sep"), ":");
}

} // namespace
