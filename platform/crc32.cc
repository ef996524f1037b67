#include "platform/crc32.h"

#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "the sliced loop reads words little-endian");

void crc32_init()
{
}

uint32_t crc32_calc(uint32_t crc, const void* data, uint32_t len)
{
    if (len == 0)
        return crc;
    const auto* p = static_cast<const uint8_t*>(data);
    const auto& t = crc32_slice_tables;
    uint32_t r = ~crc;
    // Sixteen bytes a round; words are copied, never read through a cast, so any alignment works.
    while (len >= 16) {
        uint32_t w[4];
        std::memcpy(w, p, sizeof w);
        uint32_t a = w[0] ^ r;
        r = t[15][a & 0xFFu] ^ t[14][(a >> 8) & 0xFFu] ^ t[13][(a >> 16) & 0xFFu] ^ t[12][a >> 24] ^
            t[11][w[1] & 0xFFu] ^ t[10][(w[1] >> 8) & 0xFFu] ^ t[9][(w[1] >> 16) & 0xFFu] ^ t[8][w[1] >> 24] ^
            t[7][w[2] & 0xFFu] ^ t[6][(w[2] >> 8) & 0xFFu] ^ t[5][(w[2] >> 16) & 0xFFu] ^ t[4][w[2] >> 24] ^
            t[3][w[3] & 0xFFu] ^ t[2][(w[3] >> 8) & 0xFFu] ^ t[1][(w[3] >> 16) & 0xFFu] ^ t[0][w[3] >> 24];
        p += 16;
        len -= 16;
    }
    while (len-- > 0)
        r = t[0][(r ^ *p++) & 0xFFu] ^ (r >> 8);
    return ~r;
}
