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
    EXPECT_EQ(sswconv8n(w, 8, mixed8, SS_UNBOUNDED), 4u);
    EXPECT_EQ(sswcmp(w, mixedw), 0);
    EXPECT_EQ(ss16conv8n(u16, 8, mixed8, SS_UNBOUNDED), 5u);
    EXPECT_EQ(std::u16string((char16_t*)u16), std::u16string((const char16_t*)mixed16));
    EXPECT_EQ(ss32conv8n(u32, 8, mixed8, SS_UNBOUNDED), 4u);
    EXPECT_EQ(u32[3], 0x1F600u);
    EXPECT_EQ(ss8convwn(back, sizeof back, w, SS_UNBOUNDED), 10u);
    EXPECT_STREQ(back, mixed8);
    EXPECT_EQ(ss8conv16n(back, sizeof back, u16, SS_UNBOUNDED), 10u);
    EXPECT_STREQ(back, mixed8);
    EXPECT_EQ(ss8conv32n(back, sizeof back, u32, SS_UNBOUNDED), 10u);
    EXPECT_STREQ(back, mixed8);
}

// Cutting UTF-8 output at every size stores whole characters only.
TEST(SsConv, Utf8OutputCutAtEveryBoundary)
{
    for (size_t size = 1; size <= 12; size++) {
        char out[12];
        memset(out, 'x', sizeof out);
        EXPECT_EQ(ss8convwn(out, size, mixedw, SS_UNBOUNDED), 10u);
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
    EXPECT_EQ(ss8convwn(two, 2, e_acute, SS_UNBOUNDED), 2u);
    EXPECT_EQ(two[0], 0);
}

// Wide output cut at every size holds the first size - 1 characters.
TEST(SsConv, WideOutputCutAtEverySize)
{
    for (size_t size = 1; size <= 6; size++) {
        wchar_t out[6];
        for (wchar_t& c : out)
            c = L'#';
        EXPECT_EQ(sswconv8n(out, size, mixed8, SS_UNBOUNDED), 4u);
        size_t kept = size - 1 < 4 ? size - 1 : 4;
        EXPECT_EQ(sswlen(out), kept) << size;
        EXPECT_EQ(sswcmpn(out, kept, mixedw, kept), 0) << size;
    }
}

// UTF-16 output never ends in half a surrogate pair.
TEST(SsConv, Utf16OutputKeepsPairsWhole)
{
    uint16_t out[8];
    EXPECT_EQ(ss16conv8n(out, 5, mixed8, SS_UNBOUNDED), 5u);
    EXPECT_EQ(out[3], 0);  // room for 4 units, the pair does not fit
    EXPECT_EQ(ss16conv8n(out, 6, mixed8, SS_UNBOUNDED), 5u);
    EXPECT_EQ(out[4], 0xDE00);
}

// Source bounds cut by units; a cut sequence is invalid, not a character.
TEST(SsConv, SourceBoundsAndInvalidInput)
{
    wchar_t w[8];
    for (size_t k = 1; k < 5; k++) {
        size_t bound = boundaries8[k] - 1;  // one byte short of character k
        EXPECT_EQ(sswconv8lenn(mixed8, bound), k - 1 + (boundaries8[k] - 1 - boundaries8[k - 1]))
            << bound;
    }
    EXPECT_EQ(sswconv8n(w, 8, "a\xff" "b\x80", SS_UNBOUNDED), 4u);
    EXPECT_EQ((uint32_t)w[1], SS_INVALID);
    EXPECT_EQ((uint32_t)w[3], SS_INVALID);
    char out[8];
    const wchar_t bad[] = {0xD800, 0x41, 0};
    EXPECT_EQ(ss8convwn(out, sizeof out, bad, SS_UNBOUNDED), 2u);
    EXPECT_EQ((unsigned char)out[0], 0xFF);
    const uint16_t lone[] = {0xDC00, 0};
    EXPECT_EQ(ss8conv16n(out, sizeof out, lone, SS_UNBOUNDED), 1u);
    EXPECT_EQ((unsigned char)out[0], 0xFF);
}

TEST(SsConv, NullAndEmpty)
{
    wchar_t w[2] = {L'x', L'x'};
    EXPECT_EQ(sswconv8n(w, 2, nullptr, SS_UNBOUNDED), 0u);
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(sswconv8n(nullptr, 5, "abc", SS_UNBOUNDED), 3u);  // a null destination measures
    EXPECT_EQ(sswconv8len(mixed8), 4u);
    EXPECT_EQ(sswconv8n(w, 0, "abc", SS_UNBOUNDED), 3u);
    wchar_t* m = sswconv8m(ma, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m[0], 0);
    free_dh(m);
}

// The b forms convert exactly the bounded units, zeros included, without
// terminating, and still store whole characters only.
TEST(SsConv, ExactForms)
{
    wchar_t w[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(sswconvb8n(w, 6, "a\0b", 3), 3u);
    EXPECT_EQ(w[0], L'a');
    EXPECT_EQ(w[1], 0);
    EXPECT_EQ(w[2], L'b');
    EXPECT_EQ(w[3], 9);  // not terminated
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(ss8convbwn(out, 4, mixedw, 3), 6u);
    EXPECT_EQ(std::string(out, 3), "a\xc3\xa9");
    EXPECT_EQ(out[3], 'x');  // the 3-byte euro did not fit whole
}

TEST(SsConv, AllocatingAndVectorForms)
{
    char* s = ss8convwm(ma, mixedw);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, mixed8);
    free_dh(s);
    uint16_t* u = ss16conv8mn(ma, mixed8, 3);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u[1], 0xE9);
    EXPECT_EQ(u[2], 0);
    free_dh(u);
    const char* v[] = {"one", mixed8, "", nullptr};
    wchar_t** wv = sswvconv8m(ma, v);
    ASSERT_NE(wv, nullptr);
    EXPECT_STREQ(wv[0], L"one");
    EXPECT_EQ(sswcmp(wv[1], mixedw), 0);
    EXPECT_STREQ(wv[2], L"");
    EXPECT_EQ(wv[3], nullptr);
    free_dh(wv);
    const char* none[] = {nullptr};
    wchar_t** empty = sswvconv8m(ma, none);
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
    EXPECT_EQ(sswconvan(w, 8, "plain", SS_UNBOUNDED), 5u);
    EXPECT_STREQ(w, L"plain");
    const char* before = setlocale(LC_CTYPE, nullptr);
    std::string saved = before ? before : "C";
    if (!setlocale(LC_CTYPE, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale";
    EXPECT_EQ(sswconvan(w, 8, mixed8, SS_UNBOUNDED), 4u);
    EXPECT_EQ(sswcmp(w, mixedw), 0);
    EXPECT_EQ(ssaconvwn(out, sizeof out, mixedw, SS_UNBOUNDED), 10u);
    EXPECT_STREQ(out, mixed8);
    EXPECT_EQ(ssaconvwn(out, 4, mixedw, SS_UNBOUNDED), 10u);  // whole characters only
    EXPECT_STREQ(out, "a\xc3\xa9");
    EXPECT_EQ(ss8convan(out, sizeof out, "x\xff", SS_UNBOUNDED), 2u);
    EXPECT_EQ((unsigned char)out[1], 0xFF);
    char* m = ssaconvwm(ma, mixedw);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m, mixed8);
    free_dh(m);
    setlocale(LC_CTYPE, "C");
    EXPECT_EQ(ssaconvwn(out, sizeof out, mixedw, SS_UNBOUNDED), 4u);
    EXPECT_STREQ(out, "a\x7f\x7f\x7f");  // what the C locale cannot represent
    setlocale(LC_CTYPE, saved.c_str());
}

// Every public conversion name, typed: a name converts into the family it
// starts with. The function pointer types make a swapped name fail to
// compile where the unit types differ; the values below catch the rest.
template <typename T>
struct ConvNames {
    size_t (*into8)(char*, const T*);
    size_t (*into8n)(char*, size_t, const T*, size_t);
    size_t (*into8n1)(char*, size_t, const T*);
    size_t (*into8n2)(char*, const T*, size_t);
    size_t (*into8len)(const T*);
    size_t (*into8lenn)(const T*, size_t);
    char* (*into8m)(malloc_i*, const T*);
    char* (*into8mn)(malloc_i*, const T*, size_t);
    size_t (*into8b)(char*, const T*, size_t);
    size_t (*into8bn)(char*, size_t, const T*, size_t);
    char** (*into8v)(malloc_i*, const T* const*);
    size_t (*from8)(T*, const char*);
    size_t (*from8n)(T*, size_t, const char*, size_t);
    size_t (*from8n1)(T*, size_t, const char*);
    size_t (*from8n2)(T*, const char*, size_t);
    size_t (*from8len)(const char*);
    size_t (*from8lenn)(const char*, size_t);
    T* (*from8m)(malloc_i*, const char*);
    T* (*from8mn)(malloc_i*, const char*, size_t);
    size_t (*from8b)(T*, const char*, size_t);
    size_t (*from8bn)(T*, size_t, const char*, size_t);
    T** (*from8v)(malloc_i*, const char* const*);
};

#define CONV_NAMES(X)                                                                              \
    {ss8conv##X,     ss8conv##X##n,    ss8conv##X##n1, ss8conv##X##n2, ss8conv##X##len,            \
     ss8conv##X##lenn, ss8conv##X##m,  ss8conv##X##mn, ss8convb##X,    ss8convb##X##n,             \
     ss8vconv##X##m, ss##X##conv8,     ss##X##conv8n,  ss##X##conv8n1, ss##X##conv8n2,             \
     ss##X##conv8len, ss##X##conv8lenn, ss##X##conv8m, ss##X##conv8mn, ss##X##convb8,             \
     ss##X##convb8n, ss##X##vconv8m}

// é € 𝄞: two, three and four bytes in UTF-8, a surrogate pair in UTF-16.
const char sample8[] = "\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e";
const size_t sample8_len = 9;

template <typename T>
void expect_direction(const ConvNames<T>& names, const T* sample, size_t units)
{
    std::basic_string<T> expected(sample, units);
    T unit_buf[16];
    char byte_buf[16];
    EXPECT_EQ(names.from8(unit_buf, sample8), units);
    EXPECT_EQ(std::basic_string<T>(unit_buf), expected);
    EXPECT_EQ(names.from8n(unit_buf, 16, sample8, SS_UNBOUNDED), units);
    EXPECT_EQ(names.from8n1(unit_buf, 16, sample8), units);
    EXPECT_EQ(names.from8n2(unit_buf, sample8, sample8_len), units);
    EXPECT_EQ(std::basic_string<T>(unit_buf), expected);
    EXPECT_EQ(names.from8len(sample8), units);
    EXPECT_EQ(names.from8lenn(sample8, 2), names.from8len("\xc3\xa9"));
    EXPECT_EQ(names.from8b(unit_buf, sample8, sample8_len), units);
    EXPECT_EQ(names.from8bn(unit_buf, 16, sample8, sample8_len), units);
    EXPECT_EQ(std::basic_string<T>(unit_buf, units), expected);
    T* m = names.from8m(ma, sample8);
    T* mn = names.from8mn(ma, sample8, SS_UNBOUNDED);
    ASSERT_TRUE(m && mn);
    EXPECT_EQ(std::basic_string<T>(m), expected);
    EXPECT_EQ(std::basic_string<T>(mn), expected);
    free_dh(m);
    free_dh(mn);
    const char* v8[] = {sample8, nullptr};
    T** v = names.from8v(ma, v8);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::basic_string<T>(v[0]), expected);

    const std::string expected8(sample8);
    EXPECT_EQ(names.into8(byte_buf, v[0]), sample8_len);
    EXPECT_EQ(names.into8n(byte_buf, 16, sample, SS_UNBOUNDED), sample8_len);
    EXPECT_EQ(names.into8n1(byte_buf, 16, sample), sample8_len);
    EXPECT_EQ(names.into8n2(byte_buf, sample, units), sample8_len);
    EXPECT_EQ(std::string(byte_buf), expected8);
    EXPECT_EQ(names.into8len(sample), sample8_len);
    EXPECT_EQ(names.into8lenn(sample, 1), 2u);
    EXPECT_EQ(names.into8b(byte_buf, sample, units), sample8_len);
    EXPECT_EQ(names.into8bn(byte_buf, 16, sample, units), sample8_len);
    EXPECT_EQ(std::string(byte_buf, sample8_len), expected8);
    char* m8 = names.into8m(ma, sample);
    char* mn8 = names.into8mn(ma, sample, units);
    ASSERT_TRUE(m8 && mn8);
    EXPECT_EQ(std::string(m8), expected8);
    EXPECT_EQ(std::string(mn8), expected8);
    free_dh(m8);
    free_dh(mn8);
    const T* const vt[] = {v[0], nullptr};
    char** v8back = names.into8v(ma, vt);
    ASSERT_NE(v8back, nullptr);
    EXPECT_EQ(std::string(v8back[0]), expected8);
    free_dh(v8back);
    free_dh(v);
}

TEST(SsConv, NamesReadDestinationFirst)
{
    static const wchar_t wide[] = {0xE9, 0x20AC, 0x1D11E, 0};
    static const uint16_t utf16[] = {0xE9, 0x20AC, 0xD834, 0xDD1E, 0};
    static const uint32_t utf32[] = {0xE9, 0x20AC, 0x1D11E, 0};
    expect_direction<wchar_t>(CONV_NAMES(w), wide, 3);
    expect_direction<uint16_t>(CONV_NAMES(16), utf16, 4);
    expect_direction<uint32_t>(CONV_NAMES(32), utf32, 3);
}

// The locale forms read the same way; ssaconv8n and ss8convan both take and
// give bytes, so the C locale tells them apart: only text made for the
// locale has 0x7F where a character cannot be represented.
TEST(SsConv, LocaleNamesReadDestinationFirst)
{
    static const wchar_t wide[] = {0xE9, 0x20AC, 0x1D11E, 0};
    const char* before = setlocale(LC_CTYPE, nullptr);
    std::string saved = before ? before : "C";
    if (!setlocale(LC_CTYPE, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale";
    char out[16];
    wchar_t w[8];
    EXPECT_EQ(ssaconvwn(out, sizeof out, wide, SS_UNBOUNDED), sample8_len);
    EXPECT_STREQ(out, sample8);
    EXPECT_EQ(sswconvan(w, 8, sample8, SS_UNBOUNDED), 3u);
    EXPECT_EQ(sswcmp(w, wide), 0);
    EXPECT_EQ(ssaconv8n(out, sizeof out, sample8, SS_UNBOUNDED), sample8_len);
    EXPECT_STREQ(out, sample8);
    wchar_t* wm = sswconvamn(ma, sample8, SS_UNBOUNDED);
    char* am = ssaconv8m(ma, sample8);
    char* umn = ss8convamn(ma, sample8, 2);
    ASSERT_TRUE(wm && am && umn);
    EXPECT_EQ(sswcmp(wm, wide), 0);
    EXPECT_STREQ(am, sample8);
    EXPECT_STREQ(umn, "\xc3\xa9");
    free_dh(wm);
    free_dh(am);
    free_dh(umn);
    setlocale(LC_CTYPE, "C");
    EXPECT_EQ(ssaconv8n(out, sizeof out, sample8, SS_UNBOUNDED), 3u);
    EXPECT_STREQ(out, "\x7f\x7f\x7f");
    EXPECT_GT(ss8convan(out, sizeof out, sample8, SS_UNBOUNDED), 3u);  // bytes, not characters
    setlocale(LC_CTYPE, saved.c_str());
}

} // namespace
