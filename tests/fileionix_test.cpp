// Tests of the file services: status, names, open and create, copy,
// compare, whole-file read and write, folders, tree deletion, permission
// flags and times. The tests run as root here, so no case relies on a
// permission being refused.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "envtestdir.h"
#include "qperr.h"
#include "qpfile.h"

namespace {

// The inode whose next close reports EIO, as a file system does when a
// deferred write of the file failed; 0 when none.
std::atomic<ino_t> close_fails_for_inode{0};

} // namespace

// Stands in for the C library's close in this program, so that a close error
// can be injected.
extern "C" int close(int fd)
{
    struct stat st;
    ino_t failing = close_fails_for_inode.load();
    bool fail = failing && fstat(fd, &st) == 0 && st.st_ino == failing;
    int result = static_cast<int>(syscall(SYS_close, fd));
    if (result == 0 && fail) {
        close_fails_for_inode = 0;
        errno = EIO;
        return -1;
    }
    return result;
}

namespace {

class FileTest : public TempDirTest {};

std::string pattern_data(size_t size, unsigned seed)
{
    std::string data(size, 0);
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245 + 12345;
        data[i] = static_cast<char>(seed >> 16);
    }
    return data;
}

// Every name-taking call refuses a null name with 12 and an empty one with 36.
TEST_F(FileTest, NullAndEmptyNames)
{
    struct stat st;
    int fd = 0, dup = 1;
    void* data = &fd;
    size_t size = 1;
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    f8_list_i* list = nullptr;
    file_attribs_t attribs;
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        int expected = name ? err_bad_name : err_no_mem;
        EXPECT_EQ(expected, f8_stat(name, &st));
        EXPECT_EQ(expected, f8_lstat(name, &st));
        EXPECT_EQ(expected, f8_exists(name, nullptr));
        EXPECT_EQ(expected, f8_delete(name));
        EXPECT_EQ(expected, f8_move(name, "x", 0));
        EXPECT_EQ(expected, f8_move("x", name, 1));
        EXPECT_EQ(expected, f8_open(&fd, name, fof_read_data));
        EXPECT_EQ(-1, fd);
        EXPECT_EQ(expected, f8_create(&fd, name, 0));
        EXPECT_EQ(expected, f8_copy(name, path("x").c_str()));
        EXPECT_EQ(expected, f8_compare(name, name, &dup));
        EXPECT_EQ(0, dup);
        EXPECT_EQ(expected, f8_create_full_folder(name));
        EXPECT_EQ(expected, f8_delete_tree(name));
        EXPECT_EQ(expected, f8_read_data(&heap.vtbl, name, 10, &data, &size));
        EXPECT_EQ(nullptr, data);
        EXPECT_EQ(expected, f8_write_bin(name, "x", 1));
        EXPECT_EQ(expected, f8_write_sz(name, "x"));
        EXPECT_EQ(expected, f8_chmod(name, 0644));
        EXPECT_EQ(expected, f8_chown(name, -1, -1));
        EXPECT_EQ(expected, f8_set_flags(name, 0, 0, 0, 0));
        EXPECT_EQ(expected, f8_get_attribs(name, &attribs));
        EXPECT_EQ(expected, f8_list_factory(&list, name, 0));
        EXPECT_EQ(nullptr, list);
    }
}

// Existence tells folders apart, follows links and reports what is missing.
TEST_F(FileTest, ExistsStatAndDelete)
{
    write_file(path("f"), "abc");
    mkdir(path("d").c_str(), 0755);
    symlink("d", path("link_d").c_str());
    symlink("missing", path("dangling").c_str());
    int is_folder = -1;
    EXPECT_EQ(0, f8_exists(path("f").c_str(), &is_folder));
    EXPECT_EQ(0, is_folder);
    EXPECT_EQ(0, f8_exists(path("link_d").c_str(), &is_folder));
    EXPECT_EQ(1, is_folder);
    EXPECT_EQ(ENOENT, f8_exists(path("dangling").c_str(), &is_folder));
    EXPECT_EQ(0, is_folder);
    struct stat st;
    EXPECT_EQ(0, f8_lstat(path("dangling").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ENOENT, f8_stat(path("dangling").c_str(), &st));
    EXPECT_EQ(0, st.st_mode);

    write_file(path("d/inner"), "x");
    EXPECT_EQ(ENOTEMPTY, f8_delete(path("d").c_str()));
    EXPECT_EQ(0, f8_delete(path("link_d").c_str()));
    EXPECT_TRUE(exists(path("d/inner")));
    EXPECT_EQ(0, f8_delete(path("d/inner").c_str()));
    EXPECT_EQ(0, f8_delete(path("d").c_str()));
    EXPECT_EQ(0, f8_delete(path("dangling").c_str()));
    EXPECT_EQ(ENOENT, f8_delete(path("f2").c_str()));
}

// A move without replace never overwrites; with replace it does.
TEST_F(FileTest, MoveWithAndWithoutReplace)
{
    write_file(path("a"), "first");
    write_file(path("b"), "second");
    EXPECT_EQ(err_exists, f8_move(path("a").c_str(), path("b").c_str(), 0));
    EXPECT_EQ("first", read_file(path("a")));
    EXPECT_EQ("second", read_file(path("b")));
    symlink("nowhere", path("l").c_str());
    EXPECT_EQ(err_exists, f8_move(path("a").c_str(), path("l").c_str(), 0));
    EXPECT_EQ(0, f8_move(path("a").c_str(), path("b").c_str(), 1));
    EXPECT_FALSE(exists(path("a")));
    EXPECT_EQ("first", read_file(path("b")));
    EXPECT_EQ(0, f8_move(path("b").c_str(), path("c").c_str(), 0));
    EXPECT_EQ("first", read_file(path("c")));
    EXPECT_EQ(ENOENT, f8_move(path("b").c_str(), path("d").c_str(), 0));
}

// Portable open flags map to access modes, creation, truncation, append and
// the refusal to follow a final link.
TEST_F(FileTest, OpenFlags)
{
    mode_t old_mask = umask(022);
    int fd = -1;
    EXPECT_EQ(ENOENT, f8_open(&fd, path("new").c_str(), fof_write_data));
    ASSERT_EQ(0, f8_open(&fd, path("new").c_str(), fof_create | fof_write_data));
    EXPECT_EQ(0755, mode_of(path("new")));
    EXPECT_EQ(O_WRONLY, fcntl(fd, F_GETFL) & O_ACCMODE);
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(5, write(fd, "hello", 5));
    fd_close(fd);

    ASSERT_EQ(0, f8_open(&fd, path("new").c_str(), fof_read_data));
    EXPECT_EQ(O_RDONLY, fcntl(fd, F_GETFL) & O_ACCMODE);
    EXPECT_EQ(-1, write(fd, "x", 1));
    fd_close(fd);

    ASSERT_EQ(0, f8_open(&fd, path("new").c_str(), fof_read_data | fof_append));
    EXPECT_EQ(O_RDWR, fcntl(fd, F_GETFL) & O_ACCMODE);
    EXPECT_EQ(1, write(fd, "!", 1));
    fd_close(fd);
    EXPECT_EQ("hello!", read_file(path("new")));

    ASSERT_EQ(0, f8_open(&fd, path("new").c_str(), fof_truncate | fof_unbuffered));
    fd_close(fd);
    EXPECT_EQ("", read_file(path("new")));

    symlink("new", path("link").c_str());
    EXPECT_EQ(ELOOP, f8_open(&fd, path("link").c_str(), fof_read_data | fof_link));
    EXPECT_EQ(-1, fd);
    ASSERT_EQ(0, f8_open(&fd, path("link").c_str(), fof_read_data));
    fd_close(fd);
    umask(old_mask);
}

// Creation is exclusive; with truncate an existing file is replaced.
TEST_F(FileTest, CreateNew)
{
    int fd = -1;
    ASSERT_EQ(0, f8_create(&fd, path("c").c_str(), 0));
    EXPECT_EQ(O_RDWR, fcntl(fd, F_GETFL) & O_ACCMODE);
    EXPECT_EQ(3, write(fd, "abc", 3));
    fd_close(fd);
    EXPECT_EQ(err_exists, f8_create(&fd, path("c").c_str(), 0));
    EXPECT_EQ(-1, fd);
    EXPECT_EQ("abc", read_file(path("c")));
    ASSERT_EQ(0, f8_create(&fd, path("c").c_str(), fof_truncate | fof_append));
    fd_close(fd);
    EXPECT_EQ("", read_file(path("c")));
    // A link planted at the name is refused, not followed.
    write_file(path("target"), "keep");
    symlink("target", path("planted").c_str());
    EXPECT_EQ(err_exists, f8_create(&fd, path("planted").c_str(), 0));
    EXPECT_EQ("keep", read_file(path("target")));
}

// Copies of empty, small, block-sized and multi-MiB files are exact and keep
// the modification time.
TEST_F(FileTest, CopySizes)
{
    const size_t sizes[] = {0, 1, 8191, 8192, 131072, 131073, 3 * 1024 * 1024 + 17};
    for (size_t size : sizes) {
        std::string src = path("src" + std::to_string(size)), dest = path("dst" + std::to_string(size));
        std::string data = pattern_data(size, static_cast<unsigned>(size));
        write_file(src, data);
        struct timespec times[2] = {{1000000000, 123456789}, {1200000000, 987654321}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, src.c_str(), times, 0));
        ASSERT_EQ(0, f8_copy(src.c_str(), dest.c_str())) << size;
        EXPECT_TRUE(read_file(dest) == data) << size;
        struct stat st;
        ASSERT_EQ(0, stat(dest.c_str(), &st));
        EXPECT_EQ(1200000000, st.st_mtim.tv_sec);
        EXPECT_EQ(987654321, st.st_mtim.tv_nsec);
        int dup = 0;
        EXPECT_EQ(0, f8_compare(src.c_str(), dest.c_str(), &dup));
        EXPECT_EQ(1, dup) << size;
    }
}

// Copy never writes through a link planted at the destination, never
// replaces an existing file, and leaves nothing behind when it fails.
TEST_F(FileTest, CopyDestinationSafety)
{
    write_file(path("src"), "new data");
    write_file(path("victim"), "precious");
    symlink(path("victim").c_str(), path("link_dest").c_str());
    EXPECT_EQ(err_exists, f8_copy(path("src").c_str(), path("link_dest").c_str()));
    EXPECT_EQ("precious", read_file(path("victim")));

    symlink(path("would_appear").c_str(), path("dangling_dest").c_str());
    EXPECT_EQ(err_exists, f8_copy(path("src").c_str(), path("dangling_dest").c_str()));
    EXPECT_FALSE(exists(path("would_appear")));

    write_file(path("existing"), "old");
    EXPECT_EQ(err_exists, f8_copy(path("src").c_str(), path("existing").c_str()));
    EXPECT_EQ("old", read_file(path("existing")));

    mkdir(path("folder").c_str(), 0755);
    EXPECT_EQ(err_is_folder, f8_copy(path("folder").c_str(), path("out").c_str()));
    EXPECT_EQ(ENOENT, f8_copy(path("missing").c_str(), path("out").c_str()));
    EXPECT_FALSE(exists(path("out")));

    // Reading /proc/self/mem at offset 0 fails: the partial copy goes away.
    EXPECT_NE(0, f8_copy("/proc/self/mem", path("partial").c_str()));
    EXPECT_FALSE(exists(path("partial")));
}

// Comparison reports duplicates only for readable equal files.
TEST_F(FileTest, Compare)
{
    std::string data = pattern_data(300000, 7), other = data;
    other[299999] ^= 1;
    write_file(path("a"), data);
    write_file(path("b"), data);
    write_file(path("c"), other);
    write_file(path("short"), data.substr(0, 1000));
    int dup = 0;
    EXPECT_EQ(0, f8_compare(path("a").c_str(), path("b").c_str(), &dup));
    EXPECT_EQ(1, dup);
    EXPECT_EQ(0, f8_compare(path("a").c_str(), path("c").c_str(), &dup));
    EXPECT_EQ(0, dup);
    EXPECT_EQ(0, f8_compare(path("a").c_str(), path("short").c_str(), &dup));
    EXPECT_EQ(0, dup);
    EXPECT_EQ(ENOENT, f8_compare(path("a").c_str(), path("none").c_str(), &dup));
    EXPECT_EQ(0, dup);
    mkdir(path("d1").c_str(), 0755);
    EXPECT_NE(0, f8_compare(path("d1").c_str(), path("d1").c_str(), &dup));
    EXPECT_EQ(0, dup);
}

// Whole-file reads stop at max, add a zero byte and read files that report
// no size.
TEST_F(FileTest, ReadData)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    std::string data = pattern_data(200000, 3);
    write_file(path("f"), data);
    void* out = nullptr;
    size_t size = 0;
    ASSERT_EQ(0, f8_read_data(&heap.vtbl, path("f").c_str(), 1000000, &out, &size));
    EXPECT_EQ(data.size(), size);
    EXPECT_TRUE(std::string(static_cast<char*>(out), size) == data);
    EXPECT_EQ(0, static_cast<char*>(out)[size]);
    free_d(out);

    ASSERT_EQ(0, f8_read_data(&heap.vtbl, path("f").c_str(), 10, &out, &size));
    EXPECT_EQ(10u, size);
    EXPECT_EQ(data.substr(0, 10), std::string(static_cast<char*>(out), size));
    free_d(out);

    ASSERT_EQ(0, f8_read_data(&heap.vtbl, path("f").c_str(), 0, &out, &size));
    EXPECT_EQ(0u, size);
    free_d(out);

    write_file(path("empty"), "");
    ASSERT_EQ(0, f8_read_data(&heap.vtbl, path("empty").c_str(), 100, &out, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(0, static_cast<char*>(out)[0]);
    free_d(out);

    // /proc files report size 0 and are read until their end.
    ASSERT_EQ(0, f8_read_data(&heap.vtbl, "/proc/self/status", 1 << 20, &out, &size));
    EXPECT_GT(size, 0u);
    EXPECT_NE(nullptr, strstr(static_cast<char*>(out), "Name:"));
    free_d(out);

    EXPECT_EQ(ENOENT, f8_read_data(&heap.vtbl, path("none").c_str(), 10, &out, &size));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0u, size);
}

// Writing replaces the content and sets the size to the data's.
TEST_F(FileTest, WriteBinAndSz)
{
    write_file(path("f"), "a much longer old content");
    EXPECT_EQ(0, f8_write_sz(path("f").c_str(), "short"));
    EXPECT_EQ("short", read_file(path("f")));
    std::string data("a\0b\0c", 5);
    EXPECT_EQ(0, f8_write_bin(path("g").c_str(), data.data(), data.size()));
    EXPECT_EQ(data, read_file(path("g")));
    EXPECT_EQ(0, f8_write_bin(path("g").c_str(), nullptr, 0));
    EXPECT_EQ("", read_file(path("g")));
    EXPECT_EQ(ENOENT, f8_write_sz(path("no/such").c_str(), "x"));
}

// A write error that shows only at close is reported, not taken for success.
TEST_F(FileTest, WriteReportsCloseError)
{
    write_file(path("f"), "old");
    struct stat st;
    ASSERT_EQ(0, stat(path("f").c_str(), &st));
    close_fails_for_inode = st.st_ino;
    EXPECT_EQ(EIO, f8_write_sz(path("f").c_str(), "new"));
    EXPECT_EQ(0u, close_fails_for_inode.load());
}

struct flags_case {
    mode_t old_mode;
    unsigned and_flags, or_flags, perms;
    mode_t expected;
};

// The mode rules: read, folder search, write and execute bits, set-id kept.
TEST(FileFlags, ModeTable)
{
    const unsigned ro = file_flag_read_only, ex = file_flag_executable;
    const flags_case cases[] = {
        {S_IFREG | 0600, 0, ex, 5, 0755},
        {S_IFREG | 0777, 0, 0, 5, 0644},
        {S_IFREG | 0000, 0, 0, 7, 0664},
        {S_IFREG | 0000, 0, 0, 15, 0666},
        {S_IFREG | 0000, 0, 0, 0, 0600},
        {S_IFREG | 0777, 0, ro, 5, 0444},
        {S_IFREG | 0620, ro, 0, 0, 0620},
        {S_IFREG | 0751, ex, 0, 4, 0715},
        {S_IFREG | 0644, 0, ex, 0, 0700},
        {S_IFREG | 04755, 0, ex, 5, 04755},
        {S_IFDIR | 0700, 0, 0, 5, 0755},
        {S_IFDIR | 0777, 0, 0, 0, 0700},
        {S_IFDIR | 01777, 0, 0, 15, 01777},
        {S_IFDIR | 0755, 0, ro, 1, 0550},
    };
    int n = 0;
    for (const flags_case& c : cases) {
        EXPECT_EQ(c.expected, file_flags_to_mode(c.old_mode, c.and_flags, c.or_flags, c.perms))
            << "case " << n;
        n++;
    }
}

// Setting flags on real files and folders, by name and by descriptor.
TEST_F(FileTest, SetFlagsAppliesMode)
{
    write_file(path("f"), "x");
    chmod(path("f").c_str(), 0600);
    EXPECT_EQ(0, f8_set_flags(path("f").c_str(), 0, file_flag_executable, 0, 5));
    EXPECT_EQ(0755, mode_of(path("f")));
    EXPECT_EQ(0, f8_set_flags(path("f").c_str(), 0, 0, 0, 7));
    EXPECT_EQ(0664, mode_of(path("f")));
    mkdir(path("d").c_str(), 0700);
    EXPECT_EQ(0, f8_set_flags(path("d").c_str(), 0, 0, 0, 5));
    EXPECT_EQ(0755, mode_of(path("d")));
    int fd = -1;
    ASSERT_EQ(0, f8_open(&fd, path("f").c_str(), fof_read_data));
    EXPECT_EQ(0, fd_set_flags(fd, 0, 0, 0, 5));
    fd_close(fd);
    EXPECT_EQ(0644, mode_of(path("f")));
    EXPECT_EQ(0, f8_chmod(path("f").c_str(), 0600));
    EXPECT_EQ(0600, mode_of(path("f")));
    EXPECT_EQ(ENOENT, f8_set_flags(path("none").c_str(), 0, 0, 0, 5));
}

// 1601-based times convert exactly and set the file time to the microsecond.
TEST_F(FileTest, TimesAndAttributes)
{
    EXPECT_EQ(FILE_TIME_UNIX_EPOCH, file_time_from_unix(0, 0));
    EXPECT_EQ(FILE_TIME_UNIX_EPOCH + 10000001, file_time_from_unix(1, 199));
    int64_t seconds = 0;
    long nanoseconds = 0;
    ASSERT_EQ(0, file_time_to_unix(FILE_TIME_UNIX_EPOCH - 1, &seconds, &nanoseconds));
    EXPECT_EQ(-1, seconds);
    EXPECT_EQ(999999900, nanoseconds);
    EXPECT_EQ(err_bad_parameter, file_time_to_unix(0, &seconds, &nanoseconds));

    write_file(path("f"), "12345");
    int fd = -1;
    ASSERT_EQ(0, f8_open(&fd, path("f").c_str(), fof_write_attr));
    int64_t t = file_time_from_unix(1500000000, 123456789);
    EXPECT_EQ(0, fd_set_write_time(fd, t));
    file_attribs_t attribs;
    ASSERT_EQ(0, fd_get_attribs(fd, &attribs));
    fd_close(fd);
    EXPECT_EQ(file_time_from_unix(1500000000, 123456000), attribs.write_time);
    EXPECT_EQ(attribs.write_time, attribs.access_time);
    EXPECT_EQ(5u, attribs.file_size);
    EXPECT_FALSE(attribs.is_folder);

    symlink("f", path("link").c_str());
    ASSERT_EQ(0, f8_get_attribs(path("link").c_str(), &attribs));
    EXPECT_TRUE(attribs.is_symlink);
    EXPECT_TRUE(attribs.is_target);
    EXPECT_EQ(5u, attribs.file_size);
    symlink("gone", path("dangling").c_str());
    EXPECT_EQ(ENOENT, f8_get_attribs(path("dangling").c_str(), &attribs));
}

// Every new level gets the permission bits of the deepest existing ancestor.
TEST_F(FileTest, CreateFullFolder)
{
    mkdir(path("base").c_str(), 0750);
    chmod(path("base").c_str(), 02750);
    ASSERT_EQ(0, f8_create_full_folder(path("base/a/b/c/").c_str()));
    EXPECT_EQ(02750, mode_of(path("base/a")));
    EXPECT_EQ(02750, mode_of(path("base/a/b")));
    EXPECT_EQ(02750, mode_of(path("base/a/b/c")));
    EXPECT_EQ(0, f8_create_full_folder(path("base/a/b").c_str()));
    write_file(path("file"), "x");
    EXPECT_EQ(err_exists, f8_create_full_folder(path("file").c_str()));
    EXPECT_EQ(ENOTDIR, f8_create_full_folder(path("file/x/y").c_str()));
    EXPECT_FALSE(exists(path("file/x")));
    ASSERT_EQ(0, f8_create_full_folder(path("base/./a/../z").c_str()));
    EXPECT_EQ(02750, mode_of(path("base/z")));
}

// A chain of n nested folders below root, with one file in each.
void make_chain(const std::string& root, int n)
{
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    int dir_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < n; i++) {
        close(openat(dir_fd, "file", O_WRONLY | O_CREAT, 0644));
        ASSERT_EQ(0, mkdirat(dir_fd, "d", 0755));
        int next = openat(dir_fd, "d", O_RDONLY | O_DIRECTORY);
        close(dir_fd);
        dir_fd = next;
    }
    close(dir_fd);
}

// Trees up to the descent limit go entirely; a deeper folder is removed only
// when it is empty, and the rest of the tree is still emptied.
TEST_F(FileTest, DeleteTreeDepth)
{
    make_chain(path("t100"), 100);
    EXPECT_EQ(0, f8_delete_tree(path("t100").c_str()));
    EXPECT_FALSE(exists(path("t100")));

    make_chain(path("t150"), 150);
    EXPECT_EQ(ENOTEMPTY, f8_delete_tree(path("t150").c_str()));
    std::string level = path("t150");
    for (int i = 0; i < 100; i++) {
        EXPECT_FALSE(exists(level + "/file")) << i;
        level += "/d";
    }
    EXPECT_TRUE(exists(level));

    EXPECT_EQ(0, f8_delete_tree(path("missing").c_str()));
    write_file(path("plain"), "x");
    EXPECT_EQ(0, f8_delete_tree(path("plain").c_str()));
    EXPECT_FALSE(exists(path("plain")));
}

// Links planted inside a tree are removed, never followed out of it.
TEST_F(FileTest, DeleteTreeLeavesLinkTargets)
{
    mkdir(path("outside").c_str(), 0755);
    write_file(path("outside/keep"), "keep");
    write_file(path("outside_file"), "keep");
    make_chain(path("tree"), 3);
    symlink(path("outside").c_str(), path("tree/d/to_folder").c_str());
    symlink(path("outside_file").c_str(), path("tree/d/d/to_file").c_str());
    symlink("../../..", path("tree/d/d/d/up").c_str());
    symlink(path("outside").c_str(), path("link_root").c_str());

    EXPECT_EQ(0, f8_delete_tree(path("tree").c_str()));
    EXPECT_FALSE(exists(path("tree")));
    EXPECT_EQ("keep", read_file(path("outside/keep")));
    EXPECT_EQ("keep", read_file(path("outside_file")));

    // A link given as the tree itself is removed as a link.
    EXPECT_EQ(0, f8_delete_tree(path("link_root").c_str()));
    EXPECT_FALSE(exists(path("link_root")));
    EXPECT_EQ("keep", read_file(path("outside/keep")));
}

} // namespace
