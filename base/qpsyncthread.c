/*
 * qpsyncthread.c - tracked threads, fast threads and queued procedure
 * calls: the portable part (user mode and kernel).
 *
 * Tracked threads. Every start pushes a thread_ref_t on the global list
 * (under thread_ref_lock, which also guards both counts). The thread stores
 * its own platform handle in the record when it begins ("created") and
 * marks it finished under the lock when its main and terminator returned;
 * after that it never touches the record again. A later start joins and
 * frees the finished records once more than half of the list (plus 2) has
 * finished, unless collection has begun. thread_collect_all takes the
 * records off one by one, joins each thread without the lock (cancelling
 * the cancel-on-collect ones that are still running) and frees the record.
 *
 * Fast threads park on an idle list (thread_fast_lock) and sleep on the
 * semaphore in their thread_fast_t, which lives on their own stack. Once
 * collection begins the handler on FILE_SIGNAL_COLLECTING sets `collecting`
 * under the same lock and releases every parked thread, so a thread either
 * parks before that (and is released) or sees the flag and ends.
 *
 * Queued procedure calls. Each thread running a queued-call loop has a frame
 * (qp_tqp_thread_t, on its stack) linked into one of 128 heads chosen by
 * hashing its identity; the head's lock guards the frame lists and the
 * frames' thread fields. A frame's queue is touched only by its own thread.
 */
#include "qpsyncint.h"

#include "bitops.h"

/* ---- tracked threads ------------------------------------------------------------------- */

static int thread_collection_started(void)
{
    return pin_i_poll(procsig_pin(FILE_SIGNAL_COLLECTING));
}

static void thread_ref_mark_finished(sync_global_t* g, thread_ref_t* ref)
{
    sync_lock(&g->thread_ref_lock);
    qp_store(&ref->finished, 1);
    g->thread_finished_count++;
    sync_unlock(&g->thread_ref_lock);
}

void qpsync_thread_run(thread_ref_t* ref)
{
    ref->main(ref->param1);
    if (ref->terminator) {
        ref->terminator(ref->param2);
    }
    thread_ref_mark_finished(sync_global_get(), ref);
}

/* Unlinks every finished record (lock held) and returns them as a list. */
static thread_ref_t* thread_refs_take_finished(sync_global_t* g)
{
    thread_ref_t** at = &g->thread_ref_first;
    thread_ref_t* taken = 0;

    while (*at) {
        thread_ref_t* ref = *at;
        if (ref->finished) {
            *at = ref->next;
            ref->next = taken;
            taken = ref;
            g->thread_ref_count--;
            g->thread_finished_count--;
        } else {
            at = &ref->next;
        }
    }
    return taken;
}

static void thread_ref_join_free(thread_ref_t* ref)
{
    uintptr_t thread = qp_load(&ref->thread);
    if (thread) {
        qpsync_os_thread_join(thread);
    }
    free_d(ref);
}

static int thread_start_sub(thread_main_t thread_main, void* param1, thread_main_t terminator,
                            void* param2, size_t stack_size, int cancel_on_collect)
{
    sync_global_t* g = sync_global_get();
    thread_ref_t* ref;
    thread_ref_t* reaped = 0;

    if (!g) {
        return 0;
    }
    ref = (thread_ref_t*)calloc_d(1, sizeof *ref);
    if (!ref) {
        return 0;
    }
    ref->main = thread_main;
    ref->param1 = param1;
    ref->terminator = terminator;
    ref->param2 = param2;
    ref->cancel_on_collect = (char)(cancel_on_collect != 0);

    sync_lock(&g->thread_ref_lock);
    ref->next = g->thread_ref_first;
    g->thread_ref_first = ref;
    g->thread_ref_count++;
    if (!thread_collection_started() &&
        g->thread_finished_count > g->thread_ref_count / 2 + 2) {
        reaped = thread_refs_take_finished(g);
    }
    sync_unlock(&g->thread_ref_lock);

    while (reaped) {
        thread_ref_t* next = reaped->next;
        thread_ref_join_free(reaped);
        reaped = next;
    }
    if (!qpsync_os_thread_create(stack_size, ref)) {
        thread_ref_mark_finished(g, ref);
        return 0;
    }
    return 1;
}

int thread_start(thread_main_t thread_main, void* param)
{
    return thread_start_sub(thread_main, param, 0, 0, thread_stack_size_default, 0);
}

int thread_start_2(thread_main_t thread_main, void* param1, thread_main_t terminator, void* param2,
                   size_t stack_size)
{
    return thread_start_sub(thread_main, param1, terminator, param2, stack_size, 0);
}

int thread_start_cancel_on_collect(thread_main_t thread_main, void* param)
{
    return thread_start_sub(thread_main, param, 0, 0, thread_stack_size_small, 1);
}

static thread_ref_t* thread_refs_take_first(sync_global_t* g)
{
    thread_ref_t* ref;
    sync_lock(&g->thread_ref_lock);
    ref = g->thread_ref_first;
    if (ref) {
        g->thread_ref_first = ref->next;
    }
    sync_unlock(&g->thread_ref_lock);
    return ref;
}

static void thread_ref_collect(sync_global_t* g, thread_ref_t* ref)
{
    uintptr_t thread;
    int finished;

    while (!qp_load(&ref->thread) && !qp_load(&ref->finished)) {
        qpsync_os_sleep_msec(5);
    }
    thread = qp_load(&ref->thread);
    /* exit() called on a tracked thread collects the others, not itself */
    if (thread && !qpsync_os_thread_is_self(thread)) {
        if (ref->cancel_on_collect && !qp_load(&ref->finished)) {
            qpsync_os_thread_cancel(thread);
        }
        qpsync_os_thread_join(thread);
    }
    sync_lock(&g->thread_ref_lock);
    finished = ref->finished;
    g->thread_ref_count--;
    g->thread_finished_count -= finished;
    sync_unlock(&g->thread_ref_lock);
    free_d(ref);
}

void thread_collect_all(void)
{
    sync_global_t* g = sync_global_get();
    thread_ref_t* ref;

    pin_i_signal(procsig_pin(FILE_SIGNAL_COLLECTING));
    if (g) {
        while ((ref = thread_refs_take_first(g))) {
            thread_ref_collect(g, ref);
        }
        sync_lock(&g->thread_ref_lock);
        QP_ASSERT(!g->thread_ref_count);
        QP_ASSERT(!g->thread_finished_count);
        sync_unlock(&g->thread_ref_lock);
    }
    pin_i_signal(procsig_pin(FILE_SIGNAL_COLLECTED));
}

void thread_wait(int msecs)
{
    qpsync_os_sleep_msec(msecs);
}

void thread_prioritize_burst(void)
{
}

void thread_prioritize_cpu(void)
{
}

/* ---- fast threads ---------------------------------------------------------------------- */

typedef struct thread_fast_t {
    thread_main_t thread_main; /* null: end the thread */
    void* thread_param;
    sema_t sem;
    struct thread_fast_t* next;
} thread_fast_t;

/* What a new fast thread copies before its starter returns. */
typedef struct thread_fast_start_t {
    thread_main_t thread_main;
    void* thread_param;
    sema_t copied;
} thread_fast_start_t;

static sync_t thread_fast_lock = SYNC_INIT;
static thread_fast_t* thread_fast_idle;
static int thread_fast_wired;
static pin_wire_t thread_fast_collect_wire;

static void thread_fast_collecting(pin_wire_t* wire)
{
    sync_global_t* g = sync_global_get();
    thread_fast_t* released;

    sync_lock(&thread_fast_lock);
    if (g) {
        g->collecting = 1;
    }
    released = thread_fast_idle;
    thread_fast_idle = 0;
    sync_unlock(&thread_fast_lock);
    while (released) {
        thread_fast_t* next = released->next;
        released->thread_main = 0;
        sema_signal(&released->sem); /* it may end at once */
        released = next;
    }
    pin_handler_complete(wire);
}

/* 1 parked, 0 collection has begun and the thread should end. */
static int thread_fast_park(thread_fast_t* f)
{
    sync_global_t* g = sync_global_get();
    int parked = 0;

    sync_lock(&thread_fast_lock);
    if (g && !g->collecting) {
        f->thread_main = 0;
        f->next = thread_fast_idle;
        thread_fast_idle = f;
        parked = 1;
    }
    sync_unlock(&thread_fast_lock);
    return parked;
}

static void thread_fast_main(void* param)
{
    thread_fast_start_t* start = (thread_fast_start_t*)param;
    thread_fast_t f;

    f.thread_main = start->thread_main;
    f.thread_param = start->thread_param;
    f.next = 0;
    sema_init(&f.sem, 0);
    sema_signal(&start->copied); /* the starter's record is gone from here on */
    while (f.thread_main) {
        f.thread_main(f.thread_param);
        if (!thread_fast_park(&f)) {
            break;
        }
        sema_wait(&f.sem, 0, -1);
    }
    sema_term(&f.sem);
}

int thread_start_fast(thread_main_t thread_main, void* param)
{
    thread_fast_start_t start;
    thread_fast_t* f;
    int started;

    if (qp_cas(&thread_fast_wired, 0, 1)) {
        pin_attach_2(procsig_pin(FILE_SIGNAL_COLLECTING), thread_fast_collecting,
                     &thread_fast_collect_wire);
    }
    sync_lock(&thread_fast_lock);
    f = thread_fast_idle;
    if (f) {
        thread_fast_idle = f->next;
    }
    sync_unlock(&thread_fast_lock);
    if (f) {
        f->thread_main = thread_main;
        f->thread_param = param;
        sema_signal(&f->sem);
        return 1;
    }
    start.thread_main = thread_main;
    start.thread_param = param;
    sema_init(&start.copied, 0);
    started = thread_start_2(thread_fast_main, &start, 0, 0, thread_stack_size_small);
    if (started) {
        sema_wait(&start.copied, 0, -1);
    }
    sema_term(&start.copied);
    return started;
}

/* ---- queued procedure calls ---------------------------------------------------------- */

enum { tqp_head_count = 128 };

struct qp_tqp_head_t {
    sync_t lock;
    qp_tqp_thread_t* first;
};

static qp_tqp_head_t tqp_heads[tqp_head_count];

static qp_tqp_head_t* tqp_head_of(void* self)
{
    return &tqp_heads[bits_hash_ptr(self) & (tqp_head_count - 1)];
}

/* The running frame of this thread (head locked), or null. */
static qp_tqp_thread_t* tqp_find(qp_tqp_head_t* head, void* self)
{
    qp_tqp_thread_t* frame;
    for (frame = head->first; frame; frame = frame->next) {
        if (frame->thread == self) {
            return frame;
        }
    }
    return 0;
}

static void tqp_append(qp_tqp_thread_t* frame, thread_queued_proc_t* link)
{
    if (frame->last) {
        frame->last->next = link;
    } else {
        frame->first = link;
    }
    frame->last = link;
}

static void tqp_unregister(qp_tqp_thread_t* frame)
{
    qp_tqp_head_t* head = frame->head;
    sync_lock(&head->lock);
    if (frame->prev) {
        frame->prev->next = frame->next;
    } else {
        head->first = frame->next;
    }
    if (frame->next) {
        frame->next->prev = frame->prev;
    }
    sync_unlock(&head->lock);
}

void thread_queued_proc_call(thread_queued_proc_t* link, thread_queued_proc_fn proc)
{
    void* self = thread_self_();
    qp_tqp_head_t* head = tqp_head_of(self);
    qp_tqp_thread_t frame;
    qp_tqp_thread_t* running;

    link->proc = proc;
    link->next = 0;
    sync_lock(&head->lock);
    running = tqp_find(head, self);
    if (running) {
        tqp_append(running, link);
        sync_unlock(&head->lock);
        return;
    }
    frame.thread = self;
    frame.head = head;
    frame.first = link;
    frame.last = link;
    frame.prev = 0;
    frame.next = head->first;
    if (frame.next) {
        frame.next->prev = &frame;
    }
    head->first = &frame;
    sync_unlock(&head->lock);

    while ((link = frame.first)) {
        frame.first = link->next;
        if (!frame.first) {
            frame.last = 0;
        }
        link->proc(link);
    }
    tqp_unregister(&frame);
}

qp_tqp_thread_t* thread_queued_proc_fence_start(void)
{
    void* self = thread_self_();
    qp_tqp_head_t* head = tqp_head_of(self);
    qp_tqp_thread_t* top;

    sync_lock(&head->lock);
    top = tqp_find(head, self);
    if (top) {
        top->thread = 0;
    }
    sync_unlock(&head->lock);
    return top;
}

void thread_queued_proc_fence_end_(qp_tqp_thread_t* top)
{
    QP_ASSERT(top);
    QP_ASSERT(!top->thread);
    sync_lock(&top->head->lock);
    top->thread = thread_self_();
    sync_unlock(&top->head->lock);
}
