/*
 * qpbase.c - the debug heap, handle tracking, page allocation and the
 * assertion reporter. One source for user mode and the kernel module; the
 * machine is reached only through base/qpbaseplat.h.
 *
 * Every block of the module's heap is one underlying allocation (layout in
 * include/qpbase.h): tag text, DEBUGHEAPLINK, user memory, DEBUGHEAPTAIL and
 * a spare byte. Live links form one list, newest first, from the head
 * debugHeapLinkFirst; each link's prev holds the address of the pointer that
 * points at it (the head or the previous link's next), and its first holds the
 * address of the head, which tells this module's blocks from another
 * module's.
 *
 * Invariants, checked by debugheap_checklink: a live link's tail starts with
 * "end" followed by the same tag text as the block start; *link->prev ==
 * link; link->first == &debugHeapLinkFirst; the state is one of the DHL_*
 * values. Every allocation checks the next 20 links after
 * debugHeapQuickCheckPosition, every free 20 before and 20 after unlinking,
 * so repeated calls sweep the whole list at a bounded cost per call.
 *
 * Locks: debugheap_lock guards the block list, the quick-check position, the
 * ignore-all count and the handle list. It is never held while calling the
 * underlying allocator or the trace hook, and nothing under it allocates
 * from the debug heap. The page counters and the initialised flag are
 * atomics.
 *
 * Kernel build: module_initialize, module_finalize, the atexit list and
 * qpbase_malloc/qpbase_free/qpbase_calloc live with the module's own units;
 * module_finalize calls debugheap_terminator.
 */
#include "qpbase.h"
#include "bitops.h"
#include "qpsync.h"
#include "qpbaseplat.h"

#ifdef __KERNEL__
#include <linux/string.h>
#else
#include <string.h>
#endif

/* ---- text building ------------------------------------------------- */

/* A bounded text: appends stop when dest is full, the text stays
 * terminated. size must be at least 1. */
typedef struct qpbase_text_t {
    char* dest;
    size_t size;
    size_t length;
} qpbase_text_t;

static void qpbase_text_init(qpbase_text_t* text, char* dest, size_t size)
{
    text->dest = dest;
    text->size = size;
    text->length = 0;
    dest[0] = 0;
}

static void qpbase_text_put(qpbase_text_t* text, const char* s)
{
    size_t length = strnlen(s, text->size - 1 - text->length);
    memcpy(text->dest + text->length, s, length);
    text->length += length;
    text->dest[text->length] = 0;
}

static void qpbase_text_put_int(qpbase_text_t* text, int value)
{
    char digits[16];
    char* start = digits + sizeof digits - 1;
    unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
    *start = 0;
    do {
        *--start = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) {
        *--start = '-';
    }
    qpbase_text_put(text, start);
}

/* ---- assertions ---------------------------------------------------- */

enum { qpbase_message_size = 200 };

void qp_assert_failed(const char* file, int line, const char* expr)
{
    char buffer[qpbase_message_size];
    qpbase_text_t text;
    const char* tail = file ? strrchr(file, '/') : 0;
    qpbase_text_init(&text, buffer, sizeof buffer);
    qpbase_text_put(&text, "ASSERT: ");
    qpbase_text_put(&text, tail ? tail : file ? file : "");
    qpbase_text_put(&text, ":");
    qpbase_text_put_int(&text, line);
    if (expr) {
        qpbase_text_put(&text, " \"");
        qpbase_text_put(&text, expr);
        qpbase_text_put(&text, "\"");
    }
    qpbase_text_put(&text, "\n");
    qpbase_plat_fatal(buffer);
    QP_AFTER_STOP();
}

void qpbase_abort(const char* message, const char* file, int line)
{
    (void)file;
    (void)line;
    qpbase_plat_fatal(message);
    QP_AFTER_STOP();
}

/* ---- module state -------------------------------------------------- */

/* A handle record; allocated from the debug heap at the caller's position. */
typedef struct DEBUGHEAPHANDLELINK {
    void* handle;
    int use_count;
    struct DEBUGHEAPHANDLELINK* next;
} DEBUGHEAPHANDLELINK;

enum { debugheap_quick_check_count = 20 };

debugheap_trace_t debugheap_trace;

static int debugheap_initialized;
static int palloc_count;
static int palloc_ignore_count;
static size_t palloc_size;
static sync_t debugheap_lock = SYNC_INIT;
static DEBUGHEAPLINK* debugHeapLinkFirst;
static DEBUGHEAPLINK* debugHeapQuickCheckPosition;
static int debugHeapIgnoreAllCount;
static int debugHeapOutOfMemory;
static DEBUGHEAPHANDLELINK* debugHeapHandleLinkFirst;

static void debugheap_initialize(void)
{
    if (__atomic_load_n(&debugheap_initialized, __ATOMIC_ACQUIRE)) {
        return;
    }
    if (sync_xchg(&debugheap_initialized, 0, 1)) {
        qpbase_plat_atexit(debugheap_terminator);
        /* The synchronisation layer registers its own end after this one,
         * so at exit it has collected the threads and freed its pages
         * before the leak check runs. */
        (void)qpsync_initializer();
        bits_selftest();
    }
}

/* ---- link checks ---------------------------------------------------- */

static DEBUGHEAPLINK* debugheap_link_of(const void* mem)
{
    return (DEBUGHEAPLINK*)mem - 1;
}

static void* debugheap_mem_of(DEBUGHEAPLINK* link)
{
    return link + 1;
}

static size_t debugheap_size_of(DEBUGHEAPLINK* link)
{
    return (size_t)((char*)link->tail - (char*)debugheap_mem_of(link));
}

static int debugheap_is_live(uint32_t state)
{
    return state == DHL_TAG || state == DHL_IGNORE || state == DHL_IGNOREALL;
}

/* Touches the memory a live link points at, so that a wild pointer faults
 * here, inside the check, and not later in some unrelated code. */
static void debugheap_probe(const DEBUGHEAPLINK* link)
{
    const volatile char* prev_word = (const volatile char*)link->prev;
    (void)*prev_word;
    if (link->next) {
        (void)((const volatile DEBUGHEAPLINK*)link->next)->tag[1];
    }
}

#define debugheap_stop(message) (qpbase_abort(message, __FILE__, __LINE__), QP_AFTER_STOP())

/* The state is read before any pointer of the link is followed: a pointer
 * into the middle of a block has no valid pointers where its link would be,
 * and the state tells it apart. Inlined: the sweep runs it 20 times per
 * call, and the call itself is a tenth of a cached check. */
static inline __attribute__((always_inline)) void debugheap_checklink(DEBUGHEAPLINK* link)
{
    uint32_t state = ((volatile DEBUGHEAPLINK*)link)->tag[1];
    if (state == DHL_FREE) {
        debugheap_stop("bad heap ptr, already freed?");
    }
    if (!debugheap_is_live(state)) {
        debugheap_stop("bad heap ptr, allocation underflow?");
    }
    debugheap_probe(link);
    if (memcmp(link->tail->tag, DEBUGHEAPTAILTAG, sizeof link->tail->tag) != 0 ||
        strcmp(link->tail->string, link->string) != 0) {
        debugheap_stop("heap corruption, allocation overflow?");
    }
    if (!link->prev || *link->prev != link) {
        debugheap_stop("heap corruption");
    }
    if (link->first != &debugHeapLinkFirst) {
        debugheap_stop("heap corruption, wrong module heap?");
    }
}

/* The sweep is bound by memory latency: while one link is checked, the
 * lines the next check reads (the link after, its tail and its tag text) are
 * already on their way. The next link itself was requested one step
 * earlier. Forced inline: as a call, gcc takes the function for one without
 * effects (a prefetch changes nothing it can see) and drops it. */
static inline __attribute__((always_inline)) void debugheap_prefetch_after(const DEBUGHEAPLINK* link)
{
    const DEBUGHEAPLINK* next = link->next;
    if (next) {
        __builtin_prefetch(next->next);
        __builtin_prefetch(next->tail);
        __builtin_prefetch(next->string);
    }
}

static void debugheap_check_order(DEBUGHEAPLINK* prev, DEBUGHEAPLINK* link)
{
    QP_ASSERT(prev || link == debugHeapLinkFirst);
    QP_ASSERT(!prev || prev->next == link);
}

/* Checks up to maxCheckCount links after the quick-check position (all of
 * them from the head when maxCheckCount is negative) and remembers the last
 * link examined. */
static void debugheap_check_locked(int maxCheckCount)
{
    DEBUGHEAPLINK* prev = debugHeapQuickCheckPosition;
    DEBUGHEAPLINK* link;
    int checked = 0;
    QP_ASSERT(sync_is_locked(&debugheap_lock));
    if (maxCheckCount < 0 || !prev || !prev->next) {
        prev = 0;
    }
    link = prev ? prev->next : debugHeapLinkFirst;
    while (link && (maxCheckCount < 0 || checked < maxCheckCount)) {
        debugheap_prefetch_after(link);
        debugheap_check_order(prev, link);
        debugheap_checklink(link);
        debugheap_check_order(prev, link);
        prev = link;
        link = link->next;
        checked++;
    }
    debugHeapQuickCheckPosition = prev;
}

void debugheap_check(void)
{
    sync_lock(&debugheap_lock);
    debugheap_check_locked(-1);
    sync_unlock(&debugheap_lock);
}

/* ---- allocation ----------------------------------------------------- */

/* Set without the lock: failures may happen in several threads at once. */
static void debugheap_set_outofmemory(void)
{
    __atomic_store_n(&debugHeapOutOfMemory, 1, __ATOMIC_RELAXED);
}

enum { debugheap_tag_size = 200 };

/* The tag text "file:line"; returns its length. */
static size_t debugheap_format_tag(char* tag, const char* file, int line)
{
    qpbase_text_t text;
    qpbase_text_init(&text, tag, debugheap_tag_size);
    qpbase_text_put(&text, file ? file : "anonymous");
    qpbase_text_put(&text, ":");
    qpbase_text_put_int(&text, line);
    return text.length;
}

/* Lays out a fresh block and returns its link (not yet listed). */
static DEBUGHEAPLINK* debugheap_layout(char* block, const char* tag, size_t tag_length,
                                       size_t string_size, size_t size)
{
    DEBUGHEAPLINK* link = (DEBUGHEAPLINK*)(block + string_size);
    DEBUGHEAPTAIL* tail = (DEBUGHEAPTAIL*)((char*)(link + 1) + size);
    memcpy(block, tag, tag_length);
    memset(block + tag_length, 0, string_size - tag_length);
    link->string = block;
    link->first = &debugHeapLinkFirst;
    link->prev = 0;
    link->next = 0;
    link->tail = tail;
    link->tag[0] = 0;
    link->tag[1] = DHL_TAG;
    memcpy(tail->tag, DEBUGHEAPTAILTAG, sizeof tail->tag);
    memcpy(tail->string, tag, tag_length + 1);
    tail->string[tag_length + 1] = 0; /* the spare byte */
    return link;
}

static void debugheap_push(DEBUGHEAPLINK* link)
{
    DEBUGHEAPLINK* next;
    sync_lock(&debugheap_lock);
    debugheap_check_locked(debugheap_quick_check_count);
    next = debugHeapLinkFirst;
    if (next) {
        QP_ASSERT(next->prev == &debugHeapLinkFirst);
        next->prev = &link->next;
    }
    link->next = next;
    link->prev = &debugHeapLinkFirst;
    debugHeapLinkFirst = link;
    sync_unlock(&debugheap_lock);
}

/* One block of size bytes, its user memory filled with fill. */
static void* debugheap_alloc(const char* file, int line, size_t size, int fill)
{
    char tag[debugheap_tag_size];
    size_t tag_length;
    size_t string_size;
    size_t overhead;
    char* block = 0;
    void* mem = 0;
    if (!size) {
        return 0;
    }
    debugheap_initialize();
    tag_length = debugheap_format_tag(tag, file, line);
    string_size = (tag_length + 16) & ~(size_t)15;
    overhead = string_size + sizeof(DEBUGHEAPLINK) + sizeof(((DEBUGHEAPTAIL*)0)->tag) +
               tag_length + 2;
    if (size <= (size_t)-1 - overhead) {
        block = (char*)qpbase_plat_malloc(overhead + size);
    }
    if (block) {
        DEBUGHEAPLINK* link = debugheap_layout(block, tag, tag_length, string_size, size);
        mem = debugheap_mem_of(link);
        memset(mem, fill, size);
        debugheap_push(link);
    } else {
        debugheap_set_outofmemory();
    }
    if (debugheap_trace) {
        debugheap_trace(file, line, mem, size);
    }
    return mem;
}

void* malloc_dh(const char* file, int line, size_t size)
{
    return debugheap_alloc(file, line, size, 0x7A);
}

void* calloc_dh(const char* file, int line, size_t count, size_t each_size)
{
    if (each_size && count > (size_t)-1 / each_size) {
        debugheap_set_outofmemory();
        return 0;
    }
    return debugheap_alloc(file, line, count * each_size, 0);
}

char* strdup_dh(const char* file, int line, const char* string)
{
    size_t size;
    char* copy;
    QP_ASSERT(string);
    size = strlen(string) + 1;
    copy = (char*)malloc_dh(file, line, size);
    if (copy) {
        memcpy(copy, string, size);
    }
    return copy;
}

wchar_t* wcsdup_dh(const char* file, int line, const wchar_t* string)
{
    size_t length = 0;
    wchar_t* copy;
    QP_ASSERT(string);
    while (string[length]) {
        length++;
    }
    copy = (wchar_t*)malloc_dh(file, line, (length + 1) * sizeof(wchar_t));
    if (copy) {
        memcpy(copy, string, (length + 1) * sizeof(wchar_t));
    }
    return copy;
}

/* The link whose next field is *prev, or null when prev is the head. */
static DEBUGHEAPLINK* debugheap_link_before(DEBUGHEAPLINK** prev)
{
    if (prev == &debugHeapLinkFirst) {
        return 0;
    }
    return (DEBUGHEAPLINK*)((char*)prev - offsetof(DEBUGHEAPLINK, next));
}

static void debugheap_unlink(DEBUGHEAPLINK* link)
{
    if (debugHeapQuickCheckPosition == link) {
        debugHeapQuickCheckPosition = debugheap_link_before(link->prev);
    }
    *link->prev = link->next;
    if (link->next) {
        link->next->prev = link->prev;
    }
    link->prev = 0;
    link->next = 0;
}

void free_dh(void* mem)
{
    DEBUGHEAPLINK* link;
    if (!mem) {
        return;
    }
    link = debugheap_link_of(mem);
    sync_lock(&debugheap_lock);
    debugheap_check_locked(debugheap_quick_check_count);
    debugheap_checklink(link);
    debugheap_unlink(link);
    if (link->tag[1] == DHL_IGNOREALL) {
        QP_ASSERT(debugHeapIgnoreAllCount);
        debugHeapIgnoreAllCount--;
    }
    link->tag[1] = DHL_FREE;
    debugheap_check_locked(debugheap_quick_check_count);
    sync_unlock(&debugheap_lock);
    qpbase_plat_free(link->string);
}

int debugheap_outofmemory(void)
{
    return __atomic_load_n(&debugHeapOutOfMemory, __ATOMIC_RELAXED);
}

/* ---- leak marks ------------------------------------------------------ */

/* Runs mark on the checked link of mem under the lock; null is ignored. */
static void debugheap_mark(void* mem, void (*mark)(DEBUGHEAPLINK* link))
{
    DEBUGHEAPLINK* link;
    if (!mem) {
        return;
    }
    link = debugheap_link_of(mem);
    sync_lock(&debugheap_lock);
    debugheap_checklink(link);
    mark(link);
    sync_unlock(&debugheap_lock);
}

static void debugheap_mark_ignore(DEBUGHEAPLINK* link)
{
    if (link->tag[1] != DHL_IGNOREALL) {
        link->tag[1] = DHL_IGNORE;
    }
}

/* Un-ignoring an ignore-all block also ends its ignore-all state, so that
 * leak reports are not silenced for good. */
static void debugheap_mark_unignore(DEBUGHEAPLINK* link)
{
    if (link->tag[1] == DHL_IGNOREALL) {
        QP_ASSERT(debugHeapIgnoreAllCount);
        debugHeapIgnoreAllCount--;
    }
    link->tag[1] = DHL_TAG;
}

static void debugheap_mark_ignoreall(DEBUGHEAPLINK* link)
{
    if (link->tag[1] != DHL_IGNOREALL) {
        link->tag[1] = DHL_IGNOREALL;
        debugHeapIgnoreAllCount++;
    }
}

void debugheap_ignoreleak(void* mem)
{
    debugheap_mark(mem, debugheap_mark_ignore);
}

void debugheap_unignoreleak(void* mem)
{
    debugheap_mark(mem, debugheap_mark_unignore);
}

void debugheap_ignoreallleaks(void* mem)
{
    debugheap_mark(mem, debugheap_mark_ignoreall);
}

/* ---- handle tracking ------------------------------------------------- */

static int debugheap_handle_is_tracked(const void* handle)
{
    return handle && handle != (void*)~(size_t)0;
}

/* The pointer that points at the first record of handle, or null. Lock
 * held. */
static DEBUGHEAPHANDLELINK** debugheap_handle_find(const void* handle)
{
    DEBUGHEAPHANDLELINK** at = &debugHeapHandleLinkFirst;
    while (*at && (*at)->handle != handle) {
        at = &(*at)->next;
    }
    return *at ? at : 0;
}

void* debugheap_handlealloced(void* handle, const char* file, int line)
{
    DEBUGHEAPHANDLELINK* link;
    if (!debugheap_handle_is_tracked(handle)) {
        return handle;
    }
    link = (DEBUGHEAPHANDLELINK*)calloc_dh(file, line, 1, sizeof *link);
    if (link) {
        link->handle = handle;
        sync_lock(&debugheap_lock);
        link->next = debugHeapHandleLinkFirst;
        debugHeapHandleLinkFirst = link;
        sync_unlock(&debugheap_lock);
    }
    return handle;
}

/* Unlinks the first record of handle and returns it, or null. */
static DEBUGHEAPHANDLELINK* debugheap_handle_take(const void* handle)
{
    DEBUGHEAPHANDLELINK** at;
    DEBUGHEAPHANDLELINK* link = 0;
    sync_lock(&debugheap_lock);
    at = debugheap_handle_find(handle);
    if (at) {
        link = *at;
        *at = link->next;
    }
    sync_unlock(&debugheap_lock);
    return link;
}

void debugheap_handlefreed(void* handle)
{
    DEBUGHEAPHANDLELINK* link;
    if (!debugheap_handle_is_tracked(handle)) {
        return;
    }
    link = debugheap_handle_take(handle);
    QP_ASSERT(link || debugheap_outofmemory() || !"Unable to find tracked handle at free");
    if (link) {
        QP_ASSERT(link->use_count == 0 || !"Handle still in use at free");
        free_dh(link);
    }
}

/* Adds delta to the use count of a tracked handle; untracked ones are
 * ignored. */
static void debugheap_handle_use(void* handle, int delta)
{
    DEBUGHEAPHANDLELINK** at;
    if (!debugheap_handle_is_tracked(handle)) {
        return;
    }
    sync_lock(&debugheap_lock);
    at = debugheap_handle_find(handle);
    if (at) {
        DEBUGHEAPHANDLELINK* link = *at;
        if (delta > 0) {
            QP_ASSERT(link->use_count >= 0);
        } else {
            QP_ASSERT(link->use_count > 0);
        }
        link->use_count += delta;
    }
    sync_unlock(&debugheap_lock);
}

void debugheap_handle_retain(void* handle)
{
    debugheap_handle_use(handle, 1);
}

void debugheap_handle_release(void* handle)
{
    debugheap_handle_use(handle, -1);
}

void debugheap_handleignoreleak(void* handle)
{
    DEBUGHEAPHANDLELINK* link;
    if (!debugheap_handle_is_tracked(handle)) {
        return;
    }
    link = debugheap_handle_take(handle);
    if (link) {
        debugheap_ignoreleak(link);
    }
}

/* ---- page allocation -------------------------------------------------- */

void* palloc(size_t size, int pageable)
{
    void* p;
    if (!size) {
        return 0;
    }
    debugheap_initialize();
    p = qpbase_plat_palloc(size, pageable);
    if (p) {
        sync_inc(&palloc_count);
        sync_add_size(&palloc_size, size);
    }
    return p;
}

void pfree(void* p, size_t size, int pageable)
{
    size_t s = size;
    if (!p) {
        return;
    }
    /* The counts are read atomically: other threads allocate and free pages
     * meanwhile. The text is the check's own. */
    if (!(__atomic_load_n(&palloc_count, __ATOMIC_RELAXED) &&
          __atomic_load_n(&palloc_size, __ATOMIC_RELAXED) >= s)) {
        qp_assert_failed(__FILE__, __LINE__, "palloc_count && palloc_size >= s");
        QP_AFTER_STOP();
    }
    sync_dec(&palloc_count);
    sync_sub_size(&palloc_size, s);
    qpbase_plat_pfree(p, size, pageable);
}

void pignoreleak(void* p)
{
    if (p) {
        sync_inc(&palloc_ignore_count);
    }
}

void punignoreleak(void* p)
{
    if (p) {
        sync_dec(&palloc_ignore_count);
    }
}

/* ---- leak check and reports ------------------------------------------- */

/* The handle whose record is the block at mem, or null. Lock held. */
static void* debugheap_handle_at(const void* mem)
{
    DEBUGHEAPHANDLELINK* link = debugHeapHandleLinkFirst;
    while (link && (const void*)link != mem) {
        link = link->next;
    }
    return link ? link->handle : 0;
}

static void debugheap_report_leaks_locked(void)
{
    DEBUGHEAPLINK* link;
    if (debugHeapIgnoreAllCount) {
        return;
    }
    for (link = debugHeapLinkFirst; link; link = link->next) {
        qpbase_leakinfo_t leak;
        if (link->tag[1] == DHL_IGNORE) {
            continue;
        }
        leak.ptr = debugheap_mem_of(link);
        leak.handle = debugheap_handle_at(leak.ptr);
        leak.size = debugheap_size_of(link);
        leak.tag = link->string;
        qpbase_plat_leak(&leak);
    }
}

void debugheap_terminator(void)
{
    debugheap_check();
    sync_lock(&debugheap_lock);
    debugheap_report_leaks_locked();
    sync_unlock(&debugheap_lock);
    if (palloc_count > palloc_ignore_count) {
        qpbase_leakinfo_t pages = {0, 0, palloc_size, "palloc()"};
        qpbase_plat_leak(&pages);
    }
}

/* One line of debugheap_report: the live blocks of one tag text. */
typedef struct Record {
    struct Record* next;
    const char* id;
    size_t byteCount;
    unsigned allocCount;
    unsigned ignoreCount;
} Record;

/* The group of id, created at the front when new; null when no memory. */
static Record* debugheap_report_group(Record** first, const char* id)
{
    Record* group;
    for (group = *first; group; group = group->next) {
        if (strcmp(group->id, id) == 0) {
            return group;
        }
    }
    group = (Record*)qpbase_plat_malloc(sizeof *group);
    if (group) {
        memset(group, 0, sizeof *group);
        group->id = id;
        group->next = *first;
        *first = group;
    }
    return group;
}

static void debugheap_report_swap(Record* a, Record* b)
{
    Record held = *a;
    a->id = b->id;
    a->byteCount = b->byteCount;
    a->allocCount = b->allocCount;
    a->ignoreCount = b->ignoreCount;
    b->id = held.id;
    b->byteCount = held.byteCount;
    b->allocCount = held.allocCount;
    b->ignoreCount = held.ignoreCount;
}

/* Largest byte count first; repeated passes of adjacent swaps. */
static void debugheap_report_sort(Record* first)
{
    int swapped = 1;
    while (swapped) {
        Record* group;
        swapped = 0;
        for (group = first; group && group->next; group = group->next) {
            if (group->byteCount < group->next->byteCount) {
                debugheap_report_swap(group, group->next);
                swapped = 1;
            }
        }
    }
}

static void debugheap_report_print(const Record* group, debugheap_report_printf_t report_printf,
                                   void* param)
{
    report_printf(param, "% 10u  % 7u  % 7u  %s\n", (unsigned)group->byteCount, group->allocCount,
                  group->ignoreCount, group->id);
}

/* Groups the live blocks by tag text, largest first. Blocks whose group
 * cannot be allocated are summed in one last line. The report function runs
 * under the heap lock and must not allocate from the debug heap. */
void debugheap_report(debugheap_report_printf_t report_printf, void* param)
{
    Record* first = 0;
    Record ungrouped = {0, "(no memory for a group)", 0, 0, 0};
    Record* group;
    DEBUGHEAPLINK* link;
    sync_lock(&debugheap_lock);
    for (link = debugHeapLinkFirst; link; link = link->next) {
        group = debugheap_report_group(&first, link->string);
        if (!group) {
            group = &ungrouped;
        }
        group->byteCount += debugheap_size_of(link);
        group->allocCount++;
        if (link->tag[1] == DHL_IGNORE || link->tag[1] == DHL_IGNOREALL) {
            group->ignoreCount++;
        }
    }
    debugheap_report_sort(first);
    report_printf(param, "     bytes   allocs  ignores  source\n"
                         "----------  -------  -------  ------------\n");
    report_printf(param, "% 10u  % 7u  % 7u  palloc()\n", (unsigned)palloc_size,
                  (unsigned)palloc_count, (unsigned)palloc_ignore_count);
    while (first) {
        group = first;
        first = group->next;
        debugheap_report_print(group, report_printf, param);
        qpbase_plat_free(group);
    }
    if (ungrouped.allocCount) {
        debugheap_report_print(&ungrouped, report_printf, param);
    }
    sync_unlock(&debugheap_lock);
}

/* One line per live block: address, size and tag text. The format uses the
 * format engine's I64 size prefix. */
void debugheap_report2(debugheap_report_printf_t report_printf, void* param)
{
    DEBUGHEAPLINK* link;
    sync_lock(&debugheap_lock);
    report_printf(param, "         address     size  source\n"
                         "      ----------  -------  ------------\n");
    for (link = debugHeapLinkFirst; link; link = link->next) {
        report_printf(param, "% 16I64X  % 7X  %s\n", (uint64_t)(size_t)debugheap_mem_of(link),
                      (unsigned)debugheap_size_of(link), link->string);
    }
    sync_unlock(&debugheap_lock);
}

/* ---- allocator interface --------------------------------------------- */

void* qp_heap_ma_v_alloc(malloc_i* ma, size_t size)
{
    qp_heap_ma_t* heap_ma = (qp_heap_ma_t*)ma;
    return calloc_dh(heap_ma->file, heap_ma->line, size, 1);
}

const malloc_i_vtbl_t qp_heap_ma_vtbl = {qp_heap_ma_v_alloc};

/* ---- bit operations self-test ---------------------------------------- */

void bits_selftest(void)
{
    static const uint64_t samples[] = {1, 2, 3, 0x80, 0x1122, 0x80000000u, 0x80000001u,
                                       0xFFFFFFFFu, 0x100000000ull, 0x8000000000000000ull,
                                       0x0123456789ABCDEFull};
    size_t i;
    QP_ASSERT(bits_swap16(0x1122) == 0x2211);
    QP_ASSERT(bits_swap32(0x11223344) == 0x44332211);
    QP_ASSERT(bits_swap64(0x1122334455667788ull) == 0x8877665544332211ull);
    QP_ASSERT(bits_clz(0) == 32 && bits_ctz(0) == 32 && bits_clz64(0) == 64);
    QP_ASSERT(bits_fls(0) == 0 && bits_ffs(0) == 0 && bits_fls(0x80000000u) == 32);
    QP_ASSERT(bits_rol(0x80000001u, 1) == 3 && bits_ror(3, 1) == 0x80000001u);
    for (i = 0; i < sizeof samples / sizeof samples[0]; i++) {
        uint64_t v = samples[i];
        QP_ASSERT(bits_clz64(v) == bits_clz64_slow(v) && bits_ctz64(v) == bits_ctz64_slow(v));
        QP_ASSERT(bits_clz((uint32_t)v) == bits_clz_slow((uint32_t)v));
        QP_ASSERT(bits_ffs64(v) == bits_ffs64_slow(v) && bits_fls64(v) == bits_fls64_slow(v));
    }
}
