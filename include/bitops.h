/*
 * bitops.h - bit counting, rotation, byte swapping and integer hashing.
 *
 * Each operation exists for 32-bit values, 64-bit values (suffix 64) and
 * pointer-sized values (suffix p). The _slow twins are portable loops with
 * the same results; the tests hold the fast forms against them, and the debug
 * heap runs bits_selftest once at start-up.
 *
 *   bits_clz/bits_ctz  leading/trailing zero bits, the width for 0
 *   bits_fls/bits_ffs  1-based position of the highest/lowest set bit, 0 for 0
 *   bits_rol/bits_ror  rotation by the count modulo the width
 */
#ifndef BITOPS_H
#define BITOPS_H

#include "qpbase.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- fast forms ----------------------------------------------------- */

static inline int bits_clz(uint32_t v)
{
    return v ? __builtin_clz(v) : 32;
}
static inline int bits_clz64(uint64_t v)
{
    return v ? __builtin_clzll(v) : 64;
}
static inline int bits_ctz(uint32_t v)
{
    return v ? __builtin_ctz(v) : 32;
}
static inline int bits_ctz64(uint64_t v)
{
    return v ? __builtin_ctzll(v) : 64;
}
static inline int bits_fls(uint32_t v)
{
    return 32 - bits_clz(v);
}
static inline int bits_fls64(uint64_t v)
{
    return 64 - bits_clz64(v);
}
static inline int bits_ffs(uint32_t v)
{
    return __builtin_ffs((int)v);
}
static inline int bits_ffs64(uint64_t v)
{
    return __builtin_ffsll((long long)v);
}
static inline uint32_t bits_rol(uint32_t v, unsigned count)
{
    count &= 31;
    return (v << count) | (v >> ((32 - count) & 31));
}
static inline uint64_t bits_rol64(uint64_t v, unsigned count)
{
    count &= 63;
    return (v << count) | (v >> ((64 - count) & 63));
}
static inline uint32_t bits_ror(uint32_t v, unsigned count)
{
    return bits_rol(v, 32 - (count & 31));
}
static inline uint64_t bits_ror64(uint64_t v, unsigned count)
{
    return bits_rol64(v, 64 - (count & 63));
}
static inline uint16_t bits_swap16(uint16_t v)
{
    return __builtin_bswap16(v);
}
static inline uint32_t bits_swap32(uint32_t v)
{
    return __builtin_bswap32(v);
}
static inline uint64_t bits_swap64(uint64_t v)
{
    return __builtin_bswap64(v);
}

/* ---- slow twins ----------------------------------------------------- */

/* Non-zero input only. */
static inline int bits_clz64_slow_(uint64_t v)
{
    int count = 0;
    QP_ASSERT(v);
    while (!(v & ((uint64_t)1 << 63))) {
        v <<= 1;
        count++;
    }
    return count;
}
static inline int bits_ctz64_slow_(uint64_t v)
{
    int count = 0;
    QP_ASSERT(v);
    while (!(v & 1)) {
        v >>= 1;
        count++;
    }
    return count;
}
static inline int bits_clz_slow_(uint32_t v)
{
    QP_ASSERT(v);
    return bits_clz64_slow_(v) - 32;
}
static inline int bits_ctz_slow_(uint32_t v)
{
    QP_ASSERT(v);
    return bits_ctz64_slow_(v);
}

static inline int bits_clz_slow(uint32_t v)
{
    return v ? bits_clz_slow_(v) : 32;
}
static inline int bits_clz64_slow(uint64_t v)
{
    return v ? bits_clz64_slow_(v) : 64;
}
static inline int bits_ctz_slow(uint32_t v)
{
    return v ? bits_ctz_slow_(v) : 32;
}
static inline int bits_ctz64_slow(uint64_t v)
{
    return v ? bits_ctz64_slow_(v) : 64;
}
static inline int bits_fls_slow(uint32_t v)
{
    return 32 - bits_clz_slow(v);
}
static inline int bits_fls64_slow(uint64_t v)
{
    return 64 - bits_clz64_slow(v);
}
static inline int bits_ffs_slow(uint32_t v)
{
    return v ? bits_ctz_slow_(v) + 1 : 0;
}
static inline int bits_ffs64_slow(uint64_t v)
{
    return v ? bits_ctz64_slow_(v) + 1 : 0;
}
/* Rotation one bit at a time within the low width bits of v. */
static inline uint64_t bits_rotate_slow_(uint64_t v, unsigned width, unsigned left_count)
{
    uint64_t top = (uint64_t)1 << (width - 1);
    unsigned i;
    for (i = 0; i < left_count % width; i++) {
        v = ((v & top) ? 1 : 0) | ((v & ~top) << 1);
    }
    return v;
}
static inline uint32_t bits_rol_slow(uint32_t v, unsigned count)
{
    return (uint32_t)bits_rotate_slow_(v, 32, count % 32);
}
static inline uint64_t bits_rol64_slow(uint64_t v, unsigned count)
{
    return bits_rotate_slow_(v, 64, count % 64);
}
static inline uint32_t bits_ror_slow(uint32_t v, unsigned count)
{
    return (uint32_t)bits_rotate_slow_(v, 32, 32 - count % 32);
}
static inline uint64_t bits_ror64_slow(uint64_t v, unsigned count)
{
    return bits_rotate_slow_(v, 64, 64 - count % 64);
}
/* Reverses the low byte_count bytes of v. */
static inline uint64_t bits_swap_slow_(uint64_t v, unsigned byte_count)
{
    uint64_t swapped = 0;
    unsigned i;
    for (i = 0; i < byte_count; i++) {
        swapped = (swapped << 8) | ((v >> (8 * i)) & 0xFF);
    }
    return swapped;
}
static inline uint16_t bits_swap16_slow(uint16_t v)
{
    return (uint16_t)bits_swap_slow_(v, 2);
}
static inline uint32_t bits_swap32_slow(uint32_t v)
{
    return (uint32_t)bits_swap_slow_(v, 4);
}
static inline uint64_t bits_swap64_slow(uint64_t v)
{
    return bits_swap_slow_(v, 8);
}

/* ---- pointer-sized forms -------------------------------------------- */

#define BITS_P_IS_64 (sizeof(size_t) == 8)

static inline int bits_clzp(size_t v)
{
    return BITS_P_IS_64 ? bits_clz64(v) : bits_clz((uint32_t)v);
}
static inline int bits_ctzp(size_t v)
{
    return BITS_P_IS_64 ? bits_ctz64(v) : bits_ctz((uint32_t)v);
}
static inline int bits_flsp(size_t v)
{
    return BITS_P_IS_64 ? bits_fls64(v) : bits_fls((uint32_t)v);
}
static inline int bits_ffsp(size_t v)
{
    return BITS_P_IS_64 ? bits_ffs64(v) : bits_ffs((uint32_t)v);
}
static inline size_t bits_rolp(size_t v, unsigned count)
{
    return BITS_P_IS_64 ? (size_t)bits_rol64(v, count) : bits_rol((uint32_t)v, count);
}
static inline size_t bits_rorp(size_t v, unsigned count)
{
    return BITS_P_IS_64 ? (size_t)bits_ror64(v, count) : bits_ror((uint32_t)v, count);
}
static inline int bits_clzp_slow(size_t v)
{
    return BITS_P_IS_64 ? bits_clz64_slow(v) : bits_clz_slow((uint32_t)v);
}
static inline int bits_ctzp_slow(size_t v)
{
    return BITS_P_IS_64 ? bits_ctz64_slow(v) : bits_ctz_slow((uint32_t)v);
}
static inline int bits_flsp_slow(size_t v)
{
    return BITS_P_IS_64 ? bits_fls64_slow(v) : bits_fls_slow((uint32_t)v);
}
static inline int bits_ffsp_slow(size_t v)
{
    return BITS_P_IS_64 ? bits_ffs64_slow(v) : bits_ffs_slow((uint32_t)v);
}
static inline size_t bits_rolp_slow(size_t v, unsigned count)
{
    return BITS_P_IS_64 ? (size_t)bits_rol64_slow(v, count) : bits_rol_slow((uint32_t)v, count);
}
static inline size_t bits_rorp_slow(size_t v, unsigned count)
{
    return BITS_P_IS_64 ? (size_t)bits_ror64_slow(v, count) : bits_ror_slow((uint32_t)v, count);
}

/* ---- hashing -------------------------------------------------------- */

/* Thomas Wang's 64-to-32-bit integer hash. */
static inline uint32_t bits_hash_uint64(uint64_t k)
{
    k = (~k) + (k << 18);
    k ^= k >> 31;
    k = k * 21;
    k ^= k >> 11;
    k = k + (k << 6);
    k ^= k >> 22;
    return (uint32_t)k;
}
static inline uint32_t bits_hash_size(size_t v)
{
    return bits_hash_uint64(v);
}
static inline uint32_t bits_hash_ptr(const void* p)
{
    return bits_hash_uint64((size_t)p);
}

/* Checks the fast forms against known values and their slow twins; an
 * assertion failure names the first wrong result. */
void bits_selftest(void);

#ifdef __cplusplus
}
#endif

#endif
