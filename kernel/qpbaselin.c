/*
 * qpbaselin.c - the kernel side of the memory core (base/qpbaseplat.h) and
 * the module's life: module_initialize, module_finalize and the exit-time
 * list that atexit fills.
 *
 * Memory: qpbase_malloc is kvmalloc in process context (large blocks fall
 * back to virtual memory instead of failing), kmalloc without sleeping in
 * atomic context; neither warns when it fails, since sizes may come from
 * callers. Page allocations are kmalloc up to order 3 and whole pages above,
 * sleeping or not by the same rule.
 *
 * The exit-time list is a stack of 16-byte nodes (palloc) under atexit_lock;
 * the callbacks run without the lock, newest first, and may register more.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/slab.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/preempt.h>
#include <linux/overflow.h>
#include <linux/bug.h>

#include "qpbase.h"
#include "qpsync.h"
#include "qpbaseplat.h"

/* ---- kernel allocator ---------------------------------------------------- */

/* May the caller sleep while the kernel finds memory? */
static gfp_t qpbase_gfp(void)
{
    return (preemptible() ? GFP_KERNEL : GFP_ATOMIC) | __GFP_NOWARN;
}

void* qpbase_malloc(size_t size)
{
    if (preemptible())
        return kvmalloc(size, qpbase_gfp());
    return kmalloc(size, qpbase_gfp());
}

void qpbase_free(void* p)
{
    kvfree(p);
}

void* qpbase_calloc(size_t count, size_t each_size)
{
    size_t size;
    void* p;

    if (check_mul_overflow(count, each_size, &size))
        return NULL;
    p = qpbase_malloc(size);
    if (p)
        memset(p, 0, size);
    return p;
}

/* ---- platform side of the memory core --------------------------------------- */

void* qpbase_plat_malloc(size_t size)
{
    return qpbase_malloc(size);
}

void qpbase_plat_free(void* block)
{
    qpbase_free(block);
}

enum { palloc_kmalloc_max_order = 3 };

static unsigned palloc_order(size_t size)
{
    unsigned order = 0;

    QP_ASSERT(size);
    while ((PAGE_SIZE << order) < size)
        order++;
    return order;
}

void* qpbase_plat_palloc(size_t size, int pageable)
{
    unsigned order = palloc_order(size);

    QP_ASSERT(!pageable);
    if (order <= palloc_kmalloc_max_order)
        return kmalloc(PAGE_SIZE << order, qpbase_gfp());
    return (void*)__get_free_pages(qpbase_gfp(), order);
}

void qpbase_plat_pfree(void* p, size_t size, int pageable)
{
    unsigned order = palloc_order(size);

    QP_ASSERT(!pageable);
    if (order <= palloc_kmalloc_max_order)
        kfree(p);
    else
        free_pages((unsigned long)p, order);
}

void qpbase_plat_fatal(const char* text)
{
    printk(KERN_CRIT "%s", text);
    BUG();
}

void qpbase_plat_leak(const qpbase_leakinfo_t* leak)
{
    printk(KERN_ERR "memory leak %s\n", leak->tag);
}

/* The kernel's breakpoint would stop the machine for a debugger that is
 * not there: a leak of page allocations is reported with a warning. */
void qpbase_plat_trap(void)
{
    WARN(1, "qptrace: page allocations leaked\n");
}

/* module_finalize runs the leak check at its fixed place, after the exit
 * list has drained; nothing is recorded here. */
void qpbase_plat_atexit(void (*func)(void))
{
    (void)func;
}

/* ---- exit-time list and module life ----------------------------------------- */

typedef struct atexit_node_t {
    struct atexit_node_t* next;
    void (*func)(void);
} atexit_node_t;

static sync_t atexit_lock = SYNC_INIT;
static atexit_node_t* atexit_first;

int atexit(void (*func)(void))
{
    atexit_node_t* node = (atexit_node_t*)palloc(sizeof *node, 0);

    if (!node)
        return -1;
    node->func = func;
    sync_lock(&atexit_lock);
    node->next = atexit_first;
    atexit_first = node;
    sync_unlock(&atexit_lock);
    return 0;
}

void qpbase_atexit_drain(void)
{
    for (;;) {
        atexit_node_t* node;

        sync_lock(&atexit_lock);
        node = atexit_first;
        if (node)
            atexit_first = node->next;
        sync_unlock(&atexit_lock);
        if (!node)
            return;
        node->func();
        pfree(node, sizeof *node, 0);
    }
}

int module_initialize(void)
{
    printk(KERN_INFO "%s load\n", THIS_MODULE->name);
    return qpsync_initializer();
}

void module_finalize(void)
{
    qpbase_atexit_drain();
    thread_collect_all();
    qpbase_atexit_drain();
    debugheap_terminator();
    qpsync_terminator();
    qpbase_atexit_drain();
    printk(KERN_INFO "%s unload\n", THIS_MODULE->name);
}
