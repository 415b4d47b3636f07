/*
 * ssconv.c - conversions between the encodings of the sized strings: UTF-8
 * to and from wide, UTF-16 and UTF-32.
 *
 * Every conversion pulls characters from the source encoding and pushes
 * them into the destination encoding. A character is stored only when all
 * of its units fit (with room for the terminator, except in the b forms),
 * so a cut result never ends in a partial sequence; the returned length is
 * always that of the complete conversion. Invalid source sequences arrive as
 * SS_INVALID and are pushed as the destination's invalid form (0xFF in
 * UTF-8, 0xFFFF in UTF-16).
 *
 * The allocating forms measure first and allocate once; the v forms put the
 * pointer array and all texts into one allocation. Reentrant, no state.
 */
#include "sschars.h"

/* The longest sequence any push writes (UTF-8, 31-bit scheme). */
#define SSC_MAX_UNITS 6

/* Room in units of a size (a null destination has none). */
static size_t ssc_room(const void* dest, size_t size, int terminate)
{
    if (!dest || size == 0)
        return 0;
    return terminate ? size - 1 : size;
}

/* Defines every conversion from family F (unit TF, pull PULL) to family TO
 * (unit TT, push PUSH). */
#define SSC_DEFINE(F, TO, TF, TT, PULL, PUSH)                                                      \
    /* count: units of src to convert (SS_UNBOUNDED: up to the terminator);                     \
     * exact: zeros are characters too and nothing is terminated. */                               \
    static size_t ssc_##F##to##TO(TT* dest, size_t size, const TF* src, size_t count, int exact)  \
    {                                                                                              \
        size_t room = ssc_room(dest, size, !exact), i = 0, len = 0, stored = 0, n, k;              \
        TT units[SSC_MAX_UNITS];                                                                   \
                                                                                                   \
        while (i < count) {                                                                        \
            uint32_t cp = PULL(src, count, i, &i);                                                 \
            if (cp == 0 && (!exact || !src))                                                       \
                break;                                                                             \
            if (cp < 0x80) { /* one unit of the same value in every encoding */                   \
                if (stored == len && len < room)                                                   \
                    dest[stored++] = (TT)cp;                                                       \
                len++;                                                                             \
                continue;                                                                          \
            }                                                                                      \
            n = 0;                                                                                 \
            PUSH(units, SSC_MAX_UNITS, &n, cp);                                                    \
            if (stored == len && len + n <= room) {                                                \
                for (k = 0; k < n; k++)                                                            \
                    dest[len + k] = units[k];                                                      \
                stored = len + n;                                                                  \
            }                                                                                      \
            len += n;                                                                              \
        }                                                                                          \
        if (!exact && dest && size > 0) {                                                          \
            QP_ASSERT(stored < size);                                                              \
            dest[stored] = 0;                                                                      \
        }                                                                                          \
        return len;                                                                                \
    }                                                                                              \
    size_t ss##TO##conv##F##n(TT* dest, size_t size, const TF* src, size_t src_len)                \
    {                                                                                              \
        return ssc_##F##to##TO(dest, size, src, src_len, 0);                                       \
    }                                                                                              \
    size_t ss##TO##conv##F(TT* dest, const TF* src)                                                \
    {                                                                                              \
        return ssc_##F##to##TO(dest, SS_UNBOUNDED, src, SS_UNBOUNDED, 0);                          \
    }                                                                                              \
    size_t ss##TO##conv##F##n1(TT* dest, size_t size, const TF* src)                               \
    {                                                                                              \
        return ssc_##F##to##TO(dest, size, src, SS_UNBOUNDED, 0);                                  \
    }                                                                                              \
    size_t ss##TO##conv##F##n2(TT* dest, const TF* src, size_t src_len)                            \
    {                                                                                              \
        return ssc_##F##to##TO(dest, SS_UNBOUNDED, src, src_len, 0);                               \
    }                                                                                              \
    size_t ss##TO##conv##F##lenn(const TF* src, size_t src_len)                                    \
    {                                                                                              \
        return ssc_##F##to##TO(0, 0, src, src_len, 0);                                             \
    }                                                                                              \
    size_t ss##TO##conv##F##len(const TF* src)                                                     \
    {                                                                                              \
        return ssc_##F##to##TO(0, 0, src, SS_UNBOUNDED, 0);                                        \
    }                                                                                              \
    size_t ss##TO##convb##F##n(TT* dest, size_t size, const TF* src, size_t count)                 \
    {                                                                                              \
        return ssc_##F##to##TO(dest, size, src, count, 1);                                         \
    }                                                                                              \
    size_t ss##TO##convb##F(TT* dest, const TF* src, size_t count)                                 \
    {                                                                                              \
        return ssc_##F##to##TO(dest, SS_UNBOUNDED, src, count, 1);                                 \
    }                                                                                              \
    TT* ss##TO##conv##F##mn(malloc_i* ma, const TF* src, size_t src_len)                           \
    {                                                                                              \
        size_t len = ssc_##F##to##TO(0, 0, src, src_len, 0);                                       \
        TT* dest = len < SS_UNBOUNDED / sizeof(TT) - 1 ? (TT*)ma_alloc(ma, (len + 1) * sizeof(TT)) \
                                                       : 0;                                        \
        if (dest)                                                                                  \
            QP_ASSERT(ssc_##F##to##TO(dest, len + 1, src, src_len, 0) == len);                     \
        return dest;                                                                               \
    }                                                                                              \
    TT* ss##TO##conv##F##m(malloc_i* ma, const TF* src)                                            \
    {                                                                                              \
        return ss##TO##conv##F##mn(ma, src, SS_UNBOUNDED);                                         \
    }                                                                                              \
    TT** ss##TO##vconv##F##m(malloc_i* ma, const TF* const* v)                                     \
    {                                                                                              \
        size_t count = 0, units = 0, i;                                                            \
        TT** array;                                                                                \
        TT* text;                                                                                  \
                                                                                                   \
        for (; v && v[count]; count++)                                                             \
            units += ssc_##F##to##TO(0, 0, v[count], SS_UNBOUNDED, 0) + 1;                         \
        array = (TT**)ma_alloc(ma, (count + 1) * sizeof(TT*) + units * sizeof(TT));                \
        if (!array)                                                                                \
            return 0;                                                                              \
        text = (TT*)(array + count + 1);                                                           \
        for (i = 0; i < count; i++) {                                                              \
            array[i] = text;                                                                       \
            text += ssc_##F##to##TO(text, SS_UNBOUNDED, v[i], SS_UNBOUNDED, 0) + 1;                \
        }                                                                                          \
        return array;                                                                              \
    }

SSC_DEFINE(8, w, char, wchar_t, ss8_pull, ssw_push)
SSC_DEFINE(8, 16, char, uint16_t, ss8_pull, ss16_push)
SSC_DEFINE(8, 32, char, uint32_t, ss8_pull, ss32_push)
SSC_DEFINE(w, 8, wchar_t, char, ssw_pull, ss8_push)
SSC_DEFINE(16, 8, uint16_t, char, ss16_pull, ss8_push)
SSC_DEFINE(32, 8, uint32_t, char, ss32_pull, ss8_push)
