// Tests of the portable path algebra: parse, normalise, join, in UTF-8 and
// wide form.
#include <gtest/gtest.h>

#include <string>

#include "qpsys.h"

namespace {

struct heap_text {
    char* text;
    ~heap_text() { free_d(text); }
};

std::string normalized(const char* name)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    heap_text result{f8_path_normalize(&heap.vtbl, name)};
    return result.text ? result.text : "<null>";
}

std::wstring normalized_w(const wchar_t* name)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    wchar_t* result = fw_path_normalize(&heap.vtbl, name);
    std::wstring text = result ? result : L"<null>";
    free_d(result);
    return text;
}

std::string joined(const char* folder, const char* name)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    heap_text result{f8_path_cat(&heap.vtbl, folder, name)};
    return result.text ? result.text : "<null>";
}

struct parse_case {
    const char* name;
    int err;
    size_t volume;
    int rooted;
    size_t name_index;
};

// Volumes, rooting and the last component's index, including the bad forms.
TEST(PathParse, VolumesRootsAndComponents)
{
    const parse_case cases[] = {
        {"a/b/c", 0, 0, 0, 4},
        {"/usr/lib", 0, 0, 1, 5},
        {"/", 0, 0, 1, 1},
        {"C:", 0, 2, 0, 2},
        {"C:x", 0, 2, 0, 2},
        {"c:/x/y", 0, 2, 1, 5},
        {"C:\\win\\sys", 0, 2, 1, 7},
        {"//=/etc/x", 0, 3, 1, 8},
        {"//server/share", 0, 14, 1, 14},
        {"//server/share/a/b", 0, 14, 1, 17},
        {"\\\\srv\\sh\\f", 0, 8, 1, 9},
        {"1:", 0, 0, 0, 0},
        {"", 36, 0, 0, 0},
        {"//", 36, 0, 0, 0},
        {"//server", 36, 0, 0, 0},
        {"//server/", 36, 0, 0, 0},
        {"///x", 36, 0, 0, 0},
        {"//=", 36, 0, 0, 0},
    };
    for (const parse_case& c : cases) {
        size_t volume = 99, name_index = 99, ext = 99;
        int rooted = 99;
        EXPECT_EQ(c.err, f8_path_parse(c.name, &volume, &rooted, &name_index, &ext)) << c.name;
        EXPECT_EQ(c.volume, volume) << c.name;
        EXPECT_EQ(c.rooted, rooted) << c.name;
        EXPECT_EQ(c.name_index, name_index) << c.name;
    }
    EXPECT_EQ(36, f8_path_parse(nullptr, nullptr, nullptr, nullptr, nullptr));
}

// The extension index marks the last dot of the last component, not a
// leading one.
TEST(PathParse, ExtensionIndex)
{
    size_t ext = 0;
    ASSERT_EQ(0, f8_path_parse("/a.b/c.tar.gz", nullptr, nullptr, nullptr, &ext));
    EXPECT_EQ(10u, ext);
    ASSERT_EQ(0, f8_path_parse("/a.b/.profile", nullptr, nullptr, nullptr, &ext));
    EXPECT_EQ(13u, ext);
    ASSERT_EQ(0, f8_path_parse("x.", nullptr, nullptr, nullptr, &ext));
    EXPECT_EQ(1u, ext);
}

// The wide parser gives the same indices as the UTF-8 one on ASCII text.
TEST(PathParse, WideMatchesUtf8)
{
    size_t volume = 0, name_index = 0;
    int rooted = 0;
    ASSERT_EQ(0, fw_path_parse(L"//server/share/a/b", &volume, &rooted, &name_index, nullptr));
    EXPECT_EQ(14u, volume);
    EXPECT_EQ(1, rooted);
    EXPECT_EQ(17u, name_index);
    EXPECT_EQ(36, fw_path_parse(L"//x", nullptr, nullptr, nullptr, nullptr));
}

// Dots, separator runs, leading "../" counting and the trailing separator.
TEST(PathNormalize, Table)
{
    const char* cases[][2] = {
        {"a/./b//c/", "a/b/c/"},
        {"a/../../b", "../b"},
        {"/../x", "/x"},
        {"a/..", "."},
        {"a/...", "../"},
        {"..", "../"},
        {"...", "../../"},
        {"./", "./"},
        {".", "."},
        {"/", "/"},
        {"///", "<null>"},
        {"/a//b///", "/a/b/"},
        {"a\\b\\..\\c", "a/c"},
        {"a/b/c/../../..", "."},
        {"x/..../y", "../../y"},
        {"/a/b/.../c", "/c"},
        {"C:", "C:."},
        {"C:a/..", "C:."},
        {"C:../x", "C:../x"},
        {"C:\\a\\..\\b", "C:/b"},
        {"c:/..", "c:/"},
        {"//=/a/../b", "//=/b"},
        {"//srv/share", "//srv/share/"},
        {"//srv/share/../x", "//srv/share/x"},
        {".hidden/..x", ".hidden/..x"},
        {"./a:", "./a:"},
        {"x/../b:/c", "./b:/c"},
        {"C:b:", "C:b:"},
        {"../a:", "../a:"},
        {"", "<null>"},
        {"//", "<null>"},
    };
    for (auto& c : cases)
        EXPECT_EQ(c[1], normalized(c[0])) << c[0];
    EXPECT_EQ("<null>", normalized(nullptr));
}

// Results around the 100-unit scratch size are exact, and many dots
// expand without limit.
TEST(PathNormalize, LongPathsAroundScratchSize)
{
    for (size_t len = 95; len <= 105; len++) {
        std::string name = "/" + std::string(len - 1, 'x');
        EXPECT_EQ(name, normalized(name.c_str()));
        std::string with_dots = name + "/./y/..";
        EXPECT_EQ(name, normalized(with_dots.c_str()));
    }
    std::string many_dots(200, '.');
    std::string expected;
    for (int i = 0; i < 199; i++)
        expected += "../";
    EXPECT_EQ(expected, normalized(many_dots.c_str()));
    std::string deep;
    for (int i = 0; i < 300; i++)
        deep += "abc/";
    for (int i = 0; i < 299; i++)
        deep += "../";
    EXPECT_EQ("abc/", normalized(deep.c_str()));
}

// The wide form follows the same rules and keeps non-ASCII units.
TEST(PathNormalize, Wide)
{
    EXPECT_EQ(L"../b", normalized_w(L"a/../../b"));
    EXPECT_EQ(L"/\u00e9t\u00e9/x/", normalized_w(L"/\u00e9t\u00e9/./x//"));
    EXPECT_EQ(L"<null>", normalized_w(L""));
}

// Joining drops one separator on each side of the seam.
TEST(PathCat, Seams)
{
    EXPECT_EQ("/a/b", joined("/a/", "/b"));
    EXPECT_EQ("b", joined("", "b"));
    EXPECT_EQ("b", joined(nullptr, "b"));
    EXPECT_EQ("/b", joined("/", "b"));
    EXPECT_EQ("a/", joined("a", ""));
    EXPECT_EQ("a//b", joined("a//", "b"));
    EXPECT_EQ("a//b", joined("a", "//b"));
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    wchar_t* wide = fw_path_cat(&heap.vtbl, L"/a/", L"/b");
    EXPECT_EQ(std::wstring(L"/a/b"), wide);
    free_d(wide);
}

// Garbage of every byte value never crashes the parser or the normaliser,
// and a normalised path is a fixed point.
TEST(PathNormalize, GarbageAndIdempotence)
{
    const char alphabet[] = {'/', '\\', '.', 'a', ':', '=', 'C', '\xff'};
    unsigned seed = 12345;
    for (int round = 0; round < 3000; round++) {
        char name[24];
        size_t len = 1 + round % 20;
        for (size_t i = 0; i < len; i++) {
            seed = seed * 1103515245 + 12345;
            name[i] = alphabet[(seed >> 16) % sizeof(alphabet)];
        }
        name[len] = 0;
        std::string once = normalized(name);
        if (once == "<null>")
            continue;
        EXPECT_EQ(once, normalized(once.c_str())) << name;
    }
}

} // namespace
