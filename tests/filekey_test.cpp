// Tests of the file key store. The user domain lives under a scratch home
// folder set before anything reads HOME; the system domain is tested only
// when the program runs with a private /etc (tests/sysexec/private_system.sh
// sets QP_PRIVATE_SYSTEM), and skipped otherwise.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "envtestdir.h"
#include "filekey.h"
#include "qpsys.h"

namespace {

// The scratch home folder, made and exported before any test (and before
// the process record caches HOME).
struct scratch_home {
    std::string dir;
    scratch_home()
    {
        char pattern[] = "/tmp/qp_filekey_home_XXXXXX";
        if (mkdtemp(pattern)) {
            dir = pattern;
            setenv("HOME", pattern, 1);
        }
    }
    ~scratch_home()
    {
        std::error_code ignored;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ignored);
    }
} home;

std::string user_folder(const std::string& key)
{
    return home.dir + "/.local/etc/" + key;
}

std::string system_folder(const std::string& key)
{
    return "/etc/" + key;
}

bool private_system()
{
    const char* flag = getenv("QP_PRIVATE_SYSTEM");
    return flag && std::string(flag) == "1";
}

// A key name unique to the test, so tests never see each other's values.
std::string key_name()
{
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string("qpfilekey_test.") + info->name();
}

class FileKeyTest : public TempDirTest {
protected:
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(user_folder(key_name()), ignored);
        if (private_system())
            std::filesystem::remove_all(system_folder(key_name()), ignored);
        TempDirTest::TearDown();
    }

    std::string get(fkey_t* key, const char* name, const char* def = nullptr)
    {
        qp_scratch_pool pool;
        char* text = fkey_get_string(key, pool.ma(), name, def);
        return text ? text : "<none>";
    }

    static std::multiset<std::string> list_all(fkey_t* key)
    {
        std::multiset<std::string> names;
        fkey_list_t* list = fkey_list_val(key);
        while (const char* name = fkey_list_next(list))
            names.insert(name);
        fkey_list_close(list);
        return names;
    }
};

// Domains other than 1 to 3, an empty or escaping key name give no key, and
// a none key is accepted by every call.
TEST_F(FileKeyTest, NoKeyAcceptedEverywhere)
{
    EXPECT_EQ(nullptr, fkey_create(0, "qpfilekey_test.x"));
    EXPECT_EQ(nullptr, fkey_create(4, "qpfilekey_test.x"));
    EXPECT_EQ(nullptr, fkey_create(fkey_domain_user, ""));
    EXPECT_EQ(nullptr, fkey_create(fkey_domain_user, nullptr));
    EXPECT_EQ(nullptr, fkey_create(fkey_domain_user, "../escape"));
    EXPECT_EQ(nullptr, fkey_create(fkey_domain_user, "/abs"));
    EXPECT_FALSE(exists(home.dir + "/.local/escape"));

    EXPECT_EQ("dflt", get(nullptr, "v", "dflt"));
    EXPECT_EQ("<none>", get(nullptr, "v"));
    fkey_set_string(nullptr, "v", "text");
    fkey_delete_val(nullptr, "v");
    EXPECT_EQ(nullptr, fkey_list_val(nullptr));
    EXPECT_EQ(nullptr, fkey_list_next(nullptr));
    fkey_list_close(nullptr);
    fkey_close(nullptr);
}

// Write and read open only existing keys; create makes the folder with its
// parents.
TEST_F(FileKeyTest, OpenModes)
{
    std::string name = key_name();
    EXPECT_EQ(nullptr, fkey_write(fkey_domain_user, name.c_str()));
    EXPECT_EQ(nullptr, fkey_read(fkey_domain_user, name.c_str()));
    fkey_t* key = fkey_create(fkey_domain_user, name.c_str());
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(FKEY_TAG, key->tag);
    EXPECT_EQ(user_folder(name), key->folder_name);
    EXPECT_STREQ("", key->defaults_folder_name);
    fkey_close(key);
    for (fkey_t* again : {fkey_write(fkey_domain_user, name.c_str()),
                          fkey_read(fkey_domain_user, name.c_str())}) {
        EXPECT_NE(nullptr, again);
        fkey_close(again);
    }
}

// Values round-trip as files of mode 0664 holding the bytes without
// terminator; a shorter text over a longer one leaves exactly the shorter;
// deletes remove the file; a missing value gives the default.
TEST_F(FileKeyTest, ValuesAsFiles)
{
    std::string name = key_name();
    mode_t old_mask = umask(077);
    fkey_t* key = fkey_create(fkey_domain_user, name.c_str());
    ASSERT_NE(nullptr, key);
    fkey_set_string(key, "colour", "turquoise");
    umask(old_mask);
    std::string file = user_folder(name) + "/colour";
    EXPECT_EQ("turquoise", read_file(file));
    EXPECT_EQ(0664u, mode_of(file));
    fkey_set_string(key, "colour", "red");
    EXPECT_EQ("red", read_file(file));
    EXPECT_EQ("red", get(key, "colour", "dflt"));
    // An empty text writes nothing and so leaves the value as it was.
    fkey_set_string(key, "colour", "");
    EXPECT_EQ("red", get(key, "colour"));
    EXPECT_EQ("dflt", get(key, "missing", "dflt"));
    EXPECT_EQ("<none>", get(key, "missing"));
    fkey_delete_val(key, "colour");
    EXPECT_FALSE(exists(file));
    fkey_close(key);
}

// A value file longer than the limit reads back as its first 32768 bytes.
TEST_F(FileKeyTest, LongValueCut)
{
    std::string name = key_name();
    fkey_t* key = fkey_create(fkey_domain_user, name.c_str());
    ASSERT_NE(nullptr, key);
    std::string big(40000, 'x');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>('a' + i % 26);
    fkey_set_string(key, "big", big.c_str());
    EXPECT_EQ(big, read_file(user_folder(name) + "/big"));
    EXPECT_EQ(big.substr(0, FKEY_MAX_VALUE_SIZE), get(key, "big"));
    fkey_close(key);
}

// A write cut short (here by the file size limit) leaves the value empty,
// never a mixture of the old and the new text.
TEST_F(FileKeyTest, PartialWriteEmptiesValue)
{
    std::string name = key_name();
    fkey_t* key = fkey_create(fkey_domain_user, name.c_str());
    ASSERT_NE(nullptr, key);
    fkey_set_string(key, "v", std::string(100, 'o').c_str());
    struct rlimit old_limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old_limit));
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    fkey_set_string(key, "v", std::string(10000, 'n').c_str());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ("", read_file(user_folder(name) + "/v"));
    fkey_close(key);
}

// Listings report files only, and value names that would leave the folder
// are neither read nor written.
TEST_F(FileKeyTest, ListingAndNames)
{
    std::string name = key_name();
    fkey_t* key = fkey_create(fkey_domain_user, name.c_str());
    ASSERT_NE(nullptr, key);
    fkey_set_string(key, "a", "1");
    fkey_set_string(key, "b", "2");
    std::filesystem::create_directory(user_folder(name) + "/sub");
    EXPECT_EQ((std::multiset<std::string>{"a", "b"}), list_all(key));

    write_file(home.dir + "/.local/etc/outside", "secret");
    EXPECT_EQ("dflt", get(key, "../outside", "dflt"));
    EXPECT_EQ("dflt", get(key, "sub", "dflt"));
    fkey_set_string(key, "../planted", "x");
    fkey_set_string(key, "sub/x", "x");
    EXPECT_FALSE(exists(home.dir + "/.local/etc/planted"));
    EXPECT_FALSE(exists(user_folder(name) + "/sub/x"));
    fkey_delete_val(key, "../outside");
    EXPECT_TRUE(exists(home.dir + "/.local/etc/outside"));
    fkey_close(key);
}

class FileKeySystemTest : public FileKeyTest {
protected:
    void SetUp() override
    {
        if (!private_system())
            GTEST_SKIP() << "needs a private /etc (tests/sysexec/private_system.sh)";
        FileKeyTest::SetUp();
    }
};

// Domain 1 keeps its key under /etc.
TEST_F(FileKeySystemTest, SystemDomain)
{
    std::string name = key_name();
    fkey_t* key = fkey_create(fkey_domain_system, name.c_str());
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(system_folder(name), key->folder_name);
    fkey_set_string(key, "v", "sys");
    fkey_close(key);
    EXPECT_EQ("sys", read_file(system_folder(name) + "/v"));
    EXPECT_EQ(0664u, mode_of(system_folder(name) + "/v"));
}

// A domain-3 key whose user folder is missing reads the system values; it
// cannot be written; once the user folder exists its values hide the
// defaults, and a value in both folders is listed once.
TEST_F(FileKeySystemTest, DefaultsUnderUserValues)
{
    std::string name = key_name();
    fkey_t* sys = fkey_create(fkey_domain_system, name.c_str());
    ASSERT_NE(nullptr, sys);
    fkey_set_string(sys, "shared", "from system");
    fkey_set_string(sys, "system_only", "s");
    fkey_close(sys);

    fkey_t* key = fkey_read(fkey_domain_both, name.c_str());
    ASSERT_NE(nullptr, key);
    EXPECT_STREQ("", key->folder_name);
    EXPECT_EQ(system_folder(name), key->defaults_folder_name);
    EXPECT_EQ("from system", get(key, "shared"));
    fkey_set_string(key, "shared", "ignored");
    EXPECT_EQ((std::multiset<std::string>{"shared", "system_only"}), list_all(key));
    fkey_close(key);
    EXPECT_EQ(nullptr, fkey_write(fkey_domain_both, name.c_str()));

    key = fkey_create(fkey_domain_both, name.c_str());
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(user_folder(name), key->folder_name);
    fkey_set_string(key, "shared", "from user");
    fkey_set_string(key, "user_only", "u");
    EXPECT_EQ("from user", get(key, "shared"));
    EXPECT_EQ("s", get(key, "system_only"));
    EXPECT_EQ((std::multiset<std::string>{"shared", "system_only", "user_only"}), list_all(key));
    // Deleting the user's value uncovers the default.
    fkey_delete_val(key, "shared");
    EXPECT_EQ("from system", get(key, "shared"));
    fkey_close(key);
}

} // namespace
