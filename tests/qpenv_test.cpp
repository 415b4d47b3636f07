// Tests of the process record and the environment: the executable-file
// rules through a probe program started with chosen argv[0], environment and
// folder; in-process facts, environment lookups and concurrent first use.
//
// The rule of last resort, "/_" when even /proc/self/exe cannot be read, is
// not exercised: it needs a process without /proc.
#include <gtest/gtest.h>

#include <clocale>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "envtestdir.h"
#include "qpsys.h"

namespace {

std::string real_path(const std::string& name)
{
    char buffer[PATH_MAX];
    return realpath(name.c_str(), buffer) ? buffer : "";
}

std::string folder_of(const std::string& file)
{
    return file.substr(0, file.rfind('/'));
}

// Starts program with argv0, env and folder; returns its key=value lines.
std::map<std::string, std::string> run_probe(const std::string& program, const std::string& argv0,
                                             const std::vector<std::string>& env,
                                             const std::string& folder)
{
    std::map<std::string, std::string> values;
    std::vector<char*> env_ptrs;
    for (const std::string& entry : env)
        env_ptrs.push_back(const_cast<char*>(entry.c_str()));
    env_ptrs.push_back(nullptr);
    char* argv[] = {const_cast<char*>(argv0.c_str()), nullptr};
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return values;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        close(pipe_fds[0]);
        if (chdir(folder.c_str()) == 0)
            execve(program.c_str(), argv, env_ptrs.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    std::string output;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], buffer, sizeof(buffer))) > 0)
        output.append(buffer, static_cast<size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

class ProbeTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        dir_ = real_path(dir_);
        probe_ = real_path(ENV_PROBE);
        ASSERT_EQ(0, symlink(probe_.c_str(), path("link_probe").c_str()));
    }
    std::string probe_;
};

// (a) An absolute argv[0] is the executable; its folder and name follow.
TEST_F(ProbeTest, AbsoluteArgv0)
{
    auto v = run_probe(probe_, probe_, {"PATH=/nonexistent"}, "/");
    EXPECT_EQ(probe_, v["exec_file"]);
    EXPECT_EQ(folder_of(probe_), v["exec_folder"]);
    EXPECT_EQ("env_probe", v["command"]);
    EXPECT_EQ("env_probe", v["wide_command"]);
    EXPECT_EQ(probe_, v["underscore"]);
}

// (a) A relative argv[0] through a link completes against the current
// folder and keeps the link's path.
TEST_F(ProbeTest, RelativeArgv0ThroughLink)
{
    auto v = run_probe(probe_, "./link_probe", {"PATH=/nonexistent"}, dir_);
    EXPECT_EQ(path("link_probe"), v["exec_file"]);
    EXPECT_EQ(dir_, v["exec_folder"]);
    EXPECT_EQ("link_probe", v["command"]);
    EXPECT_EQ(path("link_probe"), v["underscore"]);
}

// (b) A bare argv[0] takes the shell's "_" when it names a file of the same
// name; (d) otherwise, with nothing on PATH, /proc/self/exe.
TEST_F(ProbeTest, UnderscoreVariable)
{
    std::string underscore = "_=" + path("./link_probe");
    auto v = run_probe(probe_, "link_probe", {"PATH=/nonexistent", underscore}, "/");
    EXPECT_EQ(path("link_probe"), v["exec_file"]);
    v = run_probe(probe_, "link_probe", {"PATH=/nonexistent", "_=/bin/sh"}, "/");
    EXPECT_EQ(probe_, v["exec_file"]);
    v = run_probe(probe_, "link_probe", {"PATH=/nonexistent", "_=link_probe"}, dir_);
    EXPECT_EQ(probe_, v["exec_file"]);
}

// (c) A bare argv[0] is searched along PATH, empty entries skipped.
TEST_F(ProbeTest, SearchedOnPath)
{
    std::string path_var = "PATH=/nonexistent::" + dir_;
    auto v = run_probe(probe_, "link_probe", {path_var}, "/");
    EXPECT_EQ(path("link_probe"), v["exec_file"]);
    EXPECT_EQ("link_probe", v["command"]);
}

// (d) A name found nowhere falls back to /proc/self/exe, "_" follows it.
TEST_F(ProbeTest, ProcSelfExe)
{
    auto v = run_probe(probe_, "no_such_program", {"PATH=/nonexistent"}, dir_);
    EXPECT_EQ(probe_, v["exec_file"]);
    EXPECT_EQ("no_such_program", v["command"]);
    EXPECT_EQ(probe_, v["underscore"]);
}

// The home folder follows HOME, then USER; without both it is "/".
TEST_F(ProbeTest, HomeFolder)
{
    EXPECT_EQ("/home/u", run_probe(probe_, probe_, {"HOME=/home/u/"}, "/")["home"]);
    struct passwd* root = getpwnam("root");
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(root->pw_dir, run_probe(probe_, probe_, {"USER=root"}, "/")["home"]);
    EXPECT_EQ("/", run_probe(probe_, probe_, {}, dir_)["home"]);
}

// After the exit handlers released the record every getter gives its
// default (and the probe's heap check found nothing left).
TEST_F(ProbeTest, DefaultsAfterExit)
{
    auto v = run_probe(probe_, probe_, {}, "/");
    EXPECT_EQ("/_", v["after_exit_file"]);
    EXPECT_EQ("_", v["after_exit_command"]);
}

// Threads racing on first use all see the one published value.
TEST(ProcessRecord, ConcurrentFirstUse)
{
    const int thread_count = 8;
    std::vector<const wchar_t*> machines(thread_count), folders(thread_count);
    std::vector<const char*> commands(thread_count);
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; i++) {
        threads.emplace_back([&, i] {
            machines[i] = proc_get_machine();
            folders[i] = proc_get_current_folder();
            commands[i] = env_get_command();
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (int i = 1; i < thread_count; i++) {
        EXPECT_EQ(machines[0], machines[i]);
        EXPECT_EQ(folders[0], folders[i]);
        EXPECT_EQ(commands[0], commands[i]);
    }
}

// Without a recorded vector the facts come from /proc/self/exe; the machine
// name is the host name up to its first dot.
TEST(ProcessRecord, FactsWithoutArguments)
{
    int argc = -1;
    EXPECT_EQ(nullptr, proc_get_argv8(&argc));
    EXPECT_EQ(0, argc);
    std::string exe = real_path("/proc/self/exe");
    EXPECT_EQ(exe, env_get_exec_file());
    EXPECT_EQ(folder_of(exe), env_get_exec_folder());
    EXPECT_EQ(folder_of(exe), env_get_module_folder());
    EXPECT_STREQ("test_qpenv", env_get_command());
    EXPECT_EQ(env_get_exec_file(), env_get_exec_file());
    char host[256] = {0};
    gethostname(host, sizeof(host) - 1);
    std::string machine = host;
    if (!machine.empty() && machine[0] != '.')
        machine = machine.substr(0, machine.find('.'));
    std::wstring wide_machine(machine.begin(), machine.end());
    EXPECT_EQ(machine.empty() ? L"." : wide_machine, proc_get_machine());
}

// Lookups of set and unset variables, in both widths; the captured vector
// holds the environment.
TEST(Environment, Lookups)
{
    setenv("QPENV_TEST_VALUE", "v\u00e9", 1);
    unsetenv("QPENV_TEST_UNSET");
    EXPECT_STREQ("v\u00e9", env_get_val("QPENV_TEST_VALUE"));
    EXPECT_EQ(nullptr, env_get_val("QPENV_TEST_UNSET"));
    EXPECT_EQ(nullptr, env_get_val(""));
    EXPECT_EQ(nullptr, env_get_val(nullptr));
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    char* copy = f8_proc_get_env(&heap.vtbl, "QPENV_TEST_VALUE");
    EXPECT_STREQ("v\u00e9", copy);
    free_d(copy);
    EXPECT_EQ(nullptr, f8_proc_get_env(&heap.vtbl, "QPENV_TEST_UNSET"));
    wchar_t* wide = fw_proc_get_env(&heap.vtbl, L"QPENV_TEST_VALUE");
    EXPECT_EQ(std::wstring(L"v\u00e9"), wide);
    free_d(wide);

    wchar_t** envp = proc_get_envp();
    ASSERT_NE(nullptr, envp);
    bool found = false;
    for (wchar_t** entry = envp; *entry; entry++)
        found = found || std::wstring(*entry) == L"QPENV_TEST_VALUE=v\u00e9";
    EXPECT_TRUE(found);
    EXPECT_EQ(envp, proc_get_envp());
    EXPECT_EQ(geteuid() == 0, env_is_user_privileged() != 0);
}

// The locale leaves "C" when the environment or en_US.UTF-8 allows it.
TEST(Environment, LocaleInit)
{
    proc_init_locale();
    proc_init_locale();
    const char* now = setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(nullptr, now);
    locale_t probe = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", nullptr);
    if (probe) {
        freelocale(probe);
        EXPECT_STRNE("C", now);
    }
}

// Recording needs at least one argument.
TEST(ProcessRecordDeathTest, ArgcMustBePositive)
{
    char name[] = "x";
    char* argv[] = {name, nullptr};
    EXPECT_DEATH(proc_set_argv_main(0, argv), "argc > 0");
}

} // namespace
