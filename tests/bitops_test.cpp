// Tests of the bit operations (include/bitops.h): the fast forms against
// their portable twins.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bitops.h"

namespace {

// Edge values, every single bit and its neighbours, and random values of
// every magnitude.
std::vector<uint64_t> sample_values()
{
    std::vector<uint64_t> values = {0, 1, 2, 3, ~uint64_t(0), 0xFFFFFFFFu, 0x80000000u};
    for (int bit = 0; bit < 64; bit++) {
        uint64_t one = uint64_t(1) << bit;
        values.insert(values.end(), {one, one - 1, one + 1, ~one});
    }
    std::mt19937_64 random(11);
    for (int i = 0; i < 2000; i++) {
        values.push_back(random() >> (i % 64));
    }
    return values;
}

} // namespace

TEST(Bitops, CountsMatchSlowTwins)
{
    for (uint64_t v : sample_values()) {
        uint32_t low = static_cast<uint32_t>(v);
        EXPECT_EQ(bits_clz(low), bits_clz_slow(low)) << v;
        EXPECT_EQ(bits_ctz(low), bits_ctz_slow(low)) << v;
        EXPECT_EQ(bits_fls(low), bits_fls_slow(low)) << v;
        EXPECT_EQ(bits_ffs(low), bits_ffs_slow(low)) << v;
        EXPECT_EQ(bits_clz64(v), bits_clz64_slow(v)) << v;
        EXPECT_EQ(bits_ctz64(v), bits_ctz64_slow(v)) << v;
        EXPECT_EQ(bits_fls64(v), bits_fls64_slow(v)) << v;
        EXPECT_EQ(bits_ffs64(v), bits_ffs64_slow(v)) << v;
        EXPECT_EQ(bits_clzp(v), bits_clzp_slow(v)) << v;
        EXPECT_EQ(bits_ctzp(v), bits_ctzp_slow(v)) << v;
        EXPECT_EQ(bits_flsp(v), bits_flsp_slow(v)) << v;
        EXPECT_EQ(bits_ffsp(v), bits_ffsp_slow(v)) << v;
    }
    EXPECT_EQ(bits_clz(0), 32);
    EXPECT_EQ(bits_ctz64(0), 64);
    EXPECT_EQ(bits_fls(1), 1);
    EXPECT_EQ(bits_ffs64(uint64_t(1) << 63), 64);
}

TEST(Bitops, RotationsAndSwapsMatchSlowTwins)
{
    for (uint64_t v : sample_values()) {
        uint32_t low = static_cast<uint32_t>(v);
        for (unsigned count : {0u, 1u, 7u, 31u, 32u, 33u, 63u, 64u, 65u, 200u}) {
            EXPECT_EQ(bits_rol(low, count), bits_rol_slow(low, count)) << v << " " << count;
            EXPECT_EQ(bits_ror(low, count), bits_ror_slow(low, count)) << v << " " << count;
            EXPECT_EQ(bits_rol64(v, count), bits_rol64_slow(v, count)) << v << " " << count;
            EXPECT_EQ(bits_ror64(v, count), bits_ror64_slow(v, count)) << v << " " << count;
            EXPECT_EQ(bits_rolp(v, count), bits_rolp_slow(v, count)) << v << " " << count;
            EXPECT_EQ(bits_rorp(v, count), bits_rorp_slow(v, count)) << v << " " << count;
        }
        EXPECT_EQ(bits_swap16(static_cast<uint16_t>(v)), bits_swap16_slow(static_cast<uint16_t>(v)));
        EXPECT_EQ(bits_swap32(low), bits_swap32_slow(low));
        EXPECT_EQ(bits_swap64(v), bits_swap64_slow(v));
    }
    EXPECT_EQ(bits_rol(0x80000001u, 33), 3u);
    EXPECT_EQ(bits_swap32(0x11223344u), 0x44332211u);
}

TEST(Bitops, SlowCountsRejectZero)
{
    EXPECT_DEATH(bits_clz_slow_(0), "\"v\"");
    EXPECT_DEATH(bits_ctz64_slow_(0), "\"v\"");
}

// Thomas Wang's hash: fixed values, and the size and pointer forms agree.
TEST(Bitops, Hash)
{
    EXPECT_EQ(bits_hash_uint64(0), 0x2AEAA2ABu);
    int object;
    EXPECT_EQ(bits_hash_ptr(&object), bits_hash_uint64(reinterpret_cast<uintptr_t>(&object)));
    EXPECT_EQ(bits_hash_size(12345), bits_hash_uint64(12345));
    EXPECT_NE(bits_hash_uint64(1), bits_hash_uint64(2));
    bits_selftest();
}
