/*
 * qpsync.c - atomics and the basic lock, portable part.
 *
 * The atomics are sequentially consistent, i.e. full barriers on both sides.
 * The lock is the word exchanged from 0 to the owner's identity; a contended
 * caller spins a little, then yields the processor between attempts. The
 * owner field is written only by the thread that holds the word, so
 * sync_is_locked (owner == caller) can only be true for the owner.
 */
#include "qpsync.h"

int sync_inc(int* value)
{
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

int sync_dec(int* value)
{
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

size_t sync_add_size(size_t* value, size_t add)
{
    return __atomic_add_fetch(value, add, __ATOMIC_SEQ_CST);
}

size_t sync_sub_size(size_t* value, size_t sub)
{
    return __atomic_sub_fetch(value, sub, __ATOMIC_SEQ_CST);
}

int sync_xchg(int* value, int old_value, int new_value)
{
    return __atomic_compare_exchange_n(value, &old_value, new_value, 0, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

int sync_xchg_size(size_t* value, size_t old_value, size_t new_value)
{
    return __atomic_compare_exchange_n(value, &old_value, new_value, 0, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

void sync_barrier(void)
{
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

void sync_compiler(void)
{
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
}

void sync_idle(void)
{
    __builtin_ia32_pause();
}

void* thread_self(void)
{
    return thread_self_();
}

void sync_init(sync_t* s)
{
    s->owner = 0;
    s->state = 0;
}

void sync_term(sync_t* s)
{
    QP_ASSERT(!s->owner);
    s->state = 0;
}

/* Spins before the first yield: a short critical section is usually over
 * before a system call would return. */
enum { sync_spin_count = 100 };

void sync_lock(sync_t* s)
{
    void* self = thread_self();
    int spins = 0;
    QP_ASSERT(s->owner != self);
    while (!sync_xchg_size((size_t*)&s->state, 0, (size_t)self)) {
        if (++spins < sync_spin_count) {
            sync_idle();
        } else {
            thread_yield_();
        }
    }
    QP_ASSERT(!s->owner);
    s->owner = self;
}

void sync_unlock(sync_t* s)
{
    void* self = thread_self();
    int released;
    QP_ASSERT(s->owner == self);
    s->owner = 0;
    released = sync_xchg_size((size_t*)&s->state, (size_t)self, 0);
    QP_ASSERT(released);
}

int sync_is_locked(const sync_t* s)
{
    return s->owner == thread_self();
}
