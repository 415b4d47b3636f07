// ssansinix.cpp - the locale conversions of the sized strings (user mode):
// the locale's multibyte encoding (the ssa family) to and from wide and
// UTF-8, through the C library's restartable multibyte functions. Names read
// destination first, like every conversion: ssaconv8n makes locale text of
// UTF-8, ss8convan UTF-8 of locale text.
//
// The process locale is taken from the environment (LC_CTYPE) once, on the
// first conversion; each conversion keeps its own conversion state, so the
// functions are reentrant. Results follow the rules of the other
// conversions: only whole characters are stored, the destination is
// terminated, the complete length is returned. A byte the locale cannot
// decode becomes SS_INVALID (and is skipped); a character the locale
// cannot represent becomes the byte 0x7F.
#include <climits>
#include <clocale>
#include <cwchar>
#include <mutex>

#include "sstring.h"

namespace {

void init_locale()
{
    static std::once_flag once;
    std::call_once(once, [] { std::setlocale(LC_CTYPE, ""); });
}

// Bounded output of whole characters.
template <typename T>
class WholeCharSink {
public:
    WholeCharSink(T* dest, size_t size)
        : dest_(dest), size_(dest ? size : 0), room_(size_ ? size_ - 1 : 0)
    {
    }
    void put(const T* units, size_t count)
    {
        if (stored_ == len_ && len_ + count <= room_) {
            for (size_t k = 0; k < count; k++)
                dest_[len_ + k] = units[k];
            stored_ = len_ + count;
        }
        len_ += count;
    }
    size_t finish()
    {
        if (size_ > 0)
            dest_[stored_] = 0;
        return len_;
    }

private:
    T* dest_;
    size_t size_;
    size_t room_;
    size_t len_ = 0;
    size_t stored_ = 0;
};

// Calls emit(code point) for every character of a multibyte text.
template <typename Emit>
void decode_locale(const char* src, size_t src_len, Emit emit)
{
    init_locale();
    size_t len = ss8lenn(src, src_len), i = 0;
    std::mbstate_t state{};
    while (i < len) {
        wchar_t wc = 0;
        size_t used = std::mbrtowc(&wc, src + i, len - i, &state);
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) || used == 0) {
            state = std::mbstate_t{};
            emit(SS_INVALID);
            i++;
            continue;
        }
        emit(static_cast<uint32_t>(wc));
        i += used;
    }
}

// Measure, allocate, convert: the m forms of every locale conversion.
template <typename T, typename S, typename Convert>
T* convert_m(malloc_i* ma, const S* src, size_t src_len, Convert convert)
{
    size_t len = convert(nullptr, 0, src, src_len);
    if (len >= SS_UNBOUNDED / sizeof(T) - 1)
        return nullptr;
    T* dest = static_cast<T*>(ma_alloc(ma, (len + 1) * sizeof(T)));
    if (dest)
        QP_ASSERT(convert(dest, len + 1, src, src_len) == len);
    return dest;
}

} // namespace

extern "C" size_t sswconvan(wchar_t* dest, size_t size, const char* src, size_t src_len)
{
    WholeCharSink<wchar_t> sink(dest, size);
    decode_locale(src, src_len, [&](uint32_t cp) {
        wchar_t unit = static_cast<wchar_t>(cp);
        sink.put(&unit, 1);
    });
    return sink.finish();
}

extern "C" size_t ss8convan(char* dest, size_t size, const char* src, size_t src_len)
{
    WholeCharSink<char> sink(dest, size);
    decode_locale(src, src_len, [&](uint32_t cp) {
        char units[8];
        size_t count = 0;
        ss8pushchar(units, sizeof units, &count, cp);
        sink.put(units, count);
    });
    return sink.finish();
}

// Encodes characters in the locale's multibyte form into a sink; next(&cp)
// gives the next code point and false at the end.
template <typename Next>
size_t encode_locale(char* dest, size_t size, Next next)
{
    init_locale();
    WholeCharSink<char> sink(dest, size);
    std::mbstate_t state{};
    uint32_t cp = 0;
    while (next(&cp)) {
        char units[MB_LEN_MAX];
        size_t count = cp > WCHAR_MAX ? static_cast<size_t>(-1)
                                      : std::wcrtomb(units, static_cast<wchar_t>(cp), &state);
        if (count == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            units[0] = 0x7F;
            count = 1;
        }
        sink.put(units, count);
    }
    return sink.finish();
}

extern "C" size_t ssaconvwn(char* dest, size_t size, const wchar_t* src, size_t src_len)
{
    size_t len = sswlenn(src, src_len), i = 0;
    return encode_locale(dest, size, [&](uint32_t* cp) {
        if (i >= len)
            return false;
        *cp = static_cast<uint32_t>(src[i++]);
        return true;
    });
}

extern "C" size_t ssaconv8n(char* dest, size_t size, const char* src, size_t src_len)
{
    size_t len = ss8lenn(src, src_len), i = 0;
    return encode_locale(dest, size, [&](uint32_t* cp) {
        if (i >= len)
            return false;
        *cp = ss8pullchar(src, len, i, &i);
        return true;
    });
}

extern "C" wchar_t* sswconvamn(malloc_i* ma, const char* src, size_t src_len)
{
    return convert_m<wchar_t>(ma, src, src_len, sswconvan);
}

extern "C" wchar_t* sswconvam(malloc_i* ma, const char* src)
{
    return sswconvamn(ma, src, SS_UNBOUNDED);
}

extern "C" char* ss8convamn(malloc_i* ma, const char* src, size_t src_len)
{
    return convert_m<char>(ma, src, src_len, ss8convan);
}

extern "C" char* ss8convam(malloc_i* ma, const char* src)
{
    return ss8convamn(ma, src, SS_UNBOUNDED);
}

extern "C" char* ssaconvwmn(malloc_i* ma, const wchar_t* src, size_t src_len)
{
    return convert_m<char>(ma, src, src_len, ssaconvwn);
}

extern "C" char* ssaconvwm(malloc_i* ma, const wchar_t* src)
{
    return ssaconvwmn(ma, src, SS_UNBOUNDED);
}

extern "C" char* ssaconv8mn(malloc_i* ma, const char* src, size_t src_len)
{
    return convert_m<char>(ma, src, src_len, ssaconv8n);
}

extern "C" char* ssaconv8m(malloc_i* ma, const char* src)
{
    return ssaconv8mn(ma, src, SS_UNBOUNDED);
}
