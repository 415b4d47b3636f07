/*
 * qpioctllin.c - the Linux side of kernel clients and I/O buffers: opening
 * a device node from kernel code, handing requests to a framework device
 * directly, pinned user pages, allocated pages and copies page by page.
 *
 * Kernel clients. The kernel has no address limit to raise any more, so a
 * request with kernel buffers cannot go through the device's ioctl entry.
 * Instead the client recognises a framework device by its file operations
 * and calls the framework's request handler with kernel_client set, which
 * copies with memcpy. The device may belong to another module with its own
 * copy of the framework: such a copy is recognised by the name of its ioctl
 * entry (kallsyms) and the size of its dispatch record. An open file holds
 * its module, so the handler stays loaded for the call. Files of other
 * drivers answer 25.
 *
 * User pages are pinned with pin_user_pages_fast (write access when the
 * kernel will write into them) and unpinned, dirtied when written, at the
 * buffer's end. Buffers are limited to qp_iobuf_size_max, so a size from a
 * caller never asks for a huge page list.
 */
#include "qpioctllin.h"

#include <linux/kallsyms.h>

enum {
    qp_iobuf_size_max = 1 << 30,
    /* Pages pinned per call. */
    qp_iobuf_pin_batch = 512,
    /* The largest single page allocation tried for a buffer (order 10, valid
     * on every release). */
    qp_iobuf_palloc_max = PAGE_SIZE << 10,
};

/* ---- opening ---------------------------------------------------------------------- */

int qp_ioctl_open_name(void** out_fh, const char* end_name, int file_open_flags)
{
    static const char dev_folder[] = "/dev/";
    size_t name_len = strlen(end_name);
    int access = file_open_flags & 0xF;
    struct file* file;
    char* path;

    *out_fh = NULL;
    path = (char*)malloc_d(sizeof dev_folder + name_len);
    if (!path)
        return err_no_mem;
    memcpy(path, dev_folder, sizeof dev_folder - 1);
    memcpy(path + sizeof dev_folder - 1, end_name, name_len + 1);
    file = filp_open(path, access != 0 && access != 3 ? O_RDWR : O_RDONLY, 0);
    free_d(path);
    if (!file)
        return err_no_mem;
    if (IS_ERR(file))
        return -PTR_ERR(file);
    *out_fh = file;
    return 0;
}

void qp_ioctl_close_name(void* fh)
{
    if (filp_close((struct file*)fh, NULL) != 0)
        qp_assert_failed(__FILE__, __LINE__, "(filp_close( fh, 0)) == (0)");
}

int qp_ioctl_open_fd(void** out_fh, int fd)
{
    (void)fd;
    *out_fh = NULL;
    return err_not_implemented;
}

void qp_ioctl_close_fd(void* fh)
{
    (void)fh;
}

/* ---- requests to a framework device --------------------------------------------------- */

/* Is the ioctl entry the framework's, of this or another module's copy? */
static int is_framework_ioctl(long (*entry)(struct file*, unsigned int, unsigned long))
{
    static const char entry_name[] = QPCDEV_IOCTL_ENTRY_NAME;
    char name[KSYM_SYMBOL_LEN];

    if (entry == qpcdev_dev_d_ioctl)
        return 1;
    sprint_symbol_no_offset(name, (unsigned long)entry);
    /* "name [module]", or just "name" for the kernel itself */
    return !strncmp(name, entry_name, sizeof entry_name - 1) &&
           (name[sizeof entry_name - 1] == 0 || name[sizeof entry_name - 1] == ' ');
}

static const qpcdev_dispatch_t* framework_dispatch(struct file* file)
{
    const struct file_operations* fops = file->f_op;
    const qpcdev_dispatch_t* dispatch;

    if (!fops || !fops->unlocked_ioctl || !is_framework_ioctl(fops->unlocked_ioctl))
        return NULL;
    dispatch = container_of(fops, qpcdev_dispatch_t, fops);
    return dispatch->size == sizeof *dispatch ? dispatch : NULL;
}

static int kernel_request(void* fh, unsigned code, void* record)
{
    const qpcdev_dispatch_t* dispatch;

    if (!fh)
        return err_bad_fd;
    dispatch = framework_dispatch((struct file*)fh);
    if (!dispatch)
        return err_not_tty;
    return dispatch->kernel_request((struct file*)fh, code, record);
}

int qp_ioctl_req_(void* fh, qp_ioctl_req_t* req)
{
    return kernel_request(fh, QP_IOCTL_CONTROL, req);
}

int qp_ioctl_get_interface_(void* fh, qp_interface_version_t* version)
{
    return kernel_request(fh, QP_IOCTL_GET_INTERFACE, version);
}

/* ---- buffers of pages ------------------------------------------------------------------ */

static struct page* iobuf_page(const qp_iobuf_t* buf, size_t index)
{
    QP_ASSERT(index < buf->page_count);
    return (struct page*)buf->page_list[index];
}

/* map is the pages' kernel address when they follow each other there. */
static int iobuf_decide_map(qp_iobuf_t* buf)
{
    char* first = NULL;
    size_t i;

    buf->map = NULL;
    for (i = 0; i < buf->page_count; i++) {
        struct page* page = iobuf_page(buf, i);
        char* addr;

        if (!page)
            return err_no_mem;
        addr = (char*)page_address(page);
        if (!i)
            first = addr;
        if (!addr || addr != first + i * PAGE_SIZE)
            return 0;
    }
    buf->map = first + buf->page_off;
    return 0;
}

static int iobuf_list_alloc(qp_iobuf_handle_t* bh, size_t page_count)
{
    bh->base.page_list = (void**)calloc_d(page_count, sizeof(void*));
    if (!bh->base.page_list)
        return err_no_mem;
    bh->base.page_count = page_count;
    bh->flags |= qp_iobuf_flag_list_heap;
    return 0;
}

static int iobuf_pin(qp_iobuf_handle_t* bh, uintptr_t first_page, unsigned gup_flags)
{
    size_t done = 0;

    while (done < bh->base.page_count) {
        size_t left = bh->base.page_count - done;
        int part = (int)(left < qp_iobuf_pin_batch ? left : qp_iobuf_pin_batch);
        int res = pin_user_pages_fast(first_page + done * PAGE_SIZE, part, gup_flags,
                                      (struct page**)bh->base.page_list + done);
        if (res <= 0)
            return res ? -res : err_fault;
        QP_ASSERT(res > 0 && 0u + res <= part);
        done += res;
    }
    return 0;
}

int qp_iobuf_user_init(qp_iobuf_handle_t* bh, int direction, void* mem, size_t size)
{
    uintptr_t addr = (uintptr_t)mem;
    int err;

    memset(bh, 0, sizeof *bh);
    if (!size)
        return 0;
    if (size > qp_iobuf_size_max)
        return err_bad_parameter;
    if (!access_ok((void __user*)mem, size))
        return err_fault;
    bh->base.page_off = addr % PAGE_SIZE;
    err = iobuf_list_alloc(bh, (bh->base.page_off + size + PAGE_SIZE - 1) / PAGE_SIZE);
    if (!err) {
        bh->flags |= direction == qp_iobuf_recv ? qp_iobuf_flag_dirty | qp_iobuf_flag_pinned
                                                : qp_iobuf_flag_pinned;
        err = iobuf_pin(bh, addr - bh->base.page_off,
                        direction == qp_iobuf_recv ? FOLL_WRITE : 0);
    }
    if (!err)
        err = iobuf_decide_map(&bh->base);
    if (err)
        qp_iobuf_term(bh);
    return err;
}

int qp_iobuf_alloc_init(qp_iobuf_handle_t* bh, int direction, size_t size)
{
    size_t i;
    int err;

    (void)direction;
    memset(bh, 0, sizeof *bh);
    if (!size)
        return 0;
    if (size > qp_iobuf_size_max)
        return err_bad_parameter;
    if (size <= qp_iobuf_palloc_max) {
        void* mem = palloc(size, 0);
        if (mem) {
            bh->base.map = mem;
            bh->mem_size = size;
            bh->flags = qp_iobuf_flag_map_palloc;
            return 0;
        }
    }
    err = iobuf_list_alloc(bh, (size + PAGE_SIZE - 1) / PAGE_SIZE);
    bh->flags |= qp_iobuf_flag_pages_alloc;
    for (i = 0; !err && i < bh->base.page_count; i++) {
        bh->base.page_list[i] = alloc_page(GFP_KERNEL | __GFP_NOWARN);
        if (!bh->base.page_list[i])
            err = err_no_mem;
    }
    if (!err)
        err = iobuf_decide_map(&bh->base);
    if (err)
        qp_iobuf_term(bh);
    return err;
}

int qp_iobuf_page_list_init(qp_iobuf_handle_t* bh, void** page_list, size_t page_count)
{
    memset(bh, 0, sizeof *bh);
    bh->base.page_list = page_list;
    bh->base.page_count = page_count;
    return iobuf_decide_map(&bh->base);
}

static void iobuf_page_end(struct page* page, int flags)
{
    if (flags & qp_iobuf_flag_pinned)
        unpin_user_pages_dirty_lock(&page, 1, !!(flags & qp_iobuf_flag_dirty));
    else if (flags & qp_iobuf_flag_dirty)
        set_page_dirty_lock(page);
    if (flags & qp_iobuf_flag_pages_alloc)
        __free_page(page);
}

void qp_iobuf_term(qp_iobuf_handle_t* in_bh)
{
    qp_iobuf_handle_t bh = *in_bh;
    size_t i;

    memset(in_bh, 0, sizeof *in_bh);
    QP_ASSERT(!bh.alias_count);
    if (bh.alias_of) {
        QP_ASSERT(bh.flags == 0);
        QP_ASSERT(bh.alias_of->alias_count > 0);
        sync_dec(&bh.alias_of->alias_count);
        return;
    }
    /* A failed pin or allocation leaves the rest of the list empty. */
    for (i = 0; bh.base.page_list && i < bh.base.page_count; i++) {
        if (bh.base.page_list[i])
            iobuf_page_end((struct page*)bh.base.page_list[i], bh.flags);
    }
    if (bh.flags & qp_iobuf_flag_list_heap)
        free_d(bh.base.page_list);
    if (bh.flags & qp_iobuf_flag_map_palloc)
        pfree(bh.base.map, bh.mem_size, 0);
}

void* qp_iobuf_part(const qp_iobuf_t* buf, size_t off, size_t* ref_size)
{
    size_t pos = buf->page_off + off;
    size_t index = pos / PAGE_SIZE, in_page = pos % PAGE_SIZE, run;
    char *addr, *next;

    if (buf->map)
        return (char*)buf->map + off;
    addr = (char*)page_address(iobuf_page(buf, index));
    if (!addr)
        return NULL;
    run = PAGE_SIZE - in_page;
    next = addr + PAGE_SIZE;
    for (index++; run < *ref_size && index < buf->page_count &&
                  page_address(iobuf_page(buf, index)) == next;
         index++, next += PAGE_SIZE)
        run += PAGE_SIZE;
    if (run < *ref_size)
        *ref_size = run;
    return addr + in_page;
}

/* Walks [off, off + size) page by page: visit(mapped bytes, run, cursor). */
typedef void (*iobuf_visit_t)(char* mapped, size_t run, char** cursor);

static void iobuf_pages_walk(const qp_iobuf_t* buf, size_t off, size_t size, char* cursor,
                             iobuf_visit_t visit)
{
    while (size) {
        size_t pos = buf->page_off + off;
        size_t in_page = pos % PAGE_SIZE;
        size_t run = PAGE_SIZE - in_page < size ? PAGE_SIZE - in_page : size;
        char* mapped = (char*)qp_kmap(iobuf_page(buf, pos / PAGE_SIZE));

        visit(mapped + in_page, run, &cursor);
        qp_kunmap(mapped);
        off += run;
        size -= run;
    }
}

static void visit_recv(char* mapped, size_t run, char** src)
{
    if (*src) {
        memcpy(mapped, *src, run);
        *src += run;
    } else {
        memset(mapped, 0, run);
    }
}

static void visit_send(char* mapped, size_t run, char** dest)
{
    memcpy(*dest, mapped, run);
    *dest += run;
}

void qp_iobuf_recv_copy(const qp_iobuf_t* buf, size_t buf_off, const void* src, size_t size)
{
    if (!buf->map)
        iobuf_pages_walk(buf, buf_off, size, (char*)src, visit_recv);
    else if (src)
        memcpy((char*)buf->map + buf_off, src, size);
    else
        memset((char*)buf->map + buf_off, 0, size);
}

void qp_iobuf_send_copy(const qp_iobuf_t* buf, size_t buf_off, void* dest, size_t size)
{
    if (!buf->map)
        iobuf_pages_walk(buf, buf_off, size, (char*)dest, visit_send);
    else
        memcpy(dest, (char*)buf->map + buf_off, size);
}
