/*
 * qpioctl.h - the two requests of a framework character device (qpcdev.h)
 * as they travel, kernel-side clients of such devices, and I/O buffer
 * descriptors. Kernel build only.
 *
 * Requests. A framework device answers two ioctls, both read-write with type
 * 'g': the interface query (number 0, the 112-byte qp_interface_version_t)
 * and the control request (number 1, the 48-byte qp_ioctl_req_t). A control
 * request names a control code, its input and the room for its output; the
 * device copies the input in, lets its owner run the code and copies the
 * output and the request (with err and output_size) back. Sizes above
 * qp_ioctl_size_max are refused with 22 before anything is allocated.
 *
 * Kernel clients open a device by name (qp_ioctl_open_name), check its
 * interface and send control requests with kernel buffers. A kernel client's
 * request goes straight to the framework's request handler (no user copies);
 * a file of any other driver answers 25.
 *
 *   void* fh; int start;
 *   if (!qp_ioctl_open_name(&fh, "qpcdevtest", 3)) {
 *       if (!qp_ioctl_check_interface(fh, "qpcdevtest", 3, 3, &start, NULL))
 *           err = qp_ioctl(fh, start, in, in_size, out, sizeof out, &out_size);
 *       qp_ioctl_close_name(fh);
 *   }
 *
 * I/O buffers. A qp_iobuf_t describes one byte range: kernel memory (map
 * set), pinned user pages, freshly allocated pages or another buffer's pages
 * (an alias); the handle records what must be undone at its end. A vector
 * (qp_iobufv_t array) strings ranges together into one logical range; an
 * element with a null buf ends the vector early. Copies between two buffers
 * of which neither has a kernel mapping go through a 512-byte bounce buffer.
 */
#ifndef QPIOCTL_H
#define QPIOCTL_H

#include "qpbase.h"
#include "qperr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- the two requests ------------------------------------------------- */

#define QP_IOCTL_GET_INTERFACE 0xC0706700u /* _IOWR('g', 0, 112) */
#define QP_IOCTL_CONTROL       0xC0306701u /* _IOWR('g', 1, 48) */

enum {
    qp_interface_id_size = 80,
    /* Input and output sizes above this fail with 22 (as the trace driver's). */
    qp_ioctl_size_max = 64 << 20,
    /* Control buffers up to this size live on the stack. */
    qp_ioctl_stack_buffer = 128,
};

/* The interface query (112 bytes, little-endian). */
typedef struct qp_interface_version_t {
    int32_t version;                   /* interface version the device offers */
    int32_t min_client_compat_version; /* oldest client version it serves */
    int32_t start_code;                /* first control code (set by the device) */
    uint8_t reserved1[12];
    uint64_t direct;                   /* kernel pointer for kernel clients */
    char interface_id[qp_interface_id_size]; /* asked for by the client */
} qp_interface_version_t;

/* The control request (48 bytes, little-endian). */
typedef struct qp_ioctl_req_t {
    uint64_t reserved1;
    uint8_t reserved2[4];
    int32_t code;
    int32_t err; /* the client presets -1 */
    uint32_t input_size;
    uint32_t max_output_size;
    uint32_t output_size;
    uint64_t input;
    uint64_t output;
} qp_ioctl_req_t;

/* ---- kernel clients ---------------------------------------------------- */

/* Opens /dev/<end_name> from kernel code: read-write when the low nibble of
 * file_open_flags is neither 0 nor 3, else read-only. */
int qp_ioctl_open_name(void** out_fh, const char* end_name, int file_open_flags);
void qp_ioctl_close_name(void* fh);
/* Descriptors of user processes are not served: err_not_implemented. */
int qp_ioctl_open_fd(void** out_fh, int fd);
void qp_ioctl_close_fd(void* fh);

/* Sends a control request whose addresses are kernel addresses. Returns the
 * transport's error (9 no file, 25 not a framework device, ...); the
 * control's own result is in req->err. */
int qp_ioctl_req_(void* fh, qp_ioctl_req_t* req);
/* One control request: 0 or the control's error; a device that produced
 * more than max_output_size is err_bad_format. */
int qp_ioctl(void* handle, int code, const void* input, size_t input_size, void* output,
             size_t max_output_size, size_t* out_output_size);
/* Asks for interface_id; accepted when the device's version is at least
 * min_server_compat_ver and client_ver at least the device's oldest served
 * client version, else err_wrong_version. start_code and direct (both
 * optional) receive the answer; without start_code a non-zero start code is
 * refused. On failure they are 0 and null. */
int qp_ioctl_check_interface(void* handle, const char* interface_id, int client_ver,
                             int min_server_compat_ver, int* start_code, void** direct);

/* ---- I/O buffers --------------------------------------------------------- */

typedef struct qp_iobuf_t {
    void* zero1;       /* always null */
    void* map;         /* kernel address of the whole range, or null */
    size_t page_off;   /* offset of the range in its first page */
    size_t page_count;
    void** page_list;  /* struct page* of each page */
    size_t reserved[3];
} qp_iobuf_t;

typedef struct qp_iobuf_handle_t {
    int flags; /* qp_iobuf_flag_* */
    size_t mem_size;
    qp_iobuf_t base;
    struct qp_iobuf_handle_t* alias_of;
    int alias_count; /* aliases of this handle still alive */
} qp_iobuf_handle_t;

enum {
    qp_iobuf_flag_list_heap = 1,   /* page_list is a heap allocation */
    qp_iobuf_flag_map_palloc = 2,  /* map is a palloc of mem_size bytes */
    qp_iobuf_flag_pages_alloc = 4, /* each page was allocated on its own */
    qp_iobuf_flag_dirty = 8,       /* the kernel wrote into user pages */
    qp_iobuf_flag_pinned = 16,     /* pinned user pages */

    qp_iobuf_recv = 1, /* the kernel writes into the buffer */
    qp_iobuf_send = 2, /* the kernel reads from it */

    qp_iobuf_bounce_size = 512,
};

typedef struct qp_iobufv_t {
    const qp_iobuf_t* buf; /* null ends the vector */
    size_t buf_off;
    size_t size;
} qp_iobufv_t;

/* Pins the user range [mem, mem + size) of the calling process. */
int qp_iobuf_user_init(qp_iobuf_handle_t* bh, int direction, void* mem, size_t size);
int qp_iobuf_mem_init(qp_iobuf_handle_t* bh, int direction, void* mem, size_t size);
int qp_iobuf_alloc_init(qp_iobuf_handle_t* bh, int direction, size_t size);
/* Uses the caller's pages (which it keeps owning). */
int qp_iobuf_page_list_init(qp_iobuf_handle_t* bh, void** page_list, size_t page_count);
int qp_iobuf_alias_init(qp_iobuf_handle_t* bh, qp_iobuf_handle_t* src, int direction, size_t size);
void qp_iobuf_term(qp_iobuf_handle_t* in_bh);

/* map + off, or null for a buffer without a kernel mapping. */
void* qp_iobuf_map(const qp_iobuf_t* buf, size_t off);
/* The kernel address of byte off; *ref_size is cut to the bytes from there
 * that follow each other in kernel space. */
void* qp_iobuf_part(const qp_iobuf_t* buf, size_t off, size_t* ref_size);
/* Into the buffer from kernel memory (a null src writes zeros). */
void qp_iobuf_recv_copy(const qp_iobuf_t* buf, size_t buf_off, const void* src, size_t size);
/* From the buffer into kernel memory. */
void qp_iobuf_send_copy(const qp_iobuf_t* buf, size_t buf_off, void* dest, size_t size);
void qp_iobuf_zero(const qp_iobuf_t* buf, size_t off, size_t size);
/* Between two buffers through the 512-byte bounce buffer. */
void qp_iobuf_copy_slow(const qp_iobuf_t* dest, size_t in_dest_off, const qp_iobuf_t* src,
                        size_t in_src_off, size_t in_size);

/* Vector copies return the bytes moved (less than asked only when a vector
 * ends early). */
size_t qp_iobufv_recv_copy(const qp_iobufv_t* in_dest, size_t in_dest_off, const void* in_src,
                           size_t in_size);
size_t qp_iobufv_send_copy(const qp_iobufv_t* in_src, size_t in_src_off, void* in_dest,
                           size_t in_size);
size_t qp_iobufv_copy(const qp_iobufv_t* in_dest, size_t in_dest_off, const qp_iobufv_t* in_src,
                      size_t in_src_off, size_t in_size);
size_t qp_iobufv_zero(const qp_iobufv_t* in_dest, size_t in_off, size_t in_size);

#ifdef __cplusplus
}
#endif

#endif
