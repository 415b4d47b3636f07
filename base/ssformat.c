/*
 * ssformat.c - the format engine: ss8formatvn (UTF-8 from a UTF-8 format)
 * and sswformatvn (wide from a wide format), with their bounded, unbounded,
 * measuring and allocating forms.
 *
 * Shape. One directive goes through three steps:
 *   1. parse   the state machine over format units (stateFlags, stateMin,
 *              stateDot, stateMax, stateSize, stateConv) fills a
 *              fmt_directive_t; '*' widths are read from the arguments here;
 *   2. take    fmt_take reads the conversion's argument and decides what to
 *              write: a laid-out number (spaces, sign, prefix, zeros, digits
 *              in the 50-byte scratch, spaces), one code point, or a text
 *              (a caller's string, or a GUID or date text built in scratch);
 *   3. emit    stores it through the destination's unit pusher.
 * Steps 1 and 3 depend on the code unit and live in ssformat_body.h, which
 * this unit includes once per engine; step 2 and everything else is here,
 * once.
 *
 * Invariants. `length` counts every unit of the complete output; a unit is
 * stored only at a position below the destination size, so a cut output is
 * a prefix of the full one (a multi-byte character may be stored in part);
 * the terminator goes at min(length, size - 1) when the size is non-zero.
 * A null destination means size 0, a null format the empty one, a null
 * string the empty string. Widths and precisions saturate at INT_MAX, and
 * padding is counted, not looped over, past the end of the buffer.
 *
 * Context. Runs in user mode and in kernel context (trace lines are
 * formatted in the driver): no locks, no state outside the arguments, no
 * floating point, no libc, no heap except the malloc_i of the allocating
 * forms; the stack holds the 50-byte scratch, and the allocating forms a
 * 100-unit first-try buffer.
 */
#include "ssformat.h"
#include "sstring.h"

/* Directive parse states; 0 means no directive is open. */
enum { stateFlags = 1, stateMin = 2, stateDot = 3, stateMax = 4, stateSize = 5, stateConv = 6 };

enum {
    flagPlus = 1,
    flagMinus = 2,
    flagSpace = 4,
    flagHash = 8,
    flagZero = 16,
    flagUpper = 32,
    flagPtr = 64,
    flagUnsigned = 128,
};

/* Calendar arithmetic of ssformat_unpacktime: days counted from 1 March
 * 1600, so that the leap day closes each cycle. */
enum {
    days_per_quad_century = 146097,
    days_per_century = 36524,
    days_per_quad_year = 1461,
    days_per_year = 365,
    days_per_pent_month = 153,
    days_per_bi_month = 61,
    days_per_first_month = 31,
    msecs_per_day = 86400000,
    msecs_per_hour = 3600000,
    msecs_per_minute = 60000,
    units_per_msec = 10000,
};
static const uint64_t secondsFrom1601To1970 = 11644473600ull;
static const uint64_t units_per_second = 10000000ull;

enum {
    fmt_scratch_size = 50,  /* digits of one number, a GUID or a date text */
    max_scratch_chars = 100 /* first try of the allocating forms */
};
enum { fmt_int_max = 0x7fffffff };

typedef struct fmt_directive_t {
    int flags;
    int intSize;  /* 0 (default), 8, 16, 32 or 64 bits */
    int charSize; /* 0 (default), 8, 16, 32 or 64 bits */
    int minWidth;
    int maxWidth; /* the precision; -1 when none was given */
} fmt_directive_t;

enum { itemNone, itemInt, itemChar, itemText };

/* What one conversion writes, decided before any unit is stored. */
typedef struct fmt_item_t {
    int kind;
    /* itemInt */
    size_t leadSpaces;
    size_t zeros;
    size_t trailSpaces;
    char sign; /* 0 when none */
    const char* prefix;
    int prefixLen;
    const char* digits; /* least significant first */
    int digitCount;
    /* itemChar */
    uint32_t codePoint;
    /* itemText: a UTF-8 (textWide 0) or wide source, null meaning empty */
    const void* text;
    int textWide;
} fmt_item_t;

/* ---- arithmetic ---------------------------------------------------------- */

/* The engine's one 64-bit division: every 64-bit quotient goes through here,
 * so a build whose compiler cannot divide 64-bit values inline changes only
 * this function. */
static inline __attribute__((always_inline)) uint64_t fmt_div64(uint64_t n, uint64_t d,
                                                                uint64_t* rem)
{
    uint64_t q = n / d;
    *rem = n - q * d;
    return q;
}

static inline uint32_t fmt_split(uint32_t value, uint32_t divisor, uint32_t* rem)
{
    *rem = value % divisor;
    return value / divisor;
}

/* As fmt_split for a cycle whose last part is one day longer (the leap day
 * that closes 400 years, or 4 years): a quotient of 4 stays in part 3. */
static inline uint32_t fmt_split_closing(uint32_t value, uint32_t divisor, uint32_t* rem)
{
    uint32_t part = value / divisor;
    if (part == 4)
        part = 3;
    *rem = value - part * divisor;
    return part;
}

void ssformat_unpacktime(int64_t time_val, int* out_year, int* out_month, int* out_day,
                         int* out_hour, int* out_minute, int* out_second, int* out_msec)
{
    uint64_t unit_rem;
    uint64_t msec_since_jan_1601 = fmt_div64((uint64_t)time_val, units_per_msec, &unit_rem);
    uint64_t msec_in_day;
    uint64_t day_since_jan_1601 = fmt_div64(msec_since_jan_1601, msecs_per_day, &msec_in_day);
    uint64_t day_since_mar_1600 = day_since_jan_1601 + 306;
    uint64_t day_in_quad_century;
    uint64_t quad_century_since_mar_1600 =
        fmt_div64(day_since_mar_1600, days_per_quad_century, &day_in_quad_century);

    /* From here on every value is below 146097: plain 32-bit arithmetic. */
    uint32_t day_in_century, day_in_quad_year, day_in_year, day_in_pent_month, day_in_bi_month,
        day_in_month;
    uint32_t century_in_quad_century =
        fmt_split_closing((uint32_t)day_in_quad_century, days_per_century, &day_in_century);
    uint32_t quad_year_in_century = fmt_split(day_in_century, days_per_quad_year, &day_in_quad_year);
    uint32_t year_in_quad_year = fmt_split_closing(day_in_quad_year, days_per_year, &day_in_year);
    uint32_t pent_month_in_year = fmt_split(day_in_year, days_per_pent_month, &day_in_pent_month);
    uint32_t bi_month_in_pent_month =
        fmt_split(day_in_pent_month, days_per_bi_month, &day_in_bi_month);
    uint32_t month_in_bi_month = fmt_split(day_in_bi_month, days_per_first_month, &day_in_month);
    uint32_t month_in_year = pent_month_in_year * 5 + bi_month_in_pent_month * 2 + month_in_bi_month;

    uint32_t msec = (uint32_t)msec_in_day;
    *out_year = (int)(1600 + quad_century_since_mar_1600 * 400 + century_in_quad_century * 100 +
                      quad_year_in_century * 4 + year_in_quad_year + (month_in_year > 9));
    *out_month = (int)((month_in_year + 2) % 12 + 1);
    *out_day = (int)day_in_month + 1;
    *out_hour = (int)(msec / msecs_per_hour);
    *out_minute = (int)(msec % msecs_per_hour / msecs_per_minute);
    *out_second = (int)(msec % msecs_per_minute / 1000);
    *out_msec = (int)(msec % 1000);
}

/* ---- texts built in scratch ------------------------------------------------ */

/* `digits` hex digits of value, most significant nibble first. */
static char* fmt_hex_digits(char* out, uint32_t value, int digits, const char* table)
{
    for (int i = digits; i-- > 0;)
        *out++ = table[(value >> (4 * i)) & 15];
    return out;
}

/* `digits` decimal digits of a value below 10^digits. */
static char* fmt_dec_digits(char* out, uint32_t value, int digits)
{
    for (int i = digits; i-- > 0;) {
        out[i] = (char)('0' + value % 10);
        value /= 10;
    }
    return out + digits;
}

/* 8-4-4-4-12 hex digits, terminated: 37 bytes. */
static void fmt_guid_text(char* out, const qp_uuid_t* guid, const char* table)
{
    out = fmt_hex_digits(out, guid->Part1, 8, table);
    *out++ = '-';
    out = fmt_hex_digits(out, guid->Part2, 4, table);
    *out++ = '-';
    out = fmt_hex_digits(out, guid->Part3, 4, table);
    for (int i = 0; i < 8; ++i) {
        if (i == 0 || i == 2)
            *out++ = '-';
        out = fmt_hex_digits(out, guid->Part4[i], 2, table);
    }
    *out = 0;
}

/* "YYYY-MM-DD HH:MM:SS" and, with msec, ".mmm", terminated: 24 bytes. */
static void fmt_time_text(char* out, uint64_t time_val, int withMsec)
{
    static const char fieldDigits[7] = {4, 2, 2, 2, 2, 2, 3};
    static const char separators[7] = "-- ::.";
    int field[7];
    ssformat_unpacktime((int64_t)time_val, &field[0], &field[1], &field[2], &field[3], &field[4],
                        &field[5], &field[6]);
    field[0] %= 10000;
    for (int i = 0; i < (withMsec ? 7 : 6); ++i) {
        if (i)
            *out++ = separators[i - 1];
        out = fmt_dec_digits(out, (uint32_t)field[i], fieldDigits[i]);
    }
    *out = 0;
}

/* ---- characters ------------------------------------------------------ */

/* Pushes one code point as UTF-8 with ss8pushchar; ASCII, most of what the
 * engine writes, takes no call. */
static inline void fmt_push8(char* dest, size_t size, size_t* length, uint32_t cp)
{
    if (cp >= 0x80) {
        ss8pushchar(dest, size, length, cp);
        return;
    }
    if (*length < size)
        dest[*length] = (char)cp;
    ++*length;
}

/* ---- string sources ---------------------------------------------------- */

static size_t fmt_source_len(const void* src, int srcWide)
{
    size_t len = 0;
    if (!src)
        return 0;
    if (srcWide) {
        const wchar_t* text = (const wchar_t*)src;
        while (text[len])
            ++len;
    } else {
        const char* text = (const char*)src;
        while (text[len])
            ++len;
    }
    return len;
}

/* One code point of a UTF-8 or wide source below len, with the index of the
 * next one. The caller never pulls at or past len. */
static inline uint32_t fmt_pull_source(const void* src, int srcWide, size_t len, size_t index,
                                       size_t* next)
{
    if (srcWide)
        return sswpullchar((const wchar_t*)src, len, index, next);
    const unsigned char* text = (const unsigned char*)src;
    if (text[index] < 0x80) { /* the common case, without a call */
        *next = index + 1;
        return text[index];
    }
    return ss8pullchar((const char*)src, len, index, next);
}

/* ---- directives ------------------------------------------------------ */

static inline void fmt_directive_open(fmt_directive_t* directive)
{
    directive->flags = 0;
    directive->intSize = 0;
    directive->charSize = 0;
    directive->minWidth = 0;
    directive->maxWidth = -1;
}

static inline int fmt_flag_of(uint32_t unit)
{
    switch (unit) {
    case ' ':
        return flagSpace;
    case '#':
        return flagHash;
    case '+':
        return flagPlus;
    case '-':
        return flagMinus;
    case '0':
        return flagZero;
    default:
        return 0;
    }
}

static inline int fmt_is_digit(uint32_t unit)
{
    return unit >= '0' && unit <= '9';
}

/* One unit of a width (stateMin) or precision (stateMax). A digit adds to
 * the number (a precision starts from 0; the number saturates instead of
 * overflowing); '*' takes the next int argument and ends the number;
 * anything else ends it and is left for the next state. Returns the units
 * consumed. */
static inline int fmt_number_unit(uint32_t unit, int* value, va_list* ap, int* state)
{
    if (fmt_is_digit(unit)) {
        int digit = (int)(unit - '0');
        int sofar = *value < 0 ? 0 : *value;
        *value = sofar > (fmt_int_max - digit) / 10 ? fmt_int_max : sofar * 10 + digit;
        return 1;
    }
    *state = *state == stateMin ? stateDot : stateSize;
    if (unit != '*')
        return 0;
    *value = va_arg(*ap, int);
    return 1;
}

static inline int fmt_set_sizes(fmt_directive_t* directive, int intSize, int charSize, int used)
{
    directive->intSize = intSize;
    directive->charSize = charSize;
    return used;
}

/* ---- arguments ------------------------------------------------------- */

/* An integer argument of `bits` (0: 32), extended to 64 bits. 8- and 16-bit
 * values arrive promoted to int and are narrowed first. */
static uint64_t fmt_arg_int(va_list* ap, int bits, int isSigned)
{
    switch (bits) {
    case 8: {
        int v = va_arg(*ap, int);
        return isSigned ? (uint64_t)(int64_t)(int8_t)v : (uint64_t)(uint8_t)v;
    }
    case 16: {
        int v = va_arg(*ap, int);
        return isSigned ? (uint64_t)(int64_t)(int16_t)v : (uint64_t)(uint16_t)v;
    }
    case 64:
        return va_arg(*ap, uint64_t);
    default:
        if (isSigned)
            return (uint64_t)(int64_t)va_arg(*ap, int);
        return va_arg(*ap, unsigned);
    }
}

/* A character argument of `bits`. A size prefix that names no character
 * width (ll, I64) reads the 64-bit argument the caller passed for it, so
 * the directives after it still find their own arguments. */
static uint64_t fmt_arg_char(va_list* ap, int bits)
{
    switch (bits) {
    case 8:
        return (uint8_t)va_arg(*ap, int);
    case 16:
        return (uint16_t)va_arg(*ap, int);
    case 32:
        return va_arg(*ap, unsigned);
    default:
        return va_arg(*ap, uint64_t);
    }
}

/* Stores the count so far into the caller's integer of the directive's
 * size (64 bits by default); a null pointer stores nothing. */
static void fmt_store_count(va_list* ap, int bits, size_t length)
{
    void* target = va_arg(*ap, void*);
    if (!target)
        return;
    switch (bits) {
    case 8:
        *(int8_t*)target = (int8_t)length;
        break;
    case 16:
        *(int16_t*)target = (int16_t)length;
        break;
    case 32:
        *(int32_t*)target = (int32_t)length;
        break;
    default:
        *(int64_t*)target = (int64_t)length;
        break;
    }
}

static inline __attribute__((always_inline)) int fmt_digits_in(uint64_t value, uint64_t base,
                                                              const char* table, char* scratch)
{
    int count = 0;
    do {
        uint64_t digit;
        value = fmt_div64(value, base, &digit);
        scratch[count++] = table[digit];
    } while (value);
    return count;
}

/* Digits of value, least significant first; at least one. Each base gets a
 * loop of its own so that the division by a constant is cheap. */
static int fmt_digits(uint64_t value, int base, const char* table, char* scratch)
{
    switch (base) {
    case 8:
        return fmt_digits_in(value, 8, table, scratch);
    case 16:
        return fmt_digits_in(value, 16, table, scratch);
    default:
        return fmt_digits_in(value, 10, table, scratch);
    }
}

static inline int64_t fmt_at_least_0(int64_t value)
{
    return value < 0 ? 0 : value;
}

/* Lays out one integer: the zero padding is the larger of the precision's
 * and the width's pad, and "0" is applied before "-", so "%-08X" pads with
 * zeros on the left. */
static void fmt_take_int(fmt_item_t* item, const fmt_directive_t* directive, uint64_t intVal,
                         int base, char* scratch)
{
    int flags = directive->flags;
    int64_t maxWidth = directive->maxWidth < 0 ? 0 : directive->maxWidth;
    item->kind = itemInt;
    item->sign = 0;
    if (!(flags & flagUnsigned)) {
        if ((int64_t)intVal < 0) {
            intVal = 0 - intVal;
            item->sign = '-';
        } else if (flags & flagPlus) {
            item->sign = '+';
        } else if (flags & flagSpace) {
            item->sign = ' ';
        }
    }
    const char* hexDigits = (flags & flagUpper) ? ss8const_hexupper : ss8const_hexlower;
    item->prefix = hexDigits + 16;
    item->prefixLen = 0;
    if ((flags & flagHash) && base == 8) {
        item->prefix = ss8const_zero;
        item->prefixLen = 1;
    } else if ((flags & flagHash) && base == 16) {
        item->prefixLen = 2;
    }
    item->digitCount = fmt_digits(intVal, base, hexDigits, scratch);
    item->digits = scratch;

    int64_t digitCount = item->digitCount;
    int64_t zeroPadLen = fmt_at_least_0(maxWidth - digitCount);
    int64_t spacePadLen =
        fmt_at_least_0((int64_t)directive->minWidth - (digitCount > maxWidth ? digitCount : maxWidth) -
                       (item->sign != 0) - item->prefixLen);
    if (flags & flagZero) {
        zeroPadLen = zeroPadLen > spacePadLen ? zeroPadLen : spacePadLen;
        spacePadLen = 0;
    }
    item->zeros = (size_t)zeroPadLen;
    item->leadSpaces = (flags & flagMinus) ? 0 : (size_t)spacePadLen;
    item->trailSpaces = (flags & flagMinus) ? (size_t)spacePadLen : 0;
}

/* The engine's own character width applies only when no size prefix set
 * either width. */
static inline void fmt_default_char_size(fmt_directive_t* directive, int charSize)
{
    if (!directive->charSize && !directive->intSize)
        directive->charSize = charSize;
}

static void fmt_take_text(fmt_item_t* item, const void* text, int textWide)
{
    item->kind = itemText;
    item->text = text;
    item->textWide = textWide;
}

/* A string argument: UTF-8 for charSize 8, wide for 32. Any other size
 * consumes the pointer and writes nothing. */
static void fmt_take_string(fmt_item_t* item, fmt_directive_t* directive, int defaultSize,
                            va_list* ap)
{
    fmt_default_char_size(directive, defaultSize);
    int charSize = directive->charSize;
    const void* text = va_arg(*ap, const void*);
    if (charSize == 8 || charSize == 32)
        fmt_take_text(item, text, charSize == 32);
}

static void fmt_take_char(fmt_item_t* item, fmt_directive_t* directive, int defaultSize,
                          va_list* ap)
{
    fmt_default_char_size(directive, defaultSize);
    uint64_t value = fmt_arg_char(ap, directive->charSize);
    if (value <= 0xFFFFFFFFu) {
        item->kind = itemChar;
        item->codePoint = (uint32_t)value;
    }
}

/* A null GUID pointer prints like a null string: as nothing. */
static void fmt_take_guid(fmt_item_t* item, int flags, va_list* ap, char* scratch)
{
    const qp_uuid_t* guid = va_arg(*ap, const qp_uuid_t*);
    if (guid)
        fmt_guid_text(scratch, guid, (flags & flagUpper) ? ss8const_hexupper : ss8const_hexlower);
    fmt_take_text(item, guid ? scratch : 0, 0);
}

/* %T: 100 ns since 1601. %t: Unix seconds, 32-bit under an 8-, 16- or
 * 32-bit size, moved to the same scale (the arithmetic wraps, it does not
 * trap, for absurd values). */
static void fmt_take_time(fmt_item_t* item, uint32_t conv, int intSize, va_list* ap, char* scratch)
{
    uint64_t intVal;
    if (conv == 'T') {
        intVal = (uint64_t)va_arg(*ap, int64_t);
    } else {
        int64_t seconds = (intSize == 0 || intSize == 64) ? va_arg(*ap, int64_t)
                                                          : (int64_t)va_arg(*ap, int);
        intVal = ((uint64_t)seconds + secondsFrom1601To1970) * units_per_second;
    }
    fmt_time_text(scratch, intVal, conv == 'T');
    fmt_take_text(item, scratch, 0);
}

/* X, P and R differ from their small twins only in the digits, C and S in
 * the character width they force. Returns the small twin. */
static inline uint32_t fmt_small_twin(uint32_t conv, fmt_directive_t* directive, int charOther)
{
    if (conv == 'X' || conv == 'P' || conv == 'R')
        directive->flags |= flagUpper;
    else if (conv == 'C' || conv == 'S')
        directive->charSize = charOther;
    else
        return conv;
    return conv + ('a' - 'A');
}

/* Step 2 of a directive: reads the argument of conversion `conv` and
 * decides what to write into *item. charDefault is the engine's own
 * character width (%c, %s), charOther the one %C and %S force. */
static void fmt_take(uint32_t conv, fmt_directive_t* directive, int charDefault, int charOther,
                     va_list* ap, size_t length, char* scratch, fmt_item_t* item)
{
    item->kind = itemNone;
    conv = fmt_small_twin(conv, directive, charOther);
    switch (conv) {
    case 'd':
    case 'i':
        fmt_take_int(item, directive, fmt_arg_int(ap, directive->intSize, 1), 10, scratch);
        break;
    case 'x':
    case 'u':
    case 'o':
        directive->flags |= flagUnsigned;
        fmt_take_int(item, directive, fmt_arg_int(ap, directive->intSize, 0),
                     conv == 'u' ? 10 : conv == 'o' ? 8 : 16, scratch);
        break;
    case 'p':
        directive->intSize = 64;
        directive->flags |= flagPtr | flagUnsigned;
        fmt_take_int(item, directive, (uint64_t)(uintptr_t)va_arg(*ap, void*), 16, scratch);
        break;
    case 'c':
        fmt_take_char(item, directive, charDefault, ap);
        break;
    case 'w':
        fmt_take_char(item, directive, 32, ap);
        break;
    case 's':
        fmt_take_string(item, directive, charDefault, ap);
        break;
    case 'r':
        fmt_take_guid(item, directive->flags, ap, scratch);
        break;
    case 'T':
    case 't':
        fmt_take_time(item, conv, directive->intSize, ap, scratch);
        break;
    case 'n':
        fmt_store_count(ap, directive->intSize, length);
        break;
    default: /* unknown: no argument, no output */
        break;
    }
}

/* ---- the two engines ------------------------------------------------------ */

#define FMT_UNIT char
#define FMT_NAME(op) ss8##op
#define FMT_NAME_TEXT "ss8"
#define FMT_EMPTY ""
#define FMT_PUSHCHAR fmt_push8
#define FMT_CHAR_DEFAULT 8
#define FMT_CHAR_OTHER 32
#include "ssformat_body.h"
#undef FMT_UNIT
#undef FMT_NAME
#undef FMT_NAME_TEXT
#undef FMT_EMPTY
#undef FMT_PUSHCHAR
#undef FMT_CHAR_DEFAULT
#undef FMT_CHAR_OTHER

#define FMT_UNIT wchar_t
#define FMT_NAME(op) ssw##op
#define FMT_NAME_TEXT "ssw"
#define FMT_EMPTY L""
#define FMT_PUSHCHAR sswpushchar
#define FMT_CHAR_DEFAULT 32
#define FMT_CHAR_OTHER 8
#include "ssformat_body.h"
