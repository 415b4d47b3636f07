/*
 * sstring.c - the character primitives of the sized strings: one pull and
 * one push per encoding (UTF-8 with the 31-bit scheme, wide, UTF-16,
 * UTF-32), the character tests, the shared constants and the djb2 hash.
 *
 * Every other string operation reads and writes characters through these
 * functions, so their rules are the rules of the whole library:
 * - pulling at or past the bound (or from a null text) gives 0 and leaves
 *   the index; an invalid sequence gives SS_INVALID and consumes one unit;
 * - pushing always advances the length by the character's full length and
 *   stores units only below the destination size (a sequence may be stored
 *   in part; callers that must not cut a character track the last length
 *   that fit).
 * No state, no allocation; the same source builds for user mode and the
 * kernel.
 */
#include "sstring.h"

/* ---- UTF-8 ------------------------------------------------------------ */

uint32_t ss8pullchar(const char* text, size_t len, size_t index, size_t* next)
{
    const unsigned char* s = (const unsigned char*)text;
    uint32_t lead, cp;
    size_t count, i;

    if (!s || index >= len) {
        *next = index;
        return 0;
    }
    lead = s[index];
    if (lead < 0x80) {
        *next = index + 1;
        return lead;
    }
    if (lead >= 0xC0 && lead <= 0xDF) {
        count = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 2;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        count = 3;
        cp = lead & 0x07;
    } else {
        *next = index + 1;
        return SS_INVALID;
    }
    for (i = 1; i <= count; i++) {
        /* A terminator is no continuation byte, so a cut sequence stops here
         * without reading past the text's end. */
        if (index + i >= len || (s[index + i] & 0xC0) != 0x80) {
            *next = index + 1;
            return SS_INVALID;
        }
        cp = (cp << 6) | (s[index + i] & 0x3F);
    }
    *next = index + count + 1;
    return cp;
}

void ss8pushchar(char* dest, size_t size, size_t* len, uint32_t cp)
{
    /* Lead byte marks by sequence length (index = continuation count). */
    static const unsigned char lead_mark[6] = {0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
    size_t pos = *len, count, i;

    if (cp < 0x80)
        count = 0;
    else if (cp <= 0x7FF)
        count = 1;
    else if (cp <= 0xFFFF)
        count = 2;
    else if (cp <= 0x1FFFFF)
        count = 3;
    else if (cp <= 0x3FFFFFF)
        count = 4;
    else if (cp <= 0x7FFFFFFE)
        count = 5;
    else {
        if (dest && pos < size)
            dest[pos] = (char)0xFF;
        *len = pos + 1;
        return;
    }
    if (dest) {
        for (i = count; i > 0; i--) {
            if (pos + i < size)
                dest[pos + i] = (char)(0x80 | (cp & 0x3F));
            cp >>= 6;
        }
        if (pos < size)
            dest[pos] = (char)(lead_mark[count] | cp);
    }
    *len = pos + count + 1;
}

/* The pulls built on a family's pull P: from a moving pointer, and with
 * a-z folded to A-Z. */
#define SS_DERIVED_PULLS(P, T)                                                                     \
    uint32_t P##cpullchar(const T** text)                                                          \
    {                                                                                              \
        size_t next;                                                                               \
        uint32_t cp = P##pullchar(*text, SS_UNBOUNDED, 0, &next);                                  \
        if (cp != 0)                                                                               \
            *text += next;                                                                         \
        return cp;                                                                                 \
    }                                                                                              \
    uint32_t P##pullasciiupfoldchar(const T* text, size_t len, size_t index, size_t* next)         \
    {                                                                                              \
        return ss8asciiupper(P##pullchar(text, len, index, next));                                 \
    }

SS_DERIVED_PULLS(ss8, char)

uint32_t ss8cpullasciiupfoldchar(const char** text)
{
    return ss8asciiupper(ss8cpullchar(text));
}

uint32_t ss8pullasciiupfoldbyte(const char* text, size_t len, size_t index, size_t* next)
{
    if (!text || index >= len) {
        *next = index;
        return 0;
    }
    *next = index + 1;
    return ss8asciiupper((unsigned char)text[index]);
}

/* ---- wide and UTF-32: one unit per code point --------------------------- */

static uint32_t ss_pull_unit32(uint32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDFFF ? SS_INVALID : unit;
}

uint32_t sswpullchar(const wchar_t* text, size_t len, size_t index, size_t* next)
{
    if (!text || index >= len) {
        *next = index;
        return 0;
    }
    *next = index + 1;
    return ss_pull_unit32((uint32_t)text[index]);
}

void sswpushchar(wchar_t* dest, size_t size, size_t* len, uint32_t cp)
{
    if (dest && *len < size)
        dest[*len] = (wchar_t)cp;
    *len += 1;
}

SS_DERIVED_PULLS(ssw, wchar_t)

uint32_t ss32pullchar(const uint32_t* text, size_t len, size_t index, size_t* next)
{
    if (!text || index >= len) {
        *next = index;
        return 0;
    }
    *next = index + 1;
    return ss_pull_unit32(text[index]);
}

void ss32pushchar(uint32_t* dest, size_t size, size_t* len, uint32_t cp)
{
    if (dest && *len < size)
        dest[*len] = cp;
    *len += 1;
}

/* ---- UTF-16 ---------------------------------------------------------------- */

uint32_t ss16pullchar(const uint16_t* text, size_t len, size_t index, size_t* next)
{
    uint32_t high, low;

    if (!text || index >= len) {
        *next = index;
        return 0;
    }
    high = text[index];
    *next = index + 1;
    if (high < 0xD800 || high > 0xDFFF)
        return high;
    if (high > 0xDBFF || index + 1 >= len)
        return SS_INVALID;
    low = text[index + 1];
    if (low < 0xDC00 || low > 0xDFFF)
        return SS_INVALID;
    *next = index + 2;
    return (((high & 0x3FF) << 10) | (low & 0x3FF)) + 0x10000;
}

void ss16pushchar(uint16_t* dest, size_t size, size_t* len, uint32_t cp)
{
    size_t pos = *len;

    if (cp >= 0x10000 && cp <= 0x10FFFF) {
        cp -= 0x10000;
        if (dest && pos < size)
            dest[pos] = (uint16_t)(0xD800 | (cp >> 10));
        if (dest && pos + 1 < size)
            dest[pos + 1] = (uint16_t)(0xDC00 | (cp & 0x3FF));
        *len = pos + 2;
        return;
    }
    if (dest && pos < size)
        dest[pos] = cp > 0xFFFF ? 0xFFFF : (uint16_t)cp;
    *len = pos + 1;
}

/* ---- character tests --------------------------------------------------- */

int ss8isdigit(uint32_t cp)
{
    return cp >= '0' && cp <= '9';
}

int ss8ishexdigit(uint32_t cp)
{
    return ss8isdigit(cp) || (cp >= 'a' && cp <= 'f') || (cp >= 'A' && cp <= 'F');
}

int ss8isspace(uint32_t cp)
{
    return cp == ' ' || (cp >= '\t' && cp <= '\r');
}

uint32_t ss8asciilower(uint32_t cp)
{
    return cp >= 'A' && cp <= 'Z' ? cp + ('a' - 'A') : cp;
}

uint32_t ss8asciiupper(uint32_t cp)
{
    return cp >= 'a' && cp <= 'z' ? cp - ('a' - 'A') : cp;
}

int ss8asciiisalpha(uint32_t cp)
{
    return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
}

int ss8asciiisalnum(uint32_t cp)
{
    return ss8asciiisalpha(cp) || ss8isdigit(cp);
}

int ssu5iscombining(uint32_t cp)
{
    return cp >= 0x300 && cp <= 0x36F;
}

/* ---- constants ----------------------------------------------------------- */

/* Each constant once per family, from one list. */
#define SS_CONSTANTS(X)                                                                            \
    X(empty, "") X(zero, "0") X(zerox, "0x0") X(false, "false") X(true, "true") X(yes, "yes")      \
    X(no, "no") X(on, "on") X(off, "off") X(enable, "enable") X(disable, "disable")               \
    X(enabled, "enabled") X(disabled, "disabled") X(y, "y") X(n, "n") X(t, "t") X(f, "f")          \
    X(e, "e") X(d, "d") X(quot, "&quot;") X(amp, "&amp;") X(apos, "&apos;") X(lt, "&lt;")          \
    X(gt, "&gt;")
#define SS_MONTHS(X)                                                                               \
    X("january") X("february") X("march") X("april") X("may") X("june") X("july")                  \
    X("august") X("september") X("october") X("november") X("december")

#define SS8_CONST(name, text) const char ss8const_##name[] = text;
#define SSW_CONST(name, text) const wchar_t sswconst_##name[] = L##text;
#define SS8_MONTH(text)       text,
#define SSW_MONTH(text)       L##text,
SS_CONSTANTS(SS8_CONST)
SS_CONSTANTS(SSW_CONST)
const char* const ss8const_months[12] = {SS_MONTHS(SS8_MONTH)};
const wchar_t* const sswconst_months[12] = {SS_MONTHS(SSW_MONTH)};

const char ss8const_hexlower[19] = "0123456789abcdef0x";
const char ss8const_hexupper[19] = "0123456789ABCDEF0X";

/* ---- hash -------------------------------------------------------------------- */

uint32_t ssdjb2hashn(const char* text, size_t len)
{
    uint32_t hash = 5381;
    size_t i;

    for (i = 0; text && i < len && text[i]; i++)
        hash = hash * 33 + (unsigned char)text[i];
    return hash;
}

uint32_t ssdjb2hash(const char* text)
{
    return ssdjb2hashn(text, SS_UNBOUNDED);
}
