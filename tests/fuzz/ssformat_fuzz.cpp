// Fuzz target of the format engine: random formats for both engines at a
// random destination size, with a fixed argument list that no format can
// run past.
//
// Input layout: byte 0 is the destination size (0-255, a heap block of
// exactly that many units, so AddressSanitizer sees any store past it),
// the rest the format, at most 64 units. The UTF-8 engine takes the bytes
// as they are; the wide engine takes each byte as a unit, bytes 0x80 and
// above spread to code points up to 0xFFFF (surrogates included).
//
// Arguments: every directive takes at least one format unit per argument it
// reads (a '*' or its conversion), so 64 arguments cover any 64-unit
// format. Each argument is the address of its own 64-byte block, which
// reads as a valid UTF-8 string, wide string and GUID, and takes any %n
// store (at most 8 bytes, after which the block is still terminated); an
// integer directive reads the address bits.
//
// Checks: the bounded call reports the measured length, stores a prefix of
// the output of a large buffer, terminates at min(length, size - 1); the
// allocating form returns the same text.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ssformat.h"

namespace {

constexpr size_t kMaxFormatUnits = 64;
constexpr size_t kLargeUnits = 4096;

struct alignas(16) ArgBlock {
    unsigned char bytes[64];
};

ArgBlock gBlocks[kMaxFormatUnits];
void* gArgs[kMaxFormatUnits];

// Text of the blocks: ASCII, a two-byte and a three-byte character, an
// invalid byte; the second half stays zero for both string kinds.
const unsigned char kBlockText[] = "ab\xC3\xA9\xE2\x82\xAC\xFFxyz0123456789ABCDEF";

void ResetBlocks()
{
    for (size_t i = 0; i < kMaxFormatUnits; ++i) {
        std::memset(gBlocks[i].bytes, 0, sizeof gBlocks[i].bytes);
        std::memcpy(gBlocks[i].bytes, kBlockText, sizeof kBlockText - 1);
        gBlocks[i].bytes[0] = (unsigned char)('a' + i % 26);
        gArgs[i] = gBlocks[i].bytes;
    }
}

#define FUZZ_ARGS8(i)                                                                              \
    a[i], a[i + 1], a[i + 2], a[i + 3], a[i + 4], a[i + 5], a[i + 6], a[i + 7]
#define FUZZ_ARGS64                                                                                \
    FUZZ_ARGS8(0), FUZZ_ARGS8(8), FUZZ_ARGS8(16), FUZZ_ARGS8(24), FUZZ_ARGS8(32), FUZZ_ARGS8(40),  \
        FUZZ_ARGS8(48), FUZZ_ARGS8(56)

template <typename Unit>
size_t FormatN(Unit* dest, size_t size, const Unit* format)
{
    void** a = gArgs;
    if constexpr (sizeof(Unit) == 1)
        return ss8formatn(dest, size, format, FUZZ_ARGS64);
    else
        return sswformatn(dest, size, format, FUZZ_ARGS64);
}

template <typename Unit>
Unit* FormatM(malloc_i* ma, const Unit* format)
{
    void** a = gArgs;
    if constexpr (sizeof(Unit) == 1)
        return ss8formatm(ma, format, FUZZ_ARGS64);
    else
        return sswformatm(ma, format, FUZZ_ARGS64);
}

template <typename Unit>
void Check(const Unit* format, size_t size)
{
    static Unit large[kLargeUnits];
    ResetBlocks();
    size_t length = FormatN(large, kLargeUnits, format);
    ResetBlocks();
    Unit* dest = static_cast<Unit*>(std::malloc(size ? size * sizeof(Unit) : 1));
    if (FormatN(dest, size, format) != length)
        std::abort();
    if (size) {
        size_t end = length < size ? length : size - 1;
        if (dest[end] != 0 || std::memcmp(dest, large, end * sizeof(Unit)) != 0)
            std::abort();
    }
    std::free(dest);
    if (length >= kLargeUnits)
        return;
    ResetBlocks();
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    Unit* text = FormatM(&heap.vtbl, format);
    if (!text || std::memcmp(text, large, (length + 1) * sizeof(Unit)) != 0)
        std::abort();
    free_d(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t destSize = data[0];
    size_t units = size - 1 < kMaxFormatUnits ? size - 1 : kMaxFormatUnits;
    char format8[kMaxFormatUnits + 1];
    wchar_t formatw[kMaxFormatUnits + 1];
    for (size_t i = 0; i < units; ++i) {
        unsigned char byte = data[1 + i];
        format8[i] = (char)byte;
        formatw[i] = byte < 0x80 ? byte : (wchar_t)(byte * 0x101u);
    }
    format8[units] = 0;
    formatw[units] = 0;
    Check(format8, destSize);
    Check(formatw, destSize);
    return 0;
}
