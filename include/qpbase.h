/*
 * qpbase.h - the floor of the base runtime: debug heap, page allocation,
 * assertions, arena pools and the allocator interface.
 *
 * One header for both builds: user mode (programs, the client library) and
 * the kernel module (defined __KERNEL__). Every allocation of the system goes
 * through the debug heap so that leaks are reported with the caller's file
 * and line when the module ends. Callers use the *_d macros, which pass their
 * own position; the *_dh functions take it explicitly.
 */
#ifndef QPBASE_H
#define QPBASE_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/stddef.h>
#if __has_include(<linux/stdarg.h>)
#include <linux/stdarg.h>
#else
#include <stdarg.h> /* kernels before 5.15 take the compiler's own */
#endif
/* The kernel has no wchar_t; the compiler's own type keeps the layout of the
 * user-mode build (32-bit units). */
typedef __WCHAR_TYPE__ wchar_t;
/* Nor intptr_t (uintptr_t it has). */
typedef __INTPTR_TYPE__ intptr_t;
#else
#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>
#include <wchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- assertions ---------------------------------------------------- */

/* The stops never return. In the kernel build the calls are followed by a
 * trap instruction instead of being declared noreturn, so that the kernel's
 * object checker sees where the code path ends. */
#ifdef __KERNEL__
#define QP_NORETURN
#define QP_AFTER_STOP() __builtin_trap()
#else
#define QP_NORETURN     __attribute__((noreturn))
#define QP_AFTER_STOP() (void)0
#endif

/* Reports "ASSERT: <file tail>:<line> "<expr>"" and stops the program (or the
 * kernel). A null expr is a bare stop. Never returns. */
void qp_assert_failed(const char* file, int line, const char* expr) QP_NORETURN;

/* Fatal stop with a message written as is (heap checks use it). */
void qpbase_abort(const char* message, const char* file, int line) QP_NORETURN;

/* Assertions stay active in every build. */
#define QP_ASSERT(cond)                                                                            \
    ((cond) ? (void)0 : (qp_assert_failed(__FILE__, __LINE__, #cond), QP_AFTER_STOP()))
#define QP_STOP() (qp_assert_failed(__FILE__, __LINE__, 0), QP_AFTER_STOP())

/* ---- debug heap ---------------------------------------------------- */

void* malloc_dh(const char* file, int line, size_t size);
void* calloc_dh(const char* file, int line, size_t count, size_t each_size);
char* strdup_dh(const char* file, int line, const char* string);
wchar_t* wcsdup_dh(const char* file, int line, const wchar_t* string);
void free_dh(void* mem);

#define malloc_d(size)        malloc_dh(__FILE__, __LINE__, (size))
#define calloc_d(count, each) calloc_dh(__FILE__, __LINE__, (count), (each))
#define strdup_d(s)           strdup_dh(__FILE__, __LINE__, (s))
#define wcsdup_d(s)           wcsdup_dh(__FILE__, __LINE__, (s))
#define free_d(p)             free_dh(p)

/* Checks every live block; a damaged one stops the program with its
 * message ("heap corruption, allocation overflow?" and the others). */
void debugheap_check(void);

/* Reports print through report_printf, one call per line, with formats of
 * the format engine (report2 uses its "I64" size prefix). The function runs
 * under the heap lock and must not allocate from the debug heap.
 * debugheap_report: live bytes, blocks and ignored blocks per tag text;
 * debugheap_report2: one line per live block. */
typedef void (*debugheap_report_printf_t)(void* param, const char* format, ...);
void debugheap_report(debugheap_report_printf_t report_printf, void* param);
void debugheap_report2(debugheap_report_printf_t report_printf, void* param);

/* Leak marks: an ignored block is not reported at exit; while any
 * ignore-all block lives, no leak is reported at all. Un-ignoring a block
 * also ends its ignore-all state. */
void debugheap_ignoreleak(void* mem);
void debugheap_unignoreleak(void* mem);
void debugheap_ignoreallleaks(void* mem);

/* Whether any debug-heap allocation has failed since the start. */
int debugheap_outofmemory(void);

/* Block layout. One request of size bytes becomes one underlying block:
 * the tag text "file:line" padded with zeros to string_size (the next
 * multiple of 16 above its length), the link, the user memory (16-byte
 * aligned), the tail ("end" and a second copy of the tag text) and one spare
 * byte. The link's state is its second tag word. */
#define DHL_TAG       0x6B637068u /* "hpck": live */
#define DHL_IGNORE    0x6B6C7068u /* "hplk": live, not reported as a leak */
#define DHL_IGNOREALL 0x616C7068u /* "hpla": live, no leak is reported while it lives */
#define DHL_FREE      0x65657266u /* "free": freed */
#define DEBUGHEAPTAILTAG "end"

typedef struct DEBUGHEAPTAIL {
    char tag[4];   /* DEBUGHEAPTAILTAG with its terminator */
    char string[]; /* copy of the tag text */
} DEBUGHEAPTAIL;

typedef struct DEBUGHEAPLINK {
    char* string;                 /* block start: the tag text */
    struct DEBUGHEAPLINK** first; /* the owning module's list head */
    struct DEBUGHEAPLINK** prev;  /* the pointer that points at this link */
    struct DEBUGHEAPLINK* next;
    DEBUGHEAPTAIL* tail;          /* also the end of the user memory */
    uint32_t tag[2];              /* tag[1]: DHL_* state */
} DEBUGHEAPLINK;

/* Optional hook called after every debug-heap and pool allocation. */
typedef void (*debugheap_trace_t)(const char* file, int line, void* mem, size_t size);
extern debugheap_trace_t debugheap_trace;

/* Handle tracking: any pointer-sized identity of a resource. Null and
 * all-ones handles are ignored. */
void* debugheap_handlealloced(void* handle, const char* file, int line);
void debugheap_handlefreed(void* handle);
void debugheap_handle_retain(void* handle);
void debugheap_handle_release(void* handle);
void debugheap_handleignoreleak(void* handle);
#define handle_alloced_d(h) debugheap_handlealloced((void*)(h), __FILE__, __LINE__)

/* Leak description handed to the report of the kernel build. */
typedef struct qpbase_leakinfo_t {
    void* ptr;
    void* handle;
    size_t size;
    const char* tag;
} qpbase_leakinfo_t;

/* ---- page allocation ----------------------------------------------- */

/* Page-aligned memory, counted; pages still allocated at exit (beyond the
 * ignored ones) are reported as "palloc()" leaks. pfree takes the size given
 * to palloc. */
void* palloc(size_t size, int pageable);
void pfree(void* p, size_t size, int pageable);
void pignoreleak(void* p);
void punignoreleak(void* p);

/* ---- allocator interface ------------------------------------------- */

/* An allocator is a pointer to its table; alloc returns zeroed memory or
 * null. The allocating string operations rely on the zero fill. */
typedef struct malloc_i_vtbl_t malloc_i_vtbl_t;
typedef const malloc_i_vtbl_t* malloc_i;
struct malloc_i_vtbl_t {
    void* (*alloc)(malloc_i* ma, size_t size);
};

static inline void* ma_alloc(malloc_i* ma, size_t size)
{
    return (*ma)->alloc(ma, size);
}
/* Requests a size no allocator can satisfy, so the allocator counts one more
 * failure (a pool's error count, the debug heap's out-of-memory mark). */
static inline void ma_inc_err_count(malloc_i* ma)
{
    (void)(*ma)->alloc(ma, (size_t)-0x100001);
}

/* Debug-heap allocator attributing its blocks to one source position. */
typedef struct qp_heap_ma_t {
    malloc_i vtbl;
    const char* file;
    int line;
} qp_heap_ma_t;
extern const malloc_i_vtbl_t qp_heap_ma_vtbl;
void* qp_heap_ma_v_alloc(malloc_i* ma, size_t size);
#define QP_HEAP_MA_INIT {&qp_heap_ma_vtbl, __FILE__, __LINE__}

/* ---- arena pools --------------------------------------------------- */

typedef struct qp_mp_link_t {
    struct qp_mp_link_t* next_link;
    size_t alloc_size;
    uint32_t canary[4];
} qp_mp_link_t;

typedef struct qp_mp_base_t {
    qp_mp_link_t* link;
    int error_count;
    uint32_t size;
} qp_mp_base_t;

typedef struct qp_mp_t {
    malloc_i vtbl;
    qp_mp_base_t base;
} qp_mp_t;

typedef struct qp_mp2_link_t {
    size_t alloc_size;
    uint32_t canary[2];
} qp_mp2_link_t;

typedef struct qp_mp2_base_t {
    qp_mp_base_t base;
    char* pre_buf;
    size_t pre_size;
    size_t pre_pos;
} qp_mp2_base_t;

typedef struct qp_mp2_t {
    malloc_i vtbl;
    qp_mp2_base_t base;
} qp_mp2_t;

extern const malloc_i_vtbl_t qp_mp_vtbl;
extern const malloc_i_vtbl_t qp_mp2_vtbl;

void qp_mp_init(qp_mp_base_t* mp);
void* qp_mp_alloc(qp_mp_base_t* mp, size_t size);
void* qp_mp_v_alloc(malloc_i* ma, size_t size);
void qp_mp_reset(qp_mp_base_t* mp);
void qp_mp_verify(qp_mp_base_t* mp);
int qp_mp_err_count(qp_mp_base_t* mp);
void qp_mp_inc_err_count(qp_mp_base_t* mp);

void qp_mp2_init(qp_mp2_t* mp, void* buffer, size_t size);
void* qp_mp2_alloc(qp_mp2_base_t* mp, size_t size);
void* qp_mp2_v_alloc(malloc_i* ma, size_t size);
void qp_mp2_reset(qp_mp2_base_t* mp);
void qp_mp2_verify(qp_mp2_base_t* mp);

/* Scoped pool: declare, init (tracked as a handle at the caller's position),
 * pass mp_t_ma(&mp) to allocating calls, end with mp_t_term(&mp). */
#define mp_t_init(mp)                                                                              \
    ((mp)->vtbl = &qp_mp_vtbl, qp_mp_init(&(mp)->base),                                            \
     (void)debugheap_handlealloced(&(mp)->base, __FILE__, __LINE__))
#define mp_t_ma(mp)            (&(mp)->vtbl)
#define mp_t_term(mp)          (qp_mp_reset(&(mp)->base), debugheap_handlefreed(&(mp)->base))
#define mp_t_err_count(mp)     qp_mp_err_count(&(mp)->base)
#define mp_t_inc_err_count(mp) qp_mp_inc_err_count(&(mp)->base)

/* ---- checksums, sorting, hashing ----------------------------------- */

void Crc32Init(void);
uint32_t Crc32Update(uint32_t crc, const void* data, size_t len);
uint32_t Crc32Generate(const void* data, size_t len);

void qp_qsort3(void* base, size_t count, size_t size, int (*compare)(const void*, const void*));
void qp_hash3(uint32_t* hash, const void* data, size_t size);

/* ---- kernel build ---------------------------------------------------- */
#ifdef __KERNEL__
int module_initialize(void);
void module_finalize(void);
int atexit(void (*func)(void));
void qpbase_atexit_drain(void);
void* qpbase_malloc(size_t size);
void qpbase_free(void* p);
void* qpbase_calloc(size_t count, size_t each_size);
#endif

#ifdef __cplusplus
}

/* The scoped pool of one call in C++ units: created with the scope and
 * released (reset and untracked) when it ends, on every return path. */
class qp_scratch_pool {
public:
    qp_scratch_pool()
    {
        mp_t_init(&mp_);
    }
    ~qp_scratch_pool()
    {
        mp_t_term(&mp_);
    }
    qp_scratch_pool(const qp_scratch_pool&) = delete;
    qp_scratch_pool& operator=(const qp_scratch_pool&) = delete;
    malloc_i* ma()
    {
        return mp_t_ma(&mp_);
    }

private:
    qp_mp_t mp_;
};
#endif

#endif
