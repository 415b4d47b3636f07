// The dispatcher seen from outside: the sample program's whole standard
// output and exit status for each way of calling it, plus the word rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "qppolymain8.h"

namespace {

struct SampleRun {
    std::string out;
    int status;
};

SampleRun run_sample(std::vector<std::string> args)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv{const_cast<char*>(POLYMAIN8_SAMPLE)};
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(POLYMAIN8_SAMPLE, argv.data());
        _exit(127);
    }
    close(fds[1]);
    SampleRun run{"", -1};
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        run.out.append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const char* const listing = "polymain8_sample <command> [...]\n"
                            "commands:\n"
                            "  sys-stop  Stop trace driver/daemon.\n"
                            "  sysstart  Start trace driver/daemon.\n"
                            "  Twice  Second.\n"
                            "  twice  First.\n"
                            "For more help run: polymain8_sample <command> -h\n";

// No arguments: the four banner lines.
TEST(PolyMain8, BannerWithoutArguments)
{
    SampleRun r = run_sample({});
    EXPECT_EQ(r.out, "Sample Tool - Velkor Trace Tool\n"
                     "Copyright (c) 2026 The qptrace developers\n"
                     "Version 23X\n"
                     "For help run: polymain8_sample -h\n");
    EXPECT_EQ(r.status, 0);
}

// Every spelling of the help verb lists the commands with both helps, in
// order; the internal and the empty-help commands stay out.
TEST(PolyMain8, HelpVerbsListCommands)
{
    for (const char* verb : {"help", "-h", "--HELP", "?", "-?", "---Help", "H"}) {
        SampleRun r = run_sample({verb});
        EXPECT_EQ(r.out, listing) << verb;
        EXPECT_EQ(r.status, 0) << verb;
    }
}

// A word after the help verb filters the listing; an unknown one lists none.
TEST(PolyMain8, HelpWithFilter)
{
    SampleRun r = run_sample({"help", "SYS"});
    EXPECT_EQ(r.out, "polymain8_sample <command> [...]\n"
                     "commands:\n"
                     "  sys-stop  Stop trace driver/daemon.\n"
                     "  sysstart  Start trace driver/daemon.\n"
                     "For more help run: polymain8_sample <command> -h\n");
    r = run_sample({"help", "nosuch"});
    EXPECT_EQ(r.out, "polymain8_sample <command> [...]\ncommands:\n"
                     "For more help run: polymain8_sample <command> -h\n");
    EXPECT_EQ(r.status, 0);
}

// An unknown command is an error with suggestions only when names match.
TEST(PolyMain8, UnknownCommand)
{
    SampleRun r = run_sample({"nosuch"});
    EXPECT_EQ(r.out, "ERROR: Unknown command \"nosuch\".\n");
    EXPECT_EQ(r.status, 255);
    r = run_sample({"sys", "x"});
    EXPECT_EQ(r.out, "ERROR: Unknown command \"sys\".\nTry one of:\n  sys-stop\n  sysstart\n");
    EXPECT_EQ(r.status, 255);
    r = run_sample({"sysstop"});
    EXPECT_EQ(r.out, "ERROR: Unknown command \"sysstop\".\n");
    EXPECT_EQ(r.status, 255);
}

// The handler runs with the word as typed and its status is the exit status.
TEST(PolyMain8, SpellingsOfOneWordRunTheHandler)
{
    SampleRun r = run_sample({"SysStart", "a", "b"});
    EXPECT_EQ(r.out, "sysstart ran: [SysStart] [a] [b]\n");
    EXPECT_EQ(r.status, 3);
    for (const char* word : {"Sys-Stop", "sys_stop", "--sys stop", "SYS STOP"}) {
        r = run_sample({word});
        EXPECT_EQ(r.out, "sys-stop ran: [" + std::string(word) + "]\n") << word;
    }
}

// -h and -? after a command show its long help; --help and help reach it.
TEST(PolyMain8, HelpSwitchesAfterACommand)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"sysstart", "-h"}, {"sysstart", "-?"}, {"help", "sysstart"}, {"-h", "SYSSTART"}}) {
        SampleRun r = run_sample(args);
        EXPECT_EQ(r.out, "syntax: polymain8_sample sysstart\n") << args[0] << " " << args[1];
        EXPECT_EQ(r.status, 0);
    }
    SampleRun r = run_sample({"sys_stop", "--h"});
    EXPECT_EQ(r.out, "syntax: polymain8_sample sys-stop [now]\n");
    r = run_sample({"sysstart", "--help"});
    EXPECT_EQ(r.out, "sysstart ran: [sysstart] [--help]\n");
    r = run_sample({"sysstart", "help"});
    EXPECT_EQ(r.out, "sysstart ran: [sysstart] [help]\n");
}

// The hidden version command and the later of two equal declarations.
TEST(PolyMain8, VersionAndDuplicateNames)
{
    SampleRun r = run_sample({"version"});
    EXPECT_EQ(r.out, "23X\n");
    EXPECT_EQ(r.status, 0);
    r = run_sample({"TWICE"});
    EXPECT_EQ(r.out, "twice second ran: [TWICE]\n");
    r = run_sample({"twice", "-h"});
    EXPECT_EQ(r.out, "second Twice\n");
}

// Command-word comparison: dashes, separators and ASCII case only.
TEST(PolyMain8, CommandNameCompare)
{
    struct Case {
        const char* a;
        const char* b;
        int result;
    } cases[] = {
        {"sys-stop", "SYS_STOP", 0}, {"--sys stop", "sys-stop", 0}, {"-h", "h", 0},
        {"---", "", 0},              {"sysstop", "sys_stop", 1},    {"abc", "abd", -1},
        {"ab", "abc", -1},           {"abc", "ab", 1},              {"\xc3\x84", "\xc3\xa4", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cmd_name_cmp(c.a, c.b), c.result) << c.a << " vs " << c.b;
}

int noop_handler(int, char**)
{
    return 0;
}

// Lists stay sorted, the later of equal names first, and unregistering
// relinks both neighbours.
TEST(PolyMain8, RegistrationOrderAndRemoval)
{
    declare_main8_t* list = nullptr;
    declare_main8_t b{}, a{}, a2{}, c{};
    declare_main8_init(&b, &list, "beta", noop_handler, "", "");
    declare_main8_init(&c, &list, "Gamma", noop_handler, "", "");
    declare_main8_init(&a, &list, "alpha", noop_handler, "", "");
    declare_main8_init(&a2, &list, "ALPHA", noop_handler, "", "");
    std::vector<declare_main8_t*> order;
    for (declare_main8_t* t = list; t; t = t->next)
        order.push_back(t);
    EXPECT_EQ(order, (std::vector<declare_main8_t*>{&a2, &a, &b, &c}));
    EXPECT_EQ(declare_main8_term(&a), &a);
    EXPECT_EQ(declare_main8_term(&a), nullptr);
    EXPECT_EQ(a2.next, &b);
    EXPECT_EQ(b.prev, &a2.next);
    declare_main8_term(&a2);
    EXPECT_EQ(list, &b);
    EXPECT_EQ(b.prev, &list);
    declare_main8_term(&b);
    declare_main8_term(&c);
    EXPECT_EQ(list, nullptr);
}

// An empty build tag reads "?"; the dispatcher texts may be replaced later.
TEST(PolyMain8, EmptyBuildTagReadsAsQuestionMark)
{
    declare_main8_t* list = nullptr;
    char word[] = "version";
    char* argv[] = {word, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(poly_main8(&list, 1, argv, "prog", "App", "", nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "?\n");
}

} // namespace
