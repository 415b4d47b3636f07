// envtestdir.h - a fresh temporary folder per test for the environment and
// file-service tests, removed (without following links) when the test ends.
#ifndef ENVTESTDIR_H
#define ENVTESTDIR_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

class TempDirTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qpenv_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    static void write_file(const std::string& name, const std::string& data)
    {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out << data;
    }
    static std::string read_file(const std::string& name)
    {
        std::ifstream in(name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static mode_t mode_of(const std::string& name)
    {
        struct stat st;
        return ::lstat(name.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    static bool exists(const std::string& name)
    {
        struct stat st;
        return ::lstat(name.c_str(), &st) == 0;
    }

    std::string dir_;
};

#endif
