/*
 * ssformat_body.h - the part of the format engine that depends on the code
 * unit, written once and included by base/ssformat.c for each engine.
 *
 * The including unit defines, before each inclusion:
 *   FMT_UNIT           the code unit of format and destination (char, wchar_t)
 *   FMT_NAME(op)       the public name of an operation (ss8##op, ssw##op)
 *   FMT_NAME_TEXT      the family prefix as text ("ss8", "ssw")
 *   FMT_EMPTY          an empty format of the unit type
 *   FMT_PUSHCHAR       pushes one code point: (dest, size, &length, cp)
 *   FMT_CHAR_DEFAULT   charSize of %c and %s without a size prefix
 *   FMT_CHAR_OTHER     charSize forced by %C and %S
 * and the unit-independent helpers (fmt_directive_t, fmt_item_t, fmt_take,
 * fmt_pull_source, ...). Nothing here keeps state between calls.
 */

/* Stores one unit at *length when it fits; the count grows regardless. */
static inline void FMT_NAME(_put)(FMT_UNIT* dest, size_t maxDestChars, size_t* length,
                                  FMT_UNIT unit)
{
    if (*length < maxDestChars)
        dest[*length] = unit;
    ++*length;
}

/* A run of one unit: stores what fits and counts the whole run, so a huge
 * width costs only the part that lands in the buffer. */
static inline void FMT_NAME(_fill)(FMT_UNIT* dest, size_t maxDestChars, size_t* length,
                                   FMT_UNIT unit, size_t count)
{
    size_t at = *length;
    size_t end = at + count;
    size_t stop = end < maxDestChars ? end : maxDestChars;
    for (; at < stop; ++at)
        dest[at] = unit;
    *length = end;
}

static void FMT_NAME(_pushstr)(FMT_UNIT* dest, size_t maxDestChars, size_t* length,
                               const void* src, int srcWide, int minWidth, int maxWidth,
                               int rightJustify)
{
    QP_ASSERT(dest || !maxDestChars);
    size_t sourceLen = fmt_source_len(src, srcWide);
    /* The limit counts pushed characters, padding included, and is never
     * below the width; the padding itself is measured in source units. */
    int64_t limit = maxWidth == -1 ? (int64_t)sourceLen : maxWidth;
    if (minWidth > 0 && limit >= 0 && limit < minWidth)
        limit = minWidth;
    int64_t padLen = (int64_t)minWidth - (int64_t)sourceLen;
    int64_t count = 0;
    if (padLen > 0 && !rightJustify) {
        count = padLen < limit ? padLen : (limit > 0 ? limit : 0);
        FMT_NAME(_fill)(dest, maxDestChars, length, ' ', (size_t)count);
    }
    size_t index = 0;
    while (index < sourceLen && count < limit) {
        size_t next;
        uint32_t cp = fmt_pull_source(src, srcWide, sourceLen, index, &next);
        FMT_PUSHCHAR(dest, maxDestChars, length, cp);
        ++count;
        index = next;
    }
    if (padLen > 0 && rightJustify && count < limit) {
        int64_t trail = padLen < limit - count ? padLen : limit - count;
        FMT_NAME(_fill)(dest, maxDestChars, length, ' ', (size_t)trail);
    }
}

void FMT_NAME(pushstr8)(FMT_UNIT* dest, size_t maxDestChars, size_t* length, const char* src,
                        int minWidth, int maxWidth, int rightJustify)
{
    FMT_NAME(_pushstr)(dest, maxDestChars, length, src, 0, minWidth, maxWidth, rightJustify);
}

void FMT_NAME(pushstrw)(FMT_UNIT* dest, size_t maxDestChars, size_t* length, const wchar_t* src,
                        int minWidth, int maxWidth, int rightJustify)
{
    FMT_NAME(_pushstr)(dest, maxDestChars, length, src, 1, minWidth, maxWidth, rightJustify);
}

/* Writes what fmt_take decided: spaces, sign, prefix, zeros, digits and
 * spaces of a number; one code point; or a text through the string rules. */
static void FMT_NAME(_emit)(FMT_UNIT* dest, size_t maxDestChars, size_t* length,
                            const fmt_item_t* item, const fmt_directive_t* directive)
{
    switch (item->kind) {
    case itemInt:
        FMT_NAME(_fill)(dest, maxDestChars, length, ' ', item->leadSpaces);
        if (item->sign)
            FMT_NAME(_put)(dest, maxDestChars, length, item->sign);
        for (int i = 0; i < item->prefixLen; ++i)
            FMT_NAME(_put)(dest, maxDestChars, length, item->prefix[i]);
        FMT_NAME(_fill)(dest, maxDestChars, length, '0', item->zeros);
        for (int i = item->digitCount; i-- > 0;)
            FMT_NAME(_put)(dest, maxDestChars, length, item->digits[i]);
        FMT_NAME(_fill)(dest, maxDestChars, length, ' ', item->trailSpaces);
        break;
    case itemChar:
        FMT_PUSHCHAR(dest, maxDestChars, length, item->codePoint);
        break;
    case itemText:
        FMT_NAME(_pushstr)(dest, maxDestChars, length, item->text, item->textWide,
                           directive->minWidth, directive->maxWidth,
                           (directive->flags & flagMinus) != 0);
        break;
    default:
        break;
    }
}

/* The size prefix at format: sets the sizes and returns the units it used
 * (0 when the unit is no size and goes on to the conversion). */
static int FMT_NAME(_size_prefix)(const FMT_UNIT* format, fmt_directive_t* directive)
{
    switch (format[0]) {
    case 'h':
        return fmt_set_sizes(directive, 16, 8, 1);
    case 'l':
    case 'L':
        if (format[1] == 'l')
            return fmt_set_sizes(directive, 64, directive->charSize, 2);
        return fmt_set_sizes(directive, 64, 32, 1);
    case 'I':
        if (format[1] == '8')
            return fmt_set_sizes(directive, 8, 8, 2);
        if (format[1] == '1' && format[2] == '6')
            return fmt_set_sizes(directive, 16, 16, 3);
        if (format[1] == '3' && format[2] == '2')
            return fmt_set_sizes(directive, 32, 32, 3);
        if (format[1] == '6' && format[2] == '4')
            return fmt_set_sizes(directive, 64, directive->charSize, 3);
        return 0;
    default:
        return 0;
    }
}

/* Runs the directive state machine over the units after a '%'. Returns
 * where parsing stopped and stores the conversion unit, or 0 when the
 * format ended inside the directive. */
static const FMT_UNIT* FMT_NAME(_parse)(const FMT_UNIT* format, fmt_directive_t* directive,
                                         va_list* ap, uint32_t* conv)
{
    int state = stateFlags;
    fmt_directive_open(directive);
    while (state != stateConv) {
        uint32_t unit = (uint32_t)format[0];
        if (unit == 0) {
            *conv = 0;
            return format;
        }
        switch (state) {
        case stateFlags: {
            int flag = fmt_flag_of(unit);
            if (flag) {
                directive->flags |= flag;
                ++format;
            } else {
                state = stateMin;
            }
            break;
        }
        case stateMin:
            format += fmt_number_unit(unit, &directive->minWidth, ap, &state);
            break;
        case stateDot:
            if (unit == '.')
                ++format;
            state = unit == '.' ? stateMax : stateSize;
            break;
        case stateMax:
            format += fmt_number_unit(unit, &directive->maxWidth, ap, &state);
            break;
        default: /* stateSize */
            format += FMT_NAME(_size_prefix)(format, directive);
            state = stateConv;
            break;
        }
    }
    *conv = (uint32_t)format[0];
    return *conv ? format + 1 : format;
}

size_t FMT_NAME(formatvn)(FMT_UNIT* dest, size_t inMaxDestChars, const FMT_UNIT* inFormat,
                          va_list args)
{
    size_t maxDestChars = dest ? inMaxDestChars : 0;
    const FMT_UNIT* format = inFormat ? inFormat : FMT_EMPTY;
    size_t length = 0;
    va_list ap;
    va_copy(ap, args);
    for (;;) {
        FMT_UNIT unit = *format++;
        if (unit == 0)
            break;
        if (unit != '%' || *format == '%') {
            format += unit == '%';
            FMT_NAME(_put)(dest, maxDestChars, &length, unit);
            continue;
        }
        fmt_directive_t directive;
        uint32_t conv;
        format = FMT_NAME(_parse)(format, &directive, &ap, &conv);
        if (!conv)
            break;
        char scratch[fmt_scratch_size];
        fmt_item_t item;
        fmt_take(conv, &directive, FMT_CHAR_DEFAULT, FMT_CHAR_OTHER, &ap, length, scratch, &item);
        FMT_NAME(_emit)(dest, maxDestChars, &length, &item, &directive);
    }
    va_end(ap);
    if (maxDestChars)
        dest[length < maxDestChars ? length : maxDestChars - 1] = 0;
    return length;
}

size_t FMT_NAME(formatn)(FMT_UNIT* dest, size_t maxDestChars, const FMT_UNIT* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t length = FMT_NAME(formatvn)(dest, maxDestChars, format, args);
    va_end(args);
    return length;
}

size_t FMT_NAME(format)(FMT_UNIT* dest, const FMT_UNIT* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t length = FMT_NAME(formatvn)(dest, (size_t)-1, format, args);
    va_end(args);
    return length;
}

size_t FMT_NAME(formatv)(FMT_UNIT* dest, const FMT_UNIT* format, va_list args)
{
    return FMT_NAME(formatvn)(dest, (size_t)-1, format, args);
}

size_t FMT_NAME(formatlen)(const FMT_UNIT* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t length = FMT_NAME(formatvn)(0, 0, format, args);
    va_end(args);
    return length;
}

size_t FMT_NAME(formatvlen)(const FMT_UNIT* format, va_list args)
{
    return FMT_NAME(formatvn)(0, 0, format, args);
}

/* Formats once into a scratch on the stack; a result that did not fit is
 * formatted again straight into the allocation. */
FMT_UNIT* FMT_NAME(formatvm)(malloc_i* res_ma, const FMT_UNIT* format, va_list args)
{
    FMT_UNIT scratch[max_scratch_chars];
    va_list first;
    va_copy(first, args);
    size_t dest_len = FMT_NAME(formatvn)(scratch, max_scratch_chars, format, first);
    va_end(first);
    if (dest_len >= (size_t)-1 / sizeof(FMT_UNIT))
        return 0;
    FMT_UNIT* dest = (FMT_UNIT*)ma_alloc(res_ma, (dest_len + 1) * sizeof(FMT_UNIT));
    if (!dest)
        return 0;
    if (dest_len < max_scratch_chars) {
        for (size_t i = 0; i < dest_len; ++i)
            dest[i] = scratch[i];
        dest[dest_len] = 0;
    } else if (FMT_NAME(formatvn)(dest, dest_len + 1, format, args) != dest_len) {
        qp_assert_failed(__FILE__, __LINE__,
                         "(" FMT_NAME_TEXT "formatvn(dest,dest_len+1,format,args)) == (dest_len)");
    }
    return dest;
}

FMT_UNIT* FMT_NAME(formatm)(malloc_i* res_ma, const FMT_UNIT* format, ...)
{
    va_list args;
    va_start(args, format);
    FMT_UNIT* text = FMT_NAME(formatvm)(res_ma, format, args);
    va_end(args);
    return text;
}
