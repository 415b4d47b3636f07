// Tests of the conversions between UTF-8, wide, UTF-16 and UTF-32, and of
// the locale conversions.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "sstring.h"

namespace {

qp_heap_ma_t heap = QP_HEAP_MA_INIT;
malloc_i* const ma = &heap.vtbl;

// a, é (2 bytes), € (3 bytes), 😀 (4 bytes; a surrogate pair in UTF-16).
const char mixed8[] = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
const wchar_t mixedw[] = {0x61, 0xE9, 0x20AC, 0x1F600, 0};
const uint16_t mixed16[] = {0x61, 0xE9, 0x20AC, 0xD83D, 0xDE00, 0};
// Lengths of mixed8 after each whole character.
const size_t boundaries8[] = {0, 1, 3, 6, 10};

TEST(SsConv, RoundTrips)
{
    wchar_t w[8];
    uint16_t u16[8];
    uint32_t u32[8];
    char back[16];
    EXPECT_EQ(ss8convwn(w, 8, mixed8, SS_UNBOUNDED), 4u);
    EXPECT_EQ(sswcmp(w, mixedw), 0);
    EXPECT_EQ(ss8conv16n(u16, 8, mixed8, SS_UNBOUNDED), 5u);
    EXPECT_EQ(std::u16string((char16_t*)u16), std::u16string((const char16_t*)mixed16));
    EXPECT_EQ(ss8conv32n(u32, 8, mixed8, SS_UNBOUNDED), 4u);
    EXPECT_EQ(u32[3], 0x1F600u);
    EXPECT_EQ(sswconv8n(back, sizeof back, w, SS_UNBOUNDED), 10u);
    EXPECT_STREQ(back, mixed8);
    EXPECT_EQ(ss16conv8n(back, sizeof back, u16, SS_UNBOUNDED), 10u);
    EXPECT_STREQ(back, mixed8);
    EXPECT_EQ(ss32conv8n(back, sizeof back, u32, SS_UNBOUNDED), 10u);
    EXPECT_STREQ(back, mixed8);
}

// Cutting UTF-8 output at every size stores whole characters only.
TEST(SsConv, Utf8OutputCutAtEveryBoundary)
{
    for (size_t size = 1; size <= 12; size++) {
        char out[12];
        memset(out, 'x', sizeof out);
        EXPECT_EQ(sswconv8n(out, size, mixedw, SS_UNBOUNDED), 10u);
        size_t want = 0;
        for (size_t b : boundaries8)
            if (b < size)
                want = b;
        EXPECT_EQ(ss8len(out), want) << size;
        EXPECT_EQ(std::string(out), std::string(mixed8, want)) << size;
    }
    // The example: U+00E9 into a 2-byte buffer stores only the terminator.
    const wchar_t e_acute[] = {0xE9, 0};
    char two[2] = {'x', 'x'};
    EXPECT_EQ(sswconv8n(two, 2, e_acute, SS_UNBOUNDED), 2u);
    EXPECT_EQ(two[0], 0);
}

// Wide output cut at every size holds the first size - 1 characters.
TEST(SsConv, WideOutputCutAtEverySize)
{
    for (size_t size = 1; size <= 6; size++) {
        wchar_t out[6];
        for (wchar_t& c : out)
            c = L'#';
        EXPECT_EQ(ss8convwn(out, size, mixed8, SS_UNBOUNDED), 4u);
        size_t kept = size - 1 < 4 ? size - 1 : 4;
        EXPECT_EQ(sswlen(out), kept) << size;
        EXPECT_EQ(sswcmpn(out, kept, mixedw, kept), 0) << size;
    }
}

// UTF-16 output never ends in half a surrogate pair.
TEST(SsConv, Utf16OutputKeepsPairsWhole)
{
    uint16_t out[8];
    EXPECT_EQ(ss8conv16n(out, 5, mixed8, SS_UNBOUNDED), 5u);
    EXPECT_EQ(out[3], 0);  // room for 4 units, the pair does not fit
    EXPECT_EQ(ss8conv16n(out, 6, mixed8, SS_UNBOUNDED), 5u);
    EXPECT_EQ(out[4], 0xDE00);
}

// Source bounds cut by units; a cut sequence is invalid, not a character.
TEST(SsConv, SourceBoundsAndInvalidInput)
{
    wchar_t w[8];
    for (size_t k = 1; k < 5; k++) {
        size_t bound = boundaries8[k] - 1;  // one byte short of character k
        EXPECT_EQ(ss8convwlenn(mixed8, bound), k - 1 + (boundaries8[k] - 1 - boundaries8[k - 1]))
            << bound;
    }
    EXPECT_EQ(ss8convwn(w, 8, "a\xff" "b\x80", SS_UNBOUNDED), 4u);
    EXPECT_EQ((uint32_t)w[1], SS_INVALID);
    EXPECT_EQ((uint32_t)w[3], SS_INVALID);
    char out[8];
    const wchar_t bad[] = {0xD800, 0x41, 0};
    EXPECT_EQ(sswconv8n(out, sizeof out, bad, SS_UNBOUNDED), 2u);
    EXPECT_EQ((unsigned char)out[0], 0xFF);
    const uint16_t lone[] = {0xDC00, 0};
    EXPECT_EQ(ss16conv8n(out, sizeof out, lone, SS_UNBOUNDED), 1u);
    EXPECT_EQ((unsigned char)out[0], 0xFF);
}

TEST(SsConv, NullAndEmpty)
{
    wchar_t w[2] = {L'x', L'x'};
    EXPECT_EQ(ss8convwn(w, 2, nullptr, SS_UNBOUNDED), 0u);
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(ss8convwn(nullptr, 5, "abc", SS_UNBOUNDED), 3u);  // a null destination measures
    EXPECT_EQ(ss8convwlen(mixed8), 4u);
    EXPECT_EQ(ss8convwn(w, 0, "abc", SS_UNBOUNDED), 3u);
    wchar_t* m = ss8convwm(ma, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m[0], 0);
    free_dh(m);
}

// The b forms convert exactly the bounded units, zeros included, without
// terminating, and still store whole characters only.
TEST(SsConv, ExactForms)
{
    wchar_t w[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(ss8convbwn(w, 6, "a\0b", 3), 3u);
    EXPECT_EQ(w[0], L'a');
    EXPECT_EQ(w[1], 0);
    EXPECT_EQ(w[2], L'b');
    EXPECT_EQ(w[3], 9);  // not terminated
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(sswconvb8n(out, 4, mixedw, 3), 6u);
    EXPECT_EQ(std::string(out, 3), "a\xc3\xa9");
    EXPECT_EQ(out[3], 'x');  // the 3-byte euro did not fit whole
}

TEST(SsConv, AllocatingAndVectorForms)
{
    char* s = sswconv8m(ma, mixedw);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, mixed8);
    free_dh(s);
    uint16_t* u = ss8conv16mn(ma, mixed8, 3);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u[1], 0xE9);
    EXPECT_EQ(u[2], 0);
    free_dh(u);
    const char* v[] = {"one", mixed8, "", nullptr};
    wchar_t** wv = ss8vconvwm(ma, v);
    ASSERT_NE(wv, nullptr);
    EXPECT_STREQ(wv[0], L"one");
    EXPECT_EQ(sswcmp(wv[1], mixedw), 0);
    EXPECT_STREQ(wv[2], L"");
    EXPECT_EQ(wv[3], nullptr);
    free_dh(wv);
    const char* none[] = {nullptr};
    wchar_t** empty = ss8vconvwm(ma, none);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], nullptr);
    free_dh(empty);
}

// Locale conversions under a UTF-8 locale (the suite sets LC_CTYPE to one
// when the system has it) and under the C locale.
TEST(SsConv, Locale)
{
    wchar_t w[8];
    char out[16];
    EXPECT_EQ(ssaconvwn(w, 8, "plain", SS_UNBOUNDED), 5u);
    EXPECT_STREQ(w, L"plain");
    const char* before = setlocale(LC_CTYPE, nullptr);
    std::string saved = before ? before : "C";
    if (!setlocale(LC_CTYPE, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale";
    EXPECT_EQ(ssaconvwn(w, 8, mixed8, SS_UNBOUNDED), 4u);
    EXPECT_EQ(sswcmp(w, mixedw), 0);
    EXPECT_EQ(sswconvan(out, sizeof out, mixedw, SS_UNBOUNDED), 10u);
    EXPECT_STREQ(out, mixed8);
    EXPECT_EQ(sswconvan(out, 4, mixedw, SS_UNBOUNDED), 10u);  // whole characters only
    EXPECT_STREQ(out, "a\xc3\xa9");
    EXPECT_EQ(ssaconv8n(out, sizeof out, "x\xff", SS_UNBOUNDED), 2u);
    EXPECT_EQ((unsigned char)out[1], 0xFF);
    char* m = sswconvam(ma, mixedw);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m, mixed8);
    free_dh(m);
    setlocale(LC_CTYPE, "C");
    EXPECT_EQ(sswconvan(out, sizeof out, mixedw, SS_UNBOUNDED), 4u);
    EXPECT_STREQ(out, "a\x7f\x7f\x7f");  // what the C locale cannot represent
    setlocale(LC_CTYPE, saved.c_str());
}

} // namespace
