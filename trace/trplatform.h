/*
 * trplatform.h - the few C library services the trace core uses (byte copies
 * and searches, the exit-time list), from the kernel or from libc. Nothing
 * else of the platform reaches the trace core's units.
 *
 * trace_memchr is the byte search of the print path: the C library's memchr
 * in user mode, and in the kernel, whose memchr goes byte by byte, a search
 * of eight bytes at a time (trace_memchr_words, built in both modes so that
 * the unit tests check it). TRACE_ASSERT_AS gives an assertion its
 * documented text.
 */
#ifndef TRPLATFORM_H
#define TRPLATFORM_H

#ifdef __KERNEL__
#include <linux/string.h>
#include <linux/types.h>
#else
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#endif

/* The first byte equal to `byte` among the len bytes at text, or null.
 * Reads no byte outside them. A word holds a match where (x - ones) & ~x
 * has the byte's high bit set, x being the word with `byte` cleared out; a
 * false mark can only follow a true one, so the lowest mark is the first
 * match (the words are read little-endian). */
static inline const char* trace_memchr_words(const char* text, int byte, size_t len)
{
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const uint64_t pattern = ones * (unsigned char)byte;
    const char* end = text + len;
    for (; end - text >= 8; text += 8) {
        uint64_t word, marks;
        memcpy(&word, text, sizeof word);
        word ^= pattern;
        marks = (word - ones) & ~word & highs;
        if (marks)
            return text + (__builtin_ctzll(marks) >> 3);
    }
    for (; text < end; text++) {
        if (*text == (char)byte)
            return text;
    }
    return 0;
}

/* QP_ASSERT with the condition's text as the trace core documents it,
 * where the code's own expression reads differently. */
#define TRACE_ASSERT_AS(cond, text)                                                                \
    ((cond) ? (void)0 : (qp_assert_failed(__FILE__, __LINE__, text), QP_AFTER_STOP()))

static inline const char* trace_memchr(const char* text, int byte, size_t len)
{
#ifdef __KERNEL__
    return trace_memchr_words(text, byte, len);
#else
    return (const char*)memchr(text, byte, len);
#endif
}

#endif
