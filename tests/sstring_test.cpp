// Tests of the character primitives, the text operations of the ss8 and ssw
// families and the u5 case folding.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "sstring.h"

namespace {

qp_heap_ma_t heap = QP_HEAP_MA_INIT;
malloc_i* const ma = &heap.vtbl;

// Frees a debug-heap result at scope end.
struct HeapText {
    void* p;
    ~HeapText() { free_dh(p); }
};

// ---- characters --------------------------------------------------------

// Pulling UTF-8: lengths 1-4, invalid leads, cut and broken sequences.
TEST(SsChars, Utf8Pull)
{
    struct Case {
        const char* text;
        size_t len;
        uint32_t cp;
        size_t next;
    } cases[] = {
        {"A", 1, 0x41, 1},
        {"\xc3\xa9", 2, 0xE9, 2},
        {"\xe2\x82\xac", 3, 0x20AC, 3},
        {"\xf0\x9f\x98\x80", 4, 0x1F600, 4},
        {"\x80", 1, SS_INVALID, 1},          // stray continuation byte
        {"\xf8\x88\x80\x80\x80", 5, SS_INVALID, 1},
        {"\xff", 1, SS_INVALID, 1},
        {"\xe2\x82", 2, SS_INVALID, 1},      // short at the terminator
        {"\xe2\x82\xac", 2, SS_INVALID, 1},  // cut by the bound
        {"\xe2\x41\xac", 3, SS_INVALID, 1},  // broken continuation
        {"\xc0\x80", 2, 0, 2},               // over-long forms are not rejected
        {"\xed\xa0\x80", 3, 0xD800, 3},      // nor surrogates
        {"", 1, 0, 1},
        {"x", 0, 0, 0},                      // at the bound: index unchanged
    };
    for (const Case& c : cases) {
        size_t next = 99;
        EXPECT_EQ(ss8pullchar(c.text, c.len, 0, &next), c.cp) << c.text;
        EXPECT_EQ(next, c.next) << c.text;
    }
    size_t next = 7;
    EXPECT_EQ(ss8pullchar(nullptr, 5, 0, &next), 0u);
    EXPECT_EQ(next, 0u);
}

// Pushing UTF-8 with the 31-bit scheme; a cut sequence advances the length
// fully and stores only what lies below the size.
TEST(SsChars, Utf8Push)
{
    struct Case {
        uint32_t cp;
        const char* bytes;
        size_t len;
    } cases[] = {
        {0x41, "A", 1},
        {0x7FF, "\xdf\xbf", 2},
        {0xFFFF, "\xef\xbf\xbf", 3},
        {0x10FFFF, "\xf4\x8f\xbf\xbf", 4},
        {0x3FFFFFF, "\xfb\xbf\xbf\xbf\xbf", 5},
        {0x7FFFFFFE, "\xfd\xbf\xbf\xbf\xbf\xbe", 6},
        {0x7FFFFFFF, "\xff", 1},
        {SS_INVALID, "\xff", 1},
    };
    for (const Case& c : cases) {
        char buf[8] = {};
        size_t len = 0;
        ss8pushchar(buf, sizeof buf, &len, c.cp);
        EXPECT_EQ(len, c.len);
        EXPECT_EQ(std::string(buf, len), std::string(c.bytes, c.len));
    }
    char buf[4] = {'x', 'x', 'x', 'x'};
    size_t len = 1;
    ss8pushchar(buf, 3, &len, 0x20AC);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ((unsigned char)buf[1], 0xE2);
    EXPECT_EQ((unsigned char)buf[2], 0x82);
    EXPECT_EQ(buf[3], 'x');
}

// UTF-16 surrogate pairs, lone surrogates, pushes beyond the planes.
TEST(SsChars, Utf16)
{
    const uint16_t pair[] = {0xD83D, 0xDE00, 0};
    const uint16_t lone_low[] = {0xDE00, 0x41, 0};
    const uint16_t high_then_a[] = {0xD83D, 0x41, 0};
    size_t next;
    EXPECT_EQ(ss16pullchar(pair, SS_UNBOUNDED, 0, &next), 0x1F600u);
    EXPECT_EQ(next, 2u);
    EXPECT_EQ(ss16pullchar(pair, 1, 0, &next), SS_INVALID);  // pair cut by the bound
    EXPECT_EQ(ss16pullchar(lone_low, SS_UNBOUNDED, 0, &next), SS_INVALID);
    EXPECT_EQ(next, 1u);
    EXPECT_EQ(ss16pullchar(high_then_a, SS_UNBOUNDED, 0, &next), SS_INVALID);
    EXPECT_EQ(next, 1u);

    uint16_t out[4] = {};
    size_t len = 0;
    ss16pushchar(out, 4, &len, 0x1F600);
    ss16pushchar(out, 4, &len, 0x110000);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(out[0], 0xD83D);
    EXPECT_EQ(out[1], 0xDE00);
    EXPECT_EQ(out[2], 0xFFFF);
}

// Wide and 32-bit units: surrogate units are invalid.
TEST(SsChars, WideAnd32)
{
    const wchar_t w[] = {0x41, 0xD800, 0x10400, 0};
    const uint32_t u[] = {0xDFFF, 0x10FFFF, 0};
    size_t next;
    EXPECT_EQ(sswpullchar(w, SS_UNBOUNDED, 1, &next), SS_INVALID);
    EXPECT_EQ(sswpullchar(w, SS_UNBOUNDED, 2, &next), 0x10400u);
    EXPECT_EQ(ss32pullchar(u, SS_UNBOUNDED, 0, &next), SS_INVALID);
    EXPECT_EQ(ss32pullchar(u, SS_UNBOUNDED, 1, &next), 0x10FFFFu);
    const char* p = "\xc3\xa9z";
    EXPECT_EQ(ss8cpullchar(&p), 0xE9u);
    EXPECT_EQ(ss8cpullasciiupfoldchar(&p), (uint32_t)'Z');
    EXPECT_EQ(ss8cpullchar(&p), 0u);
    EXPECT_EQ(*p, 0);
}

// An over-long form of 0 reads as 0 but is consumed, so a loop over the
// units ends; only the terminator leaves the pointer where it is.
TEST(SsChars, OverlongZeroIsConsumed)
{
    const char* text = "\xc0\x80x";
    const char* p = text;
    EXPECT_EQ(ss8cpullchar(&p), 0u);
    EXPECT_EQ(p, text + 2);
    EXPECT_EQ(ss8cpullchar(&p), (uint32_t)'x');
    EXPECT_EQ(ss8cpullchar(&p), 0u);
    EXPECT_EQ(p, text + 3);
}

// ---- length, state, copy, concatenate ---------------------------------

TEST(SsText, LengthAndState)
{
    EXPECT_EQ(ss8len(nullptr), 0u);
    EXPECT_EQ(ss8lenn("abcdef", 3), 3u);
    EXPECT_STREQ(ss8fix(nullptr), "");
    EXPECT_TRUE(ss8isempty(nullptr));
    EXPECT_TRUE(ss8isempty(""));
    EXPECT_FALSE(ss8isempty("a"));
    EXPECT_TRUE(ss8isfull("abc", 4));
    EXPECT_FALSE(ss8isfull("ab", 4));
    EXPECT_TRUE(ss8isfull(nullptr, 4));
    EXPECT_TRUE(ss8isfull("", 0));
    EXPECT_TRUE(ss8isvalid("\xc3\xa9t\xc3\xa9"));
    EXPECT_FALSE(ss8isvalid("\xc3t"));
    EXPECT_TRUE(ss8isvalidn("ab\xc3", 2));
    EXPECT_TRUE(ss8isallascii("plain"));
    EXPECT_FALSE(ss8isallascii("caf\xc3\xa9"));
    EXPECT_EQ(sswlen(L"wide"), 4u);
}

// Copies cut by units at every size and always terminate.
TEST(SsText, CopyCutsAtEverySize)
{
    const char* src = "hello";
    for (size_t size = 1; size <= 7; size++) {
        char buf[8];
        memset(buf, 'x', sizeof buf);
        ss8cpyn(buf, size, src, SS_UNBOUNDED);
        EXPECT_EQ(std::string(buf), std::string(src).substr(0, size - 1)) << size;
    }
    char buf[4] = {'x', 'x', 'x', 'x'};
    ss8cpyn(buf, 0, src, SS_UNBOUNDED);
    EXPECT_EQ(buf[0], 'x');  // size 0 writes nothing
    ss8cpyn(buf, 4, src, 2);
    EXPECT_STREQ(buf, "he");
    ss8cpyn(buf, 4, nullptr, 2);
    EXPECT_STREQ(buf, "");
    // Copies count units: unlike the conversions they may cut a character.
    ss8cpyn(buf, 2, "\xc3\xa9", SS_UNBOUNDED);
    EXPECT_STREQ(buf, "\xc3");
}

TEST(SsText, ConcatenateBothEnds)
{
    char buf[10] = "world";
    ss8rcatn(buf, sizeof buf, "hello ", SS_UNBOUNDED);
    EXPECT_STREQ(buf, "hello wor");  // the old text keeps what fits
    char buf2[8] = "ab";
    ss8catn1(buf2, sizeof buf2, "cdefghij");
    EXPECT_STREQ(buf2, "abcdefg");
    ss8catn1(buf2, sizeof buf2, "z");
    EXPECT_STREQ(buf2, "abcdefg");
    char buf3[6] = "12345";
    ss8rcatn1(buf3, sizeof buf3, "abcdefgh");
    EXPECT_STREQ(buf3, "abcde");
    wchar_t w[8] = L"b";
    sswrcat(w, L"a");
    sswcat(w, L"c");
    EXPECT_STREQ(w, L"abc");
}

TEST(SsText, MoveAndFill)
{
    char buf[8] = "abcdef";
    ss8move(buf + 1, buf, 4);
    EXPECT_STREQ(buf, "aabcdf");
    ss8move(buf, buf + 2, 3);
    EXPECT_STREQ(buf, "bcdcdf");
    ss8move(buf, nullptr, 2);
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(buf[2], 'd');
    ss8setb(buf, 'q', 3);
    EXPECT_EQ(std::string(buf, 3), "qqq");
    char secret[8] = "pw";
    ss8zeron(secret, sizeof secret);
    EXPECT_EQ(secret[0] | secret[1], 0);
}

TEST(SsText, Allocate)
{
    HeapText a{ss8cpym(ma, "text")}, b{ss8cpymn(ma, "text", 2)}, c{ss8catm(ma, "ab", nullptr)},
        d{ss8catmn(ma, "abc", 1, "xyz", 2)}, e{ss8dupn_d("abc", 5)};
    EXPECT_STREQ((char*)a.p, "text");
    EXPECT_STREQ((char*)b.p, "te");
    EXPECT_STREQ((char*)c.p, "ab");
    EXPECT_STREQ((char*)d.p, "axy");
    EXPECT_STREQ((char*)e.p, "abc");
    const char* v[] = {"one", "", "three", nullptr};
    HeapText vec{ss8vcpym(ma, v)};
    char** copy = (char**)vec.p;
    EXPECT_STREQ(copy[0], "one");
    EXPECT_STREQ(copy[1], "");
    EXPECT_STREQ(copy[2], "three");
    EXPECT_EQ(copy[3], nullptr);
    HeapText w{sswcpym(ma, L"wide")};
    EXPECT_STREQ((wchar_t*)w.p, L"wide");
}

// ---- compare ------------------------------------------------------------------

TEST(SsCompare, Table)
{
    struct Case {
        int (*cmp)(const char*, const char*);
        const char* a;
        const char* b;
        int result;
    } cases[] = {
        {ss8cmp, "abc", "abd", -1},
        {ss8cmp, "abd", "abc", 1},
        {ss8cmp, "", nullptr, 0},
        {ss8cmp, "ab", "abc", -1},
        {ss8cmp, "\xc3\xa9", "z", 1},  // by code point
        {ss8cmp, "\x80", "\x81", -1},    // invalid units stay distinct, after all characters
        {ss8cmp, "\xff", "\xf4\x8f\xbf\xbf", 1},
        {ss8u5cmpi, "A\x80", "a\x80", 0},
        {ss8asciicmpi, "abc", "ABC", 0},
        {ss8asciicmpi, "a[", "AZ", 1},  // [ after Z once a-z fold to A-Z
        {ss8asciicmpi, "\xc3\xa9", "\xc3\x89", 1},  // only ASCII folds
        {ss8asciicmpi, "\x80", "z", 1},
        {ss8u5cmpi, "STRASSE", "strasse", 0},
        {ss8u5cmpi, "\xc5\xbf", "s", 0},  // U+017F long s
        {ss8u5cmpi, "\xc3\x89t\xc3\xa9", "\xc3\xa9T\xc3\x89", 0},
        {ss8u5cmpi, "\xd0\x9f\xd0\xa0", "\xd0\xbf\xd1\x80", 0},  // Cyrillic
        {ss8cmps, "prefix-rest", "prefix", 0},
        {ss8cmps, "pre", "prefix", -1},
        {ss8asciicmpsi, "PREfix", "pre", 0},
        {ss8u5cmpsi, "\xc3\x89" "COLE", "\xc3\xa9" "co", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.cmp(c.a, c.b), c.result) << c.a << " / " << c.b;
    EXPECT_EQ(ss8cmpn("abc", 2, "abd", 2), 0);
    EXPECT_EQ(ss8cmpn1("abc", 2, "ab"), 0);
    EXPECT_EQ(ss8cmpn2("ab", "abc", 2), 0);
    EXPECT_EQ(ss8cmpb("a\0b", 3, "a\0c", 3), -1);
    EXPECT_EQ(ss8cmpb("ab", 2, "abc", 3), -1);
    EXPECT_EQ(ss8asciicmpbi("A\0b", 3, "a\0B", 3), 0);
    EXPECT_EQ(sswu5cmpi(L"\u0130X", L"\u0130x"), 0);
    EXPECT_EQ(sswasciicmpin(L"ABCD", 3, L"abcz", 3), 0);
}

// ---- search -------------------------------------------------------------------

TEST(SsSearch, Characters)
{
    const char* s = "a/b\xc3\xa9/c";
    EXPECT_EQ(ss8chrc(s, '/'), s + 1);
    EXPECT_EQ(ss8chrc(s, 0xE9), s + 3);
    EXPECT_EQ(ss8chrc(s, 0), s + 7);
    EXPECT_EQ(ss8chrc(s, 'z'), nullptr);
    EXPECT_EQ(ss8chrcn(s, 1, '/'), nullptr);
    EXPECT_EQ(ss8chrcn(s, 2, 0), s + 2);
    EXPECT_EQ(ss8rchrc(s, '/'), s + 5);
    EXPECT_EQ(ss8rchrcn(s, 5, '/'), s + 1);
    const char* t = "abC";
    EXPECT_EQ(ss8asciichrci(t, 'c'), t + 2);
    EXPECT_EQ(ss8u5chrci(s, 0xC9), s + 3);
    EXPECT_EQ(ss8chrc(nullptr, 'a'), nullptr);
    EXPECT_STREQ(ss8chrc(nullptr, 0), "");
}

TEST(SsSearch, Substrings)
{
    const char* s = "one two one";
    EXPECT_EQ(ss8strc(s, "one"), s);
    EXPECT_EQ(ss8rstrc(s, "one"), s + 8);
    EXPECT_EQ(ss8strc(s, ""), s);
    EXPECT_EQ(ss8rstrc(s, ""), s + 11);
    EXPECT_EQ(ss8strc(s, "three"), nullptr);
    const char* bad = "a\x81\x80";
    EXPECT_EQ(ss8strc(bad, "\x80"), bad + 2);  // invalid units match only themselves
    EXPECT_EQ(ss8strcn(s, 5, "two", SS_UNBOUNDED), nullptr);
    EXPECT_EQ(ss8strn2(s, "twox", 3), s + 4);
    EXPECT_EQ(ss8asciistrci(s, "TWO"), s + 4);
    const char* street = "STRASSE strasse";
    EXPECT_EQ(ss8u5rstrci(street, "SSE"), street + 12);
    const char* u = "x\xc3\x89t\xc3\xa9";
    EXPECT_EQ(ss8u5strci(u, "\xc3\xa9T"), u + 1);
    EXPECT_EQ(ss8u5rstrci(u, "\xc3\x89"), u + 4);
}

// ---- case ---------------------------------------------------------------------

TEST(SsCase, Folding)
{
    char up[] = "mixed Case \xc3\xa9";
    ss8asciiupfold(up);
    EXPECT_STREQ(up, "MIXED CASE \xc3\xa9");
    char out[16];
    // U+017F (2 bytes) folds to s (1 byte), U+023A (2 bytes) to U+2C65 (3 bytes).
    EXPECT_EQ(ss8u5fold(out, sizeof out, "A\xc5\xbf\xc8\xba"), 5u);
    EXPECT_STREQ(out, "as\xe2\xb1\xa5");
    // A cut never leaves part of a folded character.
    EXPECT_EQ(ss8u5fold(out, 4, "A\xc5\xbf\xc8\xba"), 5u);
    EXPECT_STREQ(out, "as");
    HeapText m{ss8u5foldm(ma, "\xd0\x9f\xd0\xa0\xd0\x98")};
    EXPECT_STREQ((char*)m.p, "\xd0\xbf\xd1\x80\xd0\xb8");
    HeapText a{ss8asciiupfoldmn(ma, "abcdef", 3)};
    EXPECT_STREQ((char*)a.p, "ABC");
}

TEST(SsCase, CharacterTests)
{
    EXPECT_TRUE(ss8isdigit('7'));
    EXPECT_FALSE(ss8isdigit('a'));
    EXPECT_TRUE(ss8ishexdigit('F'));
    EXPECT_FALSE(ss8ishexdigit('g'));
    EXPECT_TRUE(ss8isspace('\v'));
    EXPECT_EQ(ss8asciilower('Q'), (uint32_t)'q');
    EXPECT_EQ(ss8asciiupper(0xE9), 0xE9u);
    EXPECT_TRUE(ss8asciiisalnum('0'));
    EXPECT_FALSE(ss8asciiisalpha('_'));
    EXPECT_TRUE(ssu5iscombining(0x301));
    EXPECT_FALSE(ssu5iscombining(0x370));
}

// ---- parts ----------------------------------------------------------------------

TEST(SsParts, TailsAndEnvironment)
{
    const char* s = "ab\xc3\xa9" "e\xcc\x81x";  // a b é e + combining acute x
    EXPECT_EQ(ss8u5tailcn(3, s, SS_UNBOUNDED), 1u);  // never starts with the mark
    EXPECT_EQ(ss8u5tailcn(4, s, SS_UNBOUNDED), 4u);
    EXPECT_EQ(ss8u5tailcn(5, s, SS_UNBOUNDED), 4u);  // no cut inside é
    EXPECT_EQ(ss8u5tailcn(6, s, SS_UNBOUNDED), 6u);
    EXPECT_EQ(ss8u5tailcn(100, s, SS_UNBOUNDED), 8u);
    EXPECT_EQ(ss8u5tailc(4, s), s + 4);
    const char* t = "abc";
    EXPECT_EQ(ss8subc(t, 2), t + 2);
    EXPECT_EQ(ss8subc(t, 9), t + 3);
    EXPECT_EQ(ss8subcn(t, 1, 9), t + 1);

    const char* env[] = {"PATH=/bin", "=C:=C:\\x", "EMPTY=", "NOEQ", "PA=short", nullptr};
    EXPECT_STREQ(ss8env(env, "PATH"), "/bin");
    EXPECT_STREQ(ss8env(env, "PA"), "short");
    EXPECT_STREQ(ss8env(env, "=C:"), "C:\\x");  // a leading = belongs to the name
    EXPECT_STREQ(ss8env(env, "EMPTY"), "");
    EXPECT_EQ(ss8env(env, "NOEQ"), nullptr);
    EXPECT_EQ(ss8env(env, "path"), nullptr);
    EXPECT_EQ(ss8env(nullptr, "PATH"), nullptr);
}

TEST(SsHash, Djb2)
{
    EXPECT_EQ(ssdjb2hash(nullptr), 5381u);
    EXPECT_EQ(ssdjb2hash(""), 5381u);
    EXPECT_EQ(ssdjb2hash("a"), 5381u * 33 + 'a');
    EXPECT_EQ(ssdjb2hashn("ab", 1), ssdjb2hash("a"));
    EXPECT_EQ(ssdjb2hash("\xff"), 5381u * 33 + 0xFF);  // bytes are unsigned
}

// The wide family has the same operations over one unit per code point.
TEST(SsWide, SameOperations)
{
    const wchar_t* s = L"Stra\u00dfe/\u0130x";
    EXPECT_EQ(sswlen(s), 9u);
    EXPECT_EQ(sswchrc(s, L'/'), s + 6);
    EXPECT_EQ(sswrchrc(s, L'x'), s + 8);
    EXPECT_EQ(sswu5strci(s, L"STRA"), s);
    EXPECT_EQ(sswasciicmpsi(s, L"sTRA"), 0);
    wchar_t folded[16];
    EXPECT_EQ(sswu5fold(folded, 16, L"\u0100B\U00010400"), 3u);
    EXPECT_EQ(folded[0], 0x101);
    EXPECT_EQ(folded[1], L'b');
    EXPECT_EQ((uint32_t)folded[2], 0x10428u);
    EXPECT_EQ(sswu5tailcn(2, L"ab\u0301", SS_UNBOUNDED), 2u);
    EXPECT_EQ(sswu5tailcn(1, L"ab\u0301", SS_UNBOUNDED), 0u);  // only a mark would start it
    const wchar_t* env[] = {L"HOME=/root", nullptr};
    EXPECT_STREQ(sswenv(env, L"HOME"), L"/root");
    EXPECT_EQ(sswxglob(L"a/*/c", L"a/b/c"), 1);
    EXPECT_EQ(sswasciiglobdosi(L"A\"", L"a"), 1);
    wchar_t small[4];
    sswcpyn1(small, 4, L"abcdef");
    EXPECT_STREQ(small, L"abc");
    EXPECT_TRUE(sswisfull(small, 4));
    EXPECT_FALSE(sswisvalid(L"\xd800"));
}

// ---- u5 folding -------------------------------------------------------------------

// Every pair of the reference table, and identity between the pairs.
TEST(SsU5, FoldsLikeTheReference)
{
    ssu5_validate_tables();
    size_t pair = 0;
    for (uint32_t cp = 0; cp < 0x10500; cp++) {
        if (pair < SSU5_FOLD_PAIRS && ssu5_fold_table[pair][0] == cp)
            EXPECT_EQ(ssu5fold32(cp), ssu5_fold_table[pair++][1]) << std::hex << cp;
        else
            ASSERT_EQ(ssu5fold32(cp), cp) << std::hex << cp;
    }
    EXPECT_EQ(pair, (size_t)SSU5_FOLD_PAIRS);
    EXPECT_EQ(ssu5fold16(0xFF3A), 0xFF5A);
    EXPECT_EQ(ssu5fold32(0x1E9E), 0x1E9Eu);    // capital sharp s (Unicode 5.1) is not in u5
    EXPECT_EQ(ssu5fold32(0x2C65), 0x2C65u);    // small letters fold to themselves
}

TEST(SsU5, TableCounts)
{
    int direct = 0, marked = 0;
    for (int cp = 0; cp < 0x800; cp++) {
        direct += ssu5map11[cp] != 32 && ssu5map11[cp] != 255;
        marked += ssu5map11[cp] == 255;
    }
    EXPECT_EQ(direct, 443);
    EXPECT_EQ(marked, 17);
    int map16 = 0, map32 = 0;
    for (const auto& p : ssu5map16)
        map16 += p[0] != 0xFFFF;
    for (const auto& p : ssu5map32)
        map32 += p[0] != 0xFFFFFFFF;
    EXPECT_EQ(map16, 451);
    EXPECT_EQ(map32, 40);
}

// The committed tables are what the generator makes from the installed UCD.
TEST(SsU5, TablesMatchTheGenerator)
{
    if (!std::ifstream("/usr/share/unicode/CaseFolding.txt") ||
        std::system("python3 --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs python3 and the unicode-data package";
    std::string out = testing::TempDir() + "ssu5tables_regen.c";
    std::string cmd = std::string("python3 " QP_SOURCE_DIR "/tools/gen_u5tables.py --out ") + out +
                      " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    auto slurp = [](const std::string& path) {
        std::ifstream f(path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    };
    std::string regenerated = slurp(out), committed = slurp(QP_SOURCE_DIR "/base/ssu5tables.c");
    std::remove(out.c_str());
    EXPECT_FALSE(committed.empty());
    EXPECT_TRUE(regenerated == committed) << "regenerate base/ssu5tables.c";
}

} // namespace
