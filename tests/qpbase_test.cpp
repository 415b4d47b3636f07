// Tests of the debug heap, handle tracking, page allocation and the
// assertion reporter (base/qpbase.c).
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qpbase.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// A page left allocated on purpose is also kept out of the address
// sanitizer's own leak check.
void ignore_in_leak_sanitizer(void* p)
{
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(p);
#else
    (void)p;
#endif
}

DEBUGHEAPLINK* link_of(void* mem)
{
    return static_cast<DEBUGHEAPLINK*>(mem) - 1;
}

bool all_bytes(const void* mem, size_t size, unsigned char value)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(mem);
    return std::all_of(bytes, bytes + size, [value](unsigned char b) { return b == value; });
}

} // namespace

// Fresh blocks read as 'z', calloc blocks as zeros, both 16-byte aligned, with
// the tag text "file:line" in front and behind.
TEST(DebugHeap, BlockLayoutAndFill)
{
    char* mem = static_cast<char*>(malloc_dh("dir/unit.c", 17, 40));
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mem) % 16, 0u);
    EXPECT_TRUE(all_bytes(mem, 40, 0x7A));
    DEBUGHEAPLINK* link = link_of(mem);
    EXPECT_STREQ(link->string, "dir/unit.c:17");
    EXPECT_EQ(link->tag[1], DHL_TAG);
    EXPECT_EQ(reinterpret_cast<char*>(link->tail), mem + 40);
    EXPECT_STREQ(link->tail->tag, "end");
    EXPECT_STREQ(link->tail->string, "dir/unit.c:17");
    // string_size: the next multiple of 16 above the text length (13 -> 16).
    EXPECT_EQ(reinterpret_cast<char*>(link) - link->string, 16);
    free_dh(mem);

    void* zeroed = calloc_dh(nullptr, 3, 7, 9);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_TRUE(all_bytes(zeroed, 63, 0));
    EXPECT_STREQ(link_of(zeroed)->string, "anonymous:3");
    free_dh(zeroed);
}

// A tag text whose length is a multiple of 16 still gets its terminator and
// at least one zero byte of padding.
TEST(DebugHeap, TagPaddingAtMultipleOf16)
{
    void* mem = malloc_dh("abcdefghijklm", 12, 1); // "abcdefghijklm:12" is 16 chars
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(reinterpret_cast<char*>(link_of(mem)) - link_of(mem)->string, 32);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mem) % 16, 0u);
    free_dh(mem);
}

// A file name longer than the 200-byte tag scratch is cut to 199 characters
// in both copies, and the block passes its checks.
TEST(DebugHeap, LongFileNameIsCut)
{
    std::string file(300, 'f');
    void* mem = malloc_dh(file.c_str(), 5, 8);
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(std::string(link_of(mem)->string), file.substr(0, 199));
    EXPECT_EQ(std::string(link_of(mem)->tail->string), file.substr(0, 199));
    debugheap_check();
    free_dh(mem);
}

// Zero sizes, null frees and sizes whose product or header overflows all fail
// cleanly instead of allocating a short block.
TEST(DebugHeap, DegenerateSizes)
{
    EXPECT_EQ(malloc_dh(__FILE__, __LINE__, 0), nullptr);
    free_dh(nullptr);
    EXPECT_EQ(calloc_dh(__FILE__, __LINE__, SIZE_MAX / 2, 3), nullptr);
    EXPECT_EQ(calloc_dh(__FILE__, __LINE__, 0, 8), nullptr);
    EXPECT_EQ(malloc_dh(__FILE__, __LINE__, SIZE_MAX - 8), nullptr);
    EXPECT_TRUE(debugheap_outofmemory());
}

TEST(DebugHeap, StringCopies)
{
    char* s = strdup_d("hello");
    EXPECT_STREQ(s, "hello");
    wchar_t* w = wcsdup_d(L"wide \u00e9");
    EXPECT_EQ(std::wcscmp(w, L"wide \u00e9"), 0);
    free_d(s);
    free_d(w);
    EXPECT_DEATH(strdup_d(nullptr), "ASSERT: /qpbase\\.c:[0-9]+ \"string\"");
}

// Many blocks freed in random order keep the list and the quick-check
// position consistent.
TEST(DebugHeap, RandomOrderFree)
{
    std::mt19937 random(7);
    std::vector<void*> blocks;
    for (int round = 0; round < 2000; round++) {
        if (blocks.empty() || random() % 3) {
            blocks.push_back(malloc_d(1 + random() % 100));
        } else {
            size_t at = random() % blocks.size();
            free_d(blocks[at]);
            blocks[at] = blocks.back();
            blocks.pop_back();
        }
        if (round % 100 == 0) {
            debugheap_check();
        }
    }
    for (void* mem : blocks) {
        free_d(mem);
    }
}

TEST(DebugHeap, ThreadsShareTheHeap)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            std::vector<void*> blocks;
            for (int i = 0; i < 3000; i++) {
                blocks.push_back(malloc_d(8 + (i + t) % 50));
                if (i % 3 == 2) {
                    free_d(blocks[blocks.size() - 2]);
                    blocks.erase(blocks.end() - 2);
                }
            }
            for (void* mem : blocks) {
                free_d(mem);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

// ---- corruption -------------------------------------------------------

// One byte past the end breaks the tail.
TEST(DebugHeapDeath, OverflowByOneByte)
{
    EXPECT_DEATH(
        {
            char* mem = static_cast<char*>(malloc_d(24));
            mem[24] = 0;
            debugheap_check();
        },
        "heap corruption, allocation overflow\\?");
}

// The bounded sweep of later allocations finds damage anywhere in a large
// heap without a full check.
TEST(DebugHeapDeath, SweepFindsOverflow)
{
    EXPECT_DEATH(
        {
            std::vector<void*> blocks;
            for (int i = 0; i < 500; i++) {
                blocks.push_back(malloc_d(16));
            }
            static_cast<char*>(blocks[3])[16] = 'x';
            for (int i = 0; i < 100; i++) {
                free_d(malloc_d(16));
            }
        },
        "heap corruption, allocation overflow\\?");
}

TEST(DebugHeapDeath, DoubleFree)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer sees the read of the freed link first.
    const char* expected = "heap-use-after-free";
#else
    const char* expected = "bad heap ptr, already freed\\?";
#endif
    EXPECT_DEATH(
        {
            void* mem = malloc_d(32);
            free_d(mem);
            free_d(mem);
        },
        expected);
}

TEST(DebugHeapDeath, PointerIntoTheMiddle)
{
    EXPECT_DEATH(
        {
            char* mem = static_cast<char*>(malloc_d(64));
            free_d(mem + 16);
        },
        "bad heap ptr, allocation underflow\\?");
}

// A block of another module's heap carries another list head in first.
TEST(DebugHeapDeath, WrongModuleHeap)
{
    EXPECT_DEATH(
        {
            static DEBUGHEAPLINK* other_head;
            void* mem = malloc_d(8);
            link_of(mem)->first = &other_head;
            free_d(mem);
        },
        "heap corruption, wrong module heap\\?");
}

// A broken back pointer is plain corruption.
TEST(DebugHeapDeath, BrokenPrev)
{
    EXPECT_DEATH(
        {
            static DEBUGHEAPLINK* elsewhere;
            void* mem = malloc_d(8);
            link_of(mem)->prev = &elsewhere;
            debugheap_check();
        },
        "heap corruption$");
}

// ---- leaks at exit -----------------------------------------------------

TEST(DebugHeapExit, LeakIsReportedWithItsPosition)
{
    EXPECT_EXIT(
        {
            malloc_dh("leaky/unit.c", 42, 10);
            exit(0);
        },
        testing::KilledBySignal(SIGTRAP), "LEAK: leaky/unit\\.c:42\n");
}

TEST(DebugHeapExit, IgnoredLeakIsNotReported)
{
    EXPECT_EXIT(
        {
            debugheap_ignoreleak(malloc_dh("leaky/unit.c", 43, 10));
            exit(0);
        },
        testing::ExitedWithCode(0), "^$");
}

TEST(DebugHeapExit, UnignoredLeakIsReported)
{
    EXPECT_EXIT(
        {
            void* mem = malloc_dh("leaky/unit.c", 44, 10);
            debugheap_ignoreleak(mem);
            debugheap_unignoreleak(mem);
            exit(0);
        },
        testing::KilledBySignal(SIGTRAP), "LEAK: leaky/unit\\.c:44\n");
}

TEST(DebugHeapExit, IgnoreAllSilencesEveryLeak)
{
    EXPECT_EXIT(
        {
            malloc_dh("leaky/unit.c", 45, 10);
            debugheap_ignoreallleaks(malloc_dh("leaky/unit.c", 46, 10));
            exit(0);
        },
        testing::ExitedWithCode(0), "^$");
}

// Ignore-all lasts only while its block lives; un-ignoring the block ends it
// too.
TEST(DebugHeapExit, IgnoreAllEndsWithItsBlock)
{
    EXPECT_EXIT(
        {
            malloc_dh("leaky/unit.c", 47, 10);
            void* all = malloc_dh("leaky/unit.c", 48, 10);
            debugheap_ignoreallleaks(all);
            debugheap_ignoreallleaks(all);
            free_dh(all);
            exit(0);
        },
        testing::KilledBySignal(SIGTRAP), "LEAK: leaky/unit\\.c:47\n");
    EXPECT_EXIT(
        {
            malloc_dh("leaky/unit.c", 49, 10);
            void* all = malloc_dh("leaky/unit.c", 50, 10);
            debugheap_ignoreallleaks(all);
            debugheap_unignoreleak(all);
            exit(0);
        },
        testing::KilledBySignal(SIGTRAP), "LEAK: leaky/unit\\.c:50\n");
}

TEST(DebugHeapExit, PageLeakTraps)
{
    EXPECT_EXIT(
        {
            palloc(100, 0);
            exit(0);
        },
        testing::KilledBySignal(SIGTRAP), "LEAK: palloc");
    EXPECT_EXIT(
        {
            void* page = palloc(100, 0);
            pignoreleak(page);
            ignore_in_leak_sanitizer(page);
            exit(0);
        },
        testing::ExitedWithCode(0), "^$");
}

// ---- handles -------------------------------------------------------------

TEST(DebugHeapHandles, TrackedHandleLifecycle)
{
    int resource;
    EXPECT_EQ(handle_alloced_d(&resource), &resource);
    debugheap_handle_retain(&resource);
    debugheap_handle_retain(&resource);
    debugheap_handle_release(&resource);
    debugheap_handle_release(&resource);
    debugheap_handlefreed(&resource);
    // Null and all-ones are never tracked.
    EXPECT_EQ(handle_alloced_d(nullptr), nullptr);
    void* all_ones = reinterpret_cast<void*>(~uintptr_t(0));
    EXPECT_EQ(handle_alloced_d(all_ones), all_ones);
    debugheap_handlefreed(all_ones);
    debugheap_handlefreed(nullptr);
    // Untracked handles are ignored by retain and release.
    debugheap_handle_retain(&resource);
    debugheap_handle_release(&resource);
}

TEST(DebugHeapHandles, MisuseIsFatal)
{
    int resource;
    EXPECT_DEATH(
        {
            handle_alloced_d(&resource);
            debugheap_handle_retain(&resource);
            debugheap_handlefreed(&resource);
        },
        "Handle still in use at free");
    EXPECT_DEATH(debugheap_handlefreed(&resource), "Unable to find tracked handle at free");
    EXPECT_DEATH(
        {
            handle_alloced_d(&resource);
            debugheap_handle_release(&resource);
        },
        "link->use_count > 0");
}

// After an allocation failure a missing record is forgiven.
TEST(DebugHeapHandles, MissingRecordAfterOutOfMemory)
{
    EXPECT_EXIT(
        {
            int resource;
            calloc_d(SIZE_MAX, 2);
            debugheap_handlefreed(&resource);
            exit(0);
        },
        testing::ExitedWithCode(0), "^$");
}

TEST(DebugHeapExit, LeakedHandleIsReportedAtItsPosition)
{
    EXPECT_EXIT(
        {
            static int resource;
            debugheap_handlealloced(&resource, "owner/unit.c", 77);
            exit(0);
        },
        testing::KilledBySignal(SIGTRAP), "LEAK: owner/unit\\.c:77\n");
    EXPECT_EXIT(
        {
            static int resource;
            debugheap_handlealloced(&resource, "owner/unit.c", 78);
            debugheap_handleignoreleak(&resource);
            exit(0);
        },
        testing::ExitedWithCode(0), "^$");
}

// ---- assertions -----------------------------------------------------------

TEST(Assert, MessageText)
{
    EXPECT_DEATH(qp_assert_failed("base/x.c", 7, "a"), "^ASSERT: /x\\.c:7 \"a\"\n$");
    EXPECT_DEATH(qp_assert_failed("x.c", -3, nullptr), "^ASSERT: x\\.c:-3\n$");
    EXPECT_EXIT(QP_ASSERT(1 + 1 == 3), testing::KilledBySignal(SIGTRAP),
                "ASSERT: /qpbase_test\\.cpp:[0-9]+ \"1 \\+ 1 == 3\"");
}

// A very long condition is cut to the 200-byte message, still terminated.
TEST(Assert, LongConditionIsCut)
{
    std::string expr(500, 'c');
    EXPECT_DEATH(qp_assert_failed("f.c", 1, expr.c_str()), "^ASSERT: f\\.c:1 \"c{180,190}$");
}

// ---- pages -----------------------------------------------------------------

TEST(Pages, AlignedAndCounted)
{
    void* p = palloc(10000, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
    memset(p, 1, 10000);
    pfree(p, 10000, 1);
    pfree(nullptr, 5, 0);
    EXPECT_EQ(palloc(0, 0), nullptr);
    EXPECT_DEATH(pfree(&p, 1 << 30, 0), "palloc_count && palloc_size >= s");
}

// ---- hook and reports --------------------------------------------------------

namespace {

struct TraceCall {
    std::string file;
    int line;
    void* mem;
    size_t size;
};
std::vector<TraceCall>* trace_calls;

void record_trace(const char* file, int line, void* mem, size_t size)
{
    trace_calls->push_back({file ? file : "", line, mem, size});
}

// The report uses the format engine's I64 prefix; the C library spells it ll.
void collect_report(void* param, const char* format, ...)
{
    std::string spelled(format);
    for (size_t at; (at = spelled.find("I64")) != std::string::npos;) {
        spelled.replace(at, 3, "ll");
    }
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, spelled.c_str(), args);
    va_end(args);
    static_cast<std::string*>(param)->append(line);
}

} // namespace

TEST(DebugHeap, TraceHookSeesEveryAllocation)
{
    std::vector<TraceCall> calls;
    trace_calls = &calls;
    debugheap_trace = record_trace;
    void* mem = malloc_dh("hook.c", 5, 12);
    void* failed = calloc_dh("hook.c", 6, size_t(1) << 50, 1);
    debugheap_trace = nullptr;
    free_dh(mem);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].file, "hook.c");
    EXPECT_EQ(calls[0].line, 5);
    EXPECT_EQ(calls[0].mem, mem);
    EXPECT_EQ(calls[0].size, 12u);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(calls[1].mem, nullptr);
}

// Groups by tag text, largest first, with ignored blocks counted.
TEST(DebugHeap, ReportGroupsBySource)
{
    void* a1 = malloc_dh("rep.c", 1, 10);
    void* a2 = malloc_dh("rep.c", 1, 20);
    void* b = malloc_dh("rep.c", 2, 100);
    debugheap_ignoreleak(b);
    std::string text;
    debugheap_report(collect_report, &text);
    EXPECT_NE(text.find("     bytes   allocs  ignores  source\n"
                        "----------  -------  -------  ------------\n"),
              std::string::npos);
    size_t b_at = text.find("       100        1        1  rep.c:2\n");
    size_t a_at = text.find("        30        2        0  rep.c:1\n");
    EXPECT_NE(b_at, std::string::npos);
    EXPECT_NE(a_at, std::string::npos);
    EXPECT_LT(b_at, a_at);
    EXPECT_NE(text.find("  palloc()\n"), std::string::npos);

    text.clear();
    debugheap_report2(collect_report, &text);
    char expected[64];
    snprintf(expected, sizeof expected, "%16llX       64  rep.c:2\n",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(b)));
    EXPECT_NE(text.find(expected), std::string::npos) << text;
    free_dh(a1);
    free_dh(a2);
    free_dh(b);
}

// ---- allocator interface -------------------------------------------------------

TEST(HeapAllocator, AttributesBlocksToItsPosition)
{
    qp_heap_ma_t heap = {&qp_heap_ma_vtbl, "heap_ma.c", 9};
    malloc_i* ma = &heap.vtbl;
    char* mem = static_cast<char*>(ma_alloc(ma, 33));
    ASSERT_NE(mem, nullptr);
    EXPECT_TRUE(all_bytes(mem, 33, 0));
    EXPECT_STREQ(link_of(mem)->string, "heap_ma.c:9");
    free_dh(mem);
    EXPECT_EXIT(
        {
            ma_inc_err_count(ma);
            exit(debugheap_outofmemory() ? 3 : 4);
        },
        testing::ExitedWithCode(3), "");
}
