/*
 * sstring.h - sized strings: the string library of the base runtime, the same
 * in user mode and in the kernel build.
 *
 * A string is a pointer to code units ended by a zero unit; a null pointer is
 * the empty string everywhere. Families by code unit: ss8 (UTF-8 bytes), ssw
 * (wchar_t, one 32-bit unit per code point), ss16 (UTF-16), ss32 (UTF-32),
 * ssa (the locale's multibyte encoding, user mode only). Characters are
 * unsigned 32-bit code points; pulling past the end gives 0, an invalid
 * sequence gives SS_INVALID and consumes one unit.
 *
 * Name grammar: ss + encoding + [ascii|u5] + operation + suffixes.
 *   n      every string argument has a maximum length (SS_UNBOUNDED = none);
 *          an output buffer is (dest, size in units including terminator)
 *   n1/n2  only the first / only the second string argument is bounded; the
 *          other one is terminated (an unbounded output: the caller guarantees
 *          room)
 *   i      case-insensitive: ascii folds a-z to A-Z, u5 applies Unicode simple
 *          case folding (to small letters)
 *   c      returns a constant pointer into the argument
 *   m      the result is allocated from a malloc_i (zero-filled; null when
 *          the allocator fails); free heap results with free_dh
 *   r      from the other end (rchr, rstr) or at the front (rcat)
 *   b      an exact count of units, zeros included, no terminator (convb)
 *   v      a null-terminated array of strings
 * Outputs store what fits, terminate a non-empty destination and return the
 * length (in units, without terminator) the complete result needs, so one
 * call measures, cuts and sizes an allocation. Copy, move and concatenate
 * return nothing. Nothing fails on bad text.
 *
 * All functions are reentrant; the tables are read-only.
 */
#ifndef SSTRING_H
#define SSTRING_H

#include "qpbase.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SS_UNBOUNDED ((size_t)-1)
#define SS_INVALID   0xFFFFFFFFu

/* ---- characters ----------------------------------------------------- */

/* pull: (text, length bound, index, out next index) -> code point; 0 at or
 * past the bound (next = index). push: stores the character's units at
 * positions below size and always advances *len by its full length. */
uint32_t ss8pullchar(const char* text, size_t len, size_t index, size_t* next);
void ss8pushchar(char* dest, size_t size, size_t* len, uint32_t cp);
/* Pulls from a terminated text and moves *text behind the character (not
 * past the terminator). */
uint32_t ss8cpullchar(const char** text);
uint32_t ss8pullasciiupfoldchar(const char* text, size_t len, size_t index, size_t* next);
uint32_t ss8cpullasciiupfoldchar(const char** text);
uint32_t ss8pullu5foldchar(const char* text, size_t len, size_t index, size_t* next);
/* Unit-wise pull for the ASCII case-insensitive comparisons: one byte, a-z
 * folded to A-Z (bytes 0x80 and above order after every ASCII byte). */
uint32_t ss8pullasciiupfoldbyte(const char* text, size_t len, size_t index, size_t* next);

uint32_t sswpullchar(const wchar_t* text, size_t len, size_t index, size_t* next);
void sswpushchar(wchar_t* dest, size_t size, size_t* len, uint32_t cp);
uint32_t sswcpullchar(const wchar_t** text);
uint32_t sswpullasciiupfoldchar(const wchar_t* text, size_t len, size_t index, size_t* next);
uint32_t sswpullu5foldchar(const wchar_t* text, size_t len, size_t index, size_t* next);

uint32_t ss16pullchar(const uint16_t* text, size_t len, size_t index, size_t* next);
void ss16pushchar(uint16_t* dest, size_t size, size_t* len, uint32_t cp);
uint32_t ss32pullchar(const uint32_t* text, size_t len, size_t index, size_t* next);
void ss32pushchar(uint32_t* dest, size_t size, size_t* len, uint32_t cp);

/* Character tests on code points (shared by every family). */
int ss8isdigit(uint32_t cp);
int ss8ishexdigit(uint32_t cp);
int ss8isspace(uint32_t cp);
uint32_t ss8asciilower(uint32_t cp);
uint32_t ss8asciiupper(uint32_t cp);
int ss8asciiisalpha(uint32_t cp);
int ss8asciiisalnum(uint32_t cp);
int ssu5iscombining(uint32_t cp);
#define sswisdigit      ss8isdigit
#define sswishexdigit   ss8ishexdigit
#define sswisspace      ss8isspace
#define sswasciilower   ss8asciilower
#define sswasciiupper   ss8asciiupper
#define sswasciiisalpha ss8asciiisalpha
#define sswasciiisalnum ss8asciiisalnum
#define ss16isdigit     ss8isdigit
#define ss16isspace     ss8isspace
#define ss32isdigit     ss8isdigit
#define ss32isspace     ss8isspace

/* ---- Unicode simple case folding (u5) --------------------------------- */

#define SSU5_MAP16_ENTRIES 481
#define SSU5_MAP32_ENTRIES 49
#define SSU5_FOLD_PAIRS    934
extern const uint8_t ssu5map11[2048];
extern const uint16_t ssu5map16[SSU5_MAP16_ENTRIES][2];
extern const uint32_t ssu5map32[SSU5_MAP32_ENTRIES][2];
extern const uint32_t ssu5_fold_table[SSU5_FOLD_PAIRS][2];

/* Folding of one code point; the first call runs ssu5_validate_tables. */
uint32_t ssu5fold32(uint32_t cp);
uint16_t ssu5fold16(uint16_t cp);
/* Self-test of the tables and the UTF-8/wide primitives; stops the program
 * (or the kernel) with an assertion when anything disagrees. */
void ssu5_validate_tables(void);

/* ---- constants ---------------------------------------------------------- */

extern const char ss8const_empty[], ss8const_zero[], ss8const_zerox[];
extern const char ss8const_false[], ss8const_true[], ss8const_yes[], ss8const_no[];
extern const char ss8const_on[], ss8const_off[], ss8const_enable[], ss8const_disable[];
extern const char ss8const_enabled[], ss8const_disabled[];
extern const char ss8const_y[], ss8const_n[], ss8const_t[], ss8const_f[], ss8const_e[],
    ss8const_d[];
extern const char ss8const_quot[], ss8const_amp[], ss8const_apos[], ss8const_lt[], ss8const_gt[];
/* Digit tables: 16 digits, then the radix prefix "0x" / "0X". */
extern const char ss8const_hexlower[19], ss8const_hexupper[19];
extern const char* const ss8const_months[12];

extern const wchar_t sswconst_empty[], sswconst_zero[], sswconst_zerox[];
extern const wchar_t sswconst_false[], sswconst_true[], sswconst_yes[], sswconst_no[];
extern const wchar_t sswconst_on[], sswconst_off[], sswconst_enable[], sswconst_disable[];
extern const wchar_t sswconst_enabled[], sswconst_disabled[];
extern const wchar_t sswconst_y[], sswconst_n[], sswconst_t[], sswconst_f[], sswconst_e[],
    sswconst_d[];
extern const wchar_t sswconst_quot[], sswconst_amp[], sswconst_apos[], sswconst_lt[],
    sswconst_gt[];
extern const wchar_t* const sswconst_months[12];

/* ---- the text families (ss8 and ssw have the same set) ----------------- */

/* Declares one family's operations for prefix P (ss8, ssw) and unit type T. */
#define SSTRING_FAMILY_DECLS(P, T)                                                                 \
    /* length and state */                                                                         \
    size_t P##len(const T* s);                                                                     \
    size_t P##lenn(const T* s, size_t max_len);                                                    \
    const T* P##fix(const T* s);                                                                   \
    int P##isempty(const T* s);                                                                    \
    int P##isfull(const T* s, size_t size);                                                        \
    int P##isvalid(const T* s);                                                                    \
    int P##isvalidn(const T* s, size_t len);                                                       \
    int P##isallascii(const T* s);                                                                 \
    int P##isallasciin(const T* s, size_t len);                                                    \
    /* copy and fill */                                                                            \
    void P##cpy(T* dest, const T* src);                                                            \
    void P##cpyn(T* dest, size_t size, const T* src, size_t src_len);                              \
    void P##cpyn1(T* dest, size_t size, const T* src);                                             \
    void P##cpyn2(T* dest, const T* src, size_t src_len);                                          \
    void P##move(T* dest, const T* src, size_t count);                                             \
    void P##setb(T* dest, uint32_t unit, size_t count);                                            \
    void P##zero(T* dest);                                                                         \
    void P##zeron(T* dest, size_t size);                                                           \
    void P##zerob(T* dest, size_t count);                                                          \
    /* concatenate: behind the text, or (rcat) in front of it */                                   \
    void P##cat(T* dest, const T* src);                                                            \
    void P##catn(T* dest, size_t size, const T* src, size_t src_len);                              \
    void P##catn1(T* dest, size_t size, const T* src);                                             \
    void P##catn2(T* dest, const T* src, size_t src_len);                                          \
    void P##rcat(T* dest, const T* src);                                                           \
    void P##rcatn(T* dest, size_t size, const T* src, size_t src_len);                             \
    void P##rcatn1(T* dest, size_t size, const T* src);                                            \
    void P##rcatn2(T* dest, const T* src, size_t src_len);                                         \
    T* P##catm(malloc_i* ma, const T* s1, const T* s2);                                            \
    T* P##catmn(malloc_i* ma, const T* s1, size_t len1, const T* s2, size_t len2);                 \
    T* P##catmn1(malloc_i* ma, const T* s1, size_t len1, const T* s2);                             \
    T* P##catmn2(malloc_i* ma, const T* s1, const T* s2, size_t len2);                             \
    /* allocate */                                                                                 \
    T* P##cpym(malloc_i* ma, const T* s);                                                          \
    T* P##cpymn(malloc_i* ma, const T* s, size_t len);                                             \
    T** P##vcpym(malloc_i* ma, const T* const* v);                                                 \
    T* P##alloc_dh(const char* file, int line, size_t len);                                        \
    T* P##dup_dh(const char* file, int line, const T* s);                                          \
    T* P##dupn_dh(const char* file, int line, const T* s, size_t len);                             \
    /* compare: -1, 0, 1 */                                                                        \
    SSTRING_CMP_DECLS(P, , T)                                                                      \
    SSTRING_CMP_DECLS(P, ascii, T)                                                                 \
    SSTRING_CMP_DECLS(P, u5, T)                                                                    \
    int P##cmpb(const T* a, size_t len_a, const T* b, size_t len_b);                               \
    int P##asciicmpbi(const T* a, size_t len_a, const T* b, size_t len_b);                         \
    int P##u5cmpbi(const T* a, size_t len_a, const T* b, size_t len_b);                            \
    /* search */                                                                                   \
    SSTRING_SEARCH_DECLS(P, , T)                                                                   \
    SSTRING_SEARCH_DECLS(P, ascii, T)                                                              \
    SSTRING_SEARCH_DECLS(P, u5, T)                                                                 \
    /* wildcards: (filter, name) -> 1 match / 0 */                                                 \
    SSTRING_GLOB_DECLS(P, , T)                                                                     \
    SSTRING_GLOB_DECLS(P, ascii, T)                                                                \
    SSTRING_GLOB_DECLS(P, u5, T)                                                                   \
    /* case: ascii in place, u5 into a buffer (the length may change) */                          \
    void P##asciiupfold(T* s);                                                                     \
    void P##asciiupfoldn(T* s, size_t len);                                                        \
    T* P##asciiupfoldm(malloc_i* ma, const T* s);                                                  \
    T* P##asciiupfoldmn(malloc_i* ma, const T* s, size_t len);                                     \
    size_t P##u5fold(T* dest, size_t size, const T* src);                                          \
    size_t P##u5foldn(T* dest, size_t size, const T* src, size_t src_len);                         \
    T* P##u5foldm(malloc_i* ma, const T* src);                                                     \
    T* P##u5foldmn(malloc_i* ma, const T* src, size_t src_len);                                    \
    /* parts */                                                                                    \
    const T* P##subc(const T* s, size_t index);                                                    \
    const T* P##subcn(const T* s, size_t len, size_t index);                                       \
    const T* P##u5tailc(size_t max_tail_len, const T* src);                                        \
    size_t P##u5tailcn(size_t max_tail_len, const T* src, size_t max_src_len);                     \
    const T* P##env(const T* const* envp, const T* name);

/* cmp (a, b); cmpn (a, len_a, b, len_b); cmpn1 (a, len_a, b); cmpn2 (a, b,
 * len_b); cmps* compare the first string cut to the prefix's length. The
 * case-insensitive forms carry i before n: ss8asciicmpin, ss8u5cmpsin2. */
#define SSTRING_CMP_DECLS(P, F, T)                                                                 \
    int SSN_(P, F, cmp, )(const T* a, const T* b);                                                \
    int SSN_(P, F, cmp, n)(const T* a, size_t len_a, const T* b, size_t len_b);                 \
    int SSN_(P, F, cmp, n1)(const T* a, size_t len_a, const T* b);                              \
    int SSN_(P, F, cmp, n2)(const T* a, const T* b, size_t len_b);                              \
    int SSN_(P, F, cmps, )(const T* s, const T* prefix);                                          \
    int SSN_(P, F, cmps, n)(const T* s, size_t len_s, const T* prefix, size_t len_prefix);      \
    int SSN_(P, F, cmps, n1)(const T* s, size_t len_s, const T* prefix);                        \
    int SSN_(P, F, cmps, n2)(const T* s, const T* prefix, size_t len_prefix);

/* chr (text, ch): first ch, or the end for 0; rchr: last byte equal to the
 * low byte of ch (units for ssw); str (text, sub): first start of sub, text
 * for an empty sub; rstr: last start, the end for an empty sub. */
#define SSTRING_SEARCH_DECLS(P, F, T)                                                              \
    T* SSN_(P, F, chr, )(const T* s, uint32_t ch);                                                \
    const T* SSN_(P, F, chrc, )(const T* s, uint32_t ch);                                         \
    T* SSN_(P, F, chr, n)(const T* s, size_t len, uint32_t ch);                                 \
    const T* SSN_(P, F, chrc, n)(const T* s, size_t len, uint32_t ch);                          \
    T* SSN_(P, F, rchr, )(const T* s, uint32_t ch);                                               \
    const T* SSN_(P, F, rchrc, )(const T* s, uint32_t ch);                                        \
    T* SSN_(P, F, rchr, n)(const T* s, size_t len, uint32_t ch);                                \
    const T* SSN_(P, F, rchrc, n)(const T* s, size_t len, uint32_t ch);                         \
    SSTRING_SUBSEARCH_DECLS(P, F, str, T)                                                          \
    SSTRING_SUBSEARCH_DECLS(P, F, rstr, T)

#define SSTRING_SUBSEARCH_DECLS(P, F, OP, T)                                                       \
    T* SSN_(P, F, OP, )(const T* s, const T* sub);                                                \
    const T* SSN_(P, F, OP##c, )(const T* s, const T* sub);                                       \
    T* SSN_(P, F, OP, n)(const T* s, size_t len, const T* sub, size_t sub_len);                 \
    const T* SSN_(P, F, OP##c, n)(const T* s, size_t len, const T* sub, size_t sub_len);        \
    T* SSN_(P, F, OP, n1)(const T* s, size_t len, const T* sub);                                \
    T* SSN_(P, F, OP, n2)(const T* s, const T* sub, size_t sub_len);

/* glob: * any run, ? one character. globdos: also < like *, > one character
 * or nothing at the end or the last dot, a double quote a dot or nothing at
 * the end. xglob: path rules (* and ? stay within a component, ** crosses,
 * ** before / may match no folder). xglob2: both arguments are xglob
 * patterns; 1 when they have a name in common. Backtracking keeps at most
 * 50 open choices; a pattern that needs more gives 0. */
#define SSTRING_GLOB_DECLS(P, F, T)                                                                \
    SSTRING_GLOB1_DECLS(P, F, glob, T)                                                             \
    SSTRING_GLOB1_DECLS(P, F, globdos, T)                                                          \
    SSTRING_GLOB1_DECLS(P, F, xglob, T)                                                            \
    SSTRING_GLOB1_DECLS(P, F, xglob2, T)

#define SSTRING_GLOB1_DECLS(P, F, OP, T)                                                           \
    int SSN_(P, F, OP, )(const T* filter, const T* name);                                         \
    int SSN_(P, F, OP, n)(const T* filter, size_t filter_len, const T* name, size_t name_len);  \
    int SSN_(P, F, OP, n1)(const T* filter, size_t filter_len, const T* name);                  \
    int SSN_(P, F, OP, n2)(const T* filter, const T* name, size_t name_len);

/* SSN_(P, F, op, suffix): the name of op in sub-family F ("", ascii, u5) of
 * family P: ss8cmpn, ss8asciicmpin, ss8u5globi. */
#define SSN_(P, F, OP, S)        SSN2_(P, F, OP, SSN_I_##F, S)
#define SSN2_(P, F, OP, I, S)    SSN3_(P, F, OP, I, S)
#define SSN3_(P, F, OP, I, S)    P##F##OP##I##S
#define SSN_I_
#define SSN_I_ascii i
#define SSN_I_u5    i

SSTRING_FAMILY_DECLS(ss8, char)
SSTRING_FAMILY_DECLS(ssw, wchar_t)

#define ss8alloc_d(len)     ss8alloc_dh(__FILE__, __LINE__, (len))
#define ss8dup_d(s)         ss8dup_dh(__FILE__, __LINE__, (s))
#define ss8dupn_d(s, len)   ss8dupn_dh(__FILE__, __LINE__, (s), (len))
#define sswalloc_d(len)     sswalloc_dh(__FILE__, __LINE__, (len))
#define sswdup_d(s)         sswdup_dh(__FILE__, __LINE__, (s))
#define sswdupn_d(s, len)   sswdupn_dh(__FILE__, __LINE__, (s), (len))

/* ---- conversions between encodings -------------------------------------- */

/* A conversion name reads destination first: ss<to>conv<from>, so ss8convwm
 * converts wide text into UTF-8 and sswconv8n UTF-8 into wide text.
 * (dest, size, src, src_len) -> full converted length. A
 * cut never leaves a partial sequence: the terminator goes behind the last
 * character that fit completely. The b forms convert exactly src_len units
 * (zeros included), store what fits and do not terminate. */
#define SSTRING_CONV_DECLS(F, TO, TF, TT)                                                          \
    size_t ss##TO##conv##F(TT* dest, const TF* src);                                               \
    size_t ss##TO##conv##F##n(TT* dest, size_t size, const TF* src, size_t src_len);               \
    size_t ss##TO##conv##F##n1(TT* dest, size_t size, const TF* src);                              \
    size_t ss##TO##conv##F##n2(TT* dest, const TF* src, size_t src_len);                           \
    size_t ss##TO##conv##F##len(const TF* src);                                                    \
    size_t ss##TO##conv##F##lenn(const TF* src, size_t src_len);                                   \
    TT* ss##TO##conv##F##m(malloc_i* ma, const TF* src);                                           \
    TT* ss##TO##conv##F##mn(malloc_i* ma, const TF* src, size_t src_len);                          \
    size_t ss##TO##convb##F(TT* dest, const TF* src, size_t count);                                \
    size_t ss##TO##convb##F##n(TT* dest, size_t size, const TF* src, size_t count);                \
    TT** ss##TO##vconv##F##m(malloc_i* ma, const TF* const* v);

SSTRING_CONV_DECLS(8, w, char, wchar_t)
SSTRING_CONV_DECLS(8, 16, char, uint16_t)
SSTRING_CONV_DECLS(8, 32, char, uint32_t)
SSTRING_CONV_DECLS(w, 8, wchar_t, char)
SSTRING_CONV_DECLS(16, 8, uint16_t, char)
SSTRING_CONV_DECLS(32, 8, uint32_t, char)

#ifndef __KERNEL__
/* Locale conversions (user mode), named like the others with 'a' for the
 * locale's multibyte form: ssaconvwn converts wide text into it, ssaconv8n
 * UTF-8 into it, sswconvan and ss8convan convert it into wide text and
 * UTF-8. They go through the C library's multibyte functions with a
 * conversion state; the process locale is taken from the environment on
 * first use. A character the locale cannot represent becomes the byte 0x7F;
 * an undecodable byte becomes SS_INVALID. */
size_t ssaconvwn(char* dest, size_t size, const wchar_t* src, size_t src_len);
size_t ssaconv8n(char* dest, size_t size, const char* src, size_t src_len);
size_t sswconvan(wchar_t* dest, size_t size, const char* src, size_t src_len);
size_t ss8convan(char* dest, size_t size, const char* src, size_t src_len);
char* ssaconvwm(malloc_i* ma, const wchar_t* src);
char* ssaconvwmn(malloc_i* ma, const wchar_t* src, size_t src_len);
char* ssaconv8m(malloc_i* ma, const char* src);
char* ssaconv8mn(malloc_i* ma, const char* src, size_t src_len);
wchar_t* sswconvam(malloc_i* ma, const char* src);
wchar_t* sswconvamn(malloc_i* ma, const char* src, size_t src_len);
char* ss8convam(malloc_i* ma, const char* src);
char* ss8convamn(malloc_i* ma, const char* src, size_t src_len);
#endif

/* ---- encodings --------------------------------------------------------- */

/* Base64 (RFC 4648, "=" padding): encode returns 4 x ceil(len / 3); decode
 * skips characters outside the alphabet, returns the byte count and does not
 * terminate. Hex: two small-letter digits per byte; decode pairs up digits
 * and skips everything else. The decode m forms store the byte count in
 * *out_len (may be null) and add a zero byte behind the data. */
size_t ss8base64encoden(char* dest, size_t size, const void* data, size_t len);
size_t ss8base64encode(char* dest, const void* data, size_t len);
char* ss8base64encodem(malloc_i* ma, const char* text);
char* ss8base64encodemn(malloc_i* ma, const void* data, size_t len);
size_t ss8base64decoden(void* dest, size_t size, const char* text, size_t text_len);
size_t ss8base64decoden1(void* dest, size_t size, const char* text);
size_t ss8base64decoden2(void* dest, const char* text, size_t text_len);
void* ss8base64decodem(malloc_i* ma, const char* text, size_t* out_len);
void* ss8base64decodemn(malloc_i* ma, const char* text, size_t text_len, size_t* out_len);

size_t ss8hexencoden(char* dest, size_t size, const void* data, size_t len);
size_t ss8hexencode(char* dest, const void* data, size_t len);
char* ss8hexencodem(malloc_i* ma, const void* data, size_t len);
size_t ss8hexdecoden(void* dest, size_t size, const char* text, size_t text_len);
size_t ss8hexdecoden1(void* dest, size_t size, const char* text);
size_t ss8hexdecoden2(void* dest, const char* text, size_t text_len);
void* ss8hexdecodem(malloc_i* ma, const char* text, size_t* out_len);
void* ss8hexdecodemn(malloc_i* ma, const char* text, size_t text_len, size_t* out_len);

/* Markup escaping: mlescin replaces " & ' < > by their entities, mlescout
 * turns the five entities (ASCII case ignored) back into characters. */
size_t ss8mlescinn(char* dest, size_t size, const char* src, size_t src_len);
size_t ss8mlescin(char* dest, const char* src);
size_t ss8mlescinn1(char* dest, size_t size, const char* src);
char* ss8mlescinm(malloc_i* ma, const char* src);
char* ss8mlescinmn(malloc_i* ma, const char* src, size_t src_len);
size_t ss8mlescoutn(char* dest, size_t size, const char* src, size_t src_len);
size_t ss8mlescout(char* dest, const char* src);
size_t ss8mlescoutn1(char* dest, size_t size, const char* src);
char* ss8mlescoutm(malloc_i* ma, const char* src);
char* ss8mlescoutmn(malloc_i* ma, const char* src, size_t src_len);

/* ---- command lines ------------------------------------------------------ */

/* Splits a command line into one allocation (null-terminated pointer array,
 * then the texts); a non-null program name becomes the first element. *argc
 * receives the count, 0 on failure. */
char** ss8toargvm(malloc_i* ma, int* argc, const char* program, const char* text);
char** ss8toargvmn(malloc_i* ma, int* argc, const char* program, const char* text, size_t len);
/* Encodes one argument so that the splitter gives it back; returns the
 * length and writes it (without terminator) when dest is non-null. first
 * marks the program name, which is encoded by the same rules. */
size_t ss8encodearg(const char* arg, int first, char* dest);
/* Joins the encoded arguments with single spaces; *rest_index (may be null)
 * receives where the second argument starts. */
char* ss8fromargvm(malloc_i* ma, size_t* rest_index, const char* const* argv);

/* ---- numbers and dates -------------------------------------------------- */

#define SSCONVINT_HEX       0x001
#define SSCONVINT_SIGNED    0x002
#define SSCONVINT_YESNO     0x004
#define SSCONVINT_TRUEFALSE 0x008
#define SSCONVINT_ONOFF     0x010
#define SSCONVINT_YN        0x020
#define SSCONVINT_TF        0x040
#define SSCONVINT_ENABLE    0x080
#define SSCONVINT_ENABLED   0x100
#define SSCONVINT_ED        0x200
#define SSCONVINT_WORDS                                                                            \
    (SSCONVINT_YESNO | SSCONVINT_TRUEFALSE | SSCONVINT_ONOFF | SSCONVINT_YN | SSCONVINT_TF |       \
     SSCONVINT_ENABLE | SSCONVINT_ENABLED | SSCONVINT_ED)

/* value is taken as unsigned unless SSCONVINT_SIGNED; min_digits is capped
 * at 27. Returns the full length. */
size_t ss8fromint(char* dest, size_t size, int64_t value, int flags, int min_digits);
char* ss8fromintm(malloc_i* ma, int64_t value, int flags, int min_digits);
/* Trims white space, reads a word (yes/no, on/off, ...) or a number; the
 * flags found go to *flags (may be null). */
int64_t ss8toint(const char* text, size_t len, int* flags);

/* "YYYY/MM/DD HH:MM:SS" and ".mmm" when msec is non-zero. */
size_t ss8fromtime(char* dest, size_t size, int year, int month, int day, int hour, int minute,
                   int second, int msec);
char* ss8fromtimem(malloc_i* ma, int year, int month, int day, int hour, int minute, int second,
                   int msec);
/* Tolerant date parser (defaults 2000-01-01 00:00:00.000, results clamped);
 * every out pointer may be null. Returns the number of fields read. */
int ss8totime(int* year, int* month, int* day, int* hour, int* minute, int* second, int* msec,
              const char* text);
/* Skips to the next digit and reads a number into *value: returns its digit
 * count (0 at the end). Moves *text behind the number. */
int ss8extractint(const char** text, int* value);
/* Skips to the next letter or digit and reads a full English month name or
 * its first three letters: returns 1 with *month 1-12, or 0 (text unmoved). */
int ss8extractmonth(const char** text, int* month);

/* ---- hash --------------------------------------------------------------- */

uint32_t ssdjb2hash(const char* text);
uint32_t ssdjb2hashn(const char* text, size_t len);

#ifdef __cplusplus
}
#endif

/* The format engine is part of the same library: sstring.h gives both. */
#include "ssformat.h"

/* ---- generic short names (user-mode programs: the default text is UTF-8) */
#ifndef __KERNEL__
static inline size_t sslen(const char* s) { return ss8len(s); }
static inline size_t sslenn(const char* s, size_t max_len) { return ss8lenn(s, max_len); }
static inline const char* ssfix(const char* s) { return ss8fix(s); }
static inline int ssisempty(const char* s) { return ss8isempty(s); }
static inline int sscmp(const char* a, const char* b) { return ss8cmp(a, b); }
static inline int sscmpn(const char* a, size_t la, const char* b, size_t lb)
{
    return ss8cmpn(a, la, b, lb);
}
static inline int sscmpi(const char* a, const char* b) { return ss8asciicmpi(a, b); }
static inline int sscmps(const char* s, const char* prefix) { return ss8cmps(s, prefix); }
static inline void sscpyn(char* dest, size_t size, const char* src, size_t src_len)
{
    ss8cpyn(dest, size, src, src_len);
}
static inline void sscpyn1(char* dest, size_t size, const char* src) { ss8cpyn1(dest, size, src); }
static inline void sscatn1(char* dest, size_t size, const char* src) { ss8catn1(dest, size, src); }
static inline char* sscpym(malloc_i* ma, const char* s) { return ss8cpym(ma, s); }
static inline char* sscpymn(malloc_i* ma, const char* s, size_t len)
{
    return ss8cpymn(ma, s, len);
}
static inline char* sscatm(malloc_i* ma, const char* a, const char* b) { return ss8catm(ma, a, b); }
static inline const char* sschrc(const char* s, uint32_t ch) { return ss8chrc(s, ch); }
static inline const char* ssrchrc(const char* s, uint32_t ch) { return ss8rchrc(s, ch); }
static inline const char* ssstrc(const char* s, const char* sub) { return ss8strc(s, sub); }
static inline int ssglob(const char* filter, const char* name) { return ss8glob(filter, name); }
static inline const char* ssenv(const char* const* envp, const char* name)
{
    return ss8env(envp, name);
}
#endif

#endif
