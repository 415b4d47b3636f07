/*
 * qpmempool.c - arena pools: many allocations, one release.
 *
 * qp_mp_t takes one debug-heap block per allocation and keeps them in a list,
 * newest first; nothing is freed until qp_mp_reset, which checks every block
 * and frees them all. Each block is a qp_mp_link_t (next link, size, four
 * canaries "cnry") followed by the zeroed user memory and a trailing canary;
 * verify and reset stop on a damaged canary.
 *
 * qp_mp2_t first carves records from a caller's buffer (usually on the
 * stack): qp_mp2_link_t (size, two canaries), user memory, trailing canary,
 * rounded to 16 bytes. When the buffer is exhausted it falls back to the
 * heap-backed arena.
 *
 * Pools are not thread-safe: one thread at a time. A heap-backed allocation
 * exchanges error_count with -1 for its duration, so concurrent use of one
 * pool is caught by an assertion instead of corrupting the list.
 */
#include "qpbase.h"
#include "qpsync.h"

#ifdef __KERNEL__
#include <linux/string.h>
#else
#include <string.h>
#endif

#define mp_link_canary_val 0x79726E63u /* "cnry" in memory */
static const uint32_t mp_link_canary = mp_link_canary_val;

/* Larger requests fail without asking the heap: no pool block can be that
 * large, and the header arithmetic below must not wrap. */
#define qp_mp_size_max ((size_t)-1 / 2)

static size_t qp_mp_round16(size_t size)
{
    return (size + 15) & ~(size_t)15;
}

static void qp_mp_put_trailing_canary(char* mem, size_t size)
{
    memcpy(mem + size, &mp_link_canary, sizeof mp_link_canary);
}

static int qp_mp_trailing_canary_ok(const char* mem, size_t size)
{
    return memcmp(mem + size, &mp_link_canary, sizeof mp_link_canary) == 0;
}

/* ---- heap-backed arena ---------------------------------------------- */

static size_t qp_mp_block_size(size_t size)
{
    return sizeof(qp_mp_link_t) + qp_mp_round16(size + sizeof mp_link_canary);
}

void qp_mp_init(qp_mp_base_t* mp)
{
    mp->link = 0;
    mp->error_count = 0;
    mp->size = 0;
}

/* A fresh block of size zeroed bytes at the front of the list. */
static void* qp_mp_push_block(qp_mp_base_t* mp, qp_mp_link_t* link, size_t size)
{
    char* mem = (char*)(link + 1);
    int i;
    link->alloc_size = size;
    for (i = 0; i < 4; i++) {
        link->canary[i] = mp_link_canary_val;
    }
    qp_mp_put_trailing_canary(mem, size);
    link->next_link = mp->link;
    mp->link = link;
    memset(mem, 0, size);
    mp->size += (uint32_t)size;
    return mem;
}

void* qp_mp_alloc(qp_mp_base_t* mp, size_t s)
{
    int error_count = mp->error_count;
    qp_mp_link_t* link = 0;
    void* mem = 0;
    if (s <= qp_mp_size_max) {
        link = (qp_mp_link_t*)malloc_dh(__FILE__, __LINE__, qp_mp_block_size(s));
    }
    QP_ASSERT(sync_xchg( &mp->error_count, error_count, -1));
    if (link) {
        mem = qp_mp_push_block(mp, link, s);
    } else {
        error_count++;
    }
    if (debugheap_trace) {
        debugheap_trace(__FILE__, __LINE__, mem, s);
    }
    QP_ASSERT(sync_xchg( &mp->error_count, -1, error_count));
    return mem;
}

void* qp_mp_v_alloc(malloc_i* ma, size_t size)
{
    return qp_mp_alloc(&((qp_mp_t*)ma)->base, size);
}

void qp_mp_verify(qp_mp_base_t* mp)
{
    qp_mp_link_t* link;
    int i;
    for (link = mp->link; link; link = link->next_link) {
        for (i = 0; i < 4; i++) {
            QP_ASSERT(link->canary[ i] == mp_link_canary_val);
        }
        QP_ASSERT(memcmp( ((char*)(link + 1)) + link->alloc_size, &mp_link_canary, 4) == 0);
    }
}

void qp_mp_reset(qp_mp_base_t* mp)
{
    qp_mp_link_t* link;
    qp_mp_verify(mp);
    link = mp->link;
    mp->link = 0;
    mp->size = 0;
    while (link) {
        qp_mp_link_t* next = link->next_link;
        memset(link, 0x7A, qp_mp_block_size(link->alloc_size));
        free_dh(link);
        link = next;
    }
}

int qp_mp_err_count(qp_mp_base_t* mp)
{
    return mp->error_count;
}

void qp_mp_inc_err_count(qp_mp_base_t* mp)
{
    mp->error_count++;
}

const malloc_i_vtbl_t qp_mp_vtbl = {qp_mp_v_alloc};

/* ---- arena with a pre-buffer ---------------------------------------- */

static size_t qp_mp2_record_size(size_t size)
{
    return (size + 35) & ~(size_t)15;
}

void qp_mp2_init(qp_mp2_t* mp, void* buffer, size_t size)
{
    size_t skip = (size_t)(-(intptr_t)buffer & 15);
    QP_ASSERT(size > 16);
    mp->vtbl = &qp_mp2_vtbl;
    qp_mp_init(&mp->base.base);
    mp->base.pre_buf = (char*)buffer + skip;
    mp->base.pre_size = size - skip;
    mp->base.pre_pos = 0;
}

void* qp_mp2_alloc(qp_mp2_base_t* mp, size_t size)
{
    qp_mp2_link_t* link;
    char* mem;
    int i;
    if (size > mp->pre_size || mp->pre_pos + qp_mp2_record_size(size) > mp->pre_size) {
        return qp_mp_alloc(&mp->base, size);
    }
    link = (qp_mp2_link_t*)(mp->pre_buf + mp->pre_pos);
    mp->pre_pos += qp_mp2_record_size(size);
    link->alloc_size = size;
    for (i = 0; i < 2; i++) {
        link->canary[i] = mp_link_canary_val;
    }
    mem = (char*)(link + 1);
    memset(mem, 0, size);
    qp_mp_put_trailing_canary(mem, size);
    mp->base.size += (uint32_t)size;
    if (debugheap_trace) {
        debugheap_trace(__FILE__, __LINE__, mem, size);
    }
    return mem;
}

void* qp_mp2_v_alloc(malloc_i* ma, size_t size)
{
    return qp_mp2_alloc(&((qp_mp2_t*)ma)->base, size);
}

void qp_mp2_verify(qp_mp2_base_t* mp)
{
    size_t pos = 0;
    int j;
    while (pos < mp->pre_pos) {
        qp_mp2_link_t* link = (qp_mp2_link_t*)(mp->pre_buf + pos);
        for (j = 0; j < 2; j++) {
            QP_ASSERT(link->canary[ j] == mp_link_canary_val);
        }
        QP_ASSERT(qp_mp_trailing_canary_ok((char*)(link + 1), link->alloc_size));
        pos += qp_mp2_record_size(link->alloc_size);
    }
    qp_mp_verify(&mp->base);
}

/* The used part of the pre-buffer is filled like freed heap blocks, so a
 * pointer kept past the reset reads 'z' bytes. */
void qp_mp2_reset(qp_mp2_base_t* mp)
{
    qp_mp2_verify(mp);
    memset(mp->pre_buf, 0x7A, mp->pre_pos);
    mp->pre_pos = 0;
    qp_mp_reset(&mp->base);
}

const malloc_i_vtbl_t qp_mp2_vtbl = {qp_mp2_v_alloc};
