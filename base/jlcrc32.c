/*
 * jlcrc32.c - the standard reflected CRC-32 (polynomial 0xEDB88320, initial
 * value and final XOR all ones; "123456789" checks as 0xCBF43926).
 *
 * The table is built on first use. Two threads may build it at the same
 * time: both write the same values, so the race is harmless. Crc32Update
 * takes and returns the finished value, so updates chain:
 * Crc32Update(Crc32Update(0, a, n), b, m) is the CRC of a followed by b.
 */
#include "qpbase.h"

static uint32_t crc32Table[256];
static unsigned char crc32Initialized;

void Crc32Init(void)
{
    uint32_t sum = 0;
    uint32_t n;
    if (__atomic_load_n(&crc32Initialized, __ATOMIC_ACQUIRE)) {
        return;
    }
    for (n = 0; n < 256; n++) {
        uint32_t c = n;
        int k;
        for (k = 0; k < 8; k++) {
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        crc32Table[n] = c;
        sum += c;
    }
    __atomic_store_n(&crc32Initialized, sum != 0, __ATOMIC_RELEASE);
    QP_ASSERT(Crc32Generate("123456789", 9) == 0xCBF43926u);
}

static uint32_t crc32_byte(uint32_t crc, unsigned char byte)
{
    return crc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

uint32_t Crc32Update(uint32_t crc, const void* data, size_t len)
{
    const unsigned char* bytes = (const unsigned char*)data;
    Crc32Init();
    crc = ~crc;
    for (; len >= 4; len -= 4, bytes += 4) {
        crc = crc32_byte(crc, bytes[0]);
        crc = crc32_byte(crc, bytes[1]);
        crc = crc32_byte(crc, bytes[2]);
        crc = crc32_byte(crc, bytes[3]);
    }
    for (; len; len--, bytes++) {
        crc = crc32_byte(crc, *bytes);
    }
    return ~crc;
}

uint32_t Crc32Generate(const void* data, size_t len)
{
    return Crc32Update(0, data, len);
}
