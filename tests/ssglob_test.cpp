// Tests of the four wildcard matchers (glob, globdos, xglob, xglob2), their
// case-insensitive and bounded forms, and the backtracking limits.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "sstring.h"

namespace {

typedef int (*matcher_fn)(const char* filter, const char* name);

struct GlobCase {
    matcher_fn match;
    const char* filter;
    const char* name;
    int result;
};

void run_cases(const GlobCase* cases, size_t count)
{
    for (size_t k = 0; k < count; k++)
        EXPECT_EQ(cases[k].match(cases[k].filter, cases[k].name), cases[k].result)
            << "case " << k << ": '" << cases[k].filter << "' vs '" << cases[k].name << "'";
}

// glob: * runs, ? one character (a whole UTF-8 character), nothing special
// about slashes.
TEST(SsGlob, Glob)
{
    const GlobCase cases[] = {
        {ss8glob, "a*c", "abbbc", 1},
        {ss8glob, "a?c", "ac", 0},
        {ss8glob, "a?c", "abc", 1},
        {ss8glob, "*", "", 1},
        {ss8glob, "", "", 1},
        {ss8glob, "", "a", 0},
        {ss8glob, "**", "any/thing", 1},
        {ss8glob, "*.txt", "dir/notes.txt", 1},
        {ss8glob, "*a*b*c", "xaybzc", 1},
        {ss8glob, "*a*b*c", "xaybz", 0},
        {ss8glob, "a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0},
        {ss8glob, "?", "\xc3\xa9", 1},  // one character, two bytes
        {ss8glob, "??", "\xc3\xa9", 0},
        {ss8glob, "ABC", "abc", 0},
        {ss8asciiglobi, "ABC", "abc", 1},
        {ss8asciiglobi, "\xc3\x89*", "\xc3\xa9t\xc3\xa9", 0},
        {ss8u5globi, "\xc3\x89*", "\xc3\xa9t\xc3\xa9", 1},
        {ss8u5globi, "STRA?E", "stra\xc5\xbf" "e", 1},
        {ss8glob, "\x80", "\x81", 0},  // invalid units match only themselves
        {ss8glob, "\x80?", "\x80\x81", 1},
        {ss8glob, nullptr, nullptr, 1},
        {ss8glob, "*", nullptr, 1},
    };
    run_cases(cases, sizeof cases / sizeof cases[0]);
    EXPECT_EQ(ss8globn("a*zzz", 2, "abc", SS_UNBOUNDED), 1);
    EXPECT_EQ(ss8globn1("abc", 2, "ab"), 1);
    EXPECT_EQ(ss8globn2("abc", "abcd", 3), 1);
    EXPECT_EQ(sswglob(L"*.c", L"unit.c"), 1);
    EXPECT_EQ(sswu5globi(L"\u0100*", L"\u0101x"), 1);
}

// globdos: < like *, > one character or nothing at the end / the last dot,
// the double quote a dot or nothing at the end.
TEST(SsGlob, GlobDos)
{
    const GlobCase cases[] = {
        {ss8globdos, "a\"", "a", 1},
        {ss8globdos, "a\"", "a.", 1},
        {ss8globdos, "a\"txt", "a.txt", 1},
        {ss8globdos, "a\"txt", "aXtxt", 0},
        {ss8globdos, "a>>>", "a", 1},
        {ss8globdos, "a>>>", "abc", 1},
        {ss8globdos, "a>>>", "abcde", 0},
        {ss8globdos, "a>>>.txt", "ab.txt", 1},   // > stops at the last dot
        {ss8globdos, "a>>>.txt", "a.b.txt", 1},
        {ss8globdos, "<.c", "unit.c", 1},
        {ss8globdos, "<", "", 1},
        {ss8globdos, "*<*", "x", 1},
        {ss8globdos, "?", "", 0},
        {ss8asciiglobdosi, "A<.C", "ab.c", 1},
    };
    run_cases(cases, sizeof cases / sizeof cases[0]);
}

// xglob: path rules.
TEST(SsGlob, XGlob)
{
    const GlobCase cases[] = {
        {ss8xglob, "a/*/c", "a/b/c", 1},
        {ss8xglob, "a/*", "a/b/c", 0},
        {ss8xglob, "a/**", "a/b/c", 1},
        {ss8xglob, "a/**/c", "a/c", 1},     // ** before / may match no folder
        {ss8xglob, "a/**/c", "a/b/d/c", 1},
        {ss8xglob, "a/**/c", "a/b/d/e", 0},
        {ss8xglob, "**/x.c", "x.c", 1},
        {ss8xglob, "**/x.c", "src/base/x.c", 1},
        {ss8xglob, "a?b", "a/b", 0},         // ? never matches /
        {ss8xglob, "a*b", "a/b", 0},
        {ss8xglob, "a**b", "a/x/b", 1},
        {ss8xglob, "*/b*/*.c", "x/bar/u.c", 1},
        {ss8xglob, "*/b*/*.c", "x/bar/y/u.c", 0},
        {ss8xglob, "**/b*/*.c", "x/y/bar/u.c", 1},
        {ss8xglob, "**/b*x/*.c", "x/bay/bax/u.c", 1},  // backtracks into the **
        {ss8xglob, "a/b", "a/?", 0},
        {ss8xglob, "**/?", "ba", 0},        // ** before / matches no folder or ends at a /
        {ss8xglob, "**//", "aba/", 0},
        {ss8xglob, "*?**/", "bab", 1},      // the * must give way for the empty **/
        {ss8xglob, "b*ba**/", "bbbaba", 1},
        {ss8asciixglobi, "SRC/**", "src/a/b", 1},
        {ss8u5xglobi, "\xc3\x89/*", "\xc3\xa9/x", 1},
    };
    run_cases(cases, sizeof cases / sizeof cases[0]);
}

// xglob2: both sides are patterns; 1 when they have a name in common.
TEST(SsGlob, XGlob2)
{
    const GlobCase cases[] = {
        {ss8xglob2, "a/b", "a/?", 1},
        {ss8xglob2, "a/b/c", "a/**", 1},
        {ss8xglob2, "a/*", "a/**", 1},
        {ss8xglob2, "a/*", "*/b", 1},
        {ss8xglob2, "a/*/c", "a/b/*", 1},
        {ss8xglob2, "a/*", "b/*", 0},
        {ss8xglob2, "*.c", "*.h", 0},
        {ss8xglob2, "x*", "*y", 1},
        {ss8xglob2, "?", "/", 0},
        {ss8xglob2, "?", "*", 1},
        {ss8xglob2, "*", "a/b", 0},      // a single * stays in one component
        {ss8xglob2, "**", "a/b", 1},
        {ss8xglob2, "a/**/z", "a/z", 1},
        {ss8xglob2, "a/**/z", "**/b/z", 1},
        {ss8xglob2, "a/x*", "a/y*", 0},
        {ss8xglob2, "", "", 1},
        {ss8xglob2, "", "*", 1},
        {ss8xglob2, "", "?", 0},
        {ss8xglob2, "**/?", "ba", 0},
        {ss8xglob2, "*?**/", "b*b", 1},
        {ss8asciixglob2i, "A/B", "a/?", 1},
    };
    run_cases(cases, sizeof cases / sizeof cases[0]);
}

// Backtracking limits: deep star sequences stay correct where the older
// choices cannot matter; xglob2 gives 0 (no match) instead of stopping when
// its 50 positions are used up.
TEST(SsGlob, BacktrackingLimits)
{
    std::string stars, name(60, 'a');
    for (int k = 0; k < 60; k++)
        stars += "*a";
    EXPECT_EQ(ss8glob(stars.c_str(), name.c_str()), 1);
    EXPECT_EQ(ss8glob((stars + "b").c_str(), name.c_str()), 0);
    EXPECT_EQ(ss8xglob(stars.c_str(), name.c_str()), 1);

    std::string dirs, path;
    for (int k = 0; k < 60; k++) {
        dirs += "**/";
        path += "d/";
    }
    EXPECT_EQ(ss8xglob((dirs + "x").c_str(), (path + "x").c_str()), 1);

    // Each ? on the name side against a * on the filter side keeps one
    // choice open: 49 fit, 60 do not.
    auto chain = [](int count, const char* unit) {
        std::string s;
        for (int k = 0; k < count; k++)
            s += unit;
        return s;
    };
    EXPECT_EQ(ss8xglob2(chain(20, "*/").c_str(), chain(20, "?/").c_str()), 1);
    EXPECT_EQ(ss8xglob2(chain(60, "*/").c_str(), chain(60, "?/").c_str()), 0);
}

// The path rules read directly, as a plain recursion over short texts:
// * takes a run without /, a longer run takes anything, a longer run before
// / takes nothing or a run ending in /, ? one character other than /.
bool xglob_reference(const std::string& f, size_t i, const std::string& n, size_t j)
{
    if (i == f.size())
        return j == n.size();
    if (f[i] == '*') {
        size_t run = f.find_first_not_of('*', i);
        run = run == std::string::npos ? f.size() : run;
        bool dirs = run - i > 1 && run < f.size() && f[run] == '/';
        if (dirs && xglob_reference(f, run + 1, n, j))
            return true;
        for (size_t k = j; k <= n.size(); k++) {
            if (k > j && run - i == 1 && n[k - 1] == '/')
                break;
            if (dirs ? k > j && n[k - 1] == '/' && xglob_reference(f, run + 1, n, k)
                     : xglob_reference(f, run, n, k))
                return true;
        }
        return false;
    }
    if (j == n.size() || (f[i] == '?' ? n[j] == '/' : f[i] != n[j]))
        return false;
    return xglob_reference(f, i + 1, n, j + 1);
}

bool glob_reference(const std::string& f, size_t i, const std::string& n, size_t j)
{
    if (i == f.size())
        return j == n.size();
    if (f[i] == '*') {
        for (size_t k = j; k <= n.size(); k++)
            if (glob_reference(f, i + 1, n, k))
                return true;
        return false;
    }
    return j < n.size() && (f[i] == '?' || f[i] == n[j]) && glob_reference(f, i + 1, n, j + 1);
}

std::string random_text(std::mt19937& rng, const std::vector<std::string>& pieces, int max)
{
    std::string s;
    for (int n = (int)(rng() % (max + 1)); n > 0; n--)
        s += pieces[rng() % pieces.size()];
    return s;
}

// xglob and glob agree with a direct reading of their rules on random small
// filters, and xglob2 with a plain name answers like xglob: this is what
// catches a backtracking shortcut that drops a choice still needed.
TEST(SsGlob, AgreesWithTheRules)
{
    std::mt19937 rng(12345);
    const std::vector<std::string> filter_pieces = {"a", "b", "/", "*", "?", "**/", "/**/"};
    const std::vector<std::string> name_pieces = {"a", "b", "/"};
    for (int trial = 0; trial < 4000; trial++) {
        std::string filter = random_text(rng, filter_pieces, 6);
        std::string name = random_text(rng, name_pieces, 7);
        bool want = xglob_reference(filter, 0, name, 0);
        ASSERT_EQ(ss8xglob(filter.c_str(), name.c_str()), want) << filter << " vs " << name;
        ASSERT_EQ(ss8xglob2(filter.c_str(), name.c_str()), want) << filter << " vs " << name;
        ASSERT_EQ(ss8glob(filter.c_str(), name.c_str()), glob_reference(filter, 0, name, 0))
            << filter << " vs " << name;
    }
}

// globdos agrees with a direct reading of its rules (memo-free recursion on
// short texts).
TEST(SsGlob, DosAgreesWithItsRules)
{
    std::mt19937 rng(54321);
    const std::vector<std::string> filter_pieces = {"a", ".", "*", "?", "<", ">", "\""};
    const std::vector<std::string> name_pieces = {"a", "b", "."};
    for (int trial = 0; trial < 20000; trial++) {
        std::string f = random_text(rng, filter_pieces, 6);
        std::string n = random_text(rng, name_pieces, 6);
        size_t dot = n.rfind('.');
        std::function<bool(size_t, size_t)> match = [&](size_t i, size_t j) -> bool {
            if (i == f.size())
                return j == n.size();
            char c = f[i];
            if (c == '*' || c == '<') {
                for (size_t k = j; k <= n.size(); k++)
                    if (match(i + 1, k))
                        return true;
                return false;
            }
            if (c == '>')
                return match(i + 1, j == n.size() || j == dot ? j : j + 1);
            if (c == '"')
                return j == n.size() ? match(i + 1, j) : n[j] == '.' && match(i + 1, j + 1);
            return j < n.size() && (c == '?' || c == n[j]) && match(i + 1, j + 1);
        };
        ASSERT_EQ(ss8globdos(f.c_str(), n.c_str()), match(0, 0)) << f << " vs " << n;
    }
}

} // namespace
