/*
 * qpremote.h - the remote request protocol and the remote value packing.
 *
 * A connection (remote_i) speaks a symmetric request/response protocol over
 * one stream: either end may send requests, each identified by a 64-bit
 * cookie counted from 1 per connection and sender, and answer the requests
 * of the other end in any order. Up to eight descriptors travel with each
 * request and with each result.
 *
 * Wire format. Every packet is one 32-byte header (remote_packet_t, little
 * endian) followed by data_size bytes of data and zero bytes up to the next
 * multiple of 16; it is written with one send. When fd_mask is non-zero the
 * descriptors follow the whole packet on the descriptor channel, one
 * transfer per set bit in ascending bit order. The descriptor channel is the
 * main connection in serialized mode (remote_flag_serialize) and a socket
 * pair created by the remote_flag_server end otherwise.
 *
 * Everything a peer sends is checked before use: a header with data above
 * the limits, a result for an unknown cookie, descriptors that were not
 * announced by the flags or a request to an end that accepts none cancel
 * the connection with err_bad_format, and every waiting request then
 * completes exactly once with err_cancelled.
 *
 *   remote_i* rm;
 *   int err = remote_factory_d(&rm, 0, remote_flag_send | remote_flag_serialize, &fd, 0, 0);
 *   if (!err) err = remote_send(rm, 0, 5000, 7, "hi", 2, 0, &result, buf, sizeof buf, &n, 0);
 *   (*rm)->release(rm);
 *
 * The value packing (remote_pack_vals*, remote_unpack_vals*) is portable C
 * and also compiled by the kernel build; see the letters below.
 */
#ifndef QPREMOTE_H
#define QPREMOTE_H

#include "qpsync.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    remote_alignment = 16,
    remote_max_data_size = 0x40000000,
    remote_max_inline_data_size = 1024,
    remote_max_fd_count = 8,
    remote_req_scratch_size = 384,
    remote_packet_header_size = 32,
    /* received data is always followed by this many zero bytes in memory */
    remote_zero_tail_size = 11,
    remote_packet_flag_result = 1,
    remote_packet_flag_keepalive = 2,
    remote_keepalive_send_interval = 30000,
    remote_keepalive_poll_delay_min = 5400,
    remote_keepalive_poll_delay_max = 6000,
    /* the timeout of a keep-alive request */
    remote_keepalive_timeout = 39000,
    /* largest answer remote_send_ma (and so remote_send_format) accepts */
    remote_send_ma_max_output_size = 0x100000,
};

/* Connection flags. */
enum {
    remote_flag_receive = 1,
    remote_flag_send = 2,
    remote_flag_receive_fd = 4,
    remote_flag_send_fd = 8,
    remote_flag_serialize = 16,
    remote_flag_server = 32,
    remote_flag_trusted = 64,
    remote_flag_keepalive = 128,
    remote_flag_err_output = 256,
};

/* The packet header as it travels (x86-64: the structure is the wire). */
typedef struct remote_packet_t {
    uint64_t cookie;
    uint8_t flags;
    uint8_t fd_mask;
    uint8_t reserved1[2];
    uint32_t data_size;
    union {
        int32_t code; /* request */
        int32_t perr; /* result: portable error of the answer */
    };
    union {
        uint32_t max_output_size; /* request */
        int32_t result;           /* result */
    };
    uint8_t reserved2[8];
} remote_packet_t;

/* ---- transport --------------------------------------------------------- */

/* Completion of a transport operation: the error (reported only when no
 * byte moved) and the bytes moved. */
typedef void (*qp_transport_complete_t)(void* param, int err, size_t size);

typedef struct qp_transport_i_vtbl_t qp_transport_i_vtbl_t;
typedef const qp_transport_i_vtbl_t* qp_transport_i;
struct qp_transport_i_vtbl_t {
    void (*release)(qp_transport_i* tr);
    void (*recv_async)(qp_transport_i* tr, pin_i* cancel_pin, int timeout,
                       qp_transport_complete_t complete, void* param, void* data, size_t min_size,
                       size_t max_size);
    void (*send_async)(qp_transport_i* tr, pin_i* cancel_pin, int timeout,
                       qp_transport_complete_t complete, void* param, const void* data,
                       size_t size);
    void (*flush_async)(qp_transport_i* tr, pin_i* cancel_pin, qp_transport_complete_t complete,
                        void* param);
    void (*shutdown_recv)(qp_transport_i* tr);
    void (*shutdown_send)(qp_transport_i* tr);
};

/* ---- connection ---------------------------------------------------------- */

/* Completion of a sent request, called exactly once. On success err is 0
 * and result, output (followed by at least 11 zero bytes) and the eight
 * output descriptors are the answer's; on error result is 0, output null
 * and the descriptors -1 (with remote_flag_err_output a fully received
 * answer still delivers its data and result). The completion may take
 * descriptors by setting their entries to -1; the rest are closed after. */
typedef void (*remote_complete_t)(void* param, int err, int result, void* output,
                                  size_t output_size, int* output_fds);

typedef struct remote_i_vtbl_t remote_i_vtbl_t;
typedef const remote_i_vtbl_t* remote_i;
struct remote_i_vtbl_t {
    void (*retain)(remote_i* rm);
    /* The last interface reference cancels the connection with error 0. */
    void (*release)(remote_i* rm);
    /* Cancels the connection with err_cancelled. */
    void (*cancel)(remote_i* rm);
    /* Queues a request. input_fds: eight entries (-1 none) or null; they
     * are duplicated. timeout in ms, 0x7fffffff or more for none. */
    void (*send_async)(remote_i* rm, pin_i* cancel_pin, int timeout, int code, const void* input,
                       size_t input_size, const int* input_fds, size_t max_output_size,
                       remote_complete_t complete, void* complete_param);
};

/* A received request, handed to dispatch. */
typedef struct remote_req_i_vtbl_t remote_req_i_vtbl_t;
typedef const remote_req_i_vtbl_t* remote_req_i;
struct remote_req_i_vtbl_t {
    /* remote_req_scratch_size bytes for the receiver, 16-byte aligned. */
    void* (*scratch)(remote_req_i* req);
    /* The connection's cancel pin. */
    pin_i* (*cancel_pin)(remote_req_i* req);
    int (*code)(remote_req_i* req);
    /* The data, followed by at least 11 zero bytes. */
    void* (*input)(remote_req_i* req);
    size_t (*input_size)(remote_req_i* req);
    /* Takes input descriptor index (0..7); -1 when there is none. */
    int (*input_fd)(remote_req_i* req, int index);
    size_t (*max_output_size)(remote_req_i* req);
    /* Attaches *fd as output descriptor index, taking it (*fd becomes -1). */
    void (*output_fd)(remote_req_i* req, int index, int* fd);
    /* Queues the answer and releases the request. output_size must not
     * exceed max_output_size. */
    void (*complete)(remote_req_i* req, int err, int result, const void* output,
                     size_t output_size);
};

typedef struct remote_receive_i_vtbl_t remote_receive_i_vtbl_t;
typedef const remote_receive_i_vtbl_t* remote_receive_i;
struct remote_receive_i_vtbl_t {
    void (*release)(remote_receive_i* rcv);
    void (*cancel)(remote_receive_i* rcv, int err);
    /* Called before a request's data is read; may lower the limits. */
    void (*max_sizes)(remote_receive_i* rcv, int code, size_t* max_input, size_t* max_output);
    void (*dispatch)(remote_receive_i* rcv, remote_req_i* req);
};

/* Creates a connection over a connected descriptor (*fd, taken) or a
 * transport (*transport, taken), exactly one of them; *receive (taken when
 * given) needs remote_flag_receive. cancel_pin (optional) cancels the
 * connection with err_cancelled. On error nothing is handed out and what
 * was taken is released. */
int remote_factory_dh(const char* file, int line, remote_i** out_rm, pin_i* cancel_pin, int flags,
                      int* fd, qp_transport_i** transport, remote_receive_i** receive);
#define remote_factory_d(out_rm, cancel_pin, flags, fd, transport, receive)                        \
    remote_factory_dh(__FILE__, __LINE__, (out_rm), (cancel_pin), (flags), (fd), (transport),      \
                      (receive))

/* Synchronous send: output is copied into output (at most max_output_size
 * bytes), output descriptors moved into output_fds (eight entries, or null
 * to close them). out_result, out_output_size may be null. */
int remote_send(remote_i* rm, pin_i* cancel_pin, int timeout, int code, const void* input,
                size_t input_size, const int* input_fds, int* out_result, void* output,
                size_t max_output_size, size_t* out_output_size, int* output_fds);
/* One request on a one-shot serialized connection over *fd (taken). */
int remote_send_single(int* fd, pin_i* cancel_pin, int timeout, int code, const void* input,
                       size_t input_size, const int* input_fds, int* out_result, void* output,
                       size_t max_output_size, size_t* out_output_size, int* output_fds);
/* Synchronous send whose output (at most remote_send_ma_max_output_size
 * bytes, followed by a zero byte) is allocated from ma; no descriptors. */
int remote_send_ma(remote_i* rm, malloc_i* ma, pin_i* cancel_pin, int timeout, int code,
                   const void* input, size_t input_size, int* out_result, void** out_output,
                   size_t* out_output_size);

/* Live connections. */
extern int g_qp_remote_count;

/* Test hook: the interval of silence after which a keep-alive is sent and
 * the alarm period (ms); 0 restores the defaults. */
void remote_keepalive_set_intervals_(int send_interval, int poll_delay);

/* ---- blobs ------------------------------------------------------------------ */

/* A reference-counted block of bytes. */
typedef struct remote_blob_t {
    int ref_count;
    size_t size;
    unsigned char data[];
} remote_blob_t;

/* A blob of size bytes copied from data (zeros when data is null), one
 * reference; null when out of memory. */
remote_blob_t* remote_blob_new_dh(const char* file, int line, const void* data, size_t size);
#define remote_blob_new_d(data, size) remote_blob_new_dh(__FILE__, __LINE__, (data), (size))
void remote_blob_retain(remote_blob_t* blob);
/* Null is ignored. */
void remote_blob_release(remote_blob_t* blob);

/* ---- value packing ----------------------------------------------------------- */

/*
 * A format is a string of letters; each produces one field that starts at a
 * multiple of 4 bytes (zero bytes pad after each field). Variable fields are
 * a u32 length followed by the bytes.
 *
 *   letter  pack argument           unpack argument
 *   i       int                     int*
 *   l       int64_t                 int64_t*
 *   s       size_t (low 32 bits)    size_t*
 *   tN      const void* (N bytes)   void* (N bytes); N a multiple of 4
 *   v       const void*, size_t     void**, size_t*
 *   z       const char*             char**       (length counts the zero)
 *   Z       const wchar_t*          wchar_t**    (travels as UTF-8)
 *   b       remote_blob_t*          remote_blob_t**
 *
 * Unpacking gives the zero value for a field the input cannot complete and
 * for every field after the input ended; that is err_bad_format unless the
 * input ended exactly after a whole field. Surplus input is accepted. Null
 * unpack pointers skip their field (for v, a null void** stores only the
 * length).
 */
int remote_pack_vals(malloc_i* ma, void** out_data, size_t* out_size, const char* format, ...);
int remote_pack_vals_2(void* buffer, size_t buffer_size, size_t* out_size, const char* format,
                       ...);
int remote_pack_vals_3(malloc_i* ma, void** out_data, size_t* out_size, const char* format,
                       va_list args);
int remote_unpack_vals_dh(const char* file, int line, malloc_i* ma, const void* data, size_t size,
                          const char* format, ...);
int remote_unpack_vals_2_dh(const char* file, int line, malloc_i* ma, const void* data,
                            size_t size, const char* format, va_list args);
#define remote_unpack_vals_d(ma, data, size, ...)                                                  \
    remote_unpack_vals_dh(__FILE__, __LINE__, (ma), (data), (size), __VA_ARGS__)

/* Packs the input values by in_format, sends code without timeout, then
 * unpacks the answer by out_format into the output pointers that follow
 * (allocated from ma), also after an error so that they are zeroed. A
 * successful answer's result value is a portable error code. */
int remote_send_format(remote_i* rm, malloc_i* ma, pin_i* cancel_pin, int code,
                       const char* in_format, const char* out_format, ...);

#ifdef __cplusplus
}
#endif

#endif
