// Fuzz target of the daemon's start-request check: any bytes are refused or
// split into argc texts and a folder that lie inside the data, and the
// check agrees with an independent count of the texts' terminators.
#include <cstdint>
#include <cstring>

#include "qpsysexecd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qp_scratch_pool pool;
    qpsysexec_exec_args_t args;
    int err = qpsysexec_exec_parse(pool.ma(), data, size, 4, &args);
    if (size < 8) {
        QP_ASSERT(err);
        return 0;
    }
    int32_t argc = static_cast<int32_t>(data[0] | data[1] << 8 | data[2] << 16 |
                                        static_cast<uint32_t>(data[3]) << 24);
    size_t zeros = 0;
    for (size_t i = 4; i < size; i++)
        zeros += data[i] == 0;
    bool well_formed = size <= qpsysexec_exec_max_input_size && argc >= 1 && argc <= 1000 &&
                       zeros >= static_cast<size_t>(argc);
    QP_ASSERT(well_formed == (err == 0));
    if (!err) {
        size_t total = 0;
        for (int i = 0; i < args.argc; i++)
            total += strlen(args.argv[i]) + 1;
        QP_ASSERT(args.argv[args.argc] == nullptr);
        QP_ASSERT(total + strlen(args.folder) <= size - 4);
    }
    return 0;
}
