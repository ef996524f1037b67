// platform/crc32.h: the CRC-32 of IEEE 802.3 and zlib (reflected, polynomial 0xEDB88320,
// initial register and final XOR 0xFFFFFFFF). Every CRC of the system goes through here.
#pragma once

#include <array>
#include <cstdint>

// Entry i is the register after eight reflected shift rounds of the byte value i.
constexpr std::array<uint32_t, 256> crc32_make_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        t[i] = r;
    }
    return t;
}
inline constexpr std::array<uint32_t, 256> crc32_table = crc32_make_table();
static_assert(crc32_table[1] == 0x77073096u);
static_assert(crc32_table[255] == 0x2D02EF8Du);

// Tables for slicing: table k is the CRC of a byte followed by k zero bytes, so the bytes of a
// machine word are folded into the register with independent look-ups. Table 0 is the
// byte-wise table above.
constexpr std::array<std::array<uint32_t, 256>, 8> crc32_make_slice_tables()
{
    std::array<std::array<uint32_t, 256>, 8> t{};
    t[0] = crc32_make_table();
    for (int k = 1; k < 8; ++k)
        for (int i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    return t;
}
inline constexpr auto crc32_slice_tables = crc32_make_slice_tables();
static_assert(crc32_slice_tables[0] == crc32_table);

// Prepares the module for a run of calculations. The table is constant, so this does nothing;
// callers still call it where a run of calculations starts.
void crc32_init();

// Returns the CRC after `len` bytes of `data` have been added to the running value `crc`.
// A new CRC starts from 0; feeding the result of one piece into the next gives the CRC of the
// pieces joined. A length of 0 returns `crc` unchanged. On x86-64 processors with carry-less
// multiplication, buffers of 64 bytes and more take that path (chosen once at start-up);
// everywhere else, and for shorter buffers, tables (five interleaved word streams).
uint32_t crc32_calc(uint32_t crc, const void* data, uint32_t len);

// The same function through the tables only, whatever the processor offers: the path
// the board takes, kept callable so that tests and benchmarks on the host can reach it.
uint32_t crc32_calc_tables(uint32_t crc, const void* data, uint32_t len);
