// Tests of the format engine (base/ssformat.c): numbered vectors for each
// kind of directive, sweeps of integer and string directives against the C
// library where the two are meant to agree, truncation at every size, the
// calendar split against an independent civil-date computation, and the
// allocating forms.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "ssformat.h"

namespace {

// The engine's output for a format (bounded by a 512-unit buffer), with a
// marker appended when the measuring form disagrees with the bounded one.
template <typename... A>
std::string F(const char* format, A... args)
{
    char buf[512];
    size_t length = ss8formatn(buf, sizeof buf, format, args...);
    std::string text(buf, length < sizeof buf ? length : sizeof buf - 1);
    if (ss8formatlen(format, args...) != length)
        text += "<formatlen differs>";
    return text;
}

template <typename... A>
std::wstring W(const wchar_t* format, A... args)
{
    wchar_t buf[512];
    size_t length = sswformatn(buf, sizeof buf / sizeof buf[0], format, args...);
    std::wstring text(buf, length < 512 ? length : 511);
    if (sswformatlen(format, args...) != length)
        text += L"<formatlen differs>";
    return text;
}

template <typename... A>
std::string C(const char* format, A... args)
{
    char buf[512];
    snprintf(buf, sizeof buf, format, args...);
    return buf;
}

struct Case {
    int id;
    std::string got;
    std::string expected;
};

struct WCase {
    int id;
    std::wstring got;
    std::wstring expected;
};

void ExpectCases(const Case* cases, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        EXPECT_EQ(cases[i].got, cases[i].expected) << "case " << cases[i].id;
}

void ExpectCases(const WCase* cases, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        EXPECT_TRUE(cases[i].got == cases[i].expected) << "case " << cases[i].id;
}

const qp_uuid_t kGuid = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

// Seconds from 1970 to a date, for building %t and %T arguments.
const int64_t k2000Feb29 = 951782400;
const int64_t kSecondsFrom1601 = 11644473600LL;

} // namespace

// Literal text, %%, sizes of 0 and null arguments: measuring never writes.
TEST(SsFormat, MeasureAndLiterals)
{
    char buf[8] = "zzzzzzz";
    EXPECT_EQ(ss8formatn(buf, 0, "abc"), 3u);
    EXPECT_STREQ(buf, "zzzzzzz");
    EXPECT_EQ(ss8formatn(nullptr, 8, "abc"), 3u);
    EXPECT_EQ(ss8formatlen("%d", 12345), 5u);
    EXPECT_EQ(ss8formatn(buf, 8, nullptr), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(sswformatlen(nullptr), 0u);
    EXPECT_EQ(ss8formatn(buf, 4, "abcdef"), 6u);
    EXPECT_STREQ(buf, "abc");
    char big[64];
    EXPECT_EQ(ss8format(big, "%s-%d", "x", 5), 3u);
    EXPECT_STREQ(big, "x-5");
    wchar_t wbig[64];
    EXPECT_EQ(sswformat(wbig, L"%s-%d", L"x", 5), 3u);
    EXPECT_STREQ(wbig, L"x-5");
    const Case cases[] = {
        {1, F("100%%"), "100%"},
        {2, F("%%d"), "%d"},
        {3, F("a%%%%b"), "a%%b"},
        {4, F("\xC3\xA9\xFF"), "\xC3\xA9\xFF"}, // literal text is copied unchecked
    };
    ExpectCases(cases, sizeof cases / sizeof cases[0]);
}

// The program's own directives and the documented integer layout rules.
TEST(SsFormat, IntegerVectors)
{
    const Case cases[] = {
        {1, F("%5d", -42), "  -42"},
        {2, F("%-5d|", -42), "-42  |"},
        {3, F("%05d", -42), "-0042"},
        {4, F("%+d", 7), "+7"},
        {5, F("% d", 7), " 7"},
        {6, F("%u", -1), "4294967295"},
        {7, F("%#x", 0), "0x0"},
        {8, F("%#o", 8), "010"},
        {9, F("%#010x", 31), "0x0000001f"},
        {10, F("%p", (void*)0x1F), "1f"},
        {11, F("%.3d", 7), "007"},
        {12, F("%8.3d", 7), "     007"},
        {13, F("%08.3d", 7), "000007"}, // the larger pad, not the sum
        {14, F("%hd", 65535), "-1"},
        {15, F("%I8u", 511), "255"},
        {16, F("%I64d", INT64_MIN), "-9223372036854775808"},
        {17, F("%lld", (long long)-5000000000LL), "-5000000000"},
        {18, F("%ld", 0x100000000L), "4294967296"},
        {19, F("%016I64X", (uint64_t)0xABCDEF12345ULL), "00000ABCDEF12345"},
        {20, F("% 16I64X", (uint64_t)0xABCDEF12345ULL), "     ABCDEF12345"},
        {21, F("%08X", 0xBEEF), "0000BEEF"},
        {22, F("%02u|%03u|% 7u|% 10u", 5, 7, 9, 11), "05|007|      9|        11"},
        {23, F("0x%P", (void*)0xABCDEFULL), "0xABCDEF"},
        {24, F("%-08X|", 0x1F), "0000001F|"}, // "0" wins over "-"
        {25, F("%#o", 0), "00"},
        {26, F("%#.3o", 8), "0010"},          // the prefix comes on top of the precision
        {27, F("%.0d", 0), "0"},              // at least one digit
        {28, F("%#p", (void*)0x1F), "0x1f"},
        {29, F("%#P", (void*)0x1F), "0X1F"},
        {30, F("%I16d|%I16u", 0x18000, 0x18000), "-32768|32768"},
        {31, F("%I8d", 0xFF), "-1"},
        {32, F("%I32d", -1), "-1"},
        {33, F("%Ld|%Lld", (long long)1 << 40, (long long)-1), "1099511627776|-1"},
        {34, F("%*d|%-*d|", 4, 1, 3, 2), "   1|2  |"},
        {35, F("%.*d", 3, 5), "005"},
        {36, F("%*d|", -4, 1), "1|"}, // a negative width from * is no width
        {37, F("%.*d", -3, 5), "5"},
        {38, F("%+u|% x", 5, 255), "5|ff"}, // unsigned kinds never get a sign
        {39, F("%i|%I64i", -3, (int64_t)-4), "-3|-4"},
        {40, F("%llx", (unsigned long long)UINT64_MAX), "ffffffffffffffff"},
        {41, F("%llo", (unsigned long long)UINT64_MAX), "1777777777777777777777"},
        {42, F("%+.0d|% 05d", 0, 3), "+0| 0003"},
    };
    ExpectCases(cases, sizeof cases / sizeof cases[0]);
}

// Absurd widths and precisions saturate and cost only what lands in the
// buffer; the count still reports the whole output.
TEST(SsFormat, HugeWidths)
{
    char buf[16];
    EXPECT_EQ(ss8formatn(buf, sizeof buf, "%2000000000d", 1), 2000000000u);
    EXPECT_STREQ(buf, "               ");
    EXPECT_EQ(ss8formatlen("%99999999999999999999d", 1), (size_t)INT_MAX);
    EXPECT_EQ(ss8formatlen("%.2147483647d", 1), (size_t)INT_MAX);
    EXPECT_EQ(ss8formatlen("%1000000000s", "ab"), 1000000000u);
}

namespace {

// Where the engine and the C library lay integers out the same way. They
// part where the engine's own rules apply: "0" together with a precision or
// with "-", a zero precision of the value 0, "#" on the value 0, and "#o"
// with a precision.
bool IntegerRulesAgree(const std::string& flags, int precision, char conv, bool isZero)
{
    bool zero = flags.find('0') != std::string::npos;
    bool hash = flags.find('#') != std::string::npos;
    if (zero && (precision >= 0 || flags.find('-') != std::string::npos))
        return false;
    if (isZero && (precision == 0 || (hash && conv != 'd' && conv != 'i' && conv != 'u')))
        return false;
    return !(hash && conv == 'o' && precision >= 0);
}

} // namespace

// Every flag set x width x precision x size x conversion on values at the
// edges, compared with snprintf wherever the rules agree.
TEST(SsFormat, IntegerSweepAgainstLibc)
{
    const char flagChars[] = "-+ #0";
    const int widths[] = {-1, 1, 6, 13};
    const int precisions[] = {-1, 0, 1, 4, 9};
    const char* sizes[] = {"", "h", "l", "ll"};
    const char conversions[] = "diuoxX";
    const long long values[] = {0, 1, 7, -1, 42, -42, INT_MAX, INT_MIN, 0x1234abcd, 65535, 65541,
                                LLONG_MAX, LLONG_MIN, 0x123456789abcdefLL};
    int compared = 0;
    for (int flagSet = 0; flagSet < 32; ++flagSet) {
        std::string flags;
        for (int f = 0; f < 5; ++f)
            if (flagSet & (1 << f))
                flags += flagChars[f];
        for (int width : widths)
            for (int precision : precisions)
                for (const char* size : sizes)
                    for (const char* conv = conversions; *conv; ++conv)
                        for (long long value : values) {
                            bool wide = size[0] == 'l';
                            long long arg = wide ? value : (long long)(int)value;
                            if (!IntegerRulesAgree(flags, precision, *conv,
                                                   wide ? arg == 0
                                                        : (size[0] == 'h' ? (short)arg == 0
                                                                          : arg == 0)))
                                continue;
                            std::string format = "%" + flags;
                            if (width >= 0)
                                format += std::to_string(width);
                            if (precision >= 0)
                                format += "." + std::to_string(precision);
                            format += size;
                            format += *conv;
                            std::string ours = wide ? F(format.c_str(), arg) : F(format.c_str(), (int)arg);
                            std::string theirs =
                                wide ? C(format.c_str(), arg) : C(format.c_str(), (int)arg);
                            ASSERT_EQ(ours, theirs) << format << " of " << arg;
                            ++compared;
                        }
    }
    EXPECT_GT(compared, 30000);
}

// The I sizes read the same widths as h, the default and ll.
TEST(SsFormat, ISizesMatchCSizes)
{
    const long long values[] = {0, -1, 300, -70000, 0x7fffffffffffLL};
    for (long long v : values) {
        EXPECT_EQ(F("%I16d %I16x", (int)v, (int)v), C("%hd %hx", (int)v, (int)v));
        EXPECT_EQ(F("%I32d %I32u", (int)v, (int)v), C("%d %u", (int)v, (int)v));
        EXPECT_EQ(F("%I64d %I64X", v, v), C("%lld %llX", v, v));
        EXPECT_EQ(F("%I8d %I8x", (int)v, (int)v), C("%hhd %hhx", (int)v, (int)v));
    }
}

// Units that are no size and unknown conversions close the directive, take
// no argument and emit nothing; what follows is literal text again.
TEST(SsFormat, NotASizeAndUnknownDirectives)
{
    const Case cases[] = {
        {1, F("%hhd|%d", 5), "d|5"},
        {2, F("%zu|%d", 5), "u|5"},
        {3, F("%jd%qd|%d", 5), "dd|5"},
        {4, F("%f%e%g%a%E%G|%d", 5), "|5"},
        {5, F("%-%|%d", 5), "|5"},
        {6, F("abc%"), "abc"},
        {7, F("abc%5"), "abc"},
        {8, F("abc%-08.3l"), "abc"},
        {9, F("abc%I"), "abc"},
        {10, F("abc%I6"), "abc6"},
        {11, F("%I5d|%d", 5), "5d|5"},
        {12, F("%I1x|%d", 5), "1x|5"},
        {13, F("%lLd|%d", 5), "d|5"},
        {14, F("%*5d|%d", 9, 5), "d|5"}, // * ends the width: the digit is the conversion
        {15, F("%.*.d|%d", 9, 5), "d|5"},
        {16, F("%LLd|%d", 5), "d|5"}, // only a small l doubles a size
        {19, F("%ll"), ""},
        {17, F("%k%y%K|"), "|"},
        {18, F("%*", 3), ""},
    };
    ExpectCases(cases, sizeof cases / sizeof cases[0]);
}

// Characters: read at charSize, pushed as one code point; widths are ignored.
TEST(SsFormat, Characters)
{
    const Case cases[] = {
        {1, F("%c", 0xE9), "\xC3\xA9"},
        {2, F("%c%c", 'a', 'b'), "ab"},
        {3, F("%hc", 0x141), "A"},
        {4, F("%lc|%C|%w", 0x20AC, 0x20AC, 0x20AC), "\xE2\x82\xAC|\xE2\x82\xAC|\xE2\x82\xAC"},
        {5, F("%I16c", 0x120AC), "\xE2\x82\xAC"},
        {6, F("%I32c", 0x1F600), "\xF0\x9F\x98\x80"},
        {7, F("%5c|%-5c|%.0c", 'x', 'y', 'z'), "x|y|z"},
        {8, F("%hw", 0x1E9), "\xC3\xA9"},
        {9, F("%C", 0xFFFFFFFFu), "\xFF"},
        {10, F("%C", 0x7FFFFFFF), "\xFF"},
        {11, F("%C", 0x7FFFFFFE), "\xFD\xBF\xBF\xBF\xBF\xBE"},
        {12, F("%C", 0x3FFFFFF), "\xFB\xBF\xBF\xBF\xBF"},
        // ll and I64 name no character width: the 64-bit argument is read,
        // pushed when it is a code point, and later directives keep theirs.
        {13, F("%I64c|%d", (uint64_t)'q', 7), "q|7"},
        {14, F("%llc|%d", (uint64_t)0x100000000ULL, 7), "|7"},
    };
    ExpectCases(cases, sizeof cases / sizeof cases[0]);
    EXPECT_EQ(F("%c", 0), std::string(1, '\0'));

    const WCase wcases[] = {
        {101, W(L"%c", 0x20AC), L"\x20AC"},
        {102, W(L"%C", 0xE9), L"\xE9"},
        {103, W(L"%C", 0x1E9), L"\xE9"},
        {104, W(L"%hc|%lc", 0x141, 0x1F600), L"A|\x1F600"},
        {105, W(L"%w", 0xFFFFFFFFu), std::wstring(1, (wchar_t)0xFFFFFFFF)},
    };
    ExpectCases(wcases, sizeof wcases / sizeof wcases[0]);
}

// Strings: the width pads in source units, the precision limits the
// characters pushed (padding included) and is never below the width.
TEST(SsFormat, Strings)
{
    const Case cases[] = {
        {1, F("%5s", "ab"), "   ab"},
        {2, F("%-5s|", "ab"), "ab   |"},
        {3, F("%.2s", "abcdef"), "ab"},
        {4, F("%s|%ls|%S", (char*)nullptr, (wchar_t*)nullptr, (wchar_t*)nullptr), "||"},
        {5, F("%*.*s", 10, 3, "abcdef"), "    abcdef"},
        {6, F("%*.*s", 2, 3, "abcdef"), "abc"},
        {7, F("%.*s|", -2, "abc"), "|"},
        {8, F("%.*s|", -1, "abc"), "abc|"},
        {9, F("%*s|", -5, "abc"), "abc|"},
        {10, F("%5s|", "\xC3\xA9"), "   \xC3\xA9|"}, // padding counts bytes
        {11, F("%.2s|", "h\xC3\xA9llo"), "h\xC3\xA9|"}, // the limit counts characters
        {12, F("%-6.4s|", "ab"), "ab    |"},
        {13, F("%ls", L"h\xE9llo\x20AC\x1F600"), "h\xC3\xA9llo\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {14, F("%S|%lS", L"\xE9", L"x"), "\xC3\xA9|x"},
        {15, F("%s", "a\x80" "b\xC3"), "a\xFF" "b\xFF"},      // invalid bytes pull as 0xFFFFFFFF
        {16, F("%s", "\xE2\x82z"), "\xFF\xFFz"},
        {17, F("%ls", L"\xD800x"), "\xFFx"},                   // a surrogate unit is invalid
        {18, F("%I16s|%I64s|%lls|%d", "a", "b", "c", 5), "|||5"},
        {19, F("%hs", "h\xC3\xA9"), "h\xC3\xA9"},
        {20, F("%3s|%-3s|", "", ""), "   |   |"},
        {21, F("%.0s|%3.0s|", "abc", "abc"), "|abc|"},
        {22, F("%0s|% s|%+s|%#s", "a", "b", "c", "d"), "a|b|c|d"},
        {23, F("%5.2s|", "\xC3\xA9\xC3\xA9\xC3\xA9"), "\xC3\xA9\xC3\xA9\xC3\xA9|"},
    };
    ExpectCases(cases, sizeof cases / sizeof cases[0]);

    const WCase wcases[] = {
        {101, W(L"%S", "h\xC3\xA9llo\xF0\x9F\x98\x80"), L"h\xE9llo\x1F600"},
        {102, W(L"%s|%ls", L"ab\x20AC", L"c"), L"ab\x20AC|c"},
        {103, W(L"%hs", "\xC3\xA9"), L"\xE9"},
        {104, W(L"%5S|", "\xC3\xA9"), L"   \xE9|"},
        {105, W(L"%S", "a\xFF"), std::wstring(L"a") + (wchar_t)0xFFFFFFFF},
        {106, W(L"%-4s|%.1s", L"ab", L"xyz"), L"ab  |x"},
        {107, W(L"%s|%S", (wchar_t*)nullptr, (char*)nullptr), L"|"},
        {108, W(L"%*.*s", 10, 3, L"abcdef"), L"    abcdef"},
    };
    ExpectCases(wcases, sizeof wcases / sizeof wcases[0]);
}

// ASCII strings under every width and precision, compared with snprintf
// where the precision does not fall below both the width and the length.
TEST(SsFormat, StringSweepAgainstLibc)
{
    const char* texts[] = {"", "a", "abcde", "abcdefgh"};
    const int widths[] = {-1, 1, 3, 6, 10};
    const int precisions[] = {-1, 0, 2, 5, 8};
    int compared = 0;
    for (const char* minus : {"", "-"})
        for (int width : widths)
            for (int precision : precisions)
                for (const char* text : texts) {
                    int len = (int)strlen(text);
                    if (precision >= 0 && width > precision && len > precision)
                        continue;
                    std::string format = std::string("%") + minus;
                    if (width >= 0)
                        format += std::to_string(width);
                    if (precision >= 0)
                        format += "." + std::to_string(precision);
                    format += "s|";
                    ASSERT_EQ(F(format.c_str(), text), C(format.c_str(), text)) << format << text;
                    ++compared;
                }
    EXPECT_GT(compared, 100);
}

// The string pushers share the engine's rules and check their destination.
TEST(SsFormat, PushersDirect)
{
    char buf[16];
    size_t length = 2;
    ss8pushstr8(buf, sizeof buf, &length, "xyz", 5, -1, 1);
    EXPECT_EQ(length, 7u);
    buf[length] = 0;
    EXPECT_STREQ(buf + 2, "xyz  ");
    length = 0;
    ss8pushstrw(nullptr, 0, &length, L"\x20AC", 0, -1, 0);
    EXPECT_EQ(length, 3u);
    wchar_t wbuf[8];
    length = 0;
    sswpushstr8(wbuf, 8, &length, "\xE2\x82\xAC", 0, -1, 0);
    sswpushstrw(wbuf, 8, &length, L"ab", 3, -1, 0);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(wbuf[0], (wchar_t)0x20AC);
    EXPECT_EQ(wbuf[1], L' ');
    EXPECT_EQ(wbuf[3], L'b');
    EXPECT_DEATH(ss8pushstr8(nullptr, 4, &length, "x", 0, -1, 0), "dest \\|\\| !maxDestChars");
}

// %r/%R print the GUID layout; the text goes through the string rules.
TEST(SsFormat, Guids)
{
    const Case cases[] = {
        {1, F("%r", &kGuid), "12345678-9abc-def0-0123-456789abcdef"},
        {2, F("%R", &kGuid), "12345678-9ABC-DEF0-0123-456789ABCDEF"},
        {3, F("%40r|", &kGuid), "    12345678-9abc-def0-0123-456789abcdef|"},
        {4, F("%-38R|", &kGuid), "12345678-9ABC-DEF0-0123-456789ABCDEF  |"},
        {5, F("%.8r|", &kGuid), "12345678|"},
        {6, F("%r|%5R|%d", (qp_uuid_t*)nullptr, (qp_uuid_t*)nullptr, 3), "|     |3"},
    };
    ExpectCases(cases, sizeof cases / sizeof cases[0]);
    EXPECT_TRUE(W(L"%R", &kGuid) == L"12345678-9ABC-DEF0-0123-456789ABCDEF");
}

// %T and %t: the date text of both time scales, with the string rules.
TEST(SsFormat, Times)
{
    const int64_t t2000 = (k2000Feb29 + kSecondsFrom1601) * 10000000LL;
    const int64_t noon = t2000 + (12 * 3600 + 34 * 60 + 56) * 10000000LL + 7891234;
    const Case cases[] = {
        {1, F("%t", (int64_t)0), "1970-01-01 00:00:00"},
        {2, F("%T", (int64_t)0), "1601-01-01 00:00:00.000"},
        {3, F("%t", k2000Feb29), "2000-02-29 00:00:00"},
        {4, F("%T", noon), "2000-02-29 12:34:56.789"},
        {5, F("%I32t|%ht", -1, 86400), "1969-12-31 23:59:59|1970-01-02 00:00:00"},
        {6, F("%lt|%llt|%I64t", (int64_t)-1, (int64_t)86399, (int64_t)4102444800LL),
         "1969-12-31 23:59:59|1970-01-01 23:59:59|2100-01-01 00:00:00"},
        {7, F("%22t|%-21t|", (int64_t)0, (int64_t)0), "   1970-01-01 00:00:00|1970-01-01 00:00:00  |"},
        {8, F("%.10T", (int64_t)0), "1601-01-01"},
        {9, F("%t", (int64_t)253402300799LL), "9999-12-31 23:59:59"},
        {10, F("%t", (int64_t)253402300800LL), "0000-01-01 00:00:00"}, // the year prints mod 10000
        {11, F("%T", (int64_t)10000 * 86400000LL * 365 - 1), "1601-12-31 23:59:59.999"},
    };
    ExpectCases(cases, sizeof cases / sizeof cases[0]);
    // Times before 1601 read as huge unsigned counts: still a 23-unit text.
    EXPECT_EQ(F("%T", (int64_t)-1).size(), 23u);
    EXPECT_EQ(F("%t", INT64_MIN).size(), 19u);
    EXPECT_TRUE(W(L"%t", k2000Feb29) == L"2000-02-29 00:00:00");
}

namespace {

// The civil date of a day count from 1970-01-01 (days_from_civil's inverse
// in its era form), independent of the engine's March-based split.
void CivilFromDays(int64_t z, int* year, int* month, int* day)
{
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    *day = (int)(doy - (153 * mp + 2) / 5 + 1);
    *month = (int)(mp < 10 ? mp + 3 : mp - 9);
    *year = (int)(yoe + era * 400 + (*month <= 2));
}

} // namespace

// Every day from 1601 to past 2800 (three 400-year leap-day closures) and
// the first and last unit of each day split like the reference computation.
TEST(SsFormat, UnpackTimeEveryDay)
{
    const int64_t unitsPerDay = 864000000000LL;
    for (int64_t dayIndex = 0; dayIndex < 440000; ++dayIndex) {
        int ry, rm, rd;
        CivilFromDays(dayIndex - 134774, &ry, &rm, &rd);
        int y, m, d, h, mi, s, ms;
        ssformat_unpacktime(dayIndex * unitsPerDay, &y, &m, &d, &h, &mi, &s, &ms);
        ASSERT_TRUE(y == ry && m == rm && d == rd && h == 0 && mi == 0 && s == 0 && ms == 0)
            << dayIndex << ": " << y << "-" << m << "-" << d;
        ssformat_unpacktime((dayIndex + 1) * unitsPerDay - 1, &y, &m, &d, &h, &mi, &s, &ms);
        ASSERT_TRUE(y == ry && m == rm && d == rd && h == 23 && mi == 59 && s == 59 && ms == 999)
            << dayIndex;
    }
}

// %n stores the untruncated count at the directive's size (64 bits by
// default) and ignores a null pointer.
TEST(SsFormat, CountStores)
{
    char buf[4];
    int64_t n64 = -1;
    int32_t n32 = -1;
    int16_t n16 = -1;
    int8_t n8 = -1;
    int64_t guard = 0x5A5A5A5A5A5A5A5ALL;
    EXPECT_EQ(ss8formatn(buf, sizeof buf, "abcdef%n%s%I32n", &n64, "gh", &n32), 8u);
    EXPECT_EQ(n64, 6);
    EXPECT_EQ(n32, 8);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(ss8formatlen("%5d%hn%I8n%ln%n", 1, &n16, &n8, &guard, (int64_t*)nullptr), 5u);
    EXPECT_EQ(n16, 5);
    EXPECT_EQ(n8, 5);
    EXPECT_EQ(guard, 5);
    wchar_t wbuf[2];
    EXPECT_EQ(sswformatn(wbuf, 2, L"\x20AC\x20AC%n", &n64), 2u);
    EXPECT_EQ(n64, 2);
}

namespace {

// Formats `format` at every destination size from 0 to past its length and
// checks the contract: the full length is reported, the stored units are a
// prefix of the full output, the terminator sits at min(length, size - 1),
// and nothing is written at or beyond the size.
template <typename Unit, typename Formatter>
void SweepSizes(Formatter formatter)
{
    Unit full[256];
    size_t fullLen = formatter(full, 256);
    ASSERT_LT(fullLen, 256u);
    for (size_t size = 0; size <= fullLen + 2; ++size) {
        Unit buf[264];
        for (Unit& u : buf)
            u = (Unit)0x5A;
        ASSERT_EQ(formatter(size ? buf : nullptr, size), fullLen) << size;
        if (size == 0)
            continue;
        size_t end = fullLen < size ? fullLen : size - 1;
        for (size_t i = 0; i < end; ++i)
            ASSERT_EQ(buf[i], full[i]) << "size " << size << " unit " << i;
        ASSERT_EQ(buf[end], (Unit)0) << size;
        for (size_t i = size; i < sizeof buf / sizeof buf[0]; ++i)
            ASSERT_EQ(buf[i], (Unit)0x5A) << "size " << size << " unit " << i;
    }
}

} // namespace

// Truncation at every size, multi-byte characters cut in part included.
TEST(SsFormat, TruncationAtEverySize)
{
    SweepSizes<char>([](char* d, size_t n) {
        return ss8formatn(d, n, "%s|%5d|%c|%ls|%-4x|%r|%t", "h\xC3\xA9llo", 42, 0x20AC,
                          L"w\xE9\x20AC\x1F600", 255, &kGuid, (int64_t)0);
    });
    SweepSizes<wchar_t>([](wchar_t* d, size_t n) {
        return sswformatn(d, n, L"%S|%05d|%c|%s|%R", "h\xC3\xA9", -7, 0x1F600, L"ab", &kGuid);
    });
    // A cut character leaves its first bytes before the terminator.
    char buf[3];
    EXPECT_EQ(ss8formatn(buf, sizeof buf, "a%C", 0x20AC), 4u);
    EXPECT_EQ(buf[1], '\xE2');
    EXPECT_EQ(buf[2], '\0');
}

namespace {

struct FailingMa {
    malloc_i vtbl;
};

void* FailingAlloc(malloc_i*, size_t)
{
    return nullptr;
}

const malloc_i_vtbl_t kFailingVtbl = {FailingAlloc};

// Records the size of each request and hands it to the debug heap.
struct CountingMa {
    malloc_i vtbl;
    size_t lastSize;
    int calls;
};

void* CountingAlloc(malloc_i* ma, size_t size)
{
    CountingMa* self = (CountingMa*)ma;
    self->lastSize = size;
    ++self->calls;
    return calloc_d(size, 1);
}

const malloc_i_vtbl_t kCountingVtbl = {CountingAlloc};

} // namespace

// The allocating forms allocate length + 1 units once, below and above the
// 100-unit first try, and return null when the allocator fails.
TEST(SsFormat, AllocatingForms)
{
    CountingMa ma = {&kCountingVtbl, 0, 0};
    char* shortText = ss8formatm(&ma.vtbl, "%s-%d", "abc", 42);
    ASSERT_NE(shortText, nullptr);
    EXPECT_STREQ(shortText, "abc-42");
    EXPECT_EQ(ma.lastSize, 7u);
    free_d(shortText);

    std::string longArg(150, 'x');
    char* longText = ss8formatm(&ma.vtbl, "<%s>%d", longArg.c_str(), 7);
    ASSERT_NE(longText, nullptr);
    EXPECT_EQ(std::string(longText), "<" + longArg + ">7");
    EXPECT_EQ(ma.lastSize, 154u);
    free_d(longText);

    // Exactly 99 and 100 units: the first fits the scratch, the second not.
    for (int width : {99, 100}) {
        char* text = ss8formatm(&ma.vtbl, "%*d", width, 1);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(strlen(text), (size_t)width);
        free_d(text);
    }

    wchar_t* wideText = sswformatm(&ma.vtbl, L"%*s", 120, L"\x20AC");
    ASSERT_NE(wideText, nullptr);
    EXPECT_EQ(ma.lastSize, 121 * sizeof(wchar_t));
    EXPECT_EQ(wideText[119], (wchar_t)0x20AC);
    EXPECT_EQ(wideText[120], 0);
    free_d(wideText);
    EXPECT_EQ(ma.calls, 5);

    FailingMa failing = {&kFailingVtbl};
    EXPECT_EQ(ss8formatm(&failing.vtbl, "abc"), nullptr);
    EXPECT_EQ(sswformatm(&failing.vtbl, L"%200d", 1), nullptr);
}

// The generic user-mode names forward to the UTF-8 engine.
TEST(SsFormat, GenericNames)
{
    char buf[8];
    EXPECT_EQ(ssformatn(buf, sizeof buf, "%d!", 12), 3u);
    EXPECT_STREQ(buf, "12!");
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    char* a = ssformatm(&heap.vtbl, "%s", "x");
    char* b = ssformat(&heap.vtbl, "%I64u", (uint64_t)1 << 40);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(a, "x");
    EXPECT_STREQ(b, "1099511627776");
    free_d(a);
    free_d(b);
}
