/*
 * sstext.h - the text operations of one sized-string family, written once
 * and instantiated by sstext.c for ss8 (char) and ssw (wchar_t).
 *
 * The including unit defines:
 *   SS_PREFIX       the family prefix (ss8, ssw)
 *   SS_T            the code unit type, SS_UNSIGNED_T its unsigned twin
 *   SS_PULL_ASCIIB  a unit-wise pull with a-z folded to A-Z (the ASCII
 *                   comparisons order by unit)
 * and gets every operation of SSTRING_FAMILY_DECLS except the wildcards
 * (ssglob.h). Internal helpers are static with an ss_ prefix: each
 * instantiation lives in its own translation unit.
 */

#include "ssfamily.h"

typedef uint32_t (*ss_pull_fn)(const SS_T* text, size_t len, size_t index, size_t* next);

/* ---- length and state ----------------------------------------------------- */

size_t SS_P(lenn)(const SS_T* s, size_t max_len)
{
    size_t n = 0;

    if (!s)
        return 0;
    while (n < max_len && s[n])
        n++;
    return n;
}

size_t SS_P(len)(const SS_T* s)
{
    return SS_P(lenn)(s, SS_UNBOUNDED);
}

const SS_T* SS_P(fix)(const SS_T* s)
{
    static const SS_T empty[1];

    return s ? s : empty;
}

int SS_P(isempty)(const SS_T* s)
{
    return !s || !s[0];
}

int SS_P(isfull)(const SS_T* s, size_t size)
{
    return !s || size == 0 || SS_P(lenn)(s, size) >= size - 1;
}

int SS_P(isvalidn)(const SS_T* s, size_t len)
{
    size_t i = 0;
    uint32_t cp;

    while ((cp = SS_PULL(s, len, i, &i)) != 0)
        if (cp == SS_INVALID)
            return 0;
    return 1;
}

int SS_P(isvalid)(const SS_T* s)
{
    return SS_P(isvalidn)(s, SS_UNBOUNDED);
}

int SS_P(isallasciin)(const SS_T* s, size_t len)
{
    size_t i;

    for (i = 0; s && i < len && s[i]; i++)
        if (SS_UNIT(s[i]) >= 0x80)
            return 0;
    return 1;
}

int SS_P(isallascii)(const SS_T* s)
{
    return SS_P(isallasciin)(s, SS_UNBOUNDED);
}

/* ---- copy and fill ------------------------------------------------------------ */

void SS_P(move)(SS_T* dest, const SS_T* src, size_t count)
{
    size_t i;

    if (!src) {
        SS_P(zerob)(dest, count);
    } else if (dest < src) {
        for (i = 0; i < count; i++)
            dest[i] = src[i];
    } else if (dest > src) {
        for (i = count; i > 0; i--)
            dest[i - 1] = src[i - 1];
    }
}

void SS_P(setb)(SS_T* dest, uint32_t unit, size_t count)
{
    size_t i;

    for (i = 0; i < count; i++)
        dest[i] = (SS_T)unit;
}

void SS_P(zerob)(SS_T* dest, size_t count)
{
    SS_P(setb)(dest, 0, count);
}

void SS_P(zero)(SS_T* dest)
{
    if (dest)
        dest[0] = 0;
}

/* The unbounded, n1 and n2 forms of a copying operation OP##n. */
#define SS_COPY_FORMS(OP)                                                                          \
    void SS_P(OP)(SS_T * dest, const SS_T* src)                                                    \
    {                                                                                              \
        SS_P(OP##n)(dest, SS_UNBOUNDED, src, SS_UNBOUNDED);                                        \
    }                                                                                              \
    void SS_P(OP##n1)(SS_T * dest, size_t size, const SS_T* src)                                   \
    {                                                                                              \
        SS_P(OP##n)(dest, size, src, SS_UNBOUNDED);                                                \
    }                                                                                              \
    void SS_P(OP##n2)(SS_T * dest, const SS_T* src, size_t src_len)                                \
    {                                                                                              \
        SS_P(OP##n)(dest, SS_UNBOUNDED, src, src_len);                                             \
    }

/* Wipes the text (up to its terminator within size), e.g. a secret. */
void SS_P(zeron)(SS_T* dest, size_t size)
{
    SS_P(zerob)(dest, SS_P(lenn)(dest, size));
}

void SS_P(cpyn)(SS_T* dest, size_t size, const SS_T* src, size_t src_len)
{
    size_t n;

    if (!dest || size == 0)
        return;
    n = SS_P(lenn)(src, src_len);
    if (n >= size)
        n = size - 1;
    SS_P(move)(dest, src, n);
    dest[n] = 0;
}

SS_COPY_FORMS(cpy)

/* ---- concatenate ---------------------------------------------------------------- */

void SS_P(catn)(SS_T* dest, size_t size, const SS_T* src, size_t src_len)
{
    size_t used;

    if (!dest || size == 0)
        return;
    used = SS_P(lenn)(dest, size);
    if (used >= size) {
        dest[size - 1] = 0;
        return;
    }
    SS_P(cpyn)(dest + used, size - used, src, src_len);
}

SS_COPY_FORMS(cat)

/* Inserts src in front, keeping as much of the old text as fits. */
void SS_P(rcatn)(SS_T* dest, size_t size, const SS_T* src, size_t src_len)
{
    size_t front, kept;

    if (!dest || size == 0)
        return;
    front = SS_P(lenn)(src, src_len);
    if (front > size - 1)
        front = size - 1;
    kept = SS_P(lenn)(dest, size - 1);
    if (kept > size - 1 - front)
        kept = size - 1 - front;
    SS_P(move)(dest + front, dest, kept);
    SS_P(move)(dest, src, front);
    dest[front + kept] = 0;
}

SS_COPY_FORMS(rcat)

/* ---- allocate ----------------------------------------------------------------- */

/* Room for len units and a terminator, or null when the size would wrap. */
static SS_T* ss_alloc_units(malloc_i* ma, size_t len)
{
    if (len >= SS_UNBOUNDED / sizeof(SS_T) - 1)
        return 0;
    return (SS_T*)ma_alloc(ma, (len + 1) * sizeof(SS_T));
}

SS_T* SS_P(catmn)(malloc_i* ma, const SS_T* s1, size_t len1, const SS_T* s2, size_t len2)
{
    size_t n1 = SS_P(lenn)(s1, len1), n2 = SS_P(lenn)(s2, len2);
    SS_T* dest;

    if (n2 > SS_UNBOUNDED / 2 || n1 > SS_UNBOUNDED / 2)
        return 0;
    dest = ss_alloc_units(ma, n1 + n2);
    if (!dest)
        return 0;
    SS_P(move)(dest, s1, n1);
    SS_P(move)(dest + n1, s2, n2);
    QP_ASSERT(dest[n1 + n2] == 0);
    return dest;
}

SS_T* SS_P(catm)(malloc_i* ma, const SS_T* s1, const SS_T* s2)
{
    return SS_P(catmn)(ma, s1, SS_UNBOUNDED, s2, SS_UNBOUNDED);
}

SS_T* SS_P(catmn1)(malloc_i* ma, const SS_T* s1, size_t len1, const SS_T* s2)
{
    return SS_P(catmn)(ma, s1, len1, s2, SS_UNBOUNDED);
}

SS_T* SS_P(catmn2)(malloc_i* ma, const SS_T* s1, const SS_T* s2, size_t len2)
{
    return SS_P(catmn)(ma, s1, SS_UNBOUNDED, s2, len2);
}

SS_T* SS_P(cpymn)(malloc_i* ma, const SS_T* s, size_t len)
{
    return SS_P(catmn)(ma, s, len, 0, 0);
}

SS_T* SS_P(cpym)(malloc_i* ma, const SS_T* s)
{
    return SS_P(cpymn)(ma, s, SS_UNBOUNDED);
}

/* One block: the null-terminated pointer array, then the texts. */
SS_T** SS_P(vcpym)(malloc_i* ma, const SS_T* const* v)
{
    size_t count = 0, units = 0, i;
    SS_T** array;
    SS_T* text;

    for (; v && v[count]; count++)
        units += SS_P(len)(v[count]) + 1;
    array = (SS_T**)ma_alloc(ma, (count + 1) * sizeof(SS_T*) + units * sizeof(SS_T));
    if (!array)
        return 0;
    text = (SS_T*)(array + count + 1);
    for (i = 0; i < count; i++) {
        size_t n = SS_P(len)(v[i]);
        array[i] = text;
        SS_P(move)(text, v[i], n);
        text += n + 1;
    }
    return array;
}

SS_T* SS_P(alloc_dh)(const char* file, int line, size_t len)
{
    if (len >= SS_UNBOUNDED / sizeof(SS_T) - 1)
        return 0;
    return (SS_T*)calloc_dh(file, line, len + 1, sizeof(SS_T));
}

SS_T* SS_P(dupn_dh)(const char* file, int line, const SS_T* s, size_t len)
{
    size_t n = SS_P(lenn)(s, len);
    SS_T* dest = SS_P(alloc_dh)(file, line, n);

    if (dest)
        SS_P(move)(dest, s, n);
    return dest;
}

SS_T* SS_P(dup_dh)(const char* file, int line, const SS_T* s)
{
    return SS_P(dupn_dh)(file, line, s, SS_UNBOUNDED);
}

/* ---- compare ----------------------------------------------------------------- */

static int ss_order(uint64_t a, uint64_t b)
{
    return a < b ? -1 : a > b;
}

/* Fold kinds of the comparisons. */
enum { SS_FOLD_NONE, SS_FOLD_ASCII, SS_FOLD_U5 };

/* The comparison pull of a fold kind (the ASCII forms compare units). */
static inline uint32_t ss_cmp_pull(int fold, const SS_T* s, size_t len, size_t i, size_t* next)
{
    if (fold == SS_FOLD_NONE)
        return SS_PULL(s, len, i, next);
    return fold == SS_FOLD_ASCII ? SS_PULL_ASCIIB(s, len, i, next) : SS_PULL_U5(s, len, i, next);
}

/* The ordering key of the next character: its code point, or for an
 * invalid unit a key above every code point that keeps distinct invalid
 * units distinct (they all pull as SS_INVALID). */
static inline uint64_t ss_cmp_key(int fold, const SS_T* s, size_t len, size_t i, size_t* next)
{
    uint32_t cp = ss_cmp_pull(fold, s, len, i, next);

    return cp == SS_INVALID ? (1ull << 32) | SS_UNIT(s[i]) : cp;
}

/* The same for an ASCII unit, without a call: the fast path of ss_cmp. */
static inline uint32_t ss_cmp_fold_ascii(int fold, uint32_t unit)
{
    /* Without branches: mixed-case text would mispredict them. */
    if (fold == SS_FOLD_ASCII)
        return unit - ((uint32_t)(unit - 'a' < 26) << 5);
    if (fold == SS_FOLD_U5)
        return unit + ((uint32_t)(unit - 'A' < 26) << 5);
    return unit;
}

/* Character by character until a difference or both ends. Inlined into
 * each compare operation, so the fold kind is a constant there. */
static inline int ss_cmp(int fold, const SS_T* a, size_t len_a, const SS_T* b, size_t len_b)
{
    size_t ia = 0, ib = 0;

    a = SS_P(fix)(a);
    b = SS_P(fix)(b);
    if (fold == SS_FOLD_U5)
        (void)ssu5fold32(0); /* the first folding runs the tables' self-test */
    for (;;) {
        uint64_t ca, cb;
        /* Runs of ASCII on both sides: one unit each, folded inline. */
        while (ia < len_a && ib < len_b) {
            uint32_t ua = SS_UNIT(a[ia]), ub = SS_UNIT(b[ib]);
            if ((ua | ub) >= 0x80)
                break;
            ua = ss_cmp_fold_ascii(fold, ua);
            ub = ss_cmp_fold_ascii(fold, ub);
            if (ua != ub)
                return ua < ub ? -1 : 1;
            if (ua == 0)
                return 0;
            ia++;
            ib++;
        }
        ca = ss_cmp_key(fold, a, len_a, ia, &ia);
        cb = ss_cmp_key(fold, b, len_b, ib, &ib);
        if (ca != cb)
            return ss_order(ca, cb);
        if (ca == 0)
            return 0;
    }
}

/* s cut to the prefix's length compared with the prefix. */
static int ss_cmps(int fold, const SS_T* s, size_t len_s, const SS_T* p, size_t len_p)
{
    size_t is = 0, ip = 0;

    for (;;) {
        uint64_t cp = ss_cmp_key(fold, p, len_p, ip, &ip), cs;
        if (cp == 0)
            return 0;
        cs = ss_cmp_key(fold, s, len_s, is, &is);
        if (cs != cp)
            return ss_order(cs, cp);
    }
}

/* Exact lengths, zeros included; a shorter array that is a prefix of the
 * other is smaller. The exact form compares units. */
static int ss_cmpb(int fold, const SS_T* a, size_t len_a, const SS_T* b, size_t len_b)
{
    size_t ia = 0, ib = 0;

    if (!a)
        len_a = 0;
    if (!b)
        len_b = 0;
    while (ia < len_a && ib < len_b) {
        uint64_t ca, cb;
        if (fold == SS_FOLD_NONE) {
            ca = SS_UNIT(a[ia++]);
            cb = SS_UNIT(b[ib++]);
        } else {
            ca = ss_cmp_key(fold, a, len_a, ia, &ia);
            cb = ss_cmp_key(fold, b, len_b, ib, &ib);
        }
        if (ca != cb)
            return ss_order(ca, cb);
    }
    return ss_order(ia < len_a, ib < len_b);
}

/* The compare operations of one sub-family F with fold kind FOLD. */
#define SS_CMP_FAMILY(F, FOLD)                                                                     \
    int SS_P(SSN_(, F, cmp, n))(const SS_T* a, size_t la, const SS_T* b, size_t lb)                \
    {                                                                                              \
        return ss_cmp(FOLD, a, la, b, lb);                                                         \
    }                                                                                              \
    int SS_P(SSN_(, F, cmp, ))(const SS_T* a, const SS_T* b)                                       \
    {                                                                                              \
        return ss_cmp(FOLD, a, SS_UNBOUNDED, b, SS_UNBOUNDED);                                     \
    }                                                                                              \
    int SS_P(SSN_(, F, cmp, n1))(const SS_T* a, size_t la, const SS_T* b)                          \
    {                                                                                              \
        return ss_cmp(FOLD, a, la, b, SS_UNBOUNDED);                                               \
    }                                                                                              \
    int SS_P(SSN_(, F, cmp, n2))(const SS_T* a, const SS_T* b, size_t lb)                          \
    {                                                                                              \
        return ss_cmp(FOLD, a, SS_UNBOUNDED, b, lb);                                               \
    }                                                                                              \
    int SS_P(SSN_(, F, cmps, n))(const SS_T* s, size_t ls, const SS_T* p, size_t lp)               \
    {                                                                                              \
        return ss_cmps(FOLD, s, ls, p, lp);                                                        \
    }                                                                                              \
    int SS_P(SSN_(, F, cmps, ))(const SS_T* s, const SS_T* p)                                      \
    {                                                                                              \
        return ss_cmps(FOLD, s, SS_UNBOUNDED, p, SS_UNBOUNDED);                                    \
    }                                                                                              \
    int SS_P(SSN_(, F, cmps, n1))(const SS_T* s, size_t ls, const SS_T* p)                         \
    {                                                                                              \
        return ss_cmps(FOLD, s, ls, p, SS_UNBOUNDED);                                              \
    }                                                                                              \
    int SS_P(SSN_(, F, cmps, n2))(const SS_T* s, const SS_T* p, size_t lp)                         \
    {                                                                                              \
        return ss_cmps(FOLD, s, SS_UNBOUNDED, p, lp);                                              \
    }

SS_CMP_FAMILY(, SS_FOLD_NONE)
SS_CMP_FAMILY(ascii, SS_FOLD_ASCII)
SS_CMP_FAMILY(u5, SS_FOLD_U5)

int SS_P(cmpb)(const SS_T* a, size_t len_a, const SS_T* b, size_t len_b)
{
    return ss_cmpb(SS_FOLD_NONE, a, len_a, b, len_b);
}

int SS_P(asciicmpbi)(const SS_T* a, size_t len_a, const SS_T* b, size_t len_b)
{
    return ss_cmpb(SS_FOLD_ASCII, a, len_a, b, len_b);
}

int SS_P(u5cmpbi)(const SS_T* a, size_t len_a, const SS_T* b, size_t len_b)
{
    return ss_cmpb(SS_FOLD_U5, a, len_a, b, len_b);
}

/* ---- search -------------------------------------------------------------------- */

/* First character equal to ch (folded like the text), or the end for 0. */
static const SS_T* ss_chr(ss_pull_fn pull, const SS_T* s, size_t len, uint32_t ch)
{
    size_t i = 0, next;
    uint32_t want = pull == SS_PULL_U5 ? ssu5fold32(ch) : pull == SS_PULL ? ch : ss8asciiupper(ch);

    s = SS_P(fix)(s);
    for (;; i = next) {
        uint32_t c = pull(s, len, i, &next);
        if (c == 0)
            return want == 0 ? s + i : 0;
        if (c == want)
            return s + i;
    }
}

/* Last unit equal to ch's low unit (exact for ASCII); the u5 form scans
 * characters forward and keeps the last match. */
static const SS_T* ss_rchr(ss_pull_fn pull, const SS_T* s, size_t len, uint32_t ch)
{
    size_t n = SS_P(lenn)(s, len), i, next;
    const SS_T* last = 0;
    SS_T unit = (SS_T)ch;

    s = SS_P(fix)(s);
    if (ch == 0)
        return s + n;
    if (pull == SS_PULL_U5) {
        uint32_t want = ssu5fold32(ch);
        for (i = 0; i < n; i = next)
            if (pull(s, n, i, &next) == want)
                last = s + i;
        return last;
    }
    for (i = n; i > 0; i--) {
        uint32_t c = SS_UNIT(s[i - 1]), w = SS_UNIT(unit);
        if (pull == SS_PULL ? c == w : ss8asciiupper(c) == ss8asciiupper(w))
            return s + i - 1;
    }
    return 0;
}

/* Whether sub (character-wise, folded) starts at s[i]. */
static int ss_starts(ss_pull_fn pull, const SS_T* s, size_t len, size_t i, const SS_T* sub,
                     size_t sub_len)
{
    size_t j = 0;

    for (;;) {
        size_t at_sub = j, at_s = i;
        uint32_t c = pull(sub, sub_len, j, &j);
        if (c == 0)
            return 1;
        if (pull(s, len, i, &i) != c || (c == SS_INVALID && sub[at_sub] != s[at_s]))
            return 0;
    }
}

/* First (or, with last set, the last) start of sub; an empty sub is found
 * at the start (the end when searching for the last). */
static const SS_T* ss_str(ss_pull_fn pull, const SS_T* s, size_t len, const SS_T* sub,
                          size_t sub_len, int last)
{
    const SS_T* found = 0;
    size_t i = 0, next;

    s = SS_P(fix)(s);
    if (SS_P(lenn)(sub, sub_len) == 0)
        return last ? s + SS_P(lenn)(s, len) : s;
    for (;; i = next) {
        if (ss_starts(pull, s, len, i, sub, sub_len)) {
            found = s + i;
            if (!last)
                return found;
        }
        if (pull(s, len, i, &next) == 0)
            return found;
    }
}

#define SS_CHR_FAMILY(F, OP, WORKER, PULL)                                                         \
    const SS_T* SS_P(SSN_(, F, OP##c, n))(const SS_T* s, size_t len, uint32_t ch)                  \
    {                                                                                              \
        return WORKER(PULL, s, len, ch);                                                           \
    }                                                                                              \
    const SS_T* SS_P(SSN_(, F, OP##c, ))(const SS_T* s, uint32_t ch)                               \
    {                                                                                              \
        return WORKER(PULL, s, SS_UNBOUNDED, ch);                                                  \
    }                                                                                              \
    SS_T* SS_P(SSN_(, F, OP, n))(const SS_T* s, size_t len, uint32_t ch)                           \
    {                                                                                              \
        return (SS_T*)WORKER(PULL, s, len, ch);                                                    \
    }                                                                                              \
    SS_T* SS_P(SSN_(, F, OP, ))(const SS_T* s, uint32_t ch)                                        \
    {                                                                                              \
        return (SS_T*)WORKER(PULL, s, SS_UNBOUNDED, ch);                                           \
    }

#define SS_STR_FAMILY(F, OP, LAST, PULL)                                                           \
    const SS_T* SS_P(SSN_(, F, OP##c, n))(const SS_T* s, size_t len, const SS_T* sub, size_t sl)   \
    {                                                                                              \
        return ss_str(PULL, s, len, sub, sl, LAST);                                                \
    }                                                                                              \
    const SS_T* SS_P(SSN_(, F, OP##c, ))(const SS_T* s, const SS_T* sub)                           \
    {                                                                                              \
        return ss_str(PULL, s, SS_UNBOUNDED, sub, SS_UNBOUNDED, LAST);                             \
    }                                                                                              \
    SS_T* SS_P(SSN_(, F, OP, n))(const SS_T* s, size_t len, const SS_T* sub, size_t sl)            \
    {                                                                                              \
        return (SS_T*)ss_str(PULL, s, len, sub, sl, LAST);                                         \
    }                                                                                              \
    SS_T* SS_P(SSN_(, F, OP, ))(const SS_T* s, const SS_T* sub)                                    \
    {                                                                                              \
        return (SS_T*)ss_str(PULL, s, SS_UNBOUNDED, sub, SS_UNBOUNDED, LAST);                      \
    }                                                                                              \
    SS_T* SS_P(SSN_(, F, OP, n1))(const SS_T* s, size_t len, const SS_T* sub)                      \
    {                                                                                              \
        return (SS_T*)ss_str(PULL, s, len, sub, SS_UNBOUNDED, LAST);                               \
    }                                                                                              \
    SS_T* SS_P(SSN_(, F, OP, n2))(const SS_T* s, const SS_T* sub, size_t sl)                       \
    {                                                                                              \
        return (SS_T*)ss_str(PULL, s, SS_UNBOUNDED, sub, sl, LAST);                                \
    }

#define SS_SEARCH_FAMILY(F, PULL)                                                                  \
    SS_CHR_FAMILY(F, chr, ss_chr, PULL)                                                            \
    SS_CHR_FAMILY(F, rchr, ss_rchr, PULL)                                                          \
    SS_STR_FAMILY(F, str, 0, PULL)                                                                 \
    SS_STR_FAMILY(F, rstr, 1, PULL)

SS_SEARCH_FAMILY(, SS_PULL)
SS_SEARCH_FAMILY(ascii, SS_PULL_ASCII)
SS_SEARCH_FAMILY(u5, SS_PULL_U5)

/* ---- case ------------------------------------------------------------------- */

void SS_P(asciiupfoldn)(SS_T* s, size_t len)
{
    size_t i;

    for (i = 0; s && i < len && s[i]; i++)
        s[i] = (SS_T)ss8asciiupper(SS_UNIT(s[i]));
}

void SS_P(asciiupfold)(SS_T* s)
{
    SS_P(asciiupfoldn)(s, SS_UNBOUNDED);
}

SS_T* SS_P(asciiupfoldmn)(malloc_i* ma, const SS_T* s, size_t len)
{
    SS_T* dest = SS_P(cpymn)(ma, s, len);

    SS_P(asciiupfold)(dest);
    return dest;
}

SS_T* SS_P(asciiupfoldm)(malloc_i* ma, const SS_T* s)
{
    return SS_P(asciiupfoldmn)(ma, s, SS_UNBOUNDED);
}

/* Folds into dest; terminates behind the last character that fit whole. */
size_t SS_P(u5foldn)(SS_T* dest, size_t size, const SS_T* src, size_t src_len)
{
    size_t i = 0, len = 0, valid_len = 0;
    uint32_t cp;

    if (!dest)
        size = 0;
    while ((cp = SS_PULL_U5(src, src_len, i, &i)) != 0) {
        SS_PUSH(dest, size, &len, cp);
        if (len < size)
            valid_len = len;
    }
    if (size > 0) {
        QP_ASSERT(valid_len < size);
        dest[valid_len] = 0;
    }
    return len;
}

size_t SS_P(u5fold)(SS_T* dest, size_t size, const SS_T* src)
{
    return SS_P(u5foldn)(dest, size, src, SS_UNBOUNDED);
}

SS_T* SS_P(u5foldmn)(malloc_i* ma, const SS_T* src, size_t src_len)
{
    size_t len = SS_P(u5foldn)(0, 0, src, src_len);
    SS_T* dest = ss_alloc_units(ma, len);

    if (dest)
        QP_ASSERT(SS_P(u5foldn)(dest, len + 1, src, src_len) == len);
    return dest;
}

SS_T* SS_P(u5foldm)(malloc_i* ma, const SS_T* src)
{
    return SS_P(u5foldmn)(ma, src, SS_UNBOUNDED);
}

/* ---- parts ---------------------------------------------------------------------- */

const SS_T* SS_P(subcn)(const SS_T* s, size_t len, size_t index)
{
    size_t n = SS_P(lenn)(s, len);

    return SS_P(fix)(s) + (index < n ? index : n);
}

const SS_T* SS_P(subc)(const SS_T* s, size_t index)
{
    return SS_P(subcn)(s, SS_UNBOUNDED, index);
}

/* The longest tail of at most max_tail_len units that starts on a character
 * boundary and not with a combining mark. */
size_t SS_P(u5tailcn)(size_t max_tail_len, const SS_T* src, size_t max_src_len)
{
    size_t total = SS_P(lenn)(src, max_src_len), i = 0, next;

    for (; i < total; i = next) {
        uint32_t cp = SS_PULL(src, total, i, &next);
        if (total - i <= max_tail_len && !ssu5iscombining(cp))
            return total - i;
    }
    return 0;
}

const SS_T* SS_P(u5tailc)(size_t max_tail_len, const SS_T* src)
{
    size_t total = SS_P(len)(src);

    return SS_P(fix)(src) + total - SS_P(u5tailcn)(max_tail_len, src, total);
}

/* The value of name in a null-terminated "name=value" array; a leading "="
 * belongs to the name. */
const SS_T* SS_P(env)(const SS_T* const* envp, const SS_T* name)
{
    size_t name_len = SS_P(len)(name);

    for (; envp && *envp; envp++) {
        const SS_T* eq = (*envp)[0] ? SS_P(chrc)(*envp + 1, '=') : 0;
        if (eq && (size_t)(eq - *envp) == name_len && SS_P(cmpb)(*envp, name_len, name, name_len) == 0)
            return eq + 1;
    }
    return 0;
}
