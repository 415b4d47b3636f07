/*
 * sstring.c - the exported character primitives of the sized strings (one
 * pull and one push per encoding, defined inline in sschars.h), the pulls
 * derived from them, the character tests, the shared constants and the
 * djb2 hash. No state, no allocation; the same source builds for user mode
 * and the kernel.
 */
#include "sschars.h"

/* ---- the exported primitives ---------------------------------------- */

#define SS_EXPORT_PRIMITIVES(P, T)                                                                 \
    uint32_t P##pullchar(const T* text, size_t len, size_t index, size_t* next)                    \
    {                                                                                              \
        return P##_pull(text, len, index, next);                                                   \
    }                                                                                              \
    void P##pushchar(T* dest, size_t size, size_t* len, uint32_t cp)                               \
    {                                                                                              \
        P##_push(dest, size, len, cp);                                                             \
    }

SS_EXPORT_PRIMITIVES(ss8, char)
SS_EXPORT_PRIMITIVES(ssw, wchar_t)
SS_EXPORT_PRIMITIVES(ss16, uint16_t)
SS_EXPORT_PRIMITIVES(ss32, uint32_t)

/* The pulls built on a family's pull P: from a moving pointer, and with
 * a-z folded to A-Z. */
#define SS_DERIVED_PULLS(P, T)                                                                     \
    uint32_t P##cpullchar(const T** text)                                                          \
    {                                                                                              \
        size_t next;                                                                               \
        uint32_t cp = P##pullchar(*text, SS_UNBOUNDED, 0, &next);                                  \
        /* Only the terminator stops the pointer: an over-long form of 0 is  \
         * consumed, so loops over the units always advance. */              \
        if (**text != 0)                                                                           \
            *text += next;                                                                         \
        return cp;                                                                                 \
    }                                                                                              \
    uint32_t P##pullasciiupfoldchar(const T* text, size_t len, size_t index, size_t* next)         \
    {                                                                                              \
        return ss8asciiupper(P##pullchar(text, len, index, next));                                 \
    }

SS_DERIVED_PULLS(ss8, char)
SS_DERIVED_PULLS(ssw, wchar_t)

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
