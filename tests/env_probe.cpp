// env_probe - a small program for the process-record tests: records its
// arguments like every program does and prints what it learnt about itself
// as key=value lines. A handler registered before anything is computed runs
// after the record was released and prints what the getters return then.
#include <cstdio>
#include <cstdlib>

#include "qpsys.h"

namespace {

void print_after_exit()
{
    std::printf("after_exit_file=%s\nafter_exit_command=%s\n", env_get_exec_file(),
                env_get_command());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    std::atexit(print_after_exit);
    proc_set_argv_main(argc, argv);
    const char* underscore = env_get_val("_");
    std::printf("exec_file=%s\nexec_folder=%s\ncommand=%s\nunderscore=%s\nhome=%s\n"
                "wide_command=%ls\n",
                env_get_exec_file(), env_get_exec_folder(), env_get_command(),
                underscore ? underscore : "<unset>", env_get_home_folder(), proc_get_command());
    return 0;
}
