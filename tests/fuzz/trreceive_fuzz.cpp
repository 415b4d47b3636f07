// Fuzz target of TraceReceive, the driver's request decoder: random
// function codes, inputs and output rooms on one buffer for input and
// output, as the driver passes them. The buffer is exactly as large as the
// larger of the two sizes, so AddressSanitizer catches any access past it;
// the output size must never exceed the room.
//
// Input layout: byte 0 picks the code (the known codes and their
// neighbours), bytes 1-2 the output room (little-endian, up to 65,535),
// the rest is the request's input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "traceio.h"
#include "traces.h"

namespace {

const int kCodes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 76, 75, -1,
                      TRACEIOWAIT, TRACEIOREADLINES, 19, 22};

bool Known(int code)
{
    return (code >= 0 && code <= 13) || code == 76 || code == TRACEIOWAIT ||
           code == TRACEIOREADLINES;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool started = (trbuffer_initializer(), true);
    (void)started;
    if (size < 3)
        return 0;
    int code = kCodes[data[0] % (sizeof kCodes / sizeof kCodes[0])];
    size_t maxOutputSize = size_t(data[1]) | size_t(data[2]) << 8;
    const uint8_t* input = data + 3;
    size_t inputSize = size - 3;
    size_t bufferSize = inputSize > maxOutputSize ? inputSize : maxOutputSize;
    // malloc aligns as the driver's buffers are; not rounded up, so that a
    // read or write even one byte past the buffer is caught. At least one
    // byte, so that the pointer is valid even for empty requests.
    auto* buffer = static_cast<unsigned char*>(std::malloc(bufferSize ? bufferSize : 1));
    if (!buffer)
        return 0;
    std::memcpy(buffer, input, inputSize);
    size_t outputSize = SIZE_MAX;
    int known = TraceReceive(nullptr, code, buffer, inputSize, buffer, maxOutputSize, &outputSize);
    if (outputSize > maxOutputSize || (!known && outputSize != 0) || known != Known(code))
        std::abort();
    std::free(buffer);
    return 0;
}
