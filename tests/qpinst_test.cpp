// Tests of the install steps that need no child process: output, the log
// pump, deletion with aside names, copies with modes and owners, the file
// hash and the kernel version names. The tests run as root here; the cases
// that change owners are skipped otherwise.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utime.h>
#include <vector>

#include "envtestdir.h"
#include "qperr.h"
#include "qpfile.h"
#include "qpinst.h"
#include "qppin.h"

namespace {

// A status whose texts are kept.
struct recorded_stat {
    qpinst_stat_t st;
    std::string text;

    explicit recorded_stat(bool stop_on_err = false) : st{record, stop_on_err, 0} {}
    static void record(qpinst_stat_t* st, const char* text)
    {
        reinterpret_cast<recorded_stat*>(st)->text += text;
    }
};

class InstTest : public TempDirTest {
protected:
    static struct stat stat_of(const std::string& name)
    {
        struct stat st = {};
        EXPECT_EQ(0, ::lstat(name.c_str(), &st)) << name;
        return st;
    }
    // The entries of the test folder whose names start with prefix.
    std::vector<std::string> entries_starting(const std::string& prefix) const
    {
        std::vector<std::string> found;
        for (auto& e : std::filesystem::directory_iterator(dir_)) {
            std::string name = e.path().filename();
            if (name.rfind(prefix, 0) == 0)
                found.push_back(name);
        }
        return found;
    }
};

// ---- output ------------------------------------------------------------------------

// Texts longer than the formatting stack buffer arrive whole; without an
// output nothing is formatted (a bad argument would crash otherwise).
TEST(InstOutput, FormatsLongTextsAndNothingWithoutOutput)
{
    recorded_stat rec;
    std::string long_arg(5000, 'x');
    qpinst_outf(&rec.st, "<%s|%d>", long_arg.c_str(), 42);
    EXPECT_EQ("<" + long_arg + "|42>", rec.text);

    qpinst_stat_t silent = {nullptr, false, 0};
    qpinst_outf(&silent, "%s", reinterpret_cast<const char*>(1));
    qpinst_exec_output(&rec.st, "line", true);
    qpinst_exec_output(&rec.st, "part", false);
    EXPECT_EQ("<" + long_arg + "|42>line\npart", rec.text);
}

// ---- log pump ------------------------------------------------------------------------

struct pumped {
    std::vector<std::string> lines;
    int err = -1;
    static void add(void* context, const char* line, bool new_line)
    {
        EXPECT_TRUE(new_line);
        static_cast<pumped*>(context)->lines.push_back(line);
    }
};

// Pumps what a writer thread writes, in chunks of chunk_size bytes.
pumped pump_bytes(const std::string& data, size_t chunk_size)
{
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    std::thread writer([&] {
        for (size_t at = 0; at < data.size(); at += chunk_size) {
            size_t n = std::min(chunk_size, data.size() - at);
            EXPECT_EQ(static_cast<ssize_t>(n), write(fds[1], data.data() + at, n));
        }
        close(fds[1]);
    });
    pumped result;
    result.err = qpinst_log_pump(fds[0], nullptr, pumped::add, &result);
    writer.join();
    close(fds[0]);
    return result;
}

// Line ends: a line feed or a NUL byte, one '\r' before it dropped, a last
// line without an end delivered; "a", CR, LF, "b" gives "a" and "b".
TEST(InstLogPump, SplitsLines)
{
    struct {
        std::string data;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\r\nb", {"a", "b"}},
        {"", {}},
        {"\n", {""}},
        {"one\ntwo\n", {"one", "two"}},
        {std::string("x\0y\0", 4), {"x", "y"}},
        {"\r\r\n\r", {"\r", ""}},
        {"a\rb\n", {"a\rb"}},
        {"\n\n\nlast", {"", "", "", "last"}},
    };
    for (auto& c : cases) {
        for (size_t chunk : {1, 2, 20, 21, 22, 4096}) {
            pumped got = pump_bytes(c.data, chunk);
            EXPECT_EQ(c.lines, got.lines) << "chunk " << chunk;
            EXPECT_EQ(err_end_of_data, got.err);
        }
    }
}

// Lines of every length around the 21-byte buffers, back to back, arrive
// whole and in order, however the writes are cut.
TEST(InstLogPump, LinesAcrossBuffers)
{
    std::string data;
    std::vector<std::string> expected;
    for (size_t len = 0; len < 70; len++) {
        std::string line;
        for (size_t i = 0; i < len; i++)
            line += static_cast<char>('a' + (len + i) % 26);
        expected.push_back(line);
        data += line + (len % 3 ? "\n" : "\r\n");
    }
    for (size_t chunk : {1, 5, 21, 64, 1000}) {
        pumped got = pump_bytes(data, chunk);
        EXPECT_EQ(expected, got.lines) << "chunk " << chunk;
    }
}

// A line of 100,000 bytes is delivered as one line.
TEST(InstLogPump, HugeLineWhole)
{
    std::string line(100000, 'q');
    for (size_t i = 0; i < line.size(); i += 997)
        line[i] = static_cast<char>('0' + i % 10);
    pumped got = pump_bytes(line + "\nend", 65536);
    ASSERT_EQ(2u, got.lines.size());
    EXPECT_EQ(line, got.lines[0]);
    EXPECT_EQ("end", got.lines[1]);
}

// A signalled cancel pin ends a pump that waits for data with 125, after
// delivering the pending partial line.
TEST(InstLogPump, CancelEndsTheWait)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ASSERT_EQ(3, write(fds[1], "abc", 3));
    pin_t cancel;
    pin_init(&cancel);
    std::thread canceller([&] {
        usleep(50 * 1000);
        pin_signal(&cancel);
    });
    pumped got;
    got.err = qpinst_log_pump(fds[0], &cancel.vtbl, pumped::add, &got);
    canceller.join();
    EXPECT_EQ(err_cancelled, got.err);
    EXPECT_EQ(std::vector<std::string>{"abc"}, got.lines);
    pin_term(&cancel);
    close(fds[0]);
    close(fds[1]);
}

// A read error ends the pump with that error.
TEST(InstLogPump, ReadErrorEnds)
{
    pumped got;
    got.err = qpinst_log_pump(-1, nullptr, pumped::add, &got);
    EXPECT_EQ(err_bad_fd, got.err);
    EXPECT_TRUE(got.lines.empty());
}

// ---- deleting -----------------------------------------------------------------------------

// A file goes with its progress line and its emptied folder; a missing file
// is no step at all.
TEST_F(InstTest, DeleteFileAndEmptiedFolder)
{
    ASSERT_EQ(0, mkdir(path("sub").c_str(), 0755));
    write_file(path("sub/f"), "data");
    recorded_stat rec;
    qpinst_delete_file(&rec.st, path("sub").c_str(), "f");
    EXPECT_EQ(0, rec.st.err);
    EXPECT_EQ("Deleting file \"" + path("sub/f") + "\"\n", rec.text);
    EXPECT_FALSE(exists(path("sub")));

    rec.text.clear();
    qpinst_delete_file(&rec.st, dir_.c_str(), "missing");
    EXPECT_EQ("", rec.text);
    EXPECT_EQ(0, rec.st.err);

    // A folder that still holds something stays.
    ASSERT_EQ(0, mkdir(path("keep").c_str(), 0755));
    write_file(path("keep/a"), "1");
    write_file(path("keep/b"), "2");
    qpinst_delete_file2(&rec.st, path("keep/a").c_str(), true);
    EXPECT_TRUE(exists(path("keep/b")));
}

// A link is deleted itself, never its target; a broken link counts as a file.
TEST_F(InstTest, DeleteRemovesLinksNotTargets)
{
    write_file(path("target"), "keep me");
    ASSERT_EQ(0, symlink(path("target").c_str(), path("link").c_str()));
    ASSERT_EQ(0, symlink(path("nowhere").c_str(), path("broken").c_str()));
    recorded_stat rec;
    qpinst_delete_file2(&rec.st, path("link").c_str(), false);
    qpinst_delete_file2(&rec.st, path("broken").c_str(), false);
    EXPECT_EQ(0, rec.st.err);
    EXPECT_FALSE(exists(path("link")));
    EXPECT_FALSE(exists(path("broken")));
    EXPECT_EQ("keep me", read_file(path("target")));
}

// What cannot be deleted (here a folder that is not empty) is moved to its
// aside name "<name>.deleteme_<hex time>" and counts as deleted.
TEST_F(InstTest, UndeletableGoesAside)
{
    ASSERT_EQ(0, mkdir(path("busy").c_str(), 0755));
    write_file(path("busy/inner"), "x");
    EXPECT_EQ(0, qpinst_delete_file_sub(path("busy").c_str(), false));
    EXPECT_FALSE(exists(path("busy")));
    auto aside = entries_starting("busy.deleteme_");
    ASSERT_EQ(1u, aside.size());
    std::string hex = aside[0].substr(strlen("busy.deleteme_"));
    EXPECT_GE(hex.size(), 15u);
    EXPECT_EQ(std::string::npos, hex.find_first_not_of("0123456789ABCDEF")) << hex;
    EXPECT_EQ("x", read_file(path(aside[0] + "/inner")));
}

// ---- modes -------------------------------------------------------------------------------

// The mode rules: 0644 by default, execute for all with exec, owner root
// with root, set-user-id and execute with run_as_root; the type and sticky
// bit stay, other set-id bits go.
TEST_F(InstTest, ModeRules)
{
    const bool is_root = geteuid() == 0;
    struct {
        int flags;
        mode_t before, after;
        bool to_root;
    } cases[] = {
        {0, 0777, 0644, false},
        {0, 06755, 0644, false},
        {0, 01700, 01644, false},
        {qpinst_copy_flag_exec, 0600, 0755, false},
        {qpinst_copy_flag_root, 0600, 0644, true},
        {qpinst_copy_flag_run_as_root, 0600, 04755, true},
        {qpinst_copy_flag_run_as_root | qpinst_copy_flag_exec, 0777, 04755, true},
    };
    std::string file = path("f");
    for (auto& c : cases) {
        if (c.to_root && !is_root)
            continue;
        write_file(file, "x");
        ASSERT_EQ(0, chmod(file.c_str(), c.before));
        if (is_root) {
            ASSERT_EQ(0, chown(file.c_str(), 65534, 65534));
        }
        EXPECT_EQ(0, qpinst_set_mode_sub(c.flags, file.c_str()));
        struct stat st = stat_of(file);
        EXPECT_EQ(c.after, st.st_mode & 07777) << "flags " << c.flags;
        EXPECT_TRUE(S_ISREG(st.st_mode));
        if (is_root) {
            EXPECT_EQ(c.to_root ? 0u : 65534u, st.st_uid) << "flags " << c.flags;
            EXPECT_EQ(c.to_root ? 0u : 65534u, st.st_gid);
        }
        ASSERT_EQ(0, unlink(file.c_str()));
    }
}

// A link is refused and its target keeps its mode and owner.
TEST_F(InstTest, ModeRefusesLinks)
{
    write_file(path("target"), "x");
    ASSERT_EQ(0, chmod(path("target").c_str(), 0600));
    ASSERT_EQ(0, symlink(path("target").c_str(), path("link").c_str()));
    EXPECT_EQ(err_loop, qpinst_set_mode_sub(qpinst_copy_flag_run_as_root, path("link").c_str()));
    EXPECT_EQ(0600u, mode_of(path("target")));
}

// ---- copying -------------------------------------------------------------------------------

// A new destination gets the data, its folders and the mode of the flags.
TEST_F(InstTest, CopyCreatesFoldersAndSetsMode)
{
    write_file(path("src"), "program");
    recorded_stat rec;
    std::string dest = path("a/b/prog");
    qpinst_copy_exec2(&rec.st, path("src").c_str(), dest.c_str());
    EXPECT_EQ(0, rec.st.err);
    EXPECT_EQ("Copying file \"" + path("src") + "\" to \"" + dest + "\"\n", rec.text);
    EXPECT_EQ("program", read_file(dest));
    EXPECT_EQ(0755u, mode_of(dest));
}

// An identical destination: the copying line, and nothing changes, not even
// the mode or the time.
TEST_F(InstTest, CopyOntoIdenticalChangesNothing)
{
    write_file(path("src"), "same");
    write_file(path("dest"), "same");
    ASSERT_EQ(0, chmod(path("dest").c_str(), 0600));
    struct utimbuf old_times = {1000000, 1000000};
    ASSERT_EQ(0, utime(path("dest").c_str(), &old_times));
    struct stat before = stat_of(path("dest"));
    recorded_stat rec;
    qpinst_copy_exec2(&rec.st, path("src").c_str(), path("dest").c_str());
    EXPECT_EQ(0, rec.st.err);
    EXPECT_EQ("Copying file \"" + path("src") + "\" to \"" + path("dest") + "\"\n", rec.text);
    struct stat after = stat_of(path("dest"));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(before.st_mtime, after.st_mtime);
    EXPECT_EQ(before.st_ctime, after.st_ctime);
}

// A file copied onto itself (also under another spelling of its path) only
// gets its mode: the data stays.
TEST_F(InstTest, CopyOntoItselfOnlySetsMode)
{
    write_file(path("prog"), "data");
    ASSERT_EQ(0, chmod(path("prog").c_str(), 0600));
    recorded_stat rec;
    qpinst_copy_exec2(&rec.st, path("prog").c_str(), path("prog").c_str());
    EXPECT_EQ(0, rec.st.err);
    EXPECT_EQ(0755u, mode_of(path("prog")));
    EXPECT_EQ("data", read_file(path("prog")));

    ASSERT_EQ(0, symlink(dir_.c_str(), path("alias").c_str()));
    qpinst_copy_opt2(&rec.st, 0, path("alias/prog").c_str(), path("prog").c_str());
    EXPECT_EQ(0, rec.st.err);
    EXPECT_EQ(0644u, mode_of(path("prog")));
    EXPECT_EQ("data", read_file(path("prog")));
}

// Names that differ only in case are two files here: the copy happens.
TEST_F(InstTest, CopyBetweenNamesDifferingInCase)
{
    write_file(path("Prog"), "new");
    write_file(path("prog"), "old");
    recorded_stat rec;
    qpinst_copy_opt2(&rec.st, 0, path("Prog").c_str(), path("prog").c_str());
    EXPECT_EQ(0, rec.st.err);
    EXPECT_EQ("new", read_file(path("prog")));
}

// A running program at the destination is replaced: the program goes on
// running from its old file, the new content is in place.
TEST_F(InstTest, CopyOntoRunningProgram)
{
    std::string prog = path("prog");
    ASSERT_EQ(0, system(("cp /bin/sleep " + prog).c_str()));
    pid_t child = fork();
    if (child == 0) {
        execl(prog.c_str(), "prog", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    usleep(100 * 1000);
    write_file(path("new"), "#!/bin/sh\necho new\n");
    recorded_stat rec;
    qpinst_copy_exec2(&rec.st, path("new").c_str(), prog.c_str());
    EXPECT_EQ(0, rec.st.err) << rec.text;
    EXPECT_EQ("#!/bin/sh\necho new\n", read_file(prog));
    EXPECT_EQ(0, kill(child, 0)); // still running
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
}

// A destination that cannot be deleted (a folder holding files) is moved to
// its aside name and the copy takes its place.
TEST_F(InstTest, CopyMovesUndeletableDestinationAside)
{
    write_file(path("src"), "file");
    ASSERT_EQ(0, mkdir(path("dest").c_str(), 0755));
    write_file(path("dest/inner"), "kept");
    EXPECT_EQ(0, qpinst_copy_sub(0, path("src").c_str(), path("dest").c_str()));
    EXPECT_EQ("file", read_file(path("dest")));
    auto aside = entries_starting("dest.deleteme_");
    ASSERT_EQ(1u, aside.size());
    EXPECT_EQ("kept", read_file(path(aside[0] + "/inner")));
}

// A link planted at the destination is replaced by the copy; its target is
// not written, even when it has the source's content.
TEST_F(InstTest, CopyReplacesPlantedLink)
{
    write_file(path("src"), "payload");
    write_file(path("victim"), "payload");
    ASSERT_EQ(0, chmod(path("victim").c_str(), 0600));
    ASSERT_EQ(0, symlink(path("victim").c_str(), path("dest").c_str()));
    EXPECT_EQ(0, qpinst_copy_sub(qpinst_copy_flag_exec, path("src").c_str(), path("dest").c_str()));
    struct stat st = stat_of(path("dest"));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0755u, st.st_mode & 07777);
    EXPECT_EQ(0600u, mode_of(path("victim")));
}

// A missing source is an error that leaves the destination in place; with
// optional it is skipped without a word.
TEST_F(InstTest, CopyMissingSource)
{
    write_file(path("dest"), "installed");
    recorded_stat rec;
    qpinst_copy_opt2(&rec.st, 0, path("missing").c_str(), path("dest").c_str());
    EXPECT_EQ(err_not_found, rec.st.err);
    EXPECT_EQ("Copying file \"" + path("missing") + "\" to \"" + path("dest") +
                  "\"\nERROR: Unable to copy file \"" + path("missing") + "\" to \"" +
                  path("dest") + "\"\n",
              rec.text);
    EXPECT_EQ("installed", read_file(path("dest")));

    recorded_stat quiet;
    qpinst_copy_opt2(&quiet.st, qpinst_copy_flag_optional, path("missing").c_str(),
                     path("dest").c_str());
    EXPECT_EQ(0, quiet.st.err);
    EXPECT_EQ("", quiet.text);
}

// Folder and name forms: relative source folders complete against the
// current folder, rename names the destination, search takes a missing
// source from the parent folder.
TEST_F(InstTest, CopyOptNamesAndSearch)
{
    ASSERT_EQ(0, mkdir(path("build").c_str(), 0755));
    ASSERT_EQ(0, mkdir(path("build/bin").c_str(), 0755));
    write_file(path("build/tool"), "from parent");
    write_file(path("build/bin/prog"), "prog");
    recorded_stat rec;
    qpinst_copy_opt(&rec.st, 0, path("build/bin").c_str(), "prog", path("out").c_str(), "renamed");
    EXPECT_EQ("prog", read_file(path("out/renamed")));

    qpinst_copy_opt(&rec.st, qpinst_copy_flag_search, path("build/bin").c_str(), "tool",
                    path("out").c_str(), nullptr);
    EXPECT_EQ(0, rec.st.err) << rec.text;
    EXPECT_EQ("from parent", read_file(path("out/tool")));

    qpinst_copy_opt(&rec.st, 0, path("build/bin").c_str(), "tool", path("out2").c_str(), nullptr);
    EXPECT_EQ(err_not_found, rec.st.err);
    EXPECT_FALSE(exists(path("out2/tool")));
}

// stop_on_err skips every step once an error is recorded; without it the
// steps run and the last failure wins.
TEST_F(InstTest, StopOnErrAndLastErrorWins)
{
    write_file(path("src"), "x");
    recorded_stat stopping(true);
    stopping.st.err = 5;
    qpinst_copy_exec2(&stopping.st, path("src").c_str(), path("d1").c_str());
    qpinst_delete_file2(&stopping.st, path("src").c_str(), false);
    qpinst_copy_opt(&stopping.st, 0, dir_.c_str(), "src", path("d2").c_str(), nullptr);
    qpinst_set_run_as_root(&stopping.st, dir_.c_str(), "src");
    qpinst_reset_run_as_root(&stopping.st, dir_.c_str(), "src");
    qpinst_update_kmod(&stopping.st, "qpinst-test-module", true);
    qpinst_copy_kernel(&stopping.st, dir_.c_str(), "qpinst-test-module");
    qpinst_delete_kernel(&stopping.st, "qpinst-test-module");
    EXPECT_EQ("", stopping.text);
    EXPECT_EQ(5, stopping.st.err);
    EXPECT_FALSE(exists(path("d1")));
    EXPECT_TRUE(exists(path("src")));

    recorded_stat going_on;
    qpinst_copy_opt2(&going_on.st, 0, path("missing").c_str(), path("d3").c_str());
    EXPECT_EQ(err_not_found, going_on.st.err);
    qpinst_copy_opt2(&going_on.st, 0, path("src").c_str(), path("d4").c_str());
    EXPECT_EQ(err_not_found, going_on.st.err); // success does not clear it
    EXPECT_TRUE(exists(path("d4")));
    write_file(path("dir_src"), "y");
    ASSERT_EQ(0, mkdir(path("folder_src").c_str(), 0755));
    qpinst_copy_opt2(&going_on.st, 0, path("folder_src").c_str(), path("d5").c_str());
    EXPECT_EQ(err_is_folder, going_on.st.err);
}

// ---- hash and names --------------------------------------------------------------------------

// The file hash is the standard CRC-32 as eight upper-case hex digits; an
// unreadable file gives null.
TEST_F(InstTest, FileHash)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    write_file(path("check"), "123456789");
    char* hash = qpinst_gen_file_hash(&heap.vtbl, path("check").c_str());
    ASSERT_NE(nullptr, hash);
    EXPECT_STREQ("CBF43926", hash);
    free_d(hash);
    write_file(path("empty"), "");
    hash = qpinst_gen_file_hash(&heap.vtbl, path("empty").c_str());
    EXPECT_STREQ("00000000", hash);
    free_d(hash);
    EXPECT_EQ(nullptr, qpinst_gen_file_hash(&heap.vtbl, path("missing").c_str()));
    EXPECT_EQ(nullptr, qpinst_gen_file_hash(&heap.vtbl, dir_.c_str()));
}

// Red Hat style releases lose their build number; others stay as they are.
TEST(InstKernelVersion, Normalises)
{
    struct {
        const char *version, *arch, *expected;
    } cases[] = {
        {"2.6.32-431.el6.x86_64", "x86_64", "2.6.32-x.el6.x86_64"},
        {"2.6.18-194.el5", "x86_64", "2.6.18-x.el5.x86_64"},
        {"2.6.18-194.el5xen", "i686", "2.6.18-x.el5.i686.xen"},
        {"5.4.0-42-generic", "x86_64", "5.4.0-42-generic"},
        {"2.6.18-8.el5.ADSK", "x86_64", "2.6.18-x.el5.x86_64"},
        {"2.6.18-8.el5.smp", "i686", "2.6.18-x.el5.i686.smp"},
        {"6.1.0-57-amd64", "x86_64", "6.1.0-57-amd64"},
        {"4.18.0.el8", "x86_64", "4.18.0.el8"},
    };
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    for (auto& c : cases) {
        char* got = qpinst_normalize_kernel_ver(&heap.vtbl, c.version, c.arch);
        EXPECT_STREQ(c.expected, got) << c.version;
        free_d(got);
    }
}

} // namespace

namespace {

// ---- commands --------------------------------------------------------------------------------

// Both output streams of a command arrive as lines; "a", CR, LF, "b" gives
// "a" and "b"; the exit code comes back.
TEST(InstExec, PumpsOutputAndReturnsExitCode)
{
    recorded_stat rec;
    const char* argv[] = {"sh", "-c", "printf 'a\\r\\nb'; echo err >&2; exit 3", nullptr};
    int code = -1;
    EXPECT_EQ(0, qpinst_exec_sub(&rec.st, &code, argv));
    EXPECT_EQ(3, code);
    // "b" has no line end of its own: the error line continues it.
    EXPECT_EQ("a\nberr\n", rec.text);
}

// The step prints the command line; a non-zero exit code fails only when
// checked; a missing program fails with 2.
TEST(InstExec, StepChecksResult)
{
    recorded_stat rec;
    const char* failing[] = {"sh", "-c", "exit 4", nullptr};
    qpinst_exec(&rec.st, false, failing);
    EXPECT_EQ(0, rec.st.err);
    EXPECT_EQ("NOTE: Running command \"sh -c \"exit 4\"\".\n", rec.text);

    rec.text.clear();
    qpinst_exec(&rec.st, true, failing);
    EXPECT_EQ(err_unsuccessful, rec.st.err);
    EXPECT_NE(std::string::npos,
              rec.text.find("ERROR: 999 Unable to execute command \"sh -c \"exit 4\"\".\n"));

    recorded_stat missing;
    const char* nowhere[] = {"qpinst-no-such-program", nullptr};
    qpinst_exec(&missing.st, false, nowhere);
    EXPECT_EQ(err_not_found, missing.st.err);
    EXPECT_NE(std::string::npos, missing.text.find("ERROR: 2 Unable to execute command"));

    recorded_stat stopping(true);
    stopping.st.err = 7;
    qpinst_exec(&stopping.st, true, failing);
    EXPECT_EQ("", stopping.text);
    EXPECT_EQ(7, stopping.st.err);
}

// Captured output keeps its lines, or one line without any line end.
TEST(InstExec, Capture)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    const char* argv[] = {"printf", "one\\r\\ntwo\\nthree", nullptr};
    char* lines = qpinst_exec_capture(&heap.vtbl, argv, false);
    EXPECT_STREQ("one\ntwo\nthree\n", lines);
    free_d(lines);
    char* joined = qpinst_exec_capture(&heap.vtbl, argv, true);
    EXPECT_STREQ("onetwothree", joined);
    free_d(joined);
    const char* nowhere[] = {"qpinst-no-such-program", nullptr};
    char* none = qpinst_exec_capture(&heap.vtbl, nowhere, true);
    EXPECT_STREQ("", none);
    free_d(none);
}

} // namespace

namespace {

// ---- kernel modules ----------------------------------------------------------------------------

// Without its archive the module is "not installed" (2); f8_load_kernel
// prints nothing whatever happens. Reads only: no archive, nothing changes.
TEST(InstKernel, MissingArchive)
{
    const char* name = "qpinst-test-no-such-module";
    recorded_stat rec;
    qpinst_update_kmod(&rec.st, name, true);
    EXPECT_EQ(err_not_found, rec.st.err);
    EXPECT_EQ(std::string("ERROR: Module not installed \"/lib/modules/") + name + ".kmod\"\n",
              rec.text);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(err_not_found, f8_load_kernel(name));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

} // namespace
