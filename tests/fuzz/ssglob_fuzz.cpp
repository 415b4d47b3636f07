// Fuzz target of the wildcard matchers: the input is a filter and a name
// separated by a zero byte. Every matcher and sub-family must answer 0 or 1
// without faults, and the answers must agree where the rules say they do:
// a filter without wildcards matches exactly the equal name, xglob2 with a
// name free of wildcards answers like xglob, and xglob2 is symmetric.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sstring.h"

namespace {

// Stops with the failing line, so a crash report names the broken rule.
void check_at(bool ok, int line)
{
    if (!ok) {
        fprintf(stderr, "check failed at line %d\n", line);
        abort();
    }
}
#define check(ok) check_at((ok), __LINE__)

bool has_wildcards(const std::string& s)
{
    return s.find_first_of("*?<>\"") != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Long xglob2 patterns can backtrack exponentially; keep them short.
    if (size > 96)
        return 0;
    std::string input((const char*)data, size);
    size_t zero = input.find('\0');
    std::string filter = input.substr(0, zero);
    std::string name = zero == std::string::npos ? std::string() : input.substr(zero + 1);
    name = name.substr(0, name.find('\0'));
    const char* f = filter.c_str();
    const char* n = name.c_str();

    int (*const matchers[])(const char*, const char*) = {
        ss8glob,         ss8globdos,   ss8xglob,        ss8xglob2,       ss8asciiglobi,
        ss8asciiglobdosi, ss8asciixglobi, ss8asciixglob2i, ss8u5globi,      ss8u5globdosi,
        ss8u5xglobi,     ss8u5xglob2i};
    for (auto match : matchers) {
        int r = match(f, n);
        check(r == 0 || r == 1);
    }
    check(ss8globn(f, filter.size() / 2, n, SS_UNBOUNDED) <= 1);

    if (!has_wildcards(filter)) {
        check(ss8glob(f, n) == (ss8cmp(f, n) == 0));
        check(ss8xglob(f, n) == (ss8cmp(f, n) == 0));
        check(ss8u5globi(f, n) == (ss8u5cmpi(f, n) == 0));
    }
    if (!has_wildcards(name))
        check(ss8xglob2(f, n) == ss8xglob(f, n));
    check(ss8xglob2(f, n) == ss8xglob2(n, f) || filter.size() + name.size() > 48);
    return 0;
}
