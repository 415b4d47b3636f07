/*
 * sschars.h - the character primitives of the sized strings as inline
 * functions: one pull and one push per encoding. sstring.c exports them
 * (ss8pullchar, ss8pushchar, ...); the loops of the other units (text
 * operations, wildcards, conversions) include this header so that the
 * primitives inline there.
 *
 * The rules every string operation inherits:
 * - pulling at or past the bound (or from a null text) gives 0 and leaves
 *   the index; an invalid sequence gives SS_INVALID and consumes one unit;
 * - pushing always advances the length by the character's full length and
 *   stores units only below the destination size (a sequence may be stored
 *   in part; callers that must not cut a character track the last length
 *   that fit).
 */
#ifndef SSCHARS_H
#define SSCHARS_H

#include "sstring.h"

/* ---- UTF-8 (the 31-bit scheme) ------------------------------------------------------------ */

static inline uint32_t ss8_pull(const char* text, size_t len, size_t index, size_t* next)
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

static inline void ss8_push(char* dest, size_t size, size_t* len, uint32_t cp)
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

/* ---- wide and UTF-32: one unit per code point --------------------------- */

static inline uint32_t ss_pull_unit32(uint32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDFFF ? SS_INVALID : unit;
}

static inline uint32_t ssw_pull(const wchar_t* text, size_t len, size_t index, size_t* next)
{
    if (!text || index >= len) {
        *next = index;
        return 0;
    }
    *next = index + 1;
    return ss_pull_unit32((uint32_t)text[index]);
}

static inline void ssw_push(wchar_t* dest, size_t size, size_t* len, uint32_t cp)
{
    if (dest && *len < size)
        dest[*len] = (wchar_t)cp;
    *len += 1;
}

static inline uint32_t ss32_pull(const uint32_t* text, size_t len, size_t index, size_t* next)
{
    if (!text || index >= len) {
        *next = index;
        return 0;
    }
    *next = index + 1;
    return ss_pull_unit32(text[index]);
}

static inline void ss32_push(uint32_t* dest, size_t size, size_t* len, uint32_t cp)
{
    if (dest && *len < size)
        dest[*len] = cp;
    *len += 1;
}

/* ---- UTF-16 ---------------------------------------------------------------- */

static inline uint32_t ss16_pull(const uint16_t* text, size_t len, size_t index, size_t* next)
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

static inline void ss16_push(uint16_t* dest, size_t size, size_t* len, uint32_t cp)
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

#endif
