// Tests of number conversion with the SSCONVINT flags and of the date texts.
#include <gtest/gtest.h>

#include <string>

#include "sstring.h"

namespace {

qp_heap_ma_t heap = QP_HEAP_MA_INIT;
malloc_i* const ma = &heap.vtbl;

std::string fromint(int64_t value, int flags, int digits = 0)
{
    char out[40];
    size_t len = ss8fromint(out, sizeof out, value, flags, digits);
    EXPECT_EQ(len, ss8len(out));
    return out;
}

TEST(SsNumber, FromIntEachFlag)
{
    struct Case {
        int64_t value;
        int flags;
        int digits;
        const char* text;
    } cases[] = {
        {0, 0, 0, "0"},
        {42, 0, 5, "00042"},
        {-5, SSCONVINT_SIGNED, 3, "-005"},
        {-1, 0, 0, "18446744073709551615"},  // unsigned unless SSCONVINT_SIGNED
        {INT64_MIN, SSCONVINT_SIGNED, 0, "-9223372036854775808"},
        {255, SSCONVINT_HEX, 4, "0x00FF"},
        {0, SSCONVINT_HEX, 0, "0x0"},
        {0, SSCONVINT_HEX, 3, "0x000"},
        {0xABC, SSCONVINT_HEX, 0, "0xABC"},
        {7, 0, 99, "000000000000000000000000007"},  // capped at 27 digits
        {7, 0, -1, "7"},                             // no minimum: no padding
        {7, SSCONVINT_HEX, INT32_MIN, "0x7"},
        {0, SSCONVINT_YESNO, 0, "no"},
        {1, SSCONVINT_YESNO, 0, "yes"},
        {0, SSCONVINT_TRUEFALSE, 0, "false"},
        {1, SSCONVINT_TRUEFALSE, 0, "true"},
        {0, SSCONVINT_ONOFF, 0, "off"},
        {1, SSCONVINT_ONOFF, 0, "on"},
        {0, SSCONVINT_YN, 0, "n"},
        {1, SSCONVINT_YN, 0, "y"},
        {0, SSCONVINT_TF, 0, "f"},
        {1, SSCONVINT_TF, 0, "t"},
        {0, SSCONVINT_ENABLE, 0, "disable"},
        {1, SSCONVINT_ENABLE, 0, "enable"},
        {0, SSCONVINT_ENABLED, 0, "disabled"},
        {1, SSCONVINT_ENABLED, 0, "enabled"},
        {0, SSCONVINT_ED, 0, "d"},
        {1, SSCONVINT_ED, 0, "e"},
        {2, SSCONVINT_ONOFF, 0, "2"},  // words only for 0 and 1
        {0, SSCONVINT_YESNO | SSCONVINT_YN, 0, "no"},
        {1, SSCONVINT_YESNO | SSCONVINT_YN, 0, "y"},  // the orders differ
    };
    for (const Case& c : cases)
        EXPECT_EQ(fromint(c.value, c.flags, c.digits), c.text) << c.value << "/" << c.flags;
    char small[3];
    EXPECT_EQ(ss8fromint(small, sizeof small, 12345, 0, 0), 5u);
    EXPECT_STREQ(small, "12");
    char* m = ss8fromintm(ma, 99, SSCONVINT_HEX, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m, "0x63");
    free_dh(m);
}

TEST(SsNumber, ToInt)
{
    struct Case {
        const char* text;
        int64_t value;
        int flags;
    } cases[] = {
        {"  0x1F ", 31, SSCONVINT_HEX},
        {"Yes", 1, SSCONVINT_YESNO},
        {"y", 1, SSCONVINT_YN},
        {"NO", 0, SSCONVINT_YESNO},
        {"off", 0, SSCONVINT_ONOFF},
        {"On", 1, SSCONVINT_ONOFF},
        {"true", 1, SSCONVINT_TRUEFALSE},
        {"F", 0, SSCONVINT_TF},
        {"Disabled", 0, SSCONVINT_ENABLED},
        {"disable", 0, SSCONVINT_ENABLE},
        {"enabled", 1, SSCONVINT_ENABLED},
        {"e", 1, SSCONVINT_ED},
        {"-42", -42, SSCONVINT_SIGNED},
        {"+7", 7, 0},
        {"12abc", 12, 0},
        {"0xffffffffffffffff", -1, SSCONVINT_HEX},
        {"0x", 0, 0},
        {"", 0, 0},
        {"   ", 0, 0},
        {"garbage", 0, 0},
    };
    for (const Case& c : cases) {
        int flags = -1;
        EXPECT_EQ(ss8toint(c.text, SS_UNBOUNDED, &flags), c.value) << c.text;
        EXPECT_EQ(flags, c.flags) << c.text;
    }
    EXPECT_EQ(ss8toint("123", 2, nullptr), 12);
    EXPECT_EQ(ss8toint(nullptr, SS_UNBOUNDED, nullptr), 0);
}

// Every flag word read back gives the value and the flag.
TEST(SsNumber, WordsRoundTrip)
{
    for (int flag = SSCONVINT_YESNO; flag <= SSCONVINT_ED; flag <<= 1)
        for (int value = 0; value <= 1; value++) {
            int flags = 0;
            EXPECT_EQ(ss8toint(fromint(value, flag).c_str(), SS_UNBOUNDED, &flags), value);
            EXPECT_EQ(flags, flag);
        }
}

TEST(SsDate, FromTime)
{
    char out[32];
    EXPECT_EQ(ss8fromtime(out, sizeof out, 2007, 3, 5, 10, 20, 0, 0), 19u);
    EXPECT_STREQ(out, "2007/03/05 10:20:00");
    EXPECT_EQ(ss8fromtime(out, sizeof out, 1999, 12, 31, 23, 59, 59, 7), 23u);
    EXPECT_STREQ(out, "1999/12/31 23:59:59.007");
    EXPECT_EQ(ss8fromtime(out, 5, 1999, 12, 31, 23, 59, 59, 7), 23u);
    EXPECT_STREQ(out, "1999");
    char* m = ss8fromtimem(ma, 2000, 1, 2, 3, 4, 5, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m, "2000/01/02 03:04:05");
    free_dh(m);
}

// The orders the tolerant parser accepts, fractions, two-digit years,
// clamping and garbage.
TEST(SsDate, ToTimeOrders)
{
    struct Case {
        const char* text;
        int y, mo, d, h, mi, s, ms;
    } cases[] = {
        {"March 5, 07 10:20", 2007, 3, 5, 10, 20, 0, 0},
        {"12/31/1999", 1999, 12, 31, 0, 0, 0, 0},
        {"2024-02-29 23:59:58.5", 2024, 2, 29, 23, 59, 58, 500},
        {"2024/1/2 3:4:5.123456", 2024, 1, 2, 3, 4, 5, 123},
        {"5 Mar 2021", 2021, 3, 5, 0, 0, 0, 0},
        {"Dec 2019", 2019, 12, 1, 0, 0, 0, 0},
        {"sep 40 12", 2040, 9, 1, 12, 0, 0, 0},  // 40 >= 32: the year
        {"1999 June 3", 1999, 6, 3, 0, 0, 0, 0},
        {"31/12/99", 2031, 12, 31, 0, 0, 0, 0},  // 31 > 12 is the year; day 99 clamped
        {"3/4/49", 2049, 3, 4, 0, 0, 0, 0},
        {"3/4/50", 1950, 3, 4, 0, 0, 0, 0},
        {"2001/13/40 25:61:99", 2001, 12, 31, 23, 59, 59, 0},
        {"", 2000, 1, 1, 0, 0, 0, 0},
        {"no date here", 2000, 1, 1, 0, 0, 0, 0},
        {"99999999999999999999", 999999999, 1, 1, 0, 0, 0, 0},
        {"2000/1/1 1:2:3.", 2000, 1, 1, 1, 2, 3, 0},
        {"Mayday 2001", 2001, 1, 1, 0, 0, 0, 0},  // no month: a letter follows
    };
    for (const Case& c : cases) {
        int y, mo, d, h, mi, s, ms;
        ss8totime(&y, &mo, &d, &h, &mi, &s, &ms, c.text);
        EXPECT_EQ(y, c.y) << c.text;
        EXPECT_EQ(mo, c.mo) << c.text;
        EXPECT_EQ(d, c.d) << c.text;
        EXPECT_EQ(h, c.h) << c.text;
        EXPECT_EQ(mi, c.mi) << c.text;
        EXPECT_EQ(s, c.s) << c.text;
        EXPECT_EQ(ms, c.ms) << c.text;
    }
    EXPECT_EQ(ss8totime(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        "2001/2/3 4:5:6.7"),
              7);
}

TEST(SsDate, Extractors)
{
    const char* p = "ab 0042x";
    int value = -1;
    EXPECT_EQ(ss8extractint(&p, &value), 4);
    EXPECT_EQ(value, 42);
    EXPECT_STREQ(p, "x");
    EXPECT_EQ(ss8extractint(&p, &value), 0);
    int month = 0;
    const char* q = ", sEpTeMbEr 1";
    EXPECT_EQ(ss8extractmonth(&q, &month), 1);
    EXPECT_EQ(month, 9);
    EXPECT_STREQ(q, " 1");
    const char* r = "1 jan";
    EXPECT_EQ(ss8extractmonth(&r, &month), 0);
    EXPECT_STREQ(r, "1 jan");
}

} // namespace
