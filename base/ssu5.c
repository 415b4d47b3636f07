/*
 * ssu5.c - Unicode simple case folding (the u5 sub-family): folds a code
 * point to its small letter through the generated tables of ssu5tables.c.
 *
 * Below 0x800 the folding is one access to ssu5map11 (cp + value - 32; 255
 * sends the lookup to the 16-bit table). The rest of the basic plane is a
 * binary search over the 512 slots of ssu5map16 (481 pairs, the slots behind
 * them read as 0xFFFF), the other planes over the 64 slots of ssu5map32.
 * A code point not found folds to itself.
 *
 * The first folding runs ssu5_validate_tables. The flag is read and set
 * with relaxed atomics: two threads racing on first use both run the same
 * read-only check, which is harmless.
 */
#include "sstring.h"

#define SSU5_UNCHANGED 32
#define SSU5_IN_MAP16  255

static int ssu5_tables_validated;

static uint32_t ssu5_lookup16(uint32_t cp)
{
    size_t slot = 0, step;

    /* 9 probes over 512 slots; the slots behind the table read as 0xFFFF
     * (a padding pair, which folds 0xFFFF to itself). */
    for (step = 256; step > 0; step >>= 1) {
        size_t probe = slot + step;
        uint32_t from = probe < SSU5_MAP16_ENTRIES ? ssu5map16[probe][0] : 0xFFFF;
        if (from <= cp)
            slot = probe;
    }
    return slot < SSU5_MAP16_ENTRIES && ssu5map16[slot][0] == cp ? ssu5map16[slot][1] : cp;
}

static uint32_t ssu5_lookup32(uint32_t cp)
{
    size_t slot = 0, step;

    for (step = 32; step > 0; step >>= 1) {
        size_t probe = slot + step;
        uint32_t from = probe < SSU5_MAP32_ENTRIES ? ssu5map32[probe][0] : 0xFFFFFFFFu;
        if (from <= cp)
            slot = probe;
    }
    return slot < SSU5_MAP32_ENTRIES && ssu5map32[slot][0] == cp ? ssu5map32[slot][1] : cp;
}

static uint32_t ssu5_fold_(uint32_t cp)
{
    if (cp < 0x800) {
        uint32_t value = ssu5map11[cp];
        return value == SSU5_IN_MAP16 ? ssu5_lookup16(cp) : cp + value - SSU5_UNCHANGED;
    }
    return cp < 0x10000 ? ssu5_lookup16(cp) : ssu5_lookup32(cp);
}

uint32_t ssu5fold32(uint32_t cp)
{
    if (!__atomic_load_n(&ssu5_tables_validated, __ATOMIC_RELAXED))
        ssu5_validate_tables();
    return ssu5_fold_(cp);
}

uint16_t ssu5fold16(uint16_t cp)
{
    return (uint16_t)ssu5fold32(cp);
}

uint32_t ss8pullu5foldchar(const char* text, size_t len, size_t index, size_t* next)
{
    return ssu5fold32(ss8pullchar(text, len, index, next));
}

uint32_t sswpullu5foldchar(const wchar_t* text, size_t len, size_t index, size_t* next)
{
    return ssu5fold32(sswpullchar(text, len, index, next));
}

/* ---- self-test ----------------------------------------------------------- */

static void ssu5_validate_map16_marks(void)
{
    uint32_t cp;

    for (cp = 0; cp < 0x800; cp++)
        if (ssu5map11[cp] == SSU5_IN_MAP16)
            QP_ASSERT(ssu5_lookup16(cp) != cp);
}

/* Every code point up to the last pair folds as the reference says, and to
 * itself when the reference has no pair for it. */
static void ssu5_validate_reference(void)
{
    uint32_t cp = 0;
    size_t pair;

    for (pair = 0; pair < SSU5_FOLD_PAIRS; pair++) {
        for (; cp < ssu5_fold_table[pair][0]; cp++)
            QP_ASSERT(ssu5_fold_(cp) == cp);
        QP_ASSERT(ssu5_fold_(cp) == ssu5_fold_table[pair][1]);
        cp++;
    }
}

static void ssu5_validate_spots(void)
{
    QP_ASSERT(ssu5_fold_(0x41) == 0x61);
    QP_ASSERT(ssu5_fold_(0x100) == 0x101);
    QP_ASSERT(ssu5_fold_(0xB5) == 0x3BC);
    QP_ASSERT(ssu5_fold_(0x17F) == 0x73);
    QP_ASSERT(ssu5_fold_(0x178) == 0xFF);
    QP_ASSERT(ssu5_fold_(0x10A0) == 0x2D00);
    QP_ASSERT(ssu5_fold_(0x1A6) == 0x280);
    QP_ASSERT(ssu5_fold_(0x10427) == 0x1044F);
    QP_ASSERT(ssu5_fold_(0xFF3A) == 0xFF5A);
    QP_ASSERT(ssu5_fold_(0x12000) == 0x12000);
    QP_ASSERT(ssu5_fold_(0xFFFE) == 0xFFFE);
    QP_ASSERT(ssu5_fold_(0xFFFF) == 0xFFFF);
    QP_ASSERT(ssu5_fold_(SS_INVALID) == SS_INVALID);
}

/* The 31-bit scheme: 2- to 6-byte sequences at the edges of each length. */
static void ssu5_validate_push(void)
{
    static const uint32_t samples[5] = {0x7FF, 0xFFFF, 0x1FFFFF, 0x3FFFFFF, 0x7FFFFFFE};
    char buf[8];
    size_t i;

    for (i = 0; i < 5; i++) {
        size_t len = 0;
        ss8pushchar(buf, sizeof buf, &len, samples[i]);
        QP_ASSERT(len == i + 2);
        len = 0;
        ss8pushchar(buf, sizeof buf, &len, samples[i] + 1);
        QP_ASSERT(i == 4 ? len == 1 && (unsigned char)buf[0] == 0xFF : len == i + 3);
    }
}

/* Russian and Japanese sample texts survive UTF-8 -> wide -> UTF-8. */
static void ssu5_validate_round_trip(void)
{
    static const char* const samples[2] = {
        "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82, \xd0\xbc\xd0\xb8\xd1\x80",
        "\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf\xe4\xb8\x96\xe7\x95\x8c"};
    wchar_t wide[24];
    char back[48];
    size_t i;

    for (i = 0; i < 2; i++) {
        size_t wide_len = sswconv8n(wide, 24, samples[i], SS_UNBOUNDED);
        QP_ASSERT(wide_len < 24);
        QP_ASSERT(ss8convwn(back, sizeof back, wide, SS_UNBOUNDED) == ss8len(samples[i]));
        QP_ASSERT(ss8cmp(back, samples[i]) == 0);
    }
    QP_ASSERT(wide[0] == 0x3053 && wide[6] == 0x754C);
}

void ssu5_validate_tables(void)
{
    ssu5_validate_map16_marks();
    ssu5_validate_reference();
    ssu5_validate_spots();
    ssu5_validate_push();
    ssu5_validate_round_trip();
    __atomic_store_n(&ssu5_tables_validated, 1, __ATOMIC_RELAXED);
}
