// Tests of the platform side of the paths: completion (with "~" and
// "~user"), the executable search, users' home folders and the current
// folder with its PWD rule.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>

#include "envtestdir.h"
#include "qpsys.h"
#include "sstring.h"

namespace {

// Sets (or, with null, removes) an environment variable for one scope.
class scoped_env {
public:
    scoped_env(const char* name, const char* value) : name_(name)
    {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~scoped_env()
    {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

// Changes the current folder for one scope.
class scoped_cwd {
public:
    explicit scoped_cwd(const std::string& folder)
    {
        char buffer[PATH_MAX];
        old_ = getcwd(buffer, sizeof(buffer)) ? buffer : "/";
        EXPECT_EQ(0, chdir(folder.c_str()));
    }
    ~scoped_cwd() { EXPECT_EQ(0, chdir(old_.c_str())); }

private:
    std::string old_;
};

std::string taken(char* text)
{
    std::string value = text ? text : "<null>";
    free_d(text);
    return value;
}

std::string completed(const char* base, const char* name)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    return taken(f8_path_complete(&heap.vtbl, base, name));
}

std::string searched(int flags, const char* exec_folder, const char* search_path, const char* name,
                     const char* suffixes)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    return taken(f8_search(&heap.vtbl, flags, exec_folder, search_path, name, suffixes));
}

std::string current_folder()
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    return taken(f8_get_current_folder(&heap.vtbl));
}

std::string home_of(const char* user)
{
    struct passwd* entry = getpwnam(user);
    return entry && entry->pw_dir && *entry->pw_dir ? entry->pw_dir : "/";
}

class PathTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        char real[PATH_MAX];
        ASSERT_NE(nullptr, realpath(dir_.c_str(), real));
        dir_ = real;
    }
};

// Relative names join the base, rooted names stay, dots are resolved.
TEST(PathComplete, AgainstBaseFolders)
{
    EXPECT_EQ("/usr/x", completed("/usr", "x"));
    EXPECT_EQ("/usr/y", completed("/usr/lib", "../y"));
    EXPECT_EQ("/a/c", completed("/usr", "/a/./b/../c"));
    EXPECT_EQ("/usr", completed("/usr/", ""));
    EXPECT_EQ("/usr/lib/", completed("/usr", "lib/"));
    EXPECT_EQ("/base/foo", completed("/base", "C:foo"));
    EXPECT_EQ("/", completed("/", "../../.."));
    EXPECT_EQ("<null>", completed("/usr", "//server"));
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    wchar_t* wide = fw_path_complete(&heap.vtbl, L"/usr/lib", L"../\u00e9");
    EXPECT_EQ(std::wstring(L"/usr/\u00e9"), wide);
    free_d(wide);
}

// A relative base, an empty one and "." all start from the current folder.
TEST_F(PathTest, RelativeBaseUsesCurrentFolder)
{
    scoped_env pwd("PWD", nullptr);
    scoped_cwd cwd(dir_);
    EXPECT_EQ(dir_ + "/rel/x", completed("rel", "x"));
    EXPECT_EQ(dir_ + "/x", completed("", "x"));
    EXPECT_EQ(dir_ + "/x", completed(".", "x"));
    EXPECT_EQ(dir_ + "/x", completed(nullptr, "x"));
    EXPECT_EQ(dir_, completed(nullptr, ""));
}

// "~" takes HOME, then the home of USER; without both it is a plain name.
TEST_F(PathTest, TildeFromEnvironment)
{
    scoped_env pwd("PWD", nullptr);
    scoped_cwd cwd(dir_);
    {
        scoped_env home("HOME", "/home/u");
        EXPECT_EQ("/home/u", completed(nullptr, "~"));
        EXPECT_EQ("/home/u", completed("/elsewhere", "~/"));
        EXPECT_EQ("/home/u/a/b", completed(nullptr, "~/a/./b"));
    }
    scoped_env home("HOME", nullptr);
    {
        scoped_env user("USER", "root");
        EXPECT_EQ(home_of("root"), completed(nullptr, "~"));
    }
    scoped_env user("USER", nullptr);
    EXPECT_EQ(dir_ + "/~", completed(nullptr, "~"));
}

// "~user" names that user's home; an unknown user gives "/", an overlong
// user part is a plain name.
TEST_F(PathTest, TildeUser)
{
    scoped_env pwd("PWD", nullptr);
    scoped_cwd cwd(dir_);
    std::string root_home = home_of("root");
    EXPECT_EQ(root_home, completed(nullptr, "~root"));
    EXPECT_EQ(root_home == "/" ? "/x" : root_home + "/x", completed(nullptr, "~root/x"));
    EXPECT_EQ("/", completed(nullptr, "~no_such_user_qpenv"));
    EXPECT_EQ("/sub", completed(nullptr, "~no_such_user_qpenv/sub"));
    std::string long_user = "~" + std::string(120, 'u');
    EXPECT_EQ(dir_ + "/" + long_user, completed(nullptr, long_user.c_str()));
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    EXPECT_EQ(root_home, taken(f8_get_user_folder(&heap.vtbl, "root")));
    EXPECT_EQ("/", taken(f8_get_user_folder(&heap.vtbl, "")));
    EXPECT_EQ("/", taken(f8_get_user_folder(&heap.vtbl, nullptr)));
    wchar_t* wide = fw_get_user_folder(&heap.vtbl, L"no_such_user_qpenv");
    EXPECT_EQ(std::wstring(L"/"), wide);
    free_d(wide);
}

// PWD is kept when it names the current folder through a link, ignored
// otherwise.
TEST_F(PathTest, CurrentFolderKeepsLinkedPwd)
{
    mkdir(path("real").c_str(), 0755);
    symlink("real", path("linked").c_str());
    scoped_cwd cwd(path("real"));
    {
        scoped_env pwd("PWD", path("linked").c_str());
        EXPECT_EQ(path("linked"), current_folder());
        EXPECT_EQ(path("linked") + "/x", completed(nullptr, "x"));
    }
    {
        scoped_env pwd("PWD", dir_.c_str());
        EXPECT_EQ(path("real"), current_folder());
    }
    {
        scoped_env pwd("PWD", "linked");
        EXPECT_EQ(path("real"), current_folder());
    }
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    scoped_env pwd("PWD", nullptr);
    wchar_t* wide = fw_get_current_folder(&heap.vtbl);
    char* utf8 = ss8convwm(&heap.vtbl, wide);
    EXPECT_EQ(path("real"), utf8);
    free_d(utf8);
    free_d(wide);
}

class SearchTest : public PathTest {
protected:
    void SetUp() override
    {
        PathTest::SetUp();
        for (const char* folder : {"exec", "cur", "p1", "p2"})
            mkdir(path(folder).c_str(), 0755);
        write_file(path("exec/prog.sh"), "");
        write_file(path("exec/prog"), "");
        write_file(path("exec/only_exec"), "");
        mkdir(path("cur/sub").c_str(), 0755);
        write_file(path("cur/sub/tool"), "");
        write_file(path("cur/here"), "");
        write_file(path("p1/x.SH.sh"), "");
        mkdir(path("p1/tool"), 0755);
        write_file(path("p2/tool"), "");
        write_file(path("p2/long.abcdefg"), "");
    }
    static int mkdir(const std::string& name, mode_t mode) { return ::mkdir(name.c_str(), mode); }
};

// Suffixes come first; a name that already carries one is taken as it is.
TEST_F(SearchTest, Suffixes)
{
    std::string exec = path("exec");
    EXPECT_EQ(path("exec/prog.sh"), searched(0, exec.c_str(), nullptr, "prog", ".sh"));
    EXPECT_EQ(path("exec/prog.sh"), searched(0, exec.c_str(), nullptr, "prog.sh", ".sh"));
    EXPECT_EQ(path("exec/prog"), searched(0, exec.c_str(), nullptr, "prog", "::.none:"));
    EXPECT_EQ(path("exec/prog"), searched(0, exec.c_str(), nullptr, "prog", nullptr));
    std::string p1 = path("p1");
    // "x.SH" ends with ".sh" ignoring case: "x.SH.sh" is never tried.
    EXPECT_EQ("<null>", searched(0, nullptr, p1.c_str(), "x.SH", ".sh"));
    // Only 8 characters of a suffix are appended.
    std::string p2 = path("p2");
    EXPECT_EQ(path("p2/long.abcdefg"), searched(0, nullptr, p2.c_str(), "long", ".abcdefghijk"));
}

// Folder order: the exec folder, the current folder by flags, then the
// search path or PATH; folders never count as hits.
TEST_F(SearchTest, FolderOrder)
{
    scoped_env pwd("PWD", nullptr);
    scoped_cwd cwd(path("cur"));
    std::string exec = path("exec"), list = path("p1") + "::" + path("p2");
    EXPECT_EQ(path("exec/only_exec"), searched(fsf_exec, exec.c_str(), list.c_str(), "only_exec", nullptr));
    EXPECT_EQ(path("p2/tool"), searched(0, exec.c_str(), list.c_str(), "tool", nullptr));
    EXPECT_EQ("<null>", searched(0, nullptr, nullptr, "here", nullptr));
    EXPECT_EQ(path("cur/here"), searched(fsf_current_folder, nullptr, nullptr, "here", nullptr));
    EXPECT_EQ("<null>", searched(fsf_current_folder_if, nullptr, nullptr, "here", nullptr));
    EXPECT_EQ(path("cur/sub/tool"), searched(fsf_current_folder_if, nullptr, list.c_str(), "sub/tool", nullptr));
    {
        scoped_env path_var("PATH", list.c_str());
        EXPECT_EQ(path("p2/tool"), searched(fsf_path, nullptr, nullptr, "tool", nullptr));
        EXPECT_EQ("<null>", searched(0, nullptr, nullptr, "tool", nullptr));
        EXPECT_EQ(path("exec/prog"), searched(fsf_path, nullptr, exec.c_str(), "prog", nullptr));
    }
    EXPECT_EQ("<null>", searched(fsf_exec, exec.c_str(), list.c_str(), "", nullptr));
    EXPECT_EQ("<null>", searched(fsf_exec, exec.c_str(), list.c_str(), nullptr, nullptr));
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    std::wstring wide_exec(exec.begin(), exec.end());
    wchar_t* wide = fw_search(&heap.vtbl, 0, wide_exec.c_str(), nullptr, L"prog", L".sh");
    char* utf8 = ss8convwm(&heap.vtbl, wide);
    EXPECT_EQ(path("exec/prog.sh"), utf8);
    free_d(utf8);
    free_d(wide);
}

} // namespace
