/*
 * qpremote2.c - remote value packing: typed values to and from the data of
 * a remote request or result, and the send that packs, sends and unpacks in
 * one step. Portable C, also compiled by the kernel build.
 *
 * A format is walked by one field reader or writer per letter (table in
 * qpremote.h). Packing walks it twice over copies of the argument list: a
 * measuring pass sums the field sizes (every field rounded up to 4 bytes),
 * then the writing pass stores them into a buffer of exactly that size.
 * Unpacking trusts nothing in the data: every length is checked against
 * the bytes left before it is used, and a field the data cannot complete
 * becomes the zero value.
 *
 * Blobs are reference counted with the atomic increments of the sync layer;
 * no other state, no locks.
 */
#include "qpremote.h"
#include "qperr.h"
#include "sstring.h"

#ifdef __KERNEL__
#include <linux/string.h>
#else
#include <string.h>
#endif

/* ---- blobs ------------------------------------------------------------------ */

remote_blob_t* remote_blob_new_dh(const char* file, int line, const void* data, size_t size)
{
    remote_blob_t* blob;

    if (size > remote_max_data_size) {
        return 0;
    }
    blob = (remote_blob_t*)malloc_dh(file, line, sizeof(remote_blob_t) + size + 1);
    if (!blob) {
        return 0;
    }
    blob->ref_count = 1;
    blob->size = size;
    if (data) {
        memcpy(blob->data, data, size);
    } else {
        memset(blob->data, 0, size);
    }
    blob->data[size] = 0;
    return blob;
}

void remote_blob_retain(remote_blob_t* blob)
{
    sync_inc(&blob->ref_count);
}

void remote_blob_release(remote_blob_t* blob)
{
    if (blob && sync_dec(&blob->ref_count) == 0) {
        free_dh(blob);
    }
}

/* ---- format letters ---------------------------------------------------------- */

static size_t align4(size_t n)
{
    return (n + 3) & ~(size_t)3;
}

/* The byte count N of a "tN" letter at *format (just after the 't'); moves
 * *format past the digits. A missing count, one that is not a multiple of 4
 * or one above the data limit is a programming error. */
static size_t format_fixed_size(const char** format)
{
    size_t n = 0;
    const char* p = *format;

    QP_ASSERT(*p >= '0' && *p <= '9');
    for (; *p >= '0' && *p <= '9'; p++) {
        n = n * 10 + (size_t)(*p - '0');
        QP_ASSERT(n <= remote_max_data_size);
    }
    QP_ASSERT(n % 4 == 0);
    *format = p;
    return n;
}

static void put_u32(unsigned char* p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static uint32_t get_u32(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* ---- packing ------------------------------------------------------------------- */

/* One packing pass over all arguments. With out null it measures; else it
 * writes the fields at out, which holds exactly the measured size. Returns
 * the size; a variable field longer than a u32 length can say sets *err
 * (err_bad_parameter) and counts nothing. */
static size_t pack_pass(unsigned char* out, const char* format, va_list* args, int* err)
{
    size_t pos = 0;

    while (*format) {
        char letter = *format++;
        const void* bytes = 0;
        size_t len = 0;     /* bytes of the field after its length word */
        int has_length = 1; /* variable field: a u32 length comes first */
        unsigned char fixed[8];

        switch (letter) {
        case 'i':
            put_u32(fixed, (uint32_t)va_arg(*args, int));
            bytes = fixed, len = 4, has_length = 0;
            break;
        case 'l': {
            uint64_t v = (uint64_t)va_arg(*args, int64_t);
            put_u32(fixed, (uint32_t)v);
            put_u32(fixed + 4, (uint32_t)(v >> 32));
            bytes = fixed, len = 8, has_length = 0;
            break;
        }
        case 's':
            put_u32(fixed, (uint32_t)va_arg(*args, size_t));
            bytes = fixed, len = 4, has_length = 0;
            break;
        case 't':
            len = format_fixed_size(&format);
            bytes = va_arg(*args, const void*);
            has_length = 0;
            break;
        case 'v':
            bytes = va_arg(*args, const void*);
            len = va_arg(*args, size_t);
            if (!bytes) {
                len = 0;
            }
            break;
        case 'z': {
            const char* text = va_arg(*args, const char*);
            bytes = text;
            len = text ? strlen(text) + 1 : 0;
            break;
        }
        case 'Z': {
            /* Measured on both passes: the text is converted straight into
             * the buffer on the writing pass. */
            const wchar_t* text = va_arg(*args, const wchar_t*);
            len = text ? ss8convwlen(text) + 1 : 0;
            if (out && text) {
                ss8convwn((char*)out + pos + 4, len, text, (size_t)-1);
            }
            bytes = 0;
            break;
        }
        case 'b': {
            remote_blob_t* blob = va_arg(*args, remote_blob_t*);
            bytes = blob ? blob->data : 0;
            len = blob ? blob->size : 0;
            break;
        }
        default:
            QP_ASSERT(!"remote value format letter");
        }
        if (has_length && len > 0xFFFFFFFFu) {
            *err = err_bad_parameter;
            continue;
        }
        if (out) {
            unsigned char* field = out + pos;
            if (has_length) {
                put_u32(field, (uint32_t)len);
                field += 4;
            }
            if (bytes) {
                memcpy(field, bytes, len);
            } else if (letter != 'Z') {
                memset(field, 0, len);
            }
            memset(field + len, 0, align4(len) - len);
        }
        pos += (has_length ? 4 : 0) + align4(len);
    }
    return pos;
}

/* Packs into buffer (when use_buffer) or into a buffer from ma. Consumes
 * every argument of the format, also on error. */
static int pack_vals(malloc_i* ma, int use_buffer, void* buffer, size_t buffer_size,
                     void** out_data, size_t* out_size, const char* format, va_list* args)
{
    int err = 0;
    size_t size, written;
    unsigned char* out = 0;
    va_list measure;

    *out_size = 0;
    if (out_data) {
        *out_data = 0;
    }
    va_copy(measure, *args);
    size = pack_pass(0, format, &measure, &err);
    va_end(measure);
    if (!err && size) {
        out = use_buffer ? (buffer_size >= size ? (unsigned char*)buffer : 0)
                         : (unsigned char*)ma_alloc(ma, size);
        err = out ? 0 : err_no_mem;
    }
    if (err || !size) {
        pack_pass(0, format, args, &err);
        return err;
    }
    written = pack_pass(out, format, args, &err);
    QP_ASSERT(written == size);
    if (out_data) {
        *out_data = out;
    }
    *out_size = size;
    return 0;
}

int remote_pack_vals_3(malloc_i* ma, void** out_data, size_t* out_size, const char* format,
                       va_list args)
{
    va_list own;
    int err;

    va_copy(own, args);
    err = pack_vals(ma, 0, 0, 0, out_data, out_size, format, &own);
    va_end(own);
    return err;
}

int remote_pack_vals(malloc_i* ma, void** out_data, size_t* out_size, const char* format, ...)
{
    va_list args;
    int err;

    va_start(args, format);
    err = pack_vals(ma, 0, 0, 0, out_data, out_size, format, &args);
    va_end(args);
    return err;
}

int remote_pack_vals_2(void* buffer, size_t buffer_size, size_t* out_size, const char* format,
                       ...)
{
    va_list args;
    int err;

    QP_ASSERT(buffer || buffer_size == 0);
    va_start(args, format);
    err = pack_vals(0, 1, buffer, buffer_size, 0, out_size, format, &args);
    va_end(args);
    return err;
}

/* ---- unpacking ------------------------------------------------------------------ */

typedef struct unpack_t {
    const unsigned char* data;
    size_t size;
    size_t pos;       /* end of the last whole field */
    int ended;        /* a field could not be completed, or the input is used up */
    int fields_after; /* letters met after the input ended */
    int err;          /* first allocation failure */
} unpack_t;

/* The field of len bytes at the current position, or null when the input
 * cannot complete it (then the input has ended). */
static const unsigned char* take(unpack_t* u, size_t len)
{
    const unsigned char* field;

    if (u->ended || u->pos >= u->size) {
        u->ended = 1;
        u->fields_after++;
        return 0;
    }
    if (len > u->size - u->pos) {
        u->ended = 1;
        return 0;
    }
    field = u->data + u->pos;
    u->pos += align4(len);
    if (u->pos > u->size) {
        /* a missing pad after the last field */
        u->pos = u->size;
    }
    return field;
}

/* A variable field: its bytes and length, or null when the input cannot
 * complete it. The length word and the bytes are one field. */
static const unsigned char* take_variable(unpack_t* u, size_t* out_len)
{
    const unsigned char* field;
    size_t len;

    *out_len = 0;
    if (u->ended || u->pos >= u->size || u->size - u->pos < 4) {
        take(u, 4); /* ends the input */
        return 0;
    }
    len = get_u32(u->data + u->pos);
    field = take(u, 4 + len);
    if (!field) {
        return 0;
    }
    *out_len = len;
    return field + 4;
}

/* p, noting an allocation failure when it is null. */
static void* note_alloc(unpack_t* u, void* p)
{
    if (!p) {
        u->err = err_no_mem;
    }
    return p;
}

static void* copy_out(unpack_t* u, malloc_i* ma, const void* bytes, size_t len, size_t alloc_len)
{
    void* copy = note_alloc(u, ma_alloc(ma, alloc_len));
    if (copy) {
        memcpy(copy, bytes, len);
    }
    return copy;
}

int remote_unpack_vals_2_dh(const char* file, int line, malloc_i* ma, const void* data,
                            size_t size, const char* format, va_list args)
{
    unpack_t u = {(const unsigned char*)data, data ? size : 0, 0, 0, 0, 0};
    va_list own;

    va_copy(own, args);
    while (*format) {
        char letter = *format++;
        const unsigned char* field;
        size_t len;

        switch (letter) {
        case 'i': {
            int* out = va_arg(own, int*);
            field = take(&u, 4);
            if (out) {
                *out = field ? (int)get_u32(field) : 0;
            }
            break;
        }
        case 'l': {
            int64_t* out = va_arg(own, int64_t*);
            field = take(&u, 8);
            if (out) {
                *out = field ? (int64_t)((uint64_t)get_u32(field) |
                                         (uint64_t)get_u32(field + 4) << 32)
                             : 0;
            }
            break;
        }
        case 's': {
            size_t* out = va_arg(own, size_t*);
            field = take(&u, 4);
            if (out) {
                *out = field ? (size_t)get_u32(field) : 0;
            }
            break;
        }
        case 't': {
            size_t n = format_fixed_size(&format);
            void* out = va_arg(own, void*);
            field = take(&u, n);
            if (out) {
                if (field) {
                    memcpy(out, field, n);
                } else {
                    memset(out, 0, n);
                }
            }
            break;
        }
        case 'v': {
            void** out = va_arg(own, void**);
            size_t* out_len = va_arg(own, size_t*);
            void* copy = 0;
            field = take_variable(&u, &len);
            if (out) {
                if (field && len) {
                    copy = copy_out(&u, ma, field, len, len + 1);
                }
                *out = copy;
                len = copy ? len : 0;
            }
            if (out_len) {
                *out_len = len;
            }
            break;
        }
        case 'z': {
            char** out = va_arg(own, char**);
            field = take_variable(&u, &len);
            if (out) {
                /* At most len characters, always terminated. */
                *out = field && len ? (char*)copy_out(&u, ma, field, len, len + 1) : 0;
            }
            break;
        }
        case 'Z': {
            wchar_t** out = va_arg(own, wchar_t**);
            field = take_variable(&u, &len);
            if (out) {
                *out = field && len ? (wchar_t*)note_alloc(&u, sswconv8mn(ma, (const char*)field, len))
                                    : 0;
            }
            break;
        }
        case 'b': {
            remote_blob_t** out = va_arg(own, remote_blob_t**);
            field = take_variable(&u, &len);
            if (out) {
                *out = field && len
                           ? (remote_blob_t*)note_alloc(&u, remote_blob_new_dh(file, line, field, len))
                           : 0;
            }
            break;
        }
        default:
            QP_ASSERT(!"remote value format letter");
        }
    }
    va_end(own);
    if (u.err) {
        return u.err;
    }
    return u.fields_after && u.pos != u.size ? err_bad_format : 0;
}

int remote_unpack_vals_dh(const char* file, int line, malloc_i* ma, const void* data, size_t size,
                          const char* format, ...)
{
    va_list args;
    int err;

    va_start(args, format);
    err = remote_unpack_vals_2_dh(file, line, ma, data, size, format, args);
    va_end(args);
    return err;
}

/* ---- pack, send, unpack ------------------------------------------------------------ */

int remote_send_format(remote_i* rm, malloc_i* ma, pin_i* cancel_pin, int code,
                       const char* in_format, const char* out_format, ...)
{
    qp_mp_t mp;
    va_list args;
    void* input = 0;
    void* output = 0;
    size_t input_size = 0, output_size = 0;
    int result = 0, err, unpack_err;

    mp_t_init(&mp);
    va_start(args, out_format);
    /* Packing consumes the input values also when it fails. */
    err = pack_vals(mp_t_ma(&mp), 0, 0, 0, &input, &input_size, in_format, &args);
    if (!err) {
        err = remote_send_ma(rm, mp_t_ma(&mp), cancel_pin, sync_timeout_none, code, input,
                             input_size, &result, &output, &output_size);
        if (!err) {
            err = perr_to_err(result);
        }
    }
    unpack_err =
        remote_unpack_vals_2_dh(__FILE__, __LINE__, ma, output, output_size, out_format, args);
    va_end(args);
    mp_t_term(&mp);
    return err ? err : unpack_err;
}
