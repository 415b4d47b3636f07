// Tests of CRC-32 (base/jlcrc32.c).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "qpbase.h"

namespace {

// Bit-at-a-time reference.
uint32_t crc32_reference(const unsigned char* data, size_t len)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; i++) {
        crc ^= data[i];
        for (int k = 0; k < 8; k++) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

} // namespace

TEST(Crc32, CheckValue)
{
    EXPECT_EQ(Crc32Generate("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32Generate("", 0), 0u);
    EXPECT_EQ(Crc32Update(0x1234u, "", 0), 0x1234u);
}

// Every split of a buffer into two updates gives the one-update value, and
// all lengths and alignments match the reference.
TEST(Crc32, ChainsAndMatchesReference)
{
    std::mt19937 random(3);
    std::vector<unsigned char> data(300);
    for (auto& byte : data) {
        byte = static_cast<unsigned char>(random());
    }
    for (size_t offset = 0; offset < 4; offset++) {
        for (size_t len = 0; len + offset <= 67; len++) {
            EXPECT_EQ(Crc32Generate(data.data() + offset, len),
                      crc32_reference(data.data() + offset, len));
        }
    }
    uint32_t whole = Crc32Generate(data.data(), data.size());
    for (size_t split = 0; split <= data.size(); split += 7) {
        uint32_t first = Crc32Generate(data.data(), split);
        EXPECT_EQ(Crc32Update(first, data.data() + split, data.size() - split), whole);
    }
}
