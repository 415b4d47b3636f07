// Tests of the arena pools qp_mp_t and qp_mp2_t (base/qpmempool.c).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qpbase.h"

namespace {

bool all_bytes(const void* mem, size_t size, unsigned char value)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(mem);
    return std::all_of(bytes, bytes + size, [value](unsigned char b) { return b == value; });
}

// A pool used the way functions use it: on the stack, tracked as a handle.
struct ScopedPool {
    qp_mp_t mp;
    ScopedPool()
    {
        mp_t_init(&mp);
    }
    ~ScopedPool()
    {
        mp_t_term(&mp);
    }
};

} // namespace

// Allocations are zeroed, 16-byte aligned and framed by canaries.
TEST(Pool, AllocationsAreZeroedAndFramed)
{
    ScopedPool pool;
    char* five = static_cast<char*>(ma_alloc(mp_t_ma(&pool.mp), 5));
    ASSERT_NE(five, nullptr);
    EXPECT_TRUE(all_bytes(five, 5, 0));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(five) % 16, 0u);
    EXPECT_EQ(memcmp(five + 5, "cnry", 4), 0);
    qp_mp_link_t* link = reinterpret_cast<qp_mp_link_t*>(five) - 1;
    EXPECT_EQ(link->alloc_size, 5u);
    EXPECT_EQ(memcmp(link->canary, "cnrycnrycnrycnry", 16), 0);
    for (int i = 0; i < 100; i++) {
        memset(ma_alloc(mp_t_ma(&pool.mp), size_t(i)), 1, size_t(i));
    }
    EXPECT_EQ(pool.mp.base.size, 5u + 99u * 100u / 2u);
    qp_mp_verify(&pool.mp.base);
    EXPECT_EQ(mp_t_err_count(&pool.mp), 0);
}

// After a reset the pool is empty and usable again; error counts stay.
TEST(Pool, ResetEmptiesAndKeepsErrors)
{
    ScopedPool pool;
    ma_alloc(mp_t_ma(&pool.mp), 64);
    ma_inc_err_count(mp_t_ma(&pool.mp));
    mp_t_inc_err_count(&pool.mp);
    EXPECT_EQ(mp_t_err_count(&pool.mp), 2);
    qp_mp_reset(&pool.mp.base);
    EXPECT_EQ(pool.mp.base.link, nullptr);
    EXPECT_EQ(pool.mp.base.size, 0u);
    EXPECT_EQ(mp_t_err_count(&pool.mp), 2);
    EXPECT_NE(ma_alloc(mp_t_ma(&pool.mp), 8), nullptr);
}

// An impossible size counts an error without touching the heap's
// out-of-memory mark.
TEST(Pool, ImpossibleSizeCountsAnError)
{
    EXPECT_EXIT(
        {
            int errors;
            {
                ScopedPool pool;
                ma_inc_err_count(mp_t_ma(&pool.mp));
                errors = mp_t_err_count(&pool.mp);
            }
            exit(errors == 1 && !debugheap_outofmemory() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Reset fills every block with 'z' before freeing it. This reads freed
// memory, which only the plain build allows: the C library keeps a small
// freed block's contents apart from its first bytes, the tag text here.
TEST(Pool, ResetFillsBlocksBeforeFreeing)
{
    ScopedPool pool;
    char* mem = static_cast<char*>(ma_alloc(mp_t_ma(&pool.mp), 5));
    qp_mp_reset(&pool.mp.base);
    EXPECT_TRUE(all_bytes(mem - sizeof(qp_mp_link_t), sizeof(qp_mp_link_t) + 16, 0x7A));
}
#endif

TEST(PoolDeath, DamagedCanariesAreReported)
{
    EXPECT_DEATH(
        {
            ScopedPool pool;
            char* mem = static_cast<char*>(ma_alloc(mp_t_ma(&pool.mp), 5));
            mem[5] = 0;
            qp_mp_verify(&pool.mp.base);
        },
        "memcmp\\( \\(\\(char\\*\\)\\(link \\+ 1\\)\\) \\+ link->alloc_size, &mp_link_canary, 4\\) == 0");
    EXPECT_DEATH(
        {
            ScopedPool pool;
            char* mem = static_cast<char*>(ma_alloc(mp_t_ma(&pool.mp), 32));
            mem[-1] = 0;
            qp_mp_reset(&pool.mp.base);
        },
        "link->canary\\[ i\\] == mp_link_canary_val");
}

// The error count doubles as a busy mark: a pool found busy when an
// allocation ends was used by someone else meanwhile.
TEST(PoolDeath, ConcurrentUseIsCaught)
{
    EXPECT_DEATH(
        {
            static qp_mp_t mp;
            mp_t_init(&mp);
            debugheap_trace = [](const char*, int, void*, size_t) { mp.base.error_count = 5; };
            ma_alloc(mp_t_ma(&mp), 8);
        },
        "sync_xchg\\( &mp->error_count, ");
}

TEST(PoolExit, ForgottenTermIsALeakOfThePool)
{
    EXPECT_EXIT(
        {
            static qp_mp_t mp;
            mp.vtbl = &qp_mp_vtbl;
            qp_mp_init(&mp.base);
            debugheap_handlealloced(&mp.base, "caller/unit.c", 12);
            exit(0);
        },
        testing::KilledBySignal(SIGTRAP), "LEAK: caller/unit\\.c:12\n");
}

// ---- pool with a pre-buffer ---------------------------------------------

TEST(Pool2, CarvesThePreBufferThenFallsBack)
{
    alignas(16) char buffer[16 + 3 * 32];
    qp_mp2_t mp;
    qp_mp2_init(&mp, buffer + 1, sizeof buffer - 1);
    EXPECT_EQ(mp.base.pre_buf, buffer + 16);
    EXPECT_EQ(mp.base.pre_size, 3u * 32u);
    malloc_i* ma = &mp.vtbl;
    char* first = static_cast<char*>(ma_alloc(ma, 5));
    char* second = static_cast<char*>(ma_alloc(ma, 12));
    char* third = static_cast<char*>(ma_alloc(ma, 13)); // 16 + 13 + 4 > 32: does not fit
    char* fourth = static_cast<char*>(ma_alloc(ma, 1));  // fits the last 32 bytes
    char* fifth = static_cast<char*>(ma_alloc(ma, 1));   // buffer exhausted: heap
    EXPECT_EQ(first, buffer + 32);
    EXPECT_EQ(second, buffer + 64);
    EXPECT_TRUE(third < buffer || third >= buffer + sizeof buffer);
    EXPECT_EQ(fourth, buffer + 96);
    EXPECT_TRUE(fifth < buffer || fifth >= buffer + sizeof buffer);
    for (char* mem : {first, second, third, fourth, fifth}) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(mem) % 16, 0u);
    }
    EXPECT_TRUE(all_bytes(first, 5, 0) && all_bytes(second, 12, 0) && all_bytes(third, 13, 0));
    qp_mp2_verify(&mp.base);
    qp_mp2_reset(&mp.base);
    EXPECT_TRUE(all_bytes(buffer + 16, 96, 0x7A));
    EXPECT_EQ(ma_alloc(ma, 5), buffer + 32);
    qp_mp2_reset(&mp.base);
}

// A size larger than the buffer must not wrap the record arithmetic.
TEST(Pool2, HugeSizeGoesToTheHeap)
{
    alignas(16) char buffer[64];
    qp_mp2_t mp;
    qp_mp2_init(&mp, buffer, sizeof buffer);
    EXPECT_EQ(qp_mp2_alloc(&mp.base, SIZE_MAX - 8), nullptr);
    EXPECT_EQ(qp_mp_err_count(&mp.base.base), 1);
    EXPECT_EQ(mp.base.pre_pos, 0u);
    qp_mp2_reset(&mp.base);
}

TEST(Pool2Death, MisuseIsFatal)
{
    char buffer[32];
    qp_mp2_t mp;
    EXPECT_DEATH(qp_mp2_init(&mp, buffer, 16), "\"size > 16\"");
    EXPECT_DEATH(
        {
            qp_mp2_init(&mp, buffer, sizeof buffer);
            char* mem = static_cast<char*>(qp_mp2_alloc(&mp.base, 4));
            reinterpret_cast<qp_mp2_link_t*>(mem)[-1].canary[1] = 0;
            qp_mp2_reset(&mp.base);
        },
        "link->canary\\[ j\\] == mp_link_canary_val");
    EXPECT_DEATH(
        {
            qp_mp2_init(&mp, buffer, sizeof buffer);
            char* mem = static_cast<char*>(qp_mp2_alloc(&mp.base, 4));
            mem[4] = 'x';
            qp_mp2_verify(&mp.base);
        },
        "qp_mp_trailing_canary_ok");
}
