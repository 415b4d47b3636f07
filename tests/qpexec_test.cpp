// Tests of the local process object: program resolution, the child's
// descriptors, folder and environment, exit codes (signals included), wait
// and terminate, the sorted environment table against a reference model,
// credentials, and starts from many threads while others allocate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../base/qpexecint.h"
#include "envtestdir.h"
#include "exectest.h"
#include "qperr.h"
#include "qppin.h"
#include "qpsocket.h"
#include "qpsys.h"
#include "sstring.h"

namespace {

// A local UTF-8 object released at the end of the scope.
class f8_exec {
public:
    f8_exec() { EXPECT_EQ(0, f8_exec_factory(&e_)); }
    ~f8_exec() { (*e_)->release(e_); }
    const f8_exec_i_vtbl_t* operator->() const { return *e_; }
    f8_exec_i* get() const { return e_; }

private:
    f8_exec_i* e_ = nullptr;
};

struct run_result {
    int err;
    int exit_code;
    std::string output;
};

// Starts argv with its output on a pipe, collects the output and the exit
// code. Setup may configure the object first.
template <typename Setup> run_result run(std::vector<const char*> argv, Setup setup)
{
    f8_exec e;
    int fds[2];
    EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
    (*e.get())->set_output(e.get(), fds[1]);
    setup(e.get());
    argv.push_back(nullptr);
    run_result r;
    r.err = (*e.get())->start(e.get(), argv.data());
    close(fds[1]);
    r.output = read_all(fds[0]);
    close(fds[0]);
    r.exit_code = r.err ? -1 : (*e.get())->get_exit_code(e.get());
    return r;
}

run_result run(std::vector<const char*> argv)
{
    return run(std::move(argv), [](f8_exec_i*) {});
}

// The NAME=VALUE lines /usr/bin/env prints, by name.
std::map<std::string, std::string> env_lines(const std::string& output)
{
    std::map<std::string, std::string> vars;
    size_t at = 0;
    while (at < output.size()) {
        size_t end = output.find('\n', at);
        std::string line = output.substr(at, end - at);
        size_t eq = line.find('=', 1);
        if (eq != std::string::npos)
            vars[line.substr(0, eq)] = line.substr(eq + 1);
        at = end == std::string::npos ? output.size() : end + 1;
    }
    return vars;
}

class ExecTest : public TempDirTest {};

// An empty vector, an empty name and a name on no search path give 2 and
// start nothing; such an object reports its end at once.
TEST_F(ExecTest, UnresolvableProgramsGiveNotFound)
{
    const char* empty[] = {nullptr};
    const char* blank[] = {"", nullptr};
    const char* unknown[] = {"qpexec-no-such-program", nullptr};
    const char* const* vectors[] = {nullptr, empty, blank, unknown};
    for (const char* const* argv : vectors) {
        f8_exec e;
        EXPECT_EQ(err_not_found, e->start(e.get(), argv));
        EXPECT_EQ(0, e->get_pid(e.get()));
        EXPECT_TRUE(e->wait(e.get(), nullptr, 0));
        EXPECT_EQ(0, e->get_exit_code(e.get()));
    }
}

// A program that exists but cannot be executed: the child reports the
// execve error on its output and ends with 127.
TEST_F(ExecTest, UnexecutableProgramReportsAndEndsWith127)
{
    std::string file = path("not-executable");
    write_file(file, "data\n");
    chmod(file.c_str(), 0644);
    run_result r = run({file.c_str()});
    ASSERT_EQ(0, r.err);
    EXPECT_EQ(127, r.exit_code);
    EXPECT_EQ("ERROR: 13 execve " + file + "\n", r.output);

    // The message is cut at 200 characters.
    std::string deep = dir_;
    for (int i = 0; i < 6; i++) {
        deep += "/" + std::string(50, 'd');
        mkdir(deep.c_str(), 0755);
    }
    std::string long_file = deep + "/not-executable";
    write_file(long_file, "data\n");
    r = run({long_file.c_str()});
    EXPECT_EQ(127, r.exit_code);
    EXPECT_EQ(("ERROR: 13 execve " + long_file).substr(0, 200), r.output);
}

// The exit status comes through; a child ended by a signal reports 128 + the
// signal number, so a killed build never looks like a success.
TEST_F(ExecTest, ExitCodesIncludeSignals)
{
    EXPECT_EQ(0, run({"true"}).exit_code);
    EXPECT_EQ(3, run({"sh", "-c", "exit 3"}).exit_code);
    EXPECT_EQ(255, run({"sh", "-c", "exit 255"}).exit_code);
    EXPECT_EQ(128 + SIGKILL, run({"sh", "-c", "kill -KILL $$"}).exit_code);
    EXPECT_EQ(128 + SIGTERM, run({"sh", "-c", "kill -TERM $$"}).exit_code);
}

// wait(null, 0) is false while the child runs and true once it ended;
// terminate kills it.
TEST_F(ExecTest, WaitAndTerminate)
{
    f8_exec e;
    const char* argv[] = {"sleep", "30", nullptr};
    ASSERT_EQ(0, e->start(e.get(), argv));
    int pid = e->get_pid(e.get());
    EXPECT_GT(pid, 0);
    EXPECT_FALSE(e->wait(e.get(), nullptr, 0));
    EXPECT_FALSE(e->wait(e.get(), nullptr, 50));
    e->terminate(e.get());
    EXPECT_TRUE(e->wait(e.get(), nullptr, 10000));
    EXPECT_EQ(128 + SIGKILL, e->get_exit_code(e.get()));
    EXPECT_TRUE(e->wait(e.get(), nullptr, 0));
    // Reaped: terminate no longer signals the number, which may be reused.
    e->terminate(e.get());
}

// A wait ends early when its cancel pin fires.
TEST_F(ExecTest, WaitEndsOnCancelPin)
{
    f8_exec e;
    const char* argv[] = {"sleep", "30", nullptr};
    ASSERT_EQ(0, e->start(e.get(), argv));
    pin_t cancel;
    pin_init(&cancel);
    pin_signal(&cancel);
    EXPECT_FALSE(e->wait(e.get(), &cancel.vtbl, -1));
    pin_term(&cancel);
    e->terminate(e.get());
    EXPECT_EQ(128 + SIGKILL, e->get_exit_code(e.get()));
}

// terminate before start does nothing; the object counts as ended.
TEST_F(ExecTest, TerminateBeforeStartDoesNothing)
{
    f8_exec e;
    e->terminate(e.get());
    EXPECT_TRUE(e->wait(e.get(), nullptr, 0));
    EXPECT_EQ(0, e->get_exit_code(e.get()));
}

// A second start is refused and starts nothing.
TEST_F(ExecTest, SecondStartIsRefused)
{
    f8_exec e;
    const char* argv[] = {"true", nullptr};
    ASSERT_EQ(0, e->start(e.get(), argv));
    EXPECT_EQ(err_bad_parameter, e->start(e.get(), argv));
    EXPECT_EQ(0, e->get_exit_code(e.get()));
}

// Unset standard slots are the null device; set ones are the caller's.
TEST_F(ExecTest, UnsetSlotsAreTheNullDevice)
{
    run_result r = run({"sh", "-c", "readlink /proc/self/fd/0 /proc/self/fd/2; cat"});
    ASSERT_EQ(0, r.err);
    EXPECT_EQ("/dev/null\n/dev/null\n", r.output);

    int in[2];
    ASSERT_EQ(0, pipe(in));
    ASSERT_EQ(3, write(in[1], "abc", 3));
    close(in[1]);
    r = run({"sh", "-c", "cat; echo lost >&2"}, [&](f8_exec_i* e) {
        (*e)->set_input(e, in[0]);
        (*e)->set_error(e, -1); // leaves the slot unset
    });
    close(in[0]);
    EXPECT_EQ("abc", r.output);
}

// A detached child leads a session of its own; otherwise it stays in ours.
TEST_F(ExecTest, DetachedChildStartsASession)
{
    const char* script = "echo $$; cut -d' ' -f6 /proc/$$/stat";
    run_result r = run({"sh", "-c", script}, [](f8_exec_i* e) { (*e)->set_detached(e); });
    size_t eol = r.output.find('\n');
    ASSERT_NE(std::string::npos, eol);
    EXPECT_EQ(r.output.substr(0, eol + 1), r.output.substr(eol + 1));
    r = run({"sh", "-c", script});
    eol = r.output.find('\n');
    ASSERT_NE(std::string::npos, eol);
    EXPECT_NE(r.output.substr(0, eol + 1), r.output.substr(eol + 1));
}

// The child's descriptors are 0-2 only, even when the parent holds hundreds
// of inheritable ones; its standard descriptors are blocking.
TEST_F(ExecTest, ChildHoldsOnlyStandardDescriptors)
{
    std::vector<int> held;
    for (int i = 0; i < 300; i++) {
        int fd = open("/dev/null", O_RDONLY);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
    }
    int out[2];
    ASSERT_EQ(0, pipe2(out, O_NONBLOCK));
    f8_exec e;
    e->set_output(e.get(), out[1]);
    const char* argv[] = {"sh", "-c", "ls /proc/$$/fd; cat /proc/$$/fdinfo/1 | grep flags",
                          nullptr};
    ASSERT_EQ(0, e->start(e.get(), argv));
    close(out[1]);
    fcntl(out[0], F_SETFL, 0);
    std::string output = read_all(out[0]);
    close(out[0]);
    EXPECT_EQ(0, e->get_exit_code(e.get()));
    for (int fd : held)
        close(fd);
    size_t flags_at = output.find("flags:");
    ASSERT_NE(std::string::npos, flags_at);
    EXPECT_EQ("0\n1\n2\n", output.substr(0, flags_at));
    unsigned long flags = std::stoul(output.substr(flags_at + 6), nullptr, 8);
    EXPECT_EQ(0u, flags & O_NONBLOCK);
}

// The signals the library ignores for itself (broken pipes, terminal
// stops) are back at their default action in a started program.
TEST_F(ExecTest, ChildGetsDefaultPipeAndTerminalSignals)
{
    file_ignore_sigpipe();
    run_result r = run({"sh", "-c", "grep SigIgn /proc/$$/status"});
    size_t at = r.output.find("SigIgn:");
    ASSERT_NE(std::string::npos, at) << r.output;
    unsigned long long ignored = std::stoull(r.output.substr(at + 7), nullptr, 16);
    for (int sig : {SIGPIPE, SIGTTIN, SIGTTOU})
        EXPECT_EQ(0u, ignored & (1ull << (sig - 1))) << sig;
}

// The child runs in the set folder, with PWD naming it and "_" naming the
// resolved program; a folder that cannot be entered is reported with 127.
TEST_F(ExecTest, CurrentFolderPwdAndUnderscore)
{
    run_result r = run({"env"}, [&](f8_exec_i* e) { (*e)->set_current_folder(e, dir_.c_str()); });
    ASSERT_EQ(0, r.err);
    std::map<std::string, std::string> vars = env_lines(r.output);
    EXPECT_EQ(dir_, vars["PWD"]);
    EXPECT_EQ("/usr/bin/env", vars["_"]);

    r = run({"pwd"}, [&](f8_exec_i* e) { (*e)->set_current_folder(e, dir_.c_str()); });
    EXPECT_EQ(dir_ + "\n", r.output);

    std::string missing = path("missing");
    r = run({"pwd"}, [&](f8_exec_i* e) { (*e)->set_current_folder(e, missing.c_str()); });
    EXPECT_EQ(127, r.exit_code);
    EXPECT_EQ("ERROR: 2 chdir " + missing + "\n", r.output);
}

// The child's environment: a copy of the process's with the changes; an
// empty value removes a variable; a name holding '=' after its first
// character is the whole entry; set_envp replaces everything.
TEST_F(ExecTest, ChildEnvironment)
{
    setenv("QPEXEC_INHERITED", "yes", 1);
    setenv("QPEXEC_REMOVED", "yes", 1);
    run_result r = run({"env"}, [](f8_exec_i* e) {
        (*e)->set_env(e, "QPEXEC_NEW", "a=b");
        (*e)->set_env(e, "QPEXEC_REMOVED", "");
        (*e)->set_env(e, "QPEXEC_WHOLE=x", "ignored");
        (*e)->set_env(e, "QPEXEC_NOTHING", "");
    });
    unsetenv("QPEXEC_INHERITED");
    unsetenv("QPEXEC_REMOVED");
    std::map<std::string, std::string> vars = env_lines(r.output);
    EXPECT_EQ("yes", vars["QPEXEC_INHERITED"]);
    EXPECT_EQ("a=b", vars["QPEXEC_NEW"]);
    EXPECT_EQ("x", vars["QPEXEC_WHOLE"]);
    EXPECT_EQ(0u, vars.count("QPEXEC_REMOVED"));
    EXPECT_EQ(0u, vars.count("QPEXEC_NOTHING"));

    const char* envp[] = {"B=2", "A=1", "EMPTY=", "NOEQUALS", nullptr};
    r = run({"/usr/bin/env"}, [&](f8_exec_i* e) { (*e)->set_envp(e, envp); });
    EXPECT_EQ("A=1\nB=2\n_=/usr/bin/env\n", r.output);
}

// With an environment set, the program is searched on the table's own PATH
// (not the process's), and a name with '/' in the current folder.
TEST_F(ExecTest, SearchUsesTheTablesOwnPath)
{
    std::string tool = path("qpexec-tool");
    write_file(tool, "#!/bin/sh\necho found\n");
    chmod(tool.c_str(), 0755);
    std::string table_path = "PATH=/nonexistent:" + dir_;
    const char* envp[] = {table_path.c_str(), nullptr};
    run_result r = run({"qpexec-tool"}, [&](f8_exec_i* e) { (*e)->set_envp(e, envp); });
    EXPECT_EQ(0, r.err);
    EXPECT_EQ("found\n", r.output);

    EXPECT_EQ(err_not_found, run({"qpexec-tool"}).err);
    const char* no_path[] = {"HOME=/", nullptr};
    EXPECT_EQ(err_not_found, run({"sh"}, [&](f8_exec_i* e) { (*e)->set_envp(e, no_path); }).err);

    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    ASSERT_EQ(0, chdir(dir_.c_str()));
    r = run({"./qpexec-tool"}, [&](f8_exec_i* e) { (*e)->set_envp(e, no_path); });
    EXPECT_EQ(0, chdir(cwd));
    EXPECT_EQ("found\n", r.output);
}

// The environment table stays sorted, null-terminated and equal to a
// reference model under random sets and removals.
TEST(ExecEnvTable, MatchesReferenceModel)
{
    fw_exec_i* e;
    ASSERT_EQ(0, fw_exec_factory(&e));
    exec_t* th = exec_vcast(e);
    (*e)->set_envp(e, nullptr);
    ASSERT_NE(nullptr, th->vars);
    EXPECT_EQ(nullptr, th->vars[0]);

    std::map<std::wstring, std::wstring> model; // name part with '=' -> entry
    std::mt19937 random(17);
    const wchar_t* names[] = {L"A",    L"AB", L"A-B", L"B", L"=C:", L"Z", L"a", L"\u00e9t\u00e9",
                              L"PATH", L"P",  L"_"};
    for (int step = 0; step < 4000; step++) {
        std::wstring name = names[random() % (sizeof(names) / sizeof(names[0]))];
        std::wstring value = (random() % 3 == 0) ? L"" : std::to_wstring(random() % 100);
        if (random() % 4 == 0) {
            // The whole entry in the name.
            std::wstring whole = name + L"=" + value;
            (*e)->set_env(e, whole.c_str(), L"ignored");
        } else {
            (*e)->set_env(e, name.c_str(), value.c_str());
        }
        // A leading '=' belongs to the name: "=C:" has the name part "=C:=".
        std::wstring key = name + L"=";
        if (value.empty())
            model.erase(key);
        else
            model[key] = key + value;
        ASSERT_EQ(nullptr, th->vars[th->var_count]);
        ASSERT_EQ(model.size(), th->var_count) << step;
        size_t i = 0;
        for (const auto& entry : model)
            ASSERT_EQ(entry.second, th->vars[i++]) << step;
    }
    EXPECT_EQ(0, mp_t_err_count(&th->mp));
    (*e)->release(e);
}

// set_env on a table never set starts from the process environment.
TEST(ExecEnvTable, FirstSetCopiesProcessEnvironment)
{
    fw_exec_i* e;
    ASSERT_EQ(0, fw_exec_factory(&e));
    exec_t* th = exec_vcast(e);
    EXPECT_EQ(nullptr, th->vars);
    (*e)->set_env(e, L"QPEXEC_ONE", L"1");
    size_t process_count = 0;
    for (char** entry = environ; *entry; entry++)
        process_count++;
    EXPECT_GE(th->var_count, 1u);
    EXPECT_LE(th->var_count, process_count + 1);
    EXPECT_STREQ(L"1", sswenv(th->vars, L"QPEXEC_ONE"));
    for (size_t i = 1; i < th->var_count; i++)
        EXPECT_LT(wcscmp(th->vars[i - 1], th->vars[i]), 0);
    // An empty name is a bad parameter, and start then reports it.
    (*e)->set_env(e, L"", L"x");
    EXPECT_EQ(err_bad_parameter, th->err);
    const wchar_t* argv[] = {L"true", nullptr};
    EXPECT_EQ(err_bad_parameter, (*e)->start(e, argv));
    (*e)->release(e);
}

// Credentials: "dom\user", "dom/user", "user@dom" split into domain and
// user; a bare user takes the machine name; an empty user with a password
// records 22.
TEST(ExecCreds, Splitting)
{
    struct {
        const wchar_t* user;
        const wchar_t* domain;
        const wchar_t* name;
    } cases[] = {
        {L"dom\\user", L"dom", L"user"},
        {L"dom/user", L"dom", L"user"},
        {L"user@dom", L"dom", L"user"},
        {L"a\\b/c@d", L"a", L"b/c@d"},
        {L"a/b@c", L"a", L"b@c"},
        {L"u@d@e", L"d@e", L"u"},
        {L"bare", proc_get_machine(), L"bare"},
    };
    for (const auto& c : cases) {
        fw_exec_i* e;
        ASSERT_EQ(0, fw_exec_factory(&e));
        exec_t* th = exec_vcast(e);
        (*e)->set_creds(e, c.user, L"secret");
        EXPECT_EQ(0, th->err);
        EXPECT_STREQ(c.domain, th->domain) << c.user;
        EXPECT_STREQ(c.name, th->user) << c.user;
        EXPECT_STREQ(L"secret", th->password);
        (*e)->release(e);
    }
    fw_exec_i* e;
    ASSERT_EQ(0, fw_exec_factory(&e));
    exec_t* th = exec_vcast(e);
    (*e)->set_creds(e, L"", nullptr);
    EXPECT_EQ(0, th->err);
    EXPECT_EQ(nullptr, th->user);
    (*e)->set_creds(e, L"", L"pw");
    EXPECT_EQ(err_bad_parameter, th->err);
    (*e)->release(e);
}

// A failed duplicate of a descriptor is recorded and returned by start,
// except for the slot's own standard descriptor.
TEST(ExecSlots, BadDescriptorIsRecorded)
{
    {
        f8_exec e;
        e->set_output(e.get(), 1000);
        const char* argv[] = {"true", nullptr};
        EXPECT_EQ(err_bad_fd, e->start(e.get(), argv));
    }
    int saved = dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    close(STDIN_FILENO);
    {
        f8_exec e;
        e->set_input(e.get(), STDIN_FILENO);
        const char* argv[] = {"true", nullptr};
        EXPECT_EQ(0, e->start(e.get(), argv));
        EXPECT_EQ(0, e->get_exit_code(e.get()));
    }
    dup2(saved, STDIN_FILENO);
    close(saved);
}

// A child the system reaps itself (SIGCHLD ignored) cannot be waited for:
// the waiter probes until it is gone and the wait still ends.
TEST(ExecLife, ChildReapedByTheSystemStillEnds)
{
    struct sigaction ignore, old;
    memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(0, sigaction(SIGCHLD, &ignore, &old));
    f8_exec_i* e;
    ASSERT_EQ(0, f8_exec_factory(&e));
    const char* argv[] = {"sleep", "0.1", nullptr};
    EXPECT_EQ(0, (*e)->start(e, argv));
    EXPECT_TRUE((*e)->wait(e, nullptr, 20000));
    (*e)->release(e);
    sigaction(SIGCHLD, &old, nullptr);
}

// The object outlives its user while the child runs: its waiter keeps it.
TEST(ExecLife, ReleaseWhileRunning)
{
    f8_exec_i* e;
    ASSERT_EQ(0, f8_exec_factory(&e));
    const char* argv[] = {"sleep", "0.2", nullptr};
    ASSERT_EQ(0, (*e)->start(e, argv));
    int pid = (*e)->get_pid(e);
    (*e)->release(e);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (kill(pid, 0) == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(0, kill(pid, 0));
}

// Starting children from 8 threads at once while other threads allocate
// never hangs: the child touches no lock between fork and execve. A watchdog
// fails the test instead of letting it hang.
TEST(ExecForkSafety, EightStartersWithAllocators)
{
    const int starters = 8, starts_each = 12;
    std::atomic<bool> done{false};
    std::atomic<int> successes{0};
    std::thread watchdog([&] {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!done && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!done) {
            fprintf(stderr, "fork safety: starts did not finish in time\n");
            abort();
        }
    });
    std::vector<std::thread> allocators;
    for (int i = 0; i < 2; i++)
        allocators.emplace_back([&] {
            while (!done) {
                void* blocks[16];
                for (void*& block : blocks)
                    block = malloc_d(64);
                for (void* block : blocks)
                    free_d(block);
                void* plain = malloc(128);
                free(plain);
            }
        });
    std::vector<std::thread> threads;
    for (int t = 0; t < starters; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < starts_each; i++) {
                f8_exec_i* e;
                if (f8_exec_factory(&e))
                    continue;
                const char* argv[] = {"/bin/true", nullptr};
                if ((*e)->start(e, argv) == 0 && (*e)->get_exit_code(e) == 0)
                    successes++;
                (*e)->release(e);
            }
        });
    for (auto& t : threads)
        t.join();
    done = true;
    for (auto& t : allocators)
        t.join();
    watchdog.join();
    EXPECT_EQ(starters * starts_each, successes.load());
}

// The UTF-8 wrapper counts its own references and forwards to its base.
TEST(ExecWrapper, ReferencesAndForwarding)
{
    f8_exec_i* e;
    ASSERT_EQ(0, f8_exec_factory(&e));
    (*e)->retain(e);
    (*e)->release(e);
    const char* argv[] = {"sh", "-c", "exit 7", nullptr};
    ASSERT_EQ(0, (*e)->start(e, argv));
    EXPECT_EQ(7, (*e)->get_exit_code(e));
    (*e)->release(e);
}

} // namespace
