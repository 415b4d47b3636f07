// Benchmark of the local process object against its POSIX baseline in the
// same run: start /bin/true and wait for its exit code, through the object
// (search, waiter thread, fork, descriptor clean-up, execve) and through
// posix_spawn + waitpid. Wall time counts: the work is in the kernel and in
// the child.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qpsys.h"

extern char** environ;

namespace {

const char* const true_program = "/bin/true";

void BM_ExecLocalTrue(benchmark::State& state)
{
    const char* argv[] = {true_program, nullptr};
    for (auto _ : state) {
        f8_exec_i* e;
        if (f8_exec_factory(&e)) {
            state.SkipWithError("factory failed");
            break;
        }
        int err = (*e)->start(e, argv);
        int code = err ? -1 : (*e)->get_exit_code(e);
        (*e)->release(e);
        if (code != 0) {
            state.SkipWithError("start failed");
            break;
        }
    }
}
BENCHMARK(BM_ExecLocalTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_PosixSpawnTrue(benchmark::State& state)
{
    char* argv[] = {const_cast<char*>(true_program), nullptr};
    for (auto _ : state) {
        pid_t pid;
        int status = 0;
        if (posix_spawn(&pid, true_program, nullptr, nullptr, argv, environ) != 0 ||
            waitpid(pid, &status, 0) != pid || status != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
    }
}
BENCHMARK(BM_PosixSpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
