// Tests of the folder listing: names, entry indices, attributes of files,
// folders and links (followed or not) and broken links.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <unistd.h>

#include "envtestdir.h"
#include "qperr.h"
#include "qpfile.h"

namespace {

class ListTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        write_file(path("file"), "12345");
        mkdir(path("sub").c_str(), 0755);
        write_file(path("sub/inner"), "x");
        symlink("file", path("to_file").c_str());
        symlink("sub", path("to_sub").c_str());
        symlink("missing", path("dangling").c_str());
    }

    // Lists dir_ with flags: entry name -> attributes; checks the path and
    // index of every entry.
    std::map<std::string, file_attribs_t> list(int flags)
    {
        std::map<std::string, file_attribs_t> entries;
        f8_list_i* lister = nullptr;
        EXPECT_EQ(0, f8_list_factory(&lister, dir_.c_str(), flags));
        if (!lister)
            return entries;
        const char* name = nullptr;
        size_t end_index = 0;
        file_attribs_t attribs;
        int err;
        while ((err = (*lister)->next(lister, &name, &end_index, &attribs)) == 0) {
            EXPECT_EQ(dir_ + "/", std::string(name, end_index));
            entries[name + end_index] = attribs;
        }
        EXPECT_EQ(err_no_more_files, err);
        (*lister)->release(lister);
        return entries;
    }
};

// Links are followed to their targets unless asked otherwise; "." and ".."
// never appear.
TEST_F(ListTest, FollowedLinks)
{
    auto entries = list(0);
    ASSERT_EQ(5u, entries.size());
    EXPECT_EQ(0u, entries.count("."));
    const file_attribs_t& file = entries["file"];
    EXPECT_FALSE(file.is_symlink);
    EXPECT_FALSE(file.is_folder);
    EXPECT_EQ(5u, file.file_size);
    const file_attribs_t& to_file = entries["to_file"];
    EXPECT_TRUE(to_file.is_symlink && to_file.is_target && !to_file.is_broken);
    EXPECT_EQ(5u, to_file.file_size);
    EXPECT_EQ(file.file_id, to_file.file_id);
    EXPECT_TRUE(entries["to_sub"].is_folder && entries["to_sub"].is_target);
    EXPECT_TRUE(entries["sub"].is_folder && !entries["sub"].is_symlink);
    const file_attribs_t& dangling = entries["dangling"];
    EXPECT_TRUE(dangling.is_symlink && dangling.is_broken);
    EXPECT_FALSE(dangling.is_target);
    EXPECT_EQ(ENOENT, dangling.err);
}

// With no-follow, links report themselves.
TEST_F(ListTest, LinksThemselves)
{
    auto entries = list(file_list_flag_no_follow);
    ASSERT_EQ(5u, entries.size());
    for (const char* link : {"to_file", "to_sub", "dangling"}) {
        const file_attribs_t& a = entries[link];
        EXPECT_TRUE(a.is_symlink) << link;
        EXPECT_FALSE(a.is_target || a.is_broken || a.is_folder) << link;
        EXPECT_TRUE(S_ISLNK(a.mode)) << link;
    }
}

// Names only: no attributes are read.
TEST_F(ListTest, NamesOnly)
{
    auto entries = list(file_list_flag_names_only);
    ASSERT_EQ(5u, entries.size());
    EXPECT_EQ(0u, entries["file"].file_size);
    EXPECT_EQ(0u, entries["file"].mode);
}

// Missing folders, files given as folders, relative names and the root.
TEST_F(ListTest, FolderNames)
{
    f8_list_i* lister = nullptr;
    EXPECT_EQ(ENOENT, f8_list_factory(&lister, path("none").c_str(), 0));
    EXPECT_EQ(nullptr, lister);
    EXPECT_EQ(ENOTDIR, f8_list_factory(&lister, path("file").c_str(), 0));
    EXPECT_EQ(err_bad_name, f8_list_factory(&lister, "//server", 0));

    ASSERT_EQ(0, f8_list_factory(&lister, (dir_ + "/sub/../sub/").c_str(), 0));
    const char* name = nullptr;
    size_t end_index = 0;
    ASSERT_EQ(0, (*lister)->next(lister, &name, &end_index, nullptr));
    EXPECT_EQ(path("sub/inner"), name);
    EXPECT_EQ(err_no_more_files, (*lister)->next(lister, &name, &end_index, nullptr));
    EXPECT_EQ(nullptr, name);
    (*lister)->release(lister);

    ASSERT_EQ(0, f8_list_factory(&lister, "/", file_list_flag_names_only));
    ASSERT_EQ(0, (*lister)->next(lister, &name, &end_index, nullptr));
    EXPECT_EQ(1u, end_index);
    EXPECT_NE('/', name[1]);
    (*lister)->release(lister);
}

// An entry name of the longest length a file system allows fits.
TEST_F(ListTest, LongNames)
{
    std::string long_name(255, 'n');
    write_file(path("sub/" + long_name), "");
    f8_list_i* lister = nullptr;
    ASSERT_EQ(0, f8_list_factory(&lister, path("sub").c_str(), file_list_flag_names_only));
    const char* name = nullptr;
    size_t end_index = 0;
    int seen = 0;
    while ((*lister)->next(lister, &name, &end_index, nullptr) == 0) {
        std::string entry = name + end_index;
        EXPECT_TRUE(entry == "inner" || entry == long_name);
        seen++;
    }
    EXPECT_EQ(2, seen);
    (*lister)->release(lister);
}

} // namespace
