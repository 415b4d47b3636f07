/*
 * sscodec.c - byte and text encodings of the UTF-8 family: Base64 (RFC 4648
 * with "=" padding), hex, and markup escaping of the five XML entities.
 *
 * Encoders and escapers write through one bounded writer (ss_out_t): every
 * unit is stored while room remains, the terminator goes behind the last
 * stored unit or replaces the last one when the buffer is full, and the
 * result is the complete length. Decoders store bytes while room remains,
 * skip what they do not understand and never terminate.
 *
 * Base64 checks itself once, on the first encode or decode: four vectors of
 * 25 to 28 bytes must give their known texts and decode back. The flag is
 * a relaxed atomic; racing first calls both run the same check.
 */
#include "sstring.h"

/* ---- bounded writer ------------------------------------------------------ */

typedef struct ss_out_t {
    char* dest;
    size_t size;
    size_t len;
} ss_out_t;

static void ss_out_init(ss_out_t* out, char* dest, size_t size)
{
    out->dest = dest;
    out->size = dest ? size : 0;
    out->len = 0;
}

static void ss_out_put(ss_out_t* out, char c)
{
    if (out->len < out->size)
        out->dest[out->len] = c;
    out->len++;
}

static void ss_out_puts(ss_out_t* out, const char* text)
{
    for (; *text; text++)
        ss_out_put(out, *text);
}

static size_t ss_out_finish(ss_out_t* out)
{
    if (out->size > 0)
        out->dest[out->len < out->size ? out->len : out->size - 1] = 0;
    return out->len;
}

/* Bytes of a decoder: stored while room remains, all counted. */
static void ss_put_byte(void* dest, size_t size, size_t* count, unsigned value)
{
    if (dest && *count < size)
        ((unsigned char*)dest)[*count] = (unsigned char)value;
    (*count)++;
}

/* Measure, allocate length + 1 (zero-filled) and write. */
typedef size_t (*ss_writer_fn)(char* dest, size_t size, const void* src, size_t len);

static char* ss_write_m(malloc_i* ma, ss_writer_fn writer, const void* src, size_t len)
{
    size_t need = writer(0, 0, src, len);
    char* dest = need < SS_UNBOUNDED ? (char*)ma_alloc(ma, need + 1) : 0;

    if (dest)
        QP_ASSERT(writer(dest, need + 1, src, len) == need);
    return dest;
}

typedef size_t (*ss_decoder_fn)(void* dest, size_t size, const char* text, size_t len);

static void* ss_decode_m(malloc_i* ma, ss_decoder_fn decoder, const char* text, size_t len,
                         size_t* out_len)
{
    size_t need = decoder(0, 0, text, len);
    void* dest = need < SS_UNBOUNDED ? ma_alloc(ma, need + 1) : 0;

    if (dest)
        decoder(dest, need, text, len);
    if (out_len)
        *out_len = dest ? need : 0;
    return dest;
}

/* The n1, n2, mn and m forms of decoder ss8<NAME>decoden. */
#define SS_DECODER_FORMS(NAME)                                                                     \
    size_t ss8##NAME##decoden1(void* dest, size_t size, const char* text)                          \
    {                                                                                              \
        return ss8##NAME##decoden(dest, size, text, SS_UNBOUNDED);                                 \
    }                                                                                              \
    size_t ss8##NAME##decoden2(void* dest, const char* text, size_t text_len)                      \
    {                                                                                              \
        return ss8##NAME##decoden(dest, SS_UNBOUNDED, text, text_len);                             \
    }                                                                                              \
    void* ss8##NAME##decodemn(malloc_i* ma, const char* text, size_t text_len, size_t* out_len)    \
    {                                                                                              \
        return ss_decode_m(ma, ss8##NAME##decoden, text, text_len, out_len);                       \
    }                                                                                              \
    void* ss8##NAME##decodem(malloc_i* ma, const char* text, size_t* out_len)                      \
    {                                                                                              \
        return ss8##NAME##decodemn(ma, text, SS_UNBOUNDED, out_len);                               \
    }

/* ---- Base64 ------------------------------------------------------------------- */

static const char ss_base64_alphabet[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static int ss_base64_checked;

static size_t ss_base64_encode_(char* dest, size_t size, const void* data, size_t len)
{
    const unsigned char* bytes = (const unsigned char*)data;
    ss_out_t out;
    size_t i;

    ss_out_init(&out, dest, size);
    for (i = 0; bytes && i < len; i += 3) {
        uint32_t group = (uint32_t)bytes[i] << 16;
        if (i + 1 < len)
            group |= (uint32_t)bytes[i + 1] << 8;
        if (i + 2 < len)
            group |= bytes[i + 2];
        ss_out_put(&out, ss_base64_alphabet[group >> 18]);
        ss_out_put(&out, ss_base64_alphabet[(group >> 12) & 63]);
        ss_out_put(&out, i + 1 < len ? ss_base64_alphabet[(group >> 6) & 63] : '=');
        ss_out_put(&out, i + 2 < len ? ss_base64_alphabet[group & 63] : '=');
    }
    return ss_out_finish(&out);
}

static int ss_base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    return c == '/' ? 63 : -1;
}

static size_t ss_base64_decode_(void* dest, size_t size, const char* text, size_t len)
{
    uint32_t bits = 0;
    int bit_count = 0, group_pos = 0;
    size_t count = 0, i;

    for (i = 0; text && i < len && text[i]; i++) {
        int value = ss_base64_value(text[i]);
        if (text[i] == '=') {
            bit_count = group_pos = 0;
            continue;
        }
        if (value < 0)
            continue;
        bits = (bits << 6) | (uint32_t)value;
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            ss_put_byte(dest, size, &count, (bits >> bit_count) & 0xFF);
        }
        if (++group_pos == 4)
            bit_count = group_pos = 0;
    }
    return count;
}

static void ss_base64_check(void)
{
    static const char plain[] = "The quick brown fox jumps ov";
    static const char* const encoded[4] = {
        "VGhlIHF1aWNrIGJyb3duIGZveCBqdW1wcw==", "VGhlIHF1aWNrIGJyb3duIGZveCBqdW1wcyA=",
        "VGhlIHF1aWNrIGJyb3duIGZveCBqdW1wcyBv", "VGhlIHF1aWNrIGJyb3duIGZveCBqdW1wcyBvdg=="};
    char text[41], back[28];
    size_t i;

    for (i = 0; i < 4; i++) {
        size_t len = 25 + i;
        QP_ASSERT(ss_base64_encode_(text, sizeof text, plain, len) == (i < 3 ? 36u : 40u));
        QP_ASSERT(ss8cmp(text, encoded[i]) == 0);
        QP_ASSERT(ss_base64_decode_(back, sizeof back, text, SS_UNBOUNDED) == len);
        QP_ASSERT(ss8cmpb(back, len, plain, len) == 0);
    }
    __atomic_store_n(&ss_base64_checked, 1, __ATOMIC_RELAXED);
}

size_t ss8base64encoden(char* dest, size_t size, const void* data, size_t len)
{
    if (!__atomic_load_n(&ss_base64_checked, __ATOMIC_RELAXED))
        ss_base64_check();
    return ss_base64_encode_(dest, size, data, len);
}

size_t ss8base64encode(char* dest, const void* data, size_t len)
{
    return ss8base64encoden(dest, SS_UNBOUNDED, data, len);
}

char* ss8base64encodemn(malloc_i* ma, const void* data, size_t len)
{
    return ss_write_m(ma, ss8base64encoden, data, len);
}

char* ss8base64encodem(malloc_i* ma, const char* text)
{
    return ss8base64encodemn(ma, text, ss8len(text));
}

size_t ss8base64decoden(void* dest, size_t size, const char* text, size_t text_len)
{
    if (!__atomic_load_n(&ss_base64_checked, __ATOMIC_RELAXED))
        ss_base64_check();
    return ss_base64_decode_(dest, size, text, text_len);
}

SS_DECODER_FORMS(base64)

/* ---- hex ------------------------------------------------------------------------ */

size_t ss8hexencoden(char* dest, size_t size, const void* data, size_t len)
{
    const unsigned char* bytes = (const unsigned char*)data;
    ss_out_t out;
    size_t i;

    ss_out_init(&out, dest, size);
    for (i = 0; bytes && i < len; i++) {
        ss_out_put(&out, ss8const_hexlower[bytes[i] >> 4]);
        ss_out_put(&out, ss8const_hexlower[bytes[i] & 15]);
    }
    return ss_out_finish(&out);
}

size_t ss8hexencode(char* dest, const void* data, size_t len)
{
    return ss8hexencoden(dest, SS_UNBOUNDED, data, len);
}

char* ss8hexencodem(malloc_i* ma, const void* data, size_t len)
{
    return ss_write_m(ma, ss8hexencoden, data, len);
}

static int ss_hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

/* Digits pair up across separators; letters beyond f are separators too. */
size_t ss8hexdecoden(void* dest, size_t size, const char* text, size_t text_len)
{
    size_t count = 0, i;
    int high = -1;

    for (i = 0; text && i < text_len && text[i]; i++) {
        int value = ss_hex_value(text[i]);
        if (value < 0)
            continue;
        if (high < 0) {
            high = value;
        } else {
            ss_put_byte(dest, size, &count, (unsigned)(high << 4 | value));
            high = -1;
        }
    }
    return count;
}

SS_DECODER_FORMS(hex)

/* ---- markup escaping -------------------------------------------------------- */

static const char ss_ml_chars[5] = {'"', '&', '\'', '<', '>'};
static const char* const ss_ml_entities[5] = {ss8const_quot, ss8const_amp, ss8const_apos,
                                              ss8const_lt, ss8const_gt};

size_t ss8mlescinn(char* dest, size_t size, const char* src, size_t src_len)
{
    ss_out_t out;
    size_t i, k;

    ss_out_init(&out, dest, size);
    for (i = 0; src && i < src_len && src[i]; i++) {
        for (k = 0; k < 5 && src[i] != ss_ml_chars[k]; k++)
            ;
        if (k < 5)
            ss_out_puts(&out, ss_ml_entities[k]);
        else
            ss_out_put(&out, src[i]);
    }
    return ss_out_finish(&out);
}

size_t ss8mlescoutn(char* dest, size_t size, const char* src, size_t src_len)
{
    size_t n = ss8lenn(src, src_len), i, k;
    ss_out_t out;

    ss_out_init(&out, dest, size);
    for (i = 0; i < n; i++) {
        for (k = 0; src[i] == '&' && k < 5; k++)
            if (ss8asciicmpsin(src + i, n - i, ss_ml_entities[k], SS_UNBOUNDED) == 0)
                break;
        if (src[i] == '&' && k < 5) {
            ss_out_put(&out, ss_ml_chars[k]);
            i += ss8len(ss_ml_entities[k]) - 1;
        } else {
            ss_out_put(&out, src[i]);
        }
    }
    return ss_out_finish(&out);
}

/* The other forms of escaper ss8<NAME>n. */
#define SS_ESCAPER_FORMS(NAME)                                                                     \
    static size_t ss_##NAME##_w(char* dest, size_t size, const void* src, size_t len)              \
    {                                                                                              \
        return ss8##NAME##n(dest, size, (const char*)src, len);                                    \
    }                                                                                              \
    size_t ss8##NAME(char* dest, const char* src)                                                  \
    {                                                                                              \
        return ss8##NAME##n(dest, SS_UNBOUNDED, src, SS_UNBOUNDED);                                \
    }                                                                                              \
    size_t ss8##NAME##n1(char* dest, size_t size, const char* src)                                 \
    {                                                                                              \
        return ss8##NAME##n(dest, size, src, SS_UNBOUNDED);                                        \
    }                                                                                              \
    char* ss8##NAME##mn(malloc_i* ma, const char* src, size_t src_len)                             \
    {                                                                                              \
        return ss_write_m(ma, ss_##NAME##_w, src, src_len);                                        \
    }                                                                                              \
    char* ss8##NAME##m(malloc_i* ma, const char* src)                                              \
    {                                                                                              \
        return ss8##NAME##mn(ma, src, SS_UNBOUNDED);                                               \
    }

SS_ESCAPER_FORMS(mlescin)
SS_ESCAPER_FORMS(mlescout)
