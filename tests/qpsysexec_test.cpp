// Tests of the execution service's approval store, its commands, the
// registration of the daemon copies and the program's entry, run as root in
// a private mount namespace (tests/sysexec/private_system.sh: /etc is a
// scratch overlay, /usr/local/bin and /tmp are empty). Outside one every
// test is skipped. The set-user-id behaviour needs a real ordinary user
// and runs in the test VM (tests/vm/sysexec_guest.sh).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "envtestdir.h"
#include "qperr.h"
#include "qpsysexec.h"

namespace {

const std::string key_folder = std::string("/etc/") + QPSYSEXEC_KEY_NAME;

bool private_system()
{
    const char* flag = getenv("QP_PRIVATE_SYSTEM");
    return flag && std::string(flag) == "1";
}

struct run_result {
    int status = -1;
    std::string output;
};

// Runs the program with exactly the given argument vector (argv[0]
// included; an empty vector is passed as such) and collects its standard
// output and error.
run_result run_vector(const std::vector<std::string>& args, char** env = environ)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int out[2];
    run_result result;
    if (pipe(out) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        execve(QPSYSEXEC_PROGRAM, argv.data(), env);
        _exit(126);
    }
    close(out[1]);
    char buffer[4096];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, static_cast<size_t>(got));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return result;
}

run_result run(std::vector<std::string> args)
{
    args.insert(args.begin(), "qpsysexec");
    return run_vector(args);
}

// The standard CRC-32, bit by bit, as an independent reference.
uint32_t reference_crc32(const std::string& data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

class SysexecTest : public TempDirTest {
protected:
    void SetUp() override
    {
        if (!private_system())
            GTEST_SKIP() << "needs a private /etc and /usr/local/bin (tests/sysexec/private_system.sh)";
        TempDirTest::SetUp();
        clean_system();
    }
    void TearDown() override
    {
        if (!private_system())
            return;
        clean_system();
        TempDirTest::TearDown();
    }

    static void clean_system()
    {
        std::error_code ignored;
        std::filesystem::remove_all(key_folder, ignored);
        std::filesystem::remove(QPSYSEXEC_DAEMON_FILE, ignored);
        std::filesystem::remove(qpsysexec_service_exe_name, ignored);
    }

    // An executable file in the scratch folder.
    std::string make_program(const std::string& name)
    {
        std::string file = path(name);
        write_file(file, "#!/bin/sh\nexit 0\n");
        chmod(file.c_str(), 0755);
        return file;
    }

    // The approval values: name -> stored path.
    static std::vector<std::pair<std::string, std::string>> values()
    {
        std::vector<std::pair<std::string, std::string>> found;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(key_folder, ignored))
            found.emplace_back(entry.path().filename().string(), read_file(entry.path().string()));
        std::sort(found.begin(), found.end());
        return found;
    }

    static void put_value(const std::string& name, const std::string& stored)
    {
        std::filesystem::create_directories(key_folder);
        write_file(key_folder + "/" + name, stored);
    }

    static std::string check(const std::string& path, int* out_err)
    {
        qp_scratch_pool pool;
        char* args[] = {const_cast<char*>(path.c_str()), nullptr};
        *out_err = qpsysexec_check_command(pool.ma(), args);
        return args[0];
    }
};

// A new approval is one value named "approval." + the creation time (100-ns
// units since 1601, 16 hex digits) + the CRC-32 of the path (8 hex
// digits), holding the path; approving again leaves that one value.
TEST_F(SysexecTest, ApproveNamesValueAndKeepsOne)
{
    std::string prog = make_program("tool");
    int64_t before = (time(nullptr) - 1) * 10000000LL + 116444736000000000LL;
    ASSERT_EQ(0, qpsysexec_approve_command(prog.c_str()));
    int64_t after = (time(nullptr) + 1) * 10000000LL + 116444736000000000LL;
    ASSERT_EQ(0, qpsysexec_approve_command(prog.c_str()));
    auto stored = values();
    ASSERT_EQ(1u, stored.size());
    EXPECT_EQ(prog, stored[0].second);
    const std::string& name = stored[0].first;
    ASSERT_EQ(std::string("approval."), name.substr(0, 9)) << name;
    ASSERT_EQ(9u + 16u + 8u, name.size()) << name;
    ASSERT_EQ(std::string::npos, name.find_first_not_of("0123456789ABCDEF", 9)) << name;
    int64_t created = static_cast<int64_t>(std::stoull(name.substr(9, 16), nullptr, 16));
    EXPECT_LE(before, created);
    EXPECT_GE(after, created);
    EXPECT_EQ(reference_crc32(prog), std::stoul(name.substr(25, 8), nullptr, 16));
    EXPECT_EQ(0xCBF43926u, reference_crc32("123456789"));
    EXPECT_EQ(0664u, mode_of(key_folder + "/" + stored[0].first));
}

// Two values for one path in different letter case (Unicode folding) are
// merged by a new approve: the first takes the new spelling, the other goes.
TEST_F(SysexecTest, ApproveMergesCaseDuplicates)
{
    put_value("approval.00000000000000010000AAAA", "/opt/ÉTÉ/Tool");
    put_value("approval.00000000000000020000BBBB", "/OPT/été/TOOL");
    put_value("settings", "/opt/été/tool");
    int count = -1;
    char* args[] = {const_cast<char*>("/opt/été/tool"), nullptr};
    ASSERT_EQ(0, qpsysexec_config_op(nullptr, qpsysexec_op_approve, args, &count));
    EXPECT_EQ(1, count);
    auto stored = values();
    ASSERT_EQ(2u, stored.size());
    EXPECT_EQ("/opt/été/tool", stored[0].second);
    EXPECT_EQ("settings", stored[1].first);
}

// Revoke matches in any case and reports the approvals left; check hands
// out the stored spelling; other values in the folder are no approvals.
TEST_F(SysexecTest, RevokeAndCheck)
{
    put_value("approval.00000000000000010000AAAA", "/opt/Tools/One");
    put_value("approval.00000000000000020000BBBB", "/opt/tools/two");
    put_value("notes", "/opt/tools/three");
    int err = -1;
    EXPECT_EQ("/opt/Tools/One", check("/OPT/TOOLS/ONE", &err));
    EXPECT_EQ(0, err);
    check("/opt/tools/three", &err);
    EXPECT_EQ(err_not_found, err);
    int count = -1;
    EXPECT_EQ(0, qpsysexec_revoke_command("/opt/tools/ONE", &count));
    EXPECT_EQ(1, count);
    EXPECT_EQ(err_not_found, qpsysexec_revoke_command("/opt/tools/one", &count));
    EXPECT_EQ(1, count);
    check("/opt/Tools/One", &err);
    EXPECT_EQ(err_not_found, err);
}

// A check that cannot copy the stored spelling refuses: the caller's
// spelling, which may name another file, must never be what starts.
TEST_F(SysexecTest, CheckWithoutMemoryRefuses)
{
    put_value("approval.00000000000000010000AAAA", "/opt/Tools/One");
    static const malloc_i_vtbl_t failing_vtbl = {[](malloc_i*, size_t) -> void* { return nullptr; }};
    malloc_i failing = &failing_vtbl;
    char* args[] = {const_cast<char*>("/OPT/TOOLS/ONE"), nullptr};
    EXPECT_EQ(err_no_mem, qpsysexec_check_command(&failing, args));
}

// The proxy's list approves exactly its own spellings, before the store.
TEST_F(SysexecTest, ProxyListComparedExactly)
{
    char proxy_path[] = "/opt/proxy/Tool";
    char* list[] = {proxy_path, nullptr};
    proxy_approved_arg0 = list;
    int err = -1;
    EXPECT_EQ("/opt/proxy/Tool", check("/opt/proxy/Tool", &err));
    EXPECT_EQ(0, err);
    check("/opt/proxy/tool", &err);
    EXPECT_EQ(err_not_found, err);
    proxy_approved_arg0 = nullptr;
    check("/opt/proxy/Tool", &err);
    EXPECT_EQ(err_not_found, err);
}

// Without a key, check and list find nothing and create nothing; a key
// folder that cannot be made refuses approve and revoke with 13.
TEST_F(SysexecTest, MissingOrBlockedKey)
{
    int err = -1;
    check("/bin/sh", &err);
    EXPECT_EQ(err_not_found, err);
    EXPECT_EQ(err_not_found, qpsysexec_list_commands(nullptr));
    EXPECT_FALSE(exists(key_folder));
    write_file(key_folder, "not a folder");
    EXPECT_EQ(err_access_denied, qpsysexec_approve_command("/bin/sh"));
    int count = -1;
    EXPECT_EQ(err_access_denied, qpsysexec_revoke_command("/bin/sh", &count));
    EXPECT_EQ(0, count);
    run_result r = run({"approve", make_program("blocked")});
    EXPECT_EQ("ERROR: 13 Unable to approve executable.\n", r.output);
    EXPECT_EQ(err_to_perr(err_access_denied), r.status);
    r = run({"revoke", path("blocked")});
    EXPECT_EQ("ERROR: 13 Unable to revoke executable.\n", r.output);
    EXPECT_EQ(err_to_perr(err_access_denied), r.status);
}

// Copies and deletes that fail (a read-only /usr/local/bin) are reported by
// approve and revoke; the approval itself is kept or removed all the same.
TEST_F(SysexecTest, RegistrationFailuresReported)
{
    auto set_read_only = [](bool read_only) {
        return mount("none", "/usr/local/bin", nullptr,
                     MS_REMOUNT | (read_only ? MS_RDONLY : 0), nullptr);
    };
    std::string prog = make_program("tool");
    ASSERT_EQ(0, set_read_only(true));
    run_result r = run({"approve", prog});
    set_read_only(false);
    EXPECT_EQ("ERROR: 30 Unable to register service.\n", r.output);
    EXPECT_EQ(err_to_perr(err_read_only), r.status);
    EXPECT_EQ(1u, values().size());

    ASSERT_EQ(0, run({"approve", prog}).status);
    ASSERT_EQ(0, set_read_only(true));
    r = run({"revoke", prog});
    set_read_only(false);
    EXPECT_EQ("ERROR: 30 Unable to unregister daemon.\n", r.output);
    EXPECT_EQ(err_to_perr(err_read_only), r.status);
    EXPECT_TRUE(values().empty());
}

// Each command's argument errors: the exact lines and statuses.
TEST_F(SysexecTest, ArgumentErrors)
{
    for (const char* command : {"approve", "revoke"}) {
        run_result r = run({command});
        EXPECT_EQ("ERROR: Must supply executable file name.\n", r.output) << command;
        EXPECT_EQ(err_to_perr(err_bad_parameter), r.status);
        r = run({command, "-q"});
        EXPECT_EQ("WARNING: Ignoring unknown switch \"-q\"\n"
                  "ERROR: Must supply executable file name.\n",
                  r.output);
    }
    run_result r = run({"approve", "no-such-program-qpsysexec"});
    EXPECT_EQ("ERROR: Invalid executable specified \"no-such-program-qpsysexec\" .\n", r.output);
    EXPECT_EQ(err_to_perr(err_bad_parameter), r.status);
    EXPECT_FALSE(exists(QPSYSEXEC_DAEMON_FILE));
    r = run({"revoke", "no-such-program-qpsysexec"});
    EXPECT_EQ("WARNING: Revoke not necessary, executable not approved.\n", r.output);
    EXPECT_EQ(0, r.status);
}

// approve with a one-letter switch warns and approves; the first approval
// installs the root daemon copy (04755) and the plain copy (0755); further
// arguments are warned about and ignored.
TEST_F(SysexecTest, ApproveRegisters)
{
    std::string prog = make_program("tool");
    run_result r = run({"approve", "-x", prog, "extra", "-yz"});
    EXPECT_EQ("WARNING: Ignoring unknown switch \"-x\"\n"
              "WARNING: Ignoring unexpected argument \"extra\"\n"
              "WARNING: Ignoring unexpected argument \"-yz\"\n",
              r.output);
    EXPECT_EQ(0, r.status);
    ASSERT_EQ(1u, values().size());
    EXPECT_EQ(prog, values()[0].second);
    struct stat st;
    ASSERT_EQ(0, stat(QPSYSEXEC_DAEMON_FILE, &st));
    EXPECT_EQ(04755u, st.st_mode & 07777);
    EXPECT_EQ(0u, st.st_uid);
    ASSERT_EQ(0, stat(qpsysexec_service_exe_name, &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
    EXPECT_EQ(read_file(QPSYSEXEC_PROGRAM), read_file(QPSYSEXEC_DAEMON_FILE));
}

// Revoking one of two approvals keeps the copies; revoking the last removes
// both; a path whose file is gone is still revoked by its full name.
TEST_F(SysexecTest, RevokeLastUnregisters)
{
    std::string one = make_program("one"), two = make_program("two");
    ASSERT_EQ(0, run({"approve", one}).status);
    ASSERT_EQ(0, run({"approve", two}).status);
    run_result r = run({"revoke", path("ONE")});
    EXPECT_EQ("", r.output);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(exists(QPSYSEXEC_DAEMON_FILE));
    EXPECT_TRUE(exists(qpsysexec_service_exe_name));
    unlink(two.c_str());
    r = run({"revoke", two});
    EXPECT_EQ("", r.output);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(values().empty());
    EXPECT_FALSE(exists(QPSYSEXEC_DAEMON_FILE));
    EXPECT_FALSE(exists(qpsysexec_service_exe_name));
}

// list prints every approved path, or those matching a filter in any
// letter case; its result is always 0.
TEST_F(SysexecTest, ListWithFilter)
{
    put_value("approval.00000000000000010000AAAA", "/opt/a/start.SH");
    put_value("approval.00000000000000020000BBBB", "/opt/b/build");
    put_value("approval.00000000000000030000CCCC", "/opt/c/Run.sh");
    run_result r = run({"list", "*.sh"});
    std::string out = r.output;
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, out.find("/opt/a/start.SH\n"));
    EXPECT_NE(std::string::npos, out.find("/opt/c/Run.sh\n"));
    EXPECT_EQ(std::string::npos, out.find("build"));
    r = run({"list"});
    EXPECT_EQ(3u, static_cast<size_t>(std::count(r.output.begin(), r.output.end(), '\n')));
    r = run({"list", "*.none"});
    EXPECT_EQ("", r.output);
    EXPECT_EQ(0, r.status);
}

// The date is taken from the last tag of a file; a line feed just before a
// tag does not hide it; a tag at the very end has no date after it.
TEST_F(SysexecTest, FileVersionDate)
{
    const std::string tag = QPSYSEXEC_VER_DATE_TAG;
    qp_scratch_pool pool;
    std::string several = "head" + tag + "2001.01.01" + std::string(1, '\0') + "middle\n\n" + tag +
                          "2002.02.02" + std::string(1, '\0') + "tail";
    write_file(path("several"), several);
    char* date = get_file_ver_date(pool.ma(), path("several").c_str());
    ASSERT_NE(nullptr, date);
    EXPECT_STREQ("2002.02.02", date);
    write_file(path("open_end"), tag + "2003.03.03");
    date = get_file_ver_date(pool.ma(), path("open_end").c_str());
    ASSERT_NE(nullptr, date);
    EXPECT_STREQ("2003.03.03", date);
    write_file(path("none"), "VER_DATE_TAG:803AFE4DC4ECEDC7:2004.04.04 without its line feed");
    EXPECT_EQ(nullptr, get_file_ver_date(pool.ma(), path("none").c_str()));
    EXPECT_EQ(nullptr, get_file_ver_date(pool.ma(), path("missing").c_str()));
    date = get_file_ver_date(pool.ma(), QPSYSEXEC_PROGRAM);
    ASSERT_NE(nullptr, date);
    EXPECT_STREQ(get_ver_date(), date);
    unsigned year = 0, month = 0, day = 0;
    char end = 0;
    EXPECT_EQ(3, sscanf(get_ver_date(), "%4u.%2u.%2u%c", &year, &month, &day, &end))
        << get_ver_date();
    EXPECT_EQ(10u, strlen(get_ver_date()));
}

// An installed daemon copy with a newer date is left alone (and so is the
// plain copy); one with an older date or none is replaced.
TEST_F(SysexecTest, RegistrationByDate)
{
    std::string prog = make_program("tool");
    std::string newer = "installed" + std::string(QPSYSEXEC_VER_DATE_TAG) + "2999.12.31";
    write_file(QPSYSEXEC_DAEMON_FILE, newer);
    ASSERT_EQ(0, run({"approve", prog}).status);
    EXPECT_EQ(newer, read_file(QPSYSEXEC_DAEMON_FILE));
    EXPECT_FALSE(exists(qpsysexec_service_exe_name));
    write_file(QPSYSEXEC_DAEMON_FILE,
               "installed" + std::string(QPSYSEXEC_VER_DATE_TAG) + "2000.01.01");
    ASSERT_EQ(0, run({"approve", prog}).status);
    EXPECT_EQ(read_file(QPSYSEXEC_PROGRAM), read_file(QPSYSEXEC_DAEMON_FILE));
    EXPECT_EQ(read_file(QPSYSEXEC_PROGRAM), read_file(qpsysexec_service_exe_name));
}

// An empty argument vector prints the banner and runs nothing.
TEST_F(SysexecTest, EmptyArgumentVector)
{
    run_result r = run_vector({});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.output.find("Setup/Daemon Isolated Execution Service\n"));
    EXPECT_NE(std::string::npos, r.output.find("Version 23X\n"));
    EXPECT_FALSE(exists(key_folder));
}

// sysstart refuses while nothing is approved; sysstop without a daemon
// reports the send error as its status.
TEST_F(SysexecTest, StartAndStopWithoutDaemon)
{
    run_result r = run({"sysstart"});
    EXPECT_EQ("ERROR: qpsysexec daemon is not enabled, no commands are approved.\n", r.output);
    EXPECT_EQ(err_to_perr(err_not_found), r.status);
    r = run({"sysstop", "-v", "now"});
    const std::string warnings = "WARNING: Ignoring unknown switch \"-v\"\n"
                                 "WARNING: Ignoring unexpected argument \"now\"\n";
    ASSERT_EQ(warnings, r.output.substr(0, warnings.size())) << r.output;
    int err = 0, used = 0;
    ASSERT_EQ(1, sscanf(r.output.c_str() + warnings.size(),
                        "ERROR: %d Sending stop signal to daemon.\n%n", &err, &used))
        << r.output;
    EXPECT_EQ(r.output.size(), warnings.size() + size_t(used)) << r.output;
    EXPECT_EQ(err_to_perr(err), r.status);
}

} // namespace

namespace {

const char signal_socket[] = "/tmp/" QPSYSEXEC_SIGNAL_SOCKET_NAME;

bool wait_for(const std::function<bool()>& condition, int msecs)
{
    for (int waited = 0; waited < msecs; waited += 20) {
        if (condition())
            return true;
        usleep(20 * 1000);
    }
    return condition();
}

bool listening()
{
    struct stat st;
    return lstat(signal_socket, &st) == 0 && S_ISSOCK(st.st_mode);
}

// The daemon copy as root (run directly, as sysstart does) with its
// environment, descriptors and process state chosen by prepare, which runs
// in the child just before the exec.
class SysexecDaemonTest : public SysexecTest {
protected:
    void SetUp() override
    {
        SysexecTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(0, run({"approve", make_program("tool")}).status);
    }
    void TearDown() override
    {
        stop_daemon();
        SysexecTest::TearDown();
    }

    // Sends the stop signal and collects the daemon (killed when it does
    // not end within 10 s); returns its wait status.
    int stop_daemon()
    {
        int status = -1;
        if (daemon_pid_ <= 0)
            return status;
        run({"sysstop"});
        if (!wait_for([&] { return waitpid(daemon_pid_, &status, WNOHANG) == daemon_pid_; },
                      10000)) {
            kill(daemon_pid_, SIGKILL);
            waitpid(daemon_pid_, &status, 0);
        }
        daemon_pid_ = -1;
        return status;
    }

    void start_daemon(std::vector<std::string> env, const std::function<void()>& prepare)
    {
        daemon_pid_ = fork();
        if (daemon_pid_ == 0) {
            std::vector<char*> envp;
            for (std::string& entry : env)
                envp.push_back(&entry[0]);
            envp.push_back(nullptr);
            prepare();
            char* argv[] = {const_cast<char*>("innocent-name"), const_cast<char*>("daemon"),
                            nullptr};
            execve(QPSYSEXEC_DAEMON_FILE, argv, envp.data());
            _exit(126);
        }
    }

    std::string proc(const std::string& name) const
    {
        return "/proc/" + std::to_string(daemon_pid_) + "/" + name;
    }

    static std::vector<std::string> lines_of(const std::string& file, char separator)
    {
        std::vector<std::string> lines;
        std::string text = read_file(file), line;
        for (char c : text) {
            if (c == separator) {
                lines.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        return lines;
    }

    pid_t daemon_pid_ = -1;
};

// Whatever the starter left behind (variables, descriptors, umask, folder,
// ignored and blocked signals, limits), the daemon holds exactly the six
// variables, its own standard pipes and nothing of the caller's, and stops
// on the stop signal with status 0.
TEST_F(SysexecDaemonTest, CleanFromHostileStart)
{
    start_daemon({"PATH=/tmp/evil", "LD_PRELOAD=/tmp/evil.so", "HOME=/tmp/evil", "LANG=evil",
                  "TMPDIR=/tmp/evil", "EVIL=1"},
                 [] {
                     int passwd = open("/etc/passwd", O_RDONLY);
                     dup2(passwd, 5);
                     dup2(passwd, 9);
                     umask(077);
                     if (chdir("/tmp") != 0)
                         _exit(125);
                     signal(SIGTERM, SIG_IGN);
                     sigset_t blocked;
                     sigemptyset(&blocked);
                     sigaddset(&blocked, SIGINT);
                     sigprocmask(SIG_BLOCK, &blocked, nullptr);
                     // Only the soft limit: this machine's root may lack the
                     // right to raise a hard one again (the VM test lowers both).
                     struct rlimit small;
                     getrlimit(RLIMIT_FSIZE, &small);
                     small.rlim_cur = 1000;
                     setrlimit(RLIMIT_FSIZE, &small);
                 });
    ASSERT_TRUE(wait_for(listening, 10000));
    EXPECT_EQ((std::vector<std::string>{
                  "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                  "SHELL=/bin/sh", "LOGNAME=root", "USER=root", "HOME=/", "TMPDIR=/tmp"}),
              lines_of(proc("environ"), '\0'));
    std::vector<std::string> cmdline = lines_of(proc("cmdline"), '\0');
    ASSERT_EQ(2u, cmdline.size());
    EXPECT_EQ("daemon", cmdline[1]);
    EXPECT_NE("innocent-name", cmdline[0]);
    EXPECT_EQ("/", std::filesystem::read_symlink(proc("cwd")).string());
    std::string status = read_file(proc("status"));
    EXPECT_NE(std::string::npos, status.find("Umask:\t0002\n")) << status;
    EXPECT_NE(std::string::npos, status.find("SigBlk:\t0000000000000000\n")) << status;
    EXPECT_NE(std::string::npos, status.find("SigIgn:\t0000000000001000\n")) << status;
    std::string limits = read_file(proc("limits"));
    size_t file_size = limits.find("Max file size ");
    ASSERT_NE(std::string::npos, file_size) << limits;
    std::string line = limits.substr(file_size, limits.find('\n', file_size) - file_size);
    EXPECT_NE(std::string::npos, line.find(" unlimited ")) << line;
    for (const auto& entry : std::filesystem::directory_iterator(proc("fd"))) {
        int fd = std::stoi(entry.path().filename().string());
        std::string target = std::filesystem::read_symlink(entry.path()).string();
        if (fd <= 2)
            EXPECT_EQ(0u, target.rfind("pipe:", 0)) << fd << " " << target;
        else
            EXPECT_TRUE(target.rfind("pipe:", 0) == 0 || target.rfind("socket:", 0) == 0 ||
                        target.rfind("/tmp/" QP_REVERSE_DOMAIN_PREFIX, 0) == 0)
                << fd << " " << target;
    }
    int exit_status = stop_daemon();
    EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 0) << exit_status;
}

// The daemon serves only once its sync descriptor reached the end of data:
// it waits while the starter holds the write end.
TEST_F(SysexecDaemonTest, WaitsForSyncDescriptor)
{
    int sync[2];
    ASSERT_EQ(0, pipe2(sync, O_CLOEXEC));
    start_daemon({std::string(QPSYSEXEC_DAEMON_SYNC_FD_VAR "=") + std::to_string(sync[0] + 10)},
                 [&] { dup2(sync[0], sync[0] + 10); });
    close(sync[0]);
    usleep(500 * 1000);
    EXPECT_FALSE(listening());
    close(sync[1]);
    EXPECT_TRUE(wait_for(listening, 10000));
}

// A sync variable that names no usable descriptor (malformed, out of range,
// a standard one, a closed one) is ignored: the daemon serves at once.
TEST_F(SysexecDaemonTest, InvalidSyncValuesIgnored)
{
    for (const char* value : {"", "abc", "-1", "1", "2", "3x", "99999999999", "77"}) {
        int held[2];
        ASSERT_EQ(0, pipe(held));
        // Standard input and output stay the test's own pipe, never at its
        // end, so waiting on them would hang.
        start_daemon({std::string(QPSYSEXEC_DAEMON_SYNC_FD_VAR "=") + value}, [&] {
            dup2(held[0], 0);
            dup2(held[1], 1);
        });
        EXPECT_TRUE(wait_for(listening, 10000)) << value;
        EXPECT_EQ(0, stop_daemon()) << value;
        close(held[0]);
        close(held[1]);
    }
}

} // namespace
