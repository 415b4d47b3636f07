// Tests of the remote value packing: the packed bytes, every letter round
// trip, the short-input rules of unpacking and the caller-buffer sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qperr.h"
#include "qpremote.h"

namespace {

std::vector<unsigned char> bytes(const void* data, size_t size)
{
    const unsigned char* p = (const unsigned char*)data;
    return std::vector<unsigned char>(p, p + size);
}

// A mixed format packs to exactly the hand-written layout: little-endian
// words, lengths before variable fields, zero padding to 4 bytes.
TEST(RemotePack, MixedFormatBytes)
{
    qp_scratch_pool pool;
    void* data;
    size_t size;
    const unsigned char tag[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    remote_blob_t* blob = remote_blob_new_d("xy", 2);
    ASSERT_NE(blob, nullptr);
    ASSERT_EQ(0, remote_pack_vals(pool.ma(), &data, &size, "ilszt8vZb", 0x11223344,
                                  (int64_t)0x0102030405060708LL, (size_t)0x1234500000007ULL, "abc",
                                  tag, "\xAA", (size_t)1, L"\u00e9", blob));
    remote_blob_release(blob);
    const std::vector<unsigned char> expected = {
        0x44, 0x33, 0x22, 0x11,                         // i
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, // l
        0x07, 0x00, 0x00, 0x00,                         // s: low 32 bits
        4, 0, 0, 0, 'a', 'b', 'c', 0,                   // z: length counts the zero
        1, 2, 3, 4, 5, 6, 7, 8,                         // t8
        1, 0, 0, 0, 0xAA, 0, 0, 0,                      // v, padded
        3, 0, 0, 0, 0xC3, 0xA9, 0, 0,                   // Z as UTF-8, padded
        2, 0, 0, 0, 'x', 'y', 0, 0,                     // b, padded
    };
    EXPECT_EQ(expected, bytes(data, size));
}

// Every letter comes back as it was packed.
TEST(RemotePack, EveryLetterRoundTrips)
{
    qp_scratch_pool pool;
    void* data;
    size_t size;
    const unsigned char tag[12] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 255, 128};
    remote_blob_t* blob = remote_blob_new_d("blob data", 9);
    ASSERT_EQ(0, remote_pack_vals(pool.ma(), &data, &size, "ilst12vzZb", -5, (int64_t)-1234567890123LL,
                                  (size_t)0xFFFFFFFFu, tag, "raw\0bytes", (size_t)9, "text",
                                  L"wide \u20ac \U0001F600", blob));
    remote_blob_release(blob);

    int i = 0;
    int64_t l = 0;
    size_t s = 0, vsize = 0;
    unsigned char t[12] = {};
    void* v = nullptr;
    char* z = nullptr;
    wchar_t* wz = nullptr;
    remote_blob_t* b = nullptr;
    ASSERT_EQ(0, remote_unpack_vals_d(pool.ma(), data, size, "ilst12vzZb", &i, &l, &s, t, &v,
                                      &vsize, &z, &wz, &b));
    EXPECT_EQ(-5, i);
    EXPECT_EQ(-1234567890123LL, l);
    EXPECT_EQ((size_t)0xFFFFFFFFu, s);
    EXPECT_EQ(0, memcmp(t, tag, sizeof t));
    ASSERT_EQ(9u, vsize);
    EXPECT_EQ(0, memcmp(v, "raw\0bytes", 9));
    EXPECT_STREQ("text", z);
    EXPECT_STREQ(L"wide \u20ac \U0001F600", wz);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::string("blob data"), std::string((const char*)b->data, b->size));
    remote_blob_release(b);
}

// Null values pack as empty fields and unpack to null; an empty format or
// empty fields only pack to nothing at all.
TEST(RemotePack, NullsAndEmpty)
{
    qp_scratch_pool pool;
    void* data = (void*)1;
    size_t size = 99;
    ASSERT_EQ(0, remote_pack_vals(pool.ma(), &data, &size, ""));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0u, size);

    ASSERT_EQ(0, remote_pack_vals(pool.ma(), &data, &size, "zvZbt4", (const char*)nullptr,
                                  (const void*)nullptr, (size_t)5, (const wchar_t*)nullptr,
                                  (remote_blob_t*)nullptr, (const void*)nullptr));
    const std::vector<unsigned char> zeros(20, 0);
    EXPECT_EQ(zeros, bytes(data, size));

    char* z = (char*)1;
    void* v = (void*)1;
    size_t vsize = 7;
    wchar_t* wz = (wchar_t*)1;
    remote_blob_t* b = (remote_blob_t*)1;
    unsigned char t[4] = {1, 1, 1, 1};
    ASSERT_EQ(0, remote_unpack_vals_d(pool.ma(), data, size, "zvZbt4", &z, &v, &vsize, &wz, &b, t));
    EXPECT_EQ(nullptr, z);
    EXPECT_EQ(nullptr, v);
    EXPECT_EQ(0u, vsize);
    EXPECT_EQ(nullptr, wz);
    EXPECT_EQ(nullptr, b);
    EXPECT_EQ(0, t[0] | t[1] | t[2] | t[3]);
}

// The short-input rules: the input may end exactly after a whole field, or
// inside the last field of the format; anything else is a bad format. Every
// field not read is zero.
TEST(RemoteUnpack, ShortInput)
{
    const unsigned char eight[8] = {1, 0, 0, 0, 2, 0, 0, 0};
    int a = 9, b = 9, c = 9;
    EXPECT_EQ(0, remote_unpack_vals_d(nullptr, eight, 8, "iii", &a, &b, &c));
    EXPECT_EQ(1, a);
    EXPECT_EQ(2, b);
    EXPECT_EQ(0, c);

    const unsigned char six[6] = {1, 2, 3, 4, 5, 6};
    int64_t l = 9;
    a = 9;
    EXPECT_EQ(err_bad_format, remote_unpack_vals_d(nullptr, six, 6, "li", &l, &a));
    EXPECT_EQ(0, l);
    EXPECT_EQ(0, a);

    const unsigned char ten[10] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0};
    a = b = c = 9;
    EXPECT_EQ(0, remote_unpack_vals_d(nullptr, ten, 10, "iii", &a, &b, &c));
    EXPECT_EQ(1, a);
    EXPECT_EQ(2, b);
    EXPECT_EQ(0, c);

    // A partial field before the last one is an error, and the rest is zero.
    a = b = c = 9;
    EXPECT_EQ(err_bad_format, remote_unpack_vals_d(nullptr, ten, 6, "iii", &a, &b, &c));
    EXPECT_EQ(1, a);
    EXPECT_EQ(0, b);
    EXPECT_EQ(0, c);

    // Surplus input is accepted; no input at all is a clean end.
    a = 9;
    EXPECT_EQ(0, remote_unpack_vals_d(nullptr, ten, 10, "i", &a));
    EXPECT_EQ(1, a);
    EXPECT_EQ(0, remote_unpack_vals_d(nullptr, nullptr, 0, "i", &a));
    EXPECT_EQ(0, a);
}

// A length that points past the input yields the zero value; nothing is
// allocated for it and nothing is read beyond the input.
TEST(RemoteUnpack, LengthPastTheEnd)
{
    qp_scratch_pool pool;
    const unsigned char data[12] = {0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c', 'd', 1, 0, 0, 0};
    char* z = (char*)1;
    int after = 9;
    EXPECT_EQ(err_bad_format, remote_unpack_vals_d(pool.ma(), data, sizeof data, "zi", &z, &after));
    EXPECT_EQ(nullptr, z);
    EXPECT_EQ(0, after);

    // A null void** still learns the length.
    const unsigned char v[8] = {3, 0, 0, 0, 'x', 'y', 'z', 0};
    size_t vsize = 0;
    EXPECT_EQ(0, remote_unpack_vals_d(pool.ma(), v, sizeof v, "v", (void**)nullptr, &vsize));
    EXPECT_EQ(3u, vsize);
}

// A caller buffer one byte short is err_no_mem; the exact size packs.
TEST(RemotePack, CallerBufferSizes)
{
    unsigned char buffer[32];
    size_t size = 1;
    ASSERT_EQ(0, remote_pack_vals_2(buffer, sizeof buffer, &size, "iz", 7, "hello"));
    ASSERT_EQ(16u, size);
    size_t short_size = 1;
    EXPECT_EQ(err_no_mem, remote_pack_vals_2(buffer, 15, &short_size, "iz", 7, "hello"));
    EXPECT_EQ(0u, short_size);
    EXPECT_EQ(0, remote_pack_vals_2(buffer, 16, &short_size, "iz", 7, "hello"));
    EXPECT_EQ(16u, short_size);
    EXPECT_EQ(0, remote_pack_vals_2(nullptr, 0, &short_size, ""));
}

// The va_list form packs what the variadic form packs.
int pack_3(malloc_i* ma, void** data, size_t* size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int err = remote_pack_vals_3(ma, data, size, format, args);
    va_end(args);
    return err;
}

TEST(RemotePack, VaListForm)
{
    qp_scratch_pool pool;
    void *a, *b;
    size_t asize, bsize;
    ASSERT_EQ(0, remote_pack_vals(pool.ma(), &a, &asize, "izl", 1, "two", (int64_t)3));
    ASSERT_EQ(0, pack_3(pool.ma(), &b, &bsize, "izl", 1, "two", (int64_t)3));
    EXPECT_EQ(bytes(a, asize), bytes(b, bsize));
}

// An allocator that fails makes unpacking report err_no_mem and still
// zero every output.
TEST(RemoteUnpack, AllocationFailure)
{
    static const malloc_i_vtbl_t failing = {[](malloc_i*, size_t) -> void* { return nullptr; }};
    malloc_i ma = &failing;
    unsigned char data[16];
    size_t size;
    ASSERT_EQ(0, remote_pack_vals_2(data, sizeof data, &size, "zi", "abc", 5));
    char* z = (char*)1;
    int i = 0;
    EXPECT_EQ(err_no_mem, remote_unpack_vals_d(&ma, data, size, "zi", &z, &i));
    EXPECT_EQ(nullptr, z);
    EXPECT_EQ(5, i);
    void* out = (void*)1;
    EXPECT_EQ(err_no_mem, remote_pack_vals(&ma, &out, &size, "i", 1));
    EXPECT_EQ(nullptr, out);
}

// An unknown letter or a tN whose N is not a multiple of 4 stops the program.
TEST(RemotePackDeathTest, BadLetters)
{
    unsigned char data[8];
    size_t size;
    EXPECT_DEATH(remote_pack_vals_2(data, sizeof data, &size, "q", 1), "ASSERT");
    EXPECT_DEATH(remote_pack_vals_2(data, sizeof data, &size, "t3", data), "ASSERT");
}

} // namespace
