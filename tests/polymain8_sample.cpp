// A small multi-command program for the dispatcher's black-box tests: one
// command whose help texts come from registered ids (null in the
// declaration), one with literal help, one with an empty long help (never
// listed) and one name declared twice (the later declaration wins).
#include <cstdio>

#include "qppolymain8.h"
#include "usertext.h"

namespace {

int report(const char* who, int argc, char** argv)
{
    printf("%s ran:", who);
    for (int i = 0; i < argc; i++)
        printf(" [%s]", argv[i]);
    printf("\n");
    return 3;
}

int run_sysstart(int argc, char** argv)
{
    return report("sysstart", argc, argv);
}
int run_sysstop(int argc, char** argv)
{
    return report("sys-stop", argc, argv);
}
int run_quiet(int argc, char** argv)
{
    return report("quiet", argc, argv);
}
int run_twice_first(int argc, char** argv)
{
    return report("twice first", argc, argv);
}
int run_twice_second(int argc, char** argv)
{
    return report("twice second", argc, argv);
}

UTDEF(ut_sysstart_short, "sysstart_short_help", "Start trace driver/daemon.\n");
UTDEF(ut_sysstart_long, "sysstart_long_help", "syntax: %(command_name) %1\n");

declare_main8_c decl_sysstart(nullptr, "sysstart", run_sysstart, nullptr, nullptr);
declare_main8_c decl_sysstop(nullptr, "sys-stop", run_sysstop, "Stop trace driver/daemon.\n",
                             "syntax: %(command_name) %1 [now]\n");
declare_main8_c decl_quiet(nullptr, "quiet", run_quiet, "Not listed.\n", "");
declare_main8_c decl_twice_first(nullptr, "twice", run_twice_first, "First.\n", "first\n");
declare_main8_c decl_twice_second(nullptr, "Twice", run_twice_second, "Second.\n", "second %1\n");

int main8(int argc, char** argv8)
{
    return poly_main8(nullptr, argc - 1, argv8 + 1, env_get_command(),
                      "Sample Tool - Velkor Trace Tool", "23X",
                      "Copyright (c) 2026 The qptrace developers");
}

} // namespace

int main(int argc, char** argv)
{
    return poly_main_entry(argc, argv, main8);
}
