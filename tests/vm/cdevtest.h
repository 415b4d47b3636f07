/*
 * cdevtest.h - the test owner of the character-device framework: its
 * device, interface and control codes, shared by the module (cdevtest.c),
 * the kernel-client module (cdevclient.c) and the user-mode tests
 * (cdev_test.cpp). Records are little-endian, fields 64-bit where a caller
 * may send any value.
 */
#ifndef CDEVTEST_H
#define CDEVTEST_H

#ifdef __KERNEL__
#include <linux/types.h>
#else
#include <stdint.h>
#endif

#define CDEVTEST_NAME "qpcdevtest"
#define CDEVTEST_INTERFACE "qpcdevtest"

enum {
    cdevtest_version = 3,
    cdevtest_min_client_version = 2,
    cdevtest_start_code = 0x1000,
    cdevtest_echo = cdevtest_start_code, /* output = input */
    cdevtest_sum,    /* cdevtest_range_t[] -> uint64_t sum of every byte */
    cdevtest_fill,   /* cdevtest_fill_t: the pattern into the range */
    cdevtest_bounce, /* cdevtest_fill_t: the same through two page buffers */
    cdevtest_sleep,  /* int32_t timeout (ms, -1 none): waits for a signal */
    cdevtest_fail,   /* int32_t error: answered as the control's error */
    cdevtest_cancel, /* cuts the device's owner off */
    cdevtest_max_size = 16 << 20, /* the most a range may hold */
    cdevtest_max_ranges = 64,
    cdevtest_direct_magic = 0x71636474,
};

/* One range of caller memory. */
typedef struct cdevtest_range_t {
    uint64_t addr;
    uint64_t size;
} cdevtest_range_t;

/* Fill: pattern byte i of the range is cdevtest_pattern(seed, i); the
 * range is written as two vector elements split at `split`. */
typedef struct cdevtest_fill_t {
    uint64_t addr;
    uint64_t size;
    uint64_t split;
    uint32_t seed;
    uint32_t reserved;
} cdevtest_fill_t;

/* What `direct` points at for kernel clients. */
typedef struct cdevtest_direct_t {
    uint32_t magic;
    uint32_t version;
} cdevtest_direct_t;

static inline uint8_t cdevtest_pattern(uint32_t seed, uint64_t i)
{
    return (uint8_t)(seed + i * 7 + (i >> 9));
}

#endif
