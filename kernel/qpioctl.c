/*
 * qpioctl.c - kernel clients of framework devices (the requests they send
 * and the interface check) and the parts of the I/O buffers that need no
 * page access: kernel-memory buffers, aliases and vectors. The Linux side
 * (opening, the direct call into the device, user pages, page copies) is in
 * qpioctllin.c.
 *
 * Vectors: an array of qp_iobufv_t used back to back as one range; a walk
 * skips whole elements until the offset falls inside one, then moves data
 * in pieces that never cross an element. A piece between two buffers goes
 * straight through whichever side has a kernel mapping; when neither has
 * one, it goes through the 512-byte bounce buffer on the stack.
 */
#include "qpioctllin.h"
#include "sstring.h"

/* ---- requests ---------------------------------------------------------------- */

int qp_ioctl(void* handle, int code, const void* input, size_t input_size, void* output,
             size_t max_output_size, size_t* out_output_size)
{
    qp_ioctl_req_t req;
    size_t output_size = 0;
    int err;

    if (input_size > qp_ioctl_size_max || max_output_size > qp_ioctl_size_max) {
        err = err_bad_parameter;
    } else {
        memset(&req, 0, sizeof req);
        req.code = code;
        req.err = -1;
        req.input_size = (uint32_t)input_size;
        req.max_output_size = (uint32_t)max_output_size;
        req.input = (uint64_t)(uintptr_t)input;
        req.output = (uint64_t)(uintptr_t)output;
        err = qp_ioctl_req_(handle, &req);
        if (!err) {
            if (req.output_size > max_output_size)
                err = err_bad_format;
            else {
                err = req.err;
                output_size = req.output_size;
            }
        }
    }
    if (out_output_size)
        *out_output_size = output_size;
    return err;
}

static int interface_accepted(const qp_interface_version_t* version, int client_ver,
                              int min_server_compat_ver, int start_code_wanted)
{
    if (version->version < min_server_compat_ver ||
        client_ver < version->min_client_compat_version)
        return 0;
    return start_code_wanted || !version->start_code;
}

int qp_ioctl_check_interface(void* handle, const char* interface_id, int client_ver,
                             int min_server_compat_ver, int* start_code, void** direct)
{
    qp_interface_version_t version;
    int err;

    memset(&version, 0, sizeof version);
    ss8cpyn(version.interface_id, sizeof version.interface_id, interface_id, (size_t)-1);
    if (start_code)
        version.start_code = -1;
    err = qp_ioctl_get_interface_(handle, &version);
    if (!err && !interface_accepted(&version, client_ver, min_server_compat_ver, !!start_code))
        err = err_wrong_version;
    if (start_code)
        *start_code = err ? 0 : version.start_code;
    if (direct)
        *direct = err ? NULL : (void*)(uintptr_t)version.direct;
    return err;
}

/* ---- buffers without page access --------------------------------------------------- */

int qp_iobuf_mem_init(qp_iobuf_handle_t* bh, int direction, void* mem, size_t size)
{
    (void)direction;
    memset(bh, 0, sizeof *bh);
    if (size)
        bh->base.map = mem;
    return 0;
}

int qp_iobuf_alias_init(qp_iobuf_handle_t* bh, qp_iobuf_handle_t* src, int direction, size_t size)
{
    (void)direction;
    (void)size;
    memset(bh, 0, sizeof *bh);
    bh->base = src->base;
    bh->alias_of = src;
    sync_inc(&src->alias_count);
    return 0;
}

void* qp_iobuf_map(const qp_iobuf_t* buf, size_t off)
{
    return buf->map ? (char*)buf->map + off : NULL;
}

void qp_iobuf_zero(const qp_iobuf_t* buf, size_t off, size_t size)
{
    qp_iobuf_recv_copy(buf, off, NULL, size);
}

void qp_iobuf_copy_slow(const qp_iobuf_t* dest, size_t in_dest_off, const qp_iobuf_t* src,
                        size_t in_src_off, size_t in_size)
{
    char bounce[qp_iobuf_bounce_size];

    while (in_size) {
        size_t piece = in_size < sizeof bounce ? in_size : sizeof bounce;
        qp_iobuf_send_copy(src, in_src_off, bounce, piece);
        qp_iobuf_recv_copy(dest, in_dest_off, bounce, piece);
        in_dest_off += piece;
        in_src_off += piece;
        in_size -= piece;
    }
}

/* ---- vectors ----------------------------------------------------------------------- */

/* A position in a vector: the element and the offset inside it. */
typedef struct iobufv_pos_t {
    const qp_iobufv_t* elem; /* null past the end */
    size_t off;
} iobufv_pos_t;

static void iobufv_settle(iobufv_pos_t* pos)
{
    while (pos->elem->buf && pos->off >= pos->elem->size) {
        pos->off -= pos->elem->size;
        pos->elem++;
    }
    if (!pos->elem->buf)
        pos->elem = NULL;
}

static iobufv_pos_t iobufv_seek(const qp_iobufv_t* vec, size_t off)
{
    iobufv_pos_t pos = {vec, off};
    iobufv_settle(&pos);
    return pos;
}

/* Bytes left in the current element, at most limit. */
static size_t iobufv_run(const iobufv_pos_t* pos, size_t limit)
{
    size_t left = pos->elem->size - pos->off;
    return left < limit ? left : limit;
}

static void iobufv_advance(iobufv_pos_t* pos, size_t size)
{
    pos->off += size;
    iobufv_settle(pos);
}

size_t qp_iobufv_recv_copy(const qp_iobufv_t* in_dest, size_t in_dest_off, const void* in_src,
                           size_t in_size)
{
    iobufv_pos_t pos = iobufv_seek(in_dest, in_dest_off);
    const char* src = (const char*)in_src;
    size_t moved = 0;

    while (moved < in_size && pos.elem) {
        size_t piece = iobufv_run(&pos, in_size - moved);
        qp_iobuf_recv_copy(pos.elem->buf, pos.elem->buf_off + pos.off, src ? src + moved : NULL,
                           piece);
        moved += piece;
        iobufv_advance(&pos, piece);
    }
    return moved;
}

size_t qp_iobufv_send_copy(const qp_iobufv_t* in_src, size_t in_src_off, void* in_dest,
                           size_t in_size)
{
    iobufv_pos_t pos = iobufv_seek(in_src, in_src_off);
    char* dest = (char*)in_dest;
    size_t moved = 0;

    while (moved < in_size && pos.elem) {
        size_t piece = iobufv_run(&pos, in_size - moved);
        qp_iobuf_send_copy(pos.elem->buf, pos.elem->buf_off + pos.off, dest + moved, piece);
        moved += piece;
        iobufv_advance(&pos, piece);
    }
    return moved;
}

/* One piece between two buffers, through whichever side is mapped. */
static void iobuf_copy(const qp_iobuf_t* dest, size_t dest_off, const qp_iobuf_t* src,
                       size_t src_off, size_t size)
{
    void* dest_map = qp_iobuf_map(dest, dest_off);
    void* src_map = qp_iobuf_map(src, src_off);

    if (dest_map)
        qp_iobuf_send_copy(src, src_off, dest_map, size);
    else if (src_map)
        qp_iobuf_recv_copy(dest, dest_off, src_map, size);
    else
        qp_iobuf_copy_slow(dest, dest_off, src, src_off, size);
}

size_t qp_iobufv_copy(const qp_iobufv_t* in_dest, size_t in_dest_off, const qp_iobufv_t* in_src,
                      size_t in_src_off, size_t in_size)
{
    iobufv_pos_t dest = iobufv_seek(in_dest, in_dest_off);
    iobufv_pos_t src = iobufv_seek(in_src, in_src_off);
    size_t moved = 0;

    while (moved < in_size && dest.elem && src.elem) {
        size_t piece = iobufv_run(&src, iobufv_run(&dest, in_size - moved));
        iobuf_copy(dest.elem->buf, dest.elem->buf_off + dest.off, src.elem->buf,
                   src.elem->buf_off + src.off, piece);
        moved += piece;
        iobufv_advance(&dest, piece);
        iobufv_advance(&src, piece);
    }
    return moved;
}

size_t qp_iobufv_zero(const qp_iobufv_t* in_dest, size_t in_off, size_t in_size)
{
    return qp_iobufv_recv_copy(in_dest, in_off, NULL, in_size);
}
