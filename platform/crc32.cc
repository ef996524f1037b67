#include "platform/crc32.h"

void crc32_init()
{
}

uint32_t crc32_calc(uint32_t crc, const void* data, uint32_t len)
{
    if (len == 0)
        return crc;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t r = ~crc;
    for (uint32_t i = 0; i < len; ++i)
        r = crc32_table[(r ^ p[i]) & 0xFFu] ^ (r >> 8);
    return ~r;
}
