// Fuzz target of the log pump: any bytes a command writes come out as the
// lines a plain splitter finds (ends at a line feed or NUL, one '\r' before
// an end dropped, a last line without an end kept), whatever the 21-byte
// buffers cut.
#include <cstdint>
#include <string>
#include <unistd.h>
#include <vector>

#include "qperr.h"
#include "qpinst.h"

namespace {

std::vector<std::string> split(const std::string& data)
{
    std::vector<std::string> lines;
    std::string line;
    auto end_line = [&] {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        line.clear();
    };
    for (char c : data) {
        if (c == '\n' || c == 0)
            end_line();
        else
            line += c;
    }
    if (!line.empty())
        end_line();
    return lines;
}

void collect(void* context, const char* line, bool)
{
    static_cast<std::vector<std::string>*>(context)->push_back(line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    // Written whole before the pump reads: stay below a pipe's capacity.
    if (size > 60000)
        return 0;
    std::string data(reinterpret_cast<const char*>(bytes), size);
    int fds[2];
    QP_ASSERT(pipe(fds) == 0);
    QP_ASSERT(write(fds[1], data.data(), size) == static_cast<ssize_t>(size));
    close(fds[1]);
    std::vector<std::string> lines;
    int err = qpinst_log_pump(fds[0], nullptr, collect, &lines);
    close(fds[0]);
    QP_ASSERT(err == err_end_of_data);
    QP_ASSERT(lines == split(data));
    return 0;
}
