// qpinst_probe - runs one install step named on its command line, prints
// its texts as they come and then "err=<status error>". The host and VM
// tests of the approval and kernel-module steps drive it.
//
//   qpinst_probe approve <folder> <name> | revoke <folder> <name>
//              | update <name> [load] | load <name>
//              | copy_kernel <src folder> <name> | delete_kernel <name>
#include <cstdio>
#include <cstring>

#include "qpinst.h"
#include "qpsys.h"

namespace {

void print_text(qpinst_stat_t*, const char* text)
{
    fputs(text, stdout);
    fflush(stdout);
}

bool is(const char* arg, const char* step, int argc, int want)
{
    return strcmp(arg, step) == 0 && argc >= want;
}

} // namespace

int main(int argc, char** argv)
{
    proc_set_argv_main(argc, argv);
    qpinst_stat_t st = {print_text, false, 0};
    const char* step = argc > 1 ? argv[1] : "";
    if (is(step, "approve", argc, 4))
        qpinst_set_run_as_root(&st, argv[2], argv[3]);
    else if (is(step, "revoke", argc, 4))
        qpinst_reset_run_as_root(&st, argv[2], argv[3]);
    else if (is(step, "update", argc, 3))
        qpinst_update_kmod(&st, argv[2], argc > 3 && strcmp(argv[3], "load") == 0);
    else if (is(step, "load", argc, 3))
        st.err = f8_load_kernel(argv[2]);
    else if (is(step, "copy_kernel", argc, 4))
        qpinst_copy_kernel(&st, argv[2], argv[3]);
    else if (is(step, "delete_kernel", argc, 3))
        qpinst_delete_kernel(&st, argv[2]);
    else {
        fprintf(stderr, "qpinst_probe: unknown step or missing arguments\n");
        return 2;
    }
    printf("err=%d\n", st.err);
    return 0;
}
