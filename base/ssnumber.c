/*
 * ssnumber.c - numbers and dates as text: ss8fromint / ss8toint with the
 * SSCONVINT_* flags (hex, signed, and the yes/no style words), and the
 * date texts "YYYY/MM/DD HH:MM:SS[.mmm]" with a tolerant parser that
 * accepts the usual orders of day, month name or number, and year.
 *
 * Numbers are built into small local buffers (at most 29 characters) and
 * copied out with the usual cut-and-terminate rule. No state.
 */
#include "sstring.h"

#define SS_INT_MAX_DIGITS 27
#define SS_INT_TEXT       32

/* ---- ss8fromint --------------------------------------------------------------- */

typedef struct ss_word_pair_t {
    int flag;
    const char* zero;
    const char* one;
} ss_word_pair_t;

/* The word for zero is looked up in this order... */
static const ss_word_pair_t ss_zero_words[8] = {
    {SSCONVINT_YESNO, ss8const_no, ss8const_yes},
    {SSCONVINT_YN, ss8const_n, ss8const_y},
    {SSCONVINT_TRUEFALSE, ss8const_false, ss8const_true},
    {SSCONVINT_TF, ss8const_f, ss8const_t},
    {SSCONVINT_ONOFF, ss8const_off, ss8const_on},
    {SSCONVINT_ENABLE, ss8const_disable, ss8const_enable},
    {SSCONVINT_ENABLED, ss8const_disabled, ss8const_enabled},
    {SSCONVINT_ED, ss8const_d, ss8const_e},
};
/* ...and the word for one in this (yes/no last). */
static const int ss_one_order[8] = {1, 2, 3, 4, 5, 6, 7, 0};

static const char* ss_int_word(int64_t value, int flags)
{
    size_t k;

    if ((value != 0 && value != 1) || !(flags & SSCONVINT_WORDS))
        return 0;
    for (k = 0; k < 8; k++) {
        const ss_word_pair_t* pair = &ss_zero_words[value == 0 ? (int)k : ss_one_order[k]];
        if (flags & pair->flag)
            return value == 0 ? pair->zero : pair->one;
    }
    QP_ASSERT(flags & SSCONVINT_YESNO);
    return 0;
}

/* Digits of value in base (10 or 16, capital letters), at least min_digits,
 * behind prefix; returns the text length. */
static size_t ss_int_text(char* text, uint64_t value, unsigned base, int min_digits,
                          const char* prefix)
{
    char digits[SS_INT_TEXT];
    size_t count = 0, len = 0;

    do {
        digits[count++] = ss8const_hexupper[value % base];
        value /= base;
    } while (value != 0);
    while (count < (size_t)min_digits)
        digits[count++] = '0';
    for (; *prefix; prefix++)
        text[len++] = *prefix;
    while (count > 0)
        text[len++] = digits[--count];
    text[len] = 0;
    QP_ASSERT(len <= 29);
    return len;
}

size_t ss8fromint(char* dest, size_t size, int64_t value, int flags, int min_digits)
{
    const char* word = ss_int_word(value, flags);
    char text[SS_INT_TEXT];
    size_t len;

    /* A negative minimum asks for none (and must not become a huge count). */
    if (min_digits < 0)
        min_digits = 0;
    if (min_digits > SS_INT_MAX_DIGITS)
        min_digits = SS_INT_MAX_DIGITS;
    if (word) {
        ss8cpyn(dest, size, word, SS_UNBOUNDED);
        return ss8len(word);
    }
    if (flags & SSCONVINT_HEX)
        len = ss_int_text(text, (uint64_t)value, 16, min_digits, "0x");
    else if ((flags & SSCONVINT_SIGNED) && value < 0)
        len = ss_int_text(text, 0 - (uint64_t)value, 10, min_digits, "-");
    else
        len = ss_int_text(text, (uint64_t)value, 10, min_digits, "");
    ss8cpyn(dest, size, text, len);
    return len;
}

char* ss8fromintm(malloc_i* ma, int64_t value, int flags, int min_digits)
{
    char text[SS_INT_TEXT];

    ss8fromint(text, sizeof text, value, flags, min_digits);
    return ss8cpym(ma, text);
}

/* ---- ss8toint ------------------------------------------------------------------- */

typedef struct ss_int_word_t {
    const char* word;
    int value;
    int flag;
} ss_int_word_t;

/* Longer words before their prefixes. */
static const ss_int_word_t ss_int_words[17] = {
    {"disabled", 0, SSCONVINT_ENABLED}, {"disable", 0, SSCONVINT_ENABLE}, {"d", 0, SSCONVINT_ED},
    {"enabled", 1, SSCONVINT_ENABLED},  {"enable", 1, SSCONVINT_ENABLE},  {"e", 1, SSCONVINT_ED},
    {"false", 0, SSCONVINT_TRUEFALSE},  {"f", 0, SSCONVINT_TF},           {"no", 0, SSCONVINT_YESNO},
    {"n", 0, SSCONVINT_YN},             {"on", 1, SSCONVINT_ONOFF},       {"off", 0, SSCONVINT_ONOFF},
    {"true", 1, SSCONVINT_TRUEFALSE},   {"t", 1, SSCONVINT_TF},           {"yes", 1, SSCONVINT_YESNO},
    {"y", 1, SSCONVINT_YN},             {0, 0, 0},
};

int64_t ss8toint(const char* text, size_t len, int* flags)
{
    size_t start = 0, end = ss8lenn(text, len), k;
    int found = 0, negative = 0;
    uint64_t value = 0;

    while (start < end && ss8isspace((unsigned char)text[start]))
        start++;
    while (end > start && ss8isspace((unsigned char)text[end - 1]))
        end--;
    for (k = 0; ss_int_words[k].word && start < end; k++) {
        if (ss8asciicmpsin(text + start, end - start, ss_int_words[k].word, SS_UNBOUNDED) == 0) {
            if (flags)
                *flags = ss_int_words[k].flag;
            return ss_int_words[k].value;
        }
    }
    if (start < end && (text[start] == '-' || text[start] == '+')) {
        negative = text[start] == '-';
        found |= negative ? SSCONVINT_SIGNED : 0;
        start++;
    }
    if (end - start > 2 && text[start] == '0' && (text[start + 1] | 0x20) == 'x' &&
        ss8ishexdigit((unsigned char)text[start + 2])) {
        found |= SSCONVINT_HEX;
        for (start += 2; start < end && ss8ishexdigit((unsigned char)text[start]); start++) {
            char c = text[start];
            value = value * 16 + (uint64_t)(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
    } else {
        for (; start < end && ss8isdigit((unsigned char)text[start]); start++)
            value = value * 10 + (uint64_t)(text[start] - '0');
    }
    if (flags)
        *flags = found;
    return (int64_t)(negative ? 0 - value : value);
}

/* ---- dates ------------------------------------------------------------------------ */

size_t ss8fromtime(char* dest, size_t size, int year, int month, int day, int hour, int minute,
                   int second, int msec)
{
    const int fields[7] = {year, month, day, hour, minute, second, msec};
    static const char separators[7] = {0, '/', '/', ' ', ':', ':', '.'};
    static const int widths[7] = {4, 2, 2, 2, 2, 2, 3};
    char text[80];
    size_t len = 0, k;

    for (k = 0; k < (msec ? 7u : 6u); k++) {
        char prefix[2] = {separators[k], 0};
        int value = fields[k] < 0 ? 0 : fields[k];
        len += ss_int_text(text + len, (uint64_t)value, 10, widths[k], prefix);
    }
    ss8cpyn(dest, size, text, len);
    return len;
}

char* ss8fromtimem(malloc_i* ma, int year, int month, int day, int hour, int minute, int second,
                   int msec)
{
    char text[80];

    ss8fromtime(text, sizeof text, year, month, day, hour, minute, second, msec);
    return ss8cpym(ma, text);
}

/* Values keep their first 9 digits; the count covers all of them. */
int ss8extractint(const char** text, int* value)
{
    const char* p = ss8fix(*text);
    int digits = 0, number = 0;

    while (*p && !ss8isdigit((unsigned char)*p))
        p++;
    for (; ss8isdigit((unsigned char)*p); p++, digits++)
        if (digits < 9)
            number = number * 10 + (*p - '0');
    *text = p;
    if (value && digits)
        *value = number;
    return digits;
}

int ss8extractmonth(const char** text, int* month)
{
    const char* p = ss8fix(*text);
    size_t k;

    while (*p && !ss8asciiisalnum((unsigned char)*p))
        p++;
    for (k = 0; k < 12; k++) {
        const char* name = ss8const_months[k];
        size_t full = ss8len(name), len = 0;
        if (ss8asciicmpsin(p, SS_UNBOUNDED, name, full) == 0)
            len = full;
        else if (ss8asciicmpsin(p, SS_UNBOUNDED, name, 3) == 0)
            len = 3;
        if (len && !ss8asciiisalpha((unsigned char)p[len])) {
            *text = p + len;
            if (month)
                *month = (int)k + 1;
            return 1;
        }
    }
    return 0;
}

static int ss_clamp(int value, int low, int high)
{
    return value < low ? low : value > high ? high : value;
}

/* Reads the day, month and year in whichever order the text uses. */
static int ss_totime_date(const char** p, int* year, int* month, int* day, int* year_digits)
{
    int first = 0, digits, fields = 0;

    if (ss8extractmonth(p, month)) {
        digits = ss8extractint(p, &first);
        if (!digits)
            return 1;
        if (digits == 4 || first >= 32) {
            *year = first;
            *year_digits = digits;
            return 2;
        }
        *day = first;
        *year_digits = ss8extractint(p, year);
        return *year_digits ? 3 : 2;
    }
    digits = ss8extractint(p, &first);
    if (!digits)
        return 0;
    if (digits == 4 || first > 12) {
        *year = first;
        *year_digits = digits;
        fields = 1 + (ss8extractmonth(p, month) || ss8extractint(p, month) > 0);
        return fields + (ss8extractint(p, day) > 0);
    }
    if (ss8extractmonth(p, month)) {
        *day = first;
    } else {
        *month = first;
        if (!ss8extractint(p, day))
            return 1;
    }
    *year_digits = ss8extractint(p, year);
    return *year_digits ? 3 : 2;
}

int ss8totime(int* year, int* month, int* day, int* hour, int* minute, int* second, int* msec,
              const char* text)
{
    int y = 2000, mo = 1, d = 1, h = 0, mi = 0, s = 0, ms = 0, year_digits = 4, digits, fields;
    const char* p = ss8fix(text);

    fields = ss_totime_date(&p, &y, &mo, &d, &year_digits);
    if (fields > 0 && ss8extractint(&p, &h) && ++fields && ss8extractint(&p, &mi) && ++fields &&
        ss8extractint(&p, &s) && ++fields && (digits = ss8extractint(&p, &ms)) > 0) {
        fields++;
        for (; digits < 3; digits++)
            ms *= 10;
        for (digits = digits > 9 ? 9 : digits; digits > 3; digits--)
            ms /= 10;
    }
    if (year_digits < 4 && y < 100)
        y += y < 50 ? 2000 : 1900;
    if (year)
        *year = y;
    if (month)
        *month = ss_clamp(mo, 1, 12);
    if (day)
        *day = ss_clamp(d, 1, 31);
    if (hour)
        *hour = ss_clamp(h, 0, 23);
    if (minute)
        *minute = ss_clamp(mi, 0, 59);
    if (second)
        *second = ss_clamp(s, 0, 59);
    if (msec)
        *msec = ms;
    return fields;
}
