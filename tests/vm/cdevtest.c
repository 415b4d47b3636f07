/*
 * cdevtest.c - the test owner of the character-device framework: creates
 * /dev/qpcdevtest with the interface "qpcdevtest" and serves the control
 * codes of cdevtest.h. User-mode tests and a kernel-client module drive it.
 *
 * User callers name user memory in their records; the owner pins it
 * (qp_iobuf_user_init). Kernel clients name kernel memory, which the owner
 * wraps with qp_iobuf_mem_init; only they see the `direct` table. Every size
 * in a record is checked against cdevtest_max_size before use.
 *
 * The owner is a static object with a reference count; at unload the count
 * must be back at its own reference, else the module reports a leak.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/gfp.h>

#include "qpcdev.h"
#include "sstring.h"
#include "cdevtest.h"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("character-device framework test owner");

typedef struct cdevtest_owner_t {
    qp_cdev_owner_i vtbl;
    int ref_count;
} cdevtest_owner_t;

static qp_cdev_i* cdevtest_dev;
static const cdevtest_direct_t cdevtest_direct = {cdevtest_direct_magic, cdevtest_version};

enum { cdevtest_chunk = 256 };

/* ---- buffers of the caller -------------------------------------------------- */

/* A range of the caller's memory: pinned user pages or kernel memory. */
static int caller_buffer(qp_iobuf_handle_t* bh, int kernel_client, int direction, uint64_t addr,
                         uint64_t size)
{
    if (size > cdevtest_max_size)
        return err_bad_parameter;
    if (kernel_client)
        return qp_iobuf_mem_init(bh, direction, (void*)(uintptr_t)addr, size);
    return qp_iobuf_user_init(bh, direction, (void*)(uintptr_t)addr, size);
}

/* Writes the pattern into [0, size) of a vector. */
static void pattern_write(const qp_iobufv_t* vec, uint32_t seed, uint64_t size)
{
    uint8_t chunk[cdevtest_chunk];
    uint64_t off, i;

    for (off = 0; off < size; off += sizeof chunk) {
        uint64_t piece = min_t(uint64_t, sizeof chunk, size - off);
        for (i = 0; i < piece; i++)
            chunk[i] = cdevtest_pattern(seed, off + i);
        qp_iobufv_recv_copy(vec, off, chunk, piece);
    }
}

/* ---- controls ---------------------------------------------------------------------- */

static int control_echo(const void* input, size_t input_size, void* output,
                        size_t max_output_size, size_t* output_size)
{
    if (input_size > max_output_size)
        return err_overflow;
    memmove(output, input, input_size);
    *output_size = input_size;
    return 0;
}

static uint64_t vector_byte_sum(const qp_iobufv_t* vec, uint64_t size)
{
    uint8_t chunk[cdevtest_chunk];
    uint64_t off, i, sum = 0;

    for (off = 0; off < size; off += sizeof chunk) {
        uint64_t piece =
            qp_iobufv_send_copy(vec, off, chunk, min_t(uint64_t, sizeof chunk, size - off));
        for (i = 0; i < piece; i++)
            sum += chunk[i];
    }
    return sum;
}

static int control_sum(int kernel_client, const void* input, size_t input_size, void* output,
                       size_t max_output_size, size_t* output_size)
{
    const cdevtest_range_t* ranges = (const cdevtest_range_t*)input;
    size_t count = input_size / sizeof *ranges, i;
    qp_iobuf_handle_t* handles;
    qp_iobufv_t* vec;
    uint64_t total = 0, sum;
    int err = 0;

    if (input_size % sizeof *ranges || count > cdevtest_max_ranges)
        return err_bad_parameter;
    if (max_output_size < sizeof sum)
        return err_overflow;
    handles = (qp_iobuf_handle_t*)calloc_d(count + 1, sizeof *handles);
    vec = (qp_iobufv_t*)calloc_d(count + 1, sizeof *vec);
    if (!handles || !vec)
        err = err_no_mem;
    for (i = 0; !err && i < count; i++) {
        err = caller_buffer(&handles[i], kernel_client, qp_iobuf_send, ranges[i].addr,
                            ranges[i].size);
        vec[i].buf = &handles[i].base;
        vec[i].size = ranges[i].size;
        total += ranges[i].size;
    }
    if (!err) {
        sum = vector_byte_sum(vec, total);
        memcpy(output, &sum, sizeof sum);
        *output_size = sizeof sum;
    }
    for (i = 0; handles && i < count; i++)
        qp_iobuf_term(&handles[i]);
    free_d(vec);
    free_d(handles);
    return err;
}

static int fill_record(const void* input, size_t input_size, cdevtest_fill_t* fill)
{
    if (input_size != sizeof *fill)
        return err_bad_parameter;
    memcpy(fill, input, sizeof *fill);
    if (fill->size > cdevtest_max_size || fill->split > fill->size)
        return err_bad_parameter;
    return 0;
}

/* The pattern into the caller's range, as two elements of which the second
 * is an alias of the first's buffer. */
static int control_fill(int kernel_client, const void* input, size_t input_size)
{
    qp_iobuf_handle_t dest, alias;
    cdevtest_fill_t fill;
    qp_iobufv_t vec[3];
    int err = fill_record(input, input_size, &fill);

    if (!err)
        err = caller_buffer(&dest, kernel_client, qp_iobuf_recv, fill.addr, fill.size);
    if (err)
        return err;
    qp_iobuf_alias_init(&alias, &dest, qp_iobuf_recv, fill.size);
    vec[0] = (qp_iobufv_t){&dest.base, 0, fill.split};
    vec[1] = (qp_iobufv_t){&alias.base, fill.split, fill.size - fill.split};
    vec[2] = (qp_iobufv_t){NULL, 0, 0};
    pattern_write(vec, fill.seed, fill.size);
    qp_iobuf_term(&alias);
    qp_iobuf_term(&dest);
    return 0;
}

/* Pages allocated one by one and listed in an order that leaves them
 * without a common kernel mapping (when there are two or more). */
static int scattered_pages_init(qp_iobuf_handle_t* bh, void*** out_pages, size_t count)
{
    void** pages = (void**)calloc_d(count ? count : 1, sizeof *pages);
    size_t i;
    int err = pages ? 0 : err_no_mem;

    for (i = 0; !err && i < count; i++) {
        pages[count - 1 - i] = alloc_page(GFP_KERNEL | __GFP_NOWARN);
        if (!pages[count - 1 - i])
            err = err_no_mem;
    }
    if (!err)
        err = qp_iobuf_page_list_init(bh, pages, count);
    if (!err && bh->base.map && count > 1) {
        swap(pages[0], pages[1]);
        err = qp_iobuf_page_list_init(bh, pages, count);
    }
    *out_pages = pages;
    return err;
}

static void scattered_pages_free(void** pages, size_t count)
{
    size_t i;

    for (i = 0; pages && i < count; i++) {
        if (pages[i])
            __free_page((struct page*)pages[i]);
    }
    free_d(pages);
}

/* The pattern into an allocated buffer, from there into scattered pages,
 * on into other scattered pages (neither side mapped: the bounce buffer)
 * and from those into the caller's range. */
static int control_bounce(int kernel_client, const void* input, size_t input_size)
{
    qp_iobuf_handle_t source, middle[2], dest;
    void** pages[2] = {NULL, NULL};
    size_t page_count, i;
    cdevtest_fill_t fill;
    int err = fill_record(input, input_size, &fill);

    if (err)
        return err;
    page_count = (fill.size + PAGE_SIZE - 1) / PAGE_SIZE;
    memset(middle, 0, sizeof middle);
    memset(&dest, 0, sizeof dest);
    err = qp_iobuf_alloc_init(&source, qp_iobuf_recv, fill.size);
    for (i = 0; !err && i < 2; i++)
        err = scattered_pages_init(&middle[i], &pages[i], page_count);
    if (!err)
        err = caller_buffer(&dest, kernel_client, qp_iobuf_recv, fill.addr, fill.size);
    if (!err) {
        qp_iobufv_t source_vec[2] = {{&source.base, 0, fill.size}, {NULL, 0, 0}};
        qp_iobufv_t middle_vec[2][2] = {{{&middle[0].base, 0, fill.size}, {NULL, 0, 0}},
                                        {{&middle[1].base, 0, fill.size}, {NULL, 0, 0}}};
        qp_iobufv_t dest_vec[2] = {{&dest.base, 0, fill.size}, {NULL, 0, 0}};

        pattern_write(source_vec, fill.seed, fill.size);
        qp_iobufv_zero(middle_vec[0], 0, fill.size);
        qp_iobufv_copy(middle_vec[0], 0, source_vec, 0, fill.size);
        qp_iobufv_copy(middle_vec[1], 0, middle_vec[0], 0, fill.size);
        qp_iobufv_copy(dest_vec, 0, middle_vec[1], 0, fill.size);
    }
    qp_iobuf_term(&dest);
    for (i = 0; i < 2; i++) {
        qp_iobuf_term(&middle[i]);
        scattered_pages_free(pages[i], page_count);
    }
    qp_iobuf_term(&source);
    return err;
}

/* Sleeps until the interrupt pin fires (125), the terminate pin fires (125)
 * or the time runs out (110). */
static int control_sleep(pin_i* interrupt_pin, pin_i* terminate_pin, const void* input,
                         size_t input_size)
{
    int32_t timeout_msecs;

    if (input_size != sizeof timeout_msecs)
        return err_bad_parameter;
    memcpy(&timeout_msecs, input, sizeof timeout_msecs);
    if (pin_wait(interrupt_pin, terminate_pin, timeout_msecs) || pin_i_poll(terminate_pin))
        return err_cancelled;
    return err_timeout;
}

static int control_fail(const void* input, size_t input_size)
{
    int32_t err;

    if (input_size != sizeof err)
        return err_bad_parameter;
    memcpy(&err, input, sizeof err);
    return err > 0 && err < 4096 ? err : err_bad_parameter;
}

/* ---- the owner ------------------------------------------------------------------------ */

static cdevtest_owner_t* owner_of(qp_cdev_owner_i* owner)
{
    return container_of(owner, cdevtest_owner_t, vtbl);
}

static void owner_retain(qp_cdev_owner_i* owner)
{
    sync_inc(&owner_of(owner)->ref_count);
}

static void owner_release(qp_cdev_owner_i* owner)
{
    int left = sync_dec(&owner_of(owner)->ref_count);
    QP_ASSERT(left > 0);
}

static int owner_open(qp_cdev_owner_i* owner, qpso_socket_owner_i* so)
{
    (void)owner;
    (void)so;
    return 0;
}

static int owner_get_interface(qp_cdev_owner_i* owner, int kernel_client,
                               qp_interface_version_t* version)
{
    (void)owner;
    if (ss8cmp(version->interface_id, CDEVTEST_INTERFACE))
        return err_not_found;
    version->version = cdevtest_version;
    version->min_client_compat_version = cdevtest_min_client_version;
    version->start_code = cdevtest_start_code;
    version->direct = kernel_client ? (uint64_t)(uintptr_t)&cdevtest_direct : 0;
    return 0;
}

static int owner_control(qp_cdev_owner_i* owner, pin_i* interrupt_pin, pin_i* terminate_pin,
                         int kernel_client, int code, const void* input, size_t input_size,
                         void* output, size_t max_output_size, size_t* output_size)
{
    (void)owner;
    switch (code) {
    case cdevtest_echo:
        return control_echo(input, input_size, output, max_output_size, output_size);
    case cdevtest_sum:
        return control_sum(kernel_client, input, input_size, output, max_output_size,
                           output_size);
    case cdevtest_fill:
        return control_fill(kernel_client, input, input_size);
    case cdevtest_bounce:
        return control_bounce(kernel_client, input, input_size);
    case cdevtest_sleep:
        return control_sleep(interrupt_pin, terminate_pin, input, input_size);
    case cdevtest_fail:
        return control_fail(input, input_size);
    case cdevtest_cancel:
        (*cdevtest_dev)->cancel(cdevtest_dev);
        return 0;
    default:
        return err_not_implemented;
    }
}

static const qp_cdev_owner_i_vtbl_t cdevtest_owner_vtbl = {
    owner_retain, owner_release, owner_open, owner_get_interface, owner_control,
};

static cdevtest_owner_t cdevtest_owner = {&cdevtest_owner_vtbl, 1};

/* ---- load and unload ------------------------------------------------------------------- */

static int __init cdevtest_init(void)
{
    int err = module_initialize();

    if (!err)
        err = qp_cdev_factory(&cdevtest_dev, &cdevtest_owner.vtbl, CDEVTEST_NAME);
    if (err) {
        module_finalize();
        return -err;
    }
    return 0;
}

static void __exit cdevtest_exit(void)
{
    (*cdevtest_dev)->release(cdevtest_dev);
    if (cdevtest_owner.ref_count != 1)
        printk(KERN_ERR "memory leak qpcdevtest owner references %d\n", cdevtest_owner.ref_count);
    module_finalize();
}

module_init(cdevtest_init);
module_exit(cdevtest_exit);
