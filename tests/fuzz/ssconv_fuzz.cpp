// Fuzz target of the encoding conversions: arbitrary bytes as UTF-8 (and as
// UTF-16 and wide units) through every conversion, with destination sizes
// taken from the input. Checks that the measured length equals the
// converted length, that a cut result is a whole-character prefix of the
// full result, and that valid UTF-8 survives every round trip.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sstring.h"

namespace {

qp_heap_ma_t heap = QP_HEAP_MA_INIT;
malloc_i* const ma = &heap.vtbl;

// Stops with the failing line, so a crash report names the broken rule.
void check_at(bool ok, int line)
{
    if (!ok) {
        fprintf(stderr, "check failed at line %d\n", line);
        abort();
    }
}
#define check(ok) check_at((ok), __LINE__)

// Valid UTF-8 in shortest form without encoded surrogates (the pull takes
// over-long forms and surrogates, the push and the wide pull do not).
bool round_trips(const char* text, size_t len)
{
    size_t i = 0, next;
    uint32_t cp;
    if (ss8lenn(text, len) != len)
        return false;
    for (; (cp = ss8pullchar(text, len, i, &next)) != 0; i = next) {
        size_t pushed = 0;
        ss8pushchar(nullptr, 0, &pushed, cp);
        if (cp == SS_INVALID || (cp >= 0xD800 && cp <= 0xDFFF) || pushed != next - i)
            return false;
    }
    return i == len;  // not ended early by an over-long zero
}

void check_utf8_route(const char* text, size_t len, size_t cut)
{
    size_t wide_len = sswconv8lenn(text, len);
    std::vector<wchar_t> wide(wide_len + 1);
    check(sswconv8n(wide.data(), wide.size(), text, len) == wide_len);
    check(wide[wide_len] == 0);

    // Back to UTF-8, whole and cut.
    size_t back_len = ss8convwlenn(wide.data(), SS_UNBOUNDED);
    std::string back(back_len + 1, '\0');
    check(ss8convwn(&back[0], back.size(), wide.data(), SS_UNBOUNDED) == back_len);
    std::vector<char> part(cut + 1, 'x');
    check(ss8convwn(part.data(), cut, wide.data(), SS_UNBOUNDED) == back_len);
    if (cut > 0) {
        size_t stored = ss8lenn(part.data(), cut);
        check(stored < cut && memcmp(part.data(), back.data(), stored) == 0);
        check(ss8isvalidn(part.data(), stored) || !ss8isvalidn(back.data(), back_len));
    }
    if (round_trips(text, len))
        check(back_len == len && memcmp(back.data(), text, len) == 0);

    // UTF-16 and UTF-32 give the same characters.
    size_t u16_len = ss16conv8lenn(text, len), u32_len = ss32conv8lenn(text, len);
    check(u32_len == wide_len);
    uint16_t* u16 = ss16conv8mn(ma, text, len);
    uint32_t* u32 = ss32conv8mn(ma, text, len);
    if (u16 && u32) {
        char* from16 = ss8conv16m(ma, u16);
        char* from32 = ss8conv32m(ma, u32);
        check(from32 && ss8len(from32) == back_len && memcmp(from32, back.data(), back_len) == 0);
        check(from16 && ss8len(from16) == ss8conv16len(u16) && u16[u16_len] == 0);
        free_dh(from16);
        free_dh(from32);
    }
    free_dh(u16);
    free_dh(u32);

    // Exact forms store whole characters and never terminate.
    std::vector<wchar_t> exact(cut + 1, L'#');
    size_t exact_len = sswconvb8n(exact.data(), cut, text, len);
    check(exact[cut] == L'#');
    check(exact_len >= wide_len);

    // Folding never grows a character beyond its UTF-8 maximum.
    char folded[64];
    size_t fold_len = ss8u5foldn(folded, sizeof folded, text, len);
    check(ss8lenn(folded, sizeof folded) <= fold_len);
}

void check_unit_routes(const uint8_t* data, size_t size, size_t cut)
{
    std::vector<uint16_t> u16(size / 2 + 1, 0);
    memcpy(u16.data(), data, size / 2 * 2);
    std::vector<char> out(cut + 1, 'x');
    size_t len = ss8conv16n(out.data(), cut, u16.data(), u16.size() - 1);
    check(len == ss8conv16lenn(u16.data(), u16.size() - 1));
    if (cut > 0)
        check(ss8lenn(out.data(), cut) < cut);

    std::vector<wchar_t> wide(size / 4 + 1, 0);
    memcpy(wide.data(), data, size / 4 * 4);
    len = ss8convwn(out.data(), cut, wide.data(), wide.size() - 1);
    check(len == ss8convwlenn(wide.data(), wide.size() - 1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t cut = data[0] % 24;
    const char* text = (const char*)data + 1;
    check_utf8_route(text, size - 1, cut);
    check_unit_routes(data + 1, size - 1, cut);
    return 0;
}
