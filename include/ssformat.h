/*
 * ssformat.h - the printf-like format engine of the base runtime.
 *
 * Two twins over one engine: the ss8 family writes UTF-8 text from a UTF-8
 * format, the ssw family writes wide text (one wchar_t unit per code point)
 * from a wide format. The same code runs in user mode and in the kernel
 * module: no floating point, no locale, no standard-library formatting, no
 * heap except through a caller's malloc_i.
 *
 * Every entry point bounds its output by a destination size counted in code
 * units (bytes or wchar_t units) including the terminator, terminates the
 * destination whenever that size is non-zero, and returns the length the
 * complete output has (without terminator). A result >= the size means the
 * text was cut; a null destination or a size of 0 only measures.
 *
 * Directives: %[flags][width][.precision][size]conversion with the flags
 * space # + - 0, widths and precisions as digits or *, the sizes h, l, ll,
 * I8, I16, I32, I64, and the conversions d i u o x X p P c w C s S n, plus
 * three of the system's own: %r/%R (GUID text of a qp_uuid_t*), %T (a signed
 * 64-bit count of 100 ns since 1601-01-01 as "YYYY-MM-DD HH:MM:SS.mmm") and
 * %t (Unix seconds as "YYYY-MM-DD HH:MM:SS"). %n stores the untruncated
 * count into an integer of the directive's size, 64 bits by default. An
 * unknown conversion (hh, z, j, q, every floating-point letter) closes the
 * directive, takes no argument and emits nothing.
 *
 * Differences from C's printf worth knowing: the zero padding is the larger
 * of the precision pad and the width pad (not both), "0" wins over "-",
 * "%#x" of 0 gives "0x0", a string's precision is never below its width,
 * %p prints bare hex digits, %ld reads 64 bits.
 *
 * All operations are reentrant; the digit tables are read-only.
 */
#ifndef SSFORMAT_H
#define SSFORMAT_H

#include "qpbase.h"

#ifdef __cplusplus
extern "C" {
#endif

/* GUID in its host-order layout, printed by %r (small hex) and %R (capital
 * hex) as 8-4-4-4-12 digits. */
typedef struct qp_uuid_t {
    uint32_t Part1;
    uint16_t Part2;
    uint16_t Part3;
    uint8_t Part4[8];
} qp_uuid_t;

/* ---- the two families ---------------------------------------------------
 *
 * Each is declared for ss8 (char: UTF-8 text from a UTF-8 format) and ssw
 * (wchar_t: wide text from a wide format):
 *
 *   formatvn (dest, inMaxDestChars, inFormat, args)  the engine
 *   formatn (dest, maxDestChars, format, ...)        as formatvn
 *   format (dest, format, ...), formatv (dest, format, args)
 *                                  unbounded: the caller guarantees the room
 *   formatlen (format, ...), formatvlen (format, args)
 *                                  length only; nothing is written
 *   formatm (res_ma, format, ...), formatvm (res_ma, format, args)
 *                                  a newly allocated, terminated text from
 *                                  res_ma, or null when allocation failed
 *   pushstr8, pushstrw (dest, maxDestChars, &length, src, minWidth, maxWidth,
 *                       rightJustify)
 *        the string pushers of %s: write a UTF-8 (pushstr8) or wide (pushstrw)
 *        source at *length, which grows by the full count. A null source is
 *        empty. minWidth pads with spaces, counted in source units (behind
 *        the text when rightJustify is set); maxWidth (-1: none) limits the
 *        characters pushed, padding included, and is raised to minWidth.
 */
#define SSFORMAT_DECLARE_FAMILY_(family, unit)                                                     \
    size_t family##formatvn(unit* dest, size_t inMaxDestChars, const unit* inFormat,               \
                            va_list args);                                                         \
    size_t family##formatn(unit* dest, size_t maxDestChars, const unit* format, ...);              \
    size_t family##format(unit* dest, const unit* format, ...);                                    \
    size_t family##formatv(unit* dest, const unit* format, va_list args);                          \
    size_t family##formatlen(const unit* format, ...);                                             \
    size_t family##formatvlen(const unit* format, va_list args);                                   \
    unit* family##formatvm(malloc_i* res_ma, const unit* format, va_list args);                    \
    unit* family##formatm(malloc_i* res_ma, const unit* format, ...);                              \
    void family##pushstr8(unit* dest, size_t maxDestChars, size_t* length, const char* src,        \
                          int minWidth, int maxWidth, int rightJustify);                           \
    void family##pushstrw(unit* dest, size_t maxDestChars, size_t* length, const wchar_t* src,     \
                          int minWidth, int maxWidth, int rightJustify);

SSFORMAT_DECLARE_FAMILY_(ss8, char)
SSFORMAT_DECLARE_FAMILY_(ssw, wchar_t)
#undef SSFORMAT_DECLARE_FAMILY_

/* ---- time ------------------------------------------------------------ */

/* Splits a count of 100 ns units since 1601-01-01 00:00:00 (read as
 * unsigned) into calendar fields of the proleptic Gregorian calendar. */
void ssformat_unpacktime(int64_t time_val, int* out_year, int* out_month, int* out_day,
                         int* out_hour, int* out_minute, int* out_second, int* out_msec);

/* ---- generic names of the user-mode programs (UTF-8 is the default) --- */
#ifndef __KERNEL__
#define ssformatn ss8formatn
#define ssformatm ss8formatm
static inline char* ssformatvm(malloc_i* res_ma, const char* format, va_list args)
{
    return ss8formatvm(res_ma, format, args);
}
#endif

#ifdef __cplusplus
}

#ifndef __KERNEL__
static inline char* ssformat(malloc_i* res_ma, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char* text = ss8formatvm(res_ma, format, args);
    va_end(args);
    return text;
}
#endif
#endif

#endif
