// Benchmarks of the sized strings against the C library in the same run:
// Unicode case-insensitive comparison (ss8u5cmpi) against strcasecmp on two
// 64-byte mixed-case texts that are equal but for case, and UTF-8 to wide
// conversion (sswconv8n) of 1 KiB of mixed-script text against mbsrtowcs
// under a UTF-8 locale. Bytes per second are the UTF-8 input consumed.
#include <benchmark/benchmark.h>

#include <clocale>
#include <cstring>
#include <cwchar>
#include <string>
#include <strings.h>

#include "sstring.h"

namespace {

const char kUpper[] = "The Quick Brown Fox Jumps Over The Lazy Dog While Zebras Watch!!";
const char kLower[] = "tHE qUICK bROWN fOX jUMPS oVER tHE lAZY dOG wHILE zEBRAS wATCH!!";
static_assert(sizeof kUpper - 1 == 64 && sizeof kLower - 1 == 64, "64-byte texts");

void BM_strcasecmp(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(strcasecmp(kUpper, kLower));
    state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_strcasecmp);

void BM_ss8u5cmpi(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ss8u5cmpi(kUpper, kLower));
    state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_ss8u5cmpi);

void BM_ss8asciicmpi(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ss8asciicmpi(kUpper, kLower));
    state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_ss8asciicmpi);

// 1 KiB of Latin, Cyrillic, Greek, CJK and emoji text (whole characters).
std::string mixed_script_kib()
{
    const std::string pieces[] = {"plain ascii words ", "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 ",
                                  "\xce\xb1\xce\xb2\xce\xb3 ", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e ",
                                  "\xf0\x9f\x98\x80 ", "caf\xc3\xa9 "};
    std::string text;
    for (size_t k = 0;; k++) {
        const std::string& piece = pieces[k % 6];
        if (text.size() + piece.size() > 1024)
            break;
        text += piece;
    }
    text.append(1024 - text.size(), '.');
    return text;
}

void BM_mbsrtowcs(benchmark::State& state)
{
    std::string text = mixed_script_kib();
    if (!setlocale(LC_CTYPE, "C.UTF-8")) {
        state.SkipWithError("no C.UTF-8 locale");
        return;
    }
    wchar_t out[1100];
    for (auto _ : state) {
        const char* src = text.c_str();
        mbstate_t st{};
        benchmark::DoNotOptimize(mbsrtowcs(out, &src, 1100, &st));
    }
    state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_mbsrtowcs);

void BM_ss8convwn(benchmark::State& state)
{
    std::string text = mixed_script_kib();
    wchar_t out[1100];
    for (auto _ : state)
        benchmark::DoNotOptimize(sswconv8n(out, 1100, text.c_str(), SS_UNBOUNDED));
    state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_ss8convwn);

} // namespace
