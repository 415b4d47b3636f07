/*
 * qpsort.c - in-place sorting (qp_qsort3) and byte hashing (qp_hash3).
 *
 * qp_qsort3 is an iterative quicksort with three-way partitioning: elements
 * equal to the pivot are gathered at both ends of the range while it is
 * partitioned and then swapped into the middle, so runs of equal keys cost
 * one pass. The smaller side is sorted first and the larger one waits on an
 * explicit stack, which therefore never holds more than log2(count) ranges.
 * qp_hash3 is Bob Jenkins' lookup3 hash, read byte by byte (any alignment,
 * the same value on every byte order), seeded with and stored into *hash.
 * No state, no locks.
 */
#include "qpbase.h"
#include "bitops.h"

#ifdef __KERNEL__
#include <linux/string.h>
#else
#include <string.h>
#endif

/* ---- sorting -------------------------------------------------------- */

typedef int (*qp_compare_t)(const void*, const void*);

enum { qp_qsort3_stack_size = 40, qp_qsort3_swap_buffer = 64, qp_qsort3_small = 7 };

static void qp_swap(char* a, char* b, size_t size)
{
    if (size == 8) {
        uint64_t held;
        memcpy(&held, a, 8);
        memcpy(a, b, 8);
        memcpy(b, &held, 8);
        return;
    }
    while (size) {
        char held[qp_qsort3_swap_buffer];
        size_t chunk = size < sizeof held ? size : sizeof held;
        memcpy(held, a, chunk);
        memcpy(a, b, chunk);
        memcpy(b, held, chunk);
        a += chunk;
        b += chunk;
        size -= chunk;
    }
}

/* Swaps the byte_count bytes at a with those at b, element by element. */
static void qp_swap_run(char* a, char* b, size_t byte_count, size_t size)
{
    for (; byte_count; byte_count -= size, a += size, b += size) {
        qp_swap(a, b, size);
    }
}

static void qp_insertion_sort(char* base, size_t count, size_t size, qp_compare_t compare)
{
    char* end = base + count * size;
    char* i;
    char* j;
    for (i = base + size; i < end; i += size) {
        for (j = i; j > base && compare(j - size, j) > 0; j -= size) {
            qp_swap(j - size, j, size);
        }
    }
}

static char* qp_median3(char* a, char* b, char* c, qp_compare_t compare)
{
    if (compare(a, b) < 0) {
        return compare(b, c) < 0 ? b : compare(a, c) < 0 ? c : a;
    }
    return compare(b, c) > 0 ? b : compare(a, c) < 0 ? a : c;
}

typedef struct qp_range_t {
    char* base;
    size_t count;
} qp_range_t;

/* Partitions the range around its first element into less, equal and
 * greater; returns the less part and stores the greater part in *greater. */
static qp_range_t qp_partition3(qp_range_t range, size_t size, qp_compare_t compare,
                                qp_range_t* greater)
{
    char* pivot = range.base;
    char* end = range.base + range.count * size;
    char* a = pivot + size; /* [pivot, a): equal, gathered at the front */
    char* b = a;            /* [a, b): less */
    char* c = end - size;   /* (c, d]: greater */
    char* d = c;            /* (d, end): equal, gathered at the back */
    size_t run;
    qp_range_t less;
    for (;;) {
        int order;
        while (b <= c && (order = compare(b, pivot)) <= 0) {
            if (order == 0) {
                qp_swap(a, b, size);
                a += size;
            }
            b += size;
        }
        while (b <= c && (order = compare(c, pivot)) >= 0) {
            if (order == 0) {
                qp_swap(c, d, size);
                d -= size;
            }
            c -= size;
        }
        if (b > c) {
            break;
        }
        qp_swap(b, c, size);
        b += size;
        c -= size;
    }
    run = (size_t)(a - pivot) < (size_t)(b - a) ? (size_t)(a - pivot) : (size_t)(b - a);
    qp_swap_run(pivot, b - run, run, size);
    run = (size_t)(d - c) < (size_t)(end - d - size) ? (size_t)(d - c) : (size_t)(end - d - size);
    qp_swap_run(b, end - run, run, size);
    less.base = range.base;
    less.count = (size_t)(b - a) / size;
    greater->count = (size_t)(d - c) / size;
    greater->base = end - greater->count * size;
    return less;
}

void qp_qsort3(void* base, size_t count, size_t size, int (*compare)(const void*, const void*))
{
    qp_range_t stack[qp_qsort3_stack_size];
    int depth = 0;
    if (count < 2) {
        return;
    }
    QP_ASSERT(compare(base, base) == 0 || !"comparator must return same element is equal");
    stack[depth].base = (char*)base;
    stack[depth++].count = count;
    while (depth) {
        qp_range_t range = stack[--depth];
        while (range.count >= qp_qsort3_small) {
            qp_range_t less;
            qp_range_t greater;
            char* last = range.base + (range.count - 1) * size;
            char* middle = range.base + range.count / 2 * size;
            qp_swap(range.base, qp_median3(range.base, middle, last, compare), size);
            less = qp_partition3(range, size, compare, &greater);
            QP_ASSERT(depth < qp_qsort3_stack_size);
            if (less.count < greater.count) {
                stack[depth++] = greater;
                range = less;
            } else {
                stack[depth++] = less;
                range = greater;
            }
        }
        qp_insertion_sort(range.base, range.count, size, compare);
    }
}

/* ---- hashing -------------------------------------------------------- */

static void qp_hash3_mix(uint32_t* a, uint32_t* b, uint32_t* c)
{
    *a -= *c; *a ^= bits_rol(*c, 4);  *c += *b;
    *b -= *a; *b ^= bits_rol(*a, 6);  *a += *c;
    *c -= *b; *c ^= bits_rol(*b, 8);  *b += *a;
    *a -= *c; *a ^= bits_rol(*c, 16); *c += *b;
    *b -= *a; *b ^= bits_rol(*a, 19); *a += *c;
    *c -= *b; *c ^= bits_rol(*b, 4);  *b += *a;
}

static void qp_hash3_final(uint32_t* a, uint32_t* b, uint32_t* c)
{
    *c ^= *b; *c -= bits_rol(*b, 14);
    *a ^= *c; *a -= bits_rol(*c, 11);
    *b ^= *a; *b -= bits_rol(*a, 25);
    *c ^= *b; *c -= bits_rol(*b, 16);
    *a ^= *c; *a -= bits_rol(*c, 4);
    *b ^= *a; *b -= bits_rol(*a, 14);
    *c ^= *b; *c -= bits_rol(*b, 24);
}

/* The little-endian word of up to four bytes at p. */
static uint32_t qp_hash3_word(const unsigned char* p, size_t count)
{
    uint32_t word = 0;
    while (count) {
        count--;
        word = (word << 8) | p[count];
    }
    return word;
}

static size_t qp_min_size(size_t a, size_t b)
{
    return a < b ? a : b;
}

void qp_hash3(uint32_t* hash, const void* data, size_t size)
{
    const unsigned char* bytes = (const unsigned char*)data;
    uint32_t a = 0xDEADBEEFu + (uint32_t)size + *hash;
    uint32_t b = a;
    uint32_t c = a;
    if (!size) {
        *hash = c;
        return;
    }
    for (; size > 12; size -= 12, bytes += 12) {
        a += qp_hash3_word(bytes, 4);
        b += qp_hash3_word(bytes + 4, 4);
        c += qp_hash3_word(bytes + 8, 4);
        qp_hash3_mix(&a, &b, &c);
    }
    a += qp_hash3_word(bytes, qp_min_size(size, 4));
    if (size > 4) {
        b += qp_hash3_word(bytes + 4, qp_min_size(size - 4, 4));
    }
    if (size > 8) {
        c += qp_hash3_word(bytes + 8, size - 8);
    }
    qp_hash3_final(&a, &b, &c);
    *hash = c;
}
