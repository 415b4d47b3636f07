// Tests of qp_qsort3 and qp_hash3 (base/qpsort.c).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "qpbase.h"

namespace {

// An element of a chosen size whose key is its first 4 bytes; the rest is a
// fill derived from the key, so a torn swap shows.
template <size_t Size> struct Element {
    uint32_t key;
    unsigned char fill[Size - 4];
    static Element make(uint32_t key)
    {
        Element e;
        e.key = key;
        memset(e.fill, static_cast<int>(key * 7 + 1), sizeof e.fill);
        return e;
    }
    bool whole() const
    {
        for (unsigned char byte : fill) {
            if (byte != static_cast<unsigned char>(key * 7 + 1)) {
                return false;
            }
        }
        return true;
    }
};

template <size_t Size> int compare_elements(const void* a, const void* b)
{
    uint32_t x = static_cast<const Element<Size>*>(a)->key;
    uint32_t y = static_cast<const Element<Size>*>(b)->key;
    return x < y ? -1 : x > y;
}

// Sorts keys drawn from [0, range) and checks the result against std::sort.
template <size_t Size> void check_sort(size_t count, uint32_t range, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<Element<Size>> elements;
    std::vector<uint32_t> reference;
    for (size_t i = 0; i < count; i++) {
        uint32_t key = static_cast<uint32_t>(random() % range);
        elements.push_back(Element<Size>::make(key));
        reference.push_back(key);
    }
    qp_qsort3(elements.data(), count, Size, compare_elements<Size>);
    std::sort(reference.begin(), reference.end());
    for (size_t i = 0; i < count; i++) {
        ASSERT_EQ(elements[i].key, reference[i]) << "size " << Size << " count " << count;
        ASSERT_TRUE(elements[i].whole());
    }
}

int compare_ints(const void* a, const void* b)
{
    int x = *static_cast<const int*>(a);
    int y = *static_cast<const int*>(b);
    return x < y ? -1 : x > y;
}

} // namespace

// Random keys, few distinct keys and all-equal keys, over element sizes that
// take the direct swap (8), the buffered swap (12) and more than one buffer
// (100).
TEST(QSort3, MatchesReferenceSort)
{
    for (size_t count : {0u, 1u, 2u, 3u, 6u, 7u, 8u, 31u, 1000u, 5000u}) {
        for (uint32_t range : {1u, 2u, 5u, 1000000u}) {
            check_sort<8>(count, range, 1);
            check_sort<12>(count, range, 2);
            check_sort<100>(count, range, 3);
        }
    }
}

// Sorted, reversed and organ-pipe inputs stay within the range stack.
TEST(QSort3, PresortedInputs)
{
    std::vector<int> values(100000);
    for (size_t i = 0; i < values.size(); i++) {
        values[i] = static_cast<int>(i);
    }
    qp_qsort3(values.data(), values.size(), sizeof(int), compare_ints);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    std::reverse(values.begin(), values.end());
    qp_qsort3(values.data(), values.size(), sizeof(int), compare_ints);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    for (size_t i = 0; i < values.size(); i++) {
        values[i] = static_cast<int>(std::min(i, values.size() - i));
    }
    qp_qsort3(values.data(), values.size(), sizeof(int), compare_ints);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
}

TEST(QSort3, ComparatorMustFindAnElementEqualToItself)
{
    int values[] = {3, 1, 2};
    EXPECT_DEATH(qp_qsort3(values, 3, sizeof(int), [](const void*, const void*) { return 1; }),
                 "comparator must return same element is equal");
}

// lookup3's published values, and the seed in *hash chains.
TEST(Hash3, KnownValuesAndSeed)
{
    uint32_t hash = 0;
    qp_hash3(&hash, "", 0);
    EXPECT_EQ(hash, 0xDEADBEEFu);
    hash = 0;
    qp_hash3(&hash, "Four score and seven years ago", 30);
    EXPECT_EQ(hash, 0x17770551u);
    hash = 1;
    qp_hash3(&hash, "Four score and seven years ago", 30);
    EXPECT_EQ(hash, 0xCD628161u);
    // Unaligned input gives the same value as aligned input.
    char buffer[40];
    memcpy(buffer + 1, "Four score and seven years ago", 30);
    hash = 0;
    qp_hash3(&hash, buffer + 1, 30);
    EXPECT_EQ(hash, 0x17770551u);
}
