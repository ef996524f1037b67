#include "platform/crc32.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

static_assert(std::endian::native == std::endian::little, "the table loops read words little-endian");

namespace {

// Braids: the table path runs crc32_braids independent CRCs over interleaved machine words
// (word i goes to braid i mod crc32_braids), so that the table look-ups of one word need not
// wait for those of the word before. Each braid's register is carried forward to its next
// word, crc32_braids words further on: the table for the byte at position k of a word gives
// that byte's contribution after the rest of its word and the words of the other braids.
using crc32_word = uintptr_t;              // 8 bytes on 64-bit processors, 4 on the board
constexpr int crc32_word_bytes = sizeof(crc32_word);
constexpr int crc32_braids = 5;
constexpr uint32_t crc32_block = crc32_braids * crc32_word_bytes;

constexpr std::array<std::array<uint32_t, 256>, crc32_word_bytes> crc32_make_braid_tables()
{
    std::array<std::array<uint32_t, 256>, crc32_word_bytes> t{};
    for (int k = 0; k < crc32_word_bytes; ++k) {
        const int zeros = (crc32_braids - 1) * crc32_word_bytes + (crc32_word_bytes - 1 - k);
        for (int i = 0; i < 256; ++i) {
            uint32_t r = crc32_table[i];
            for (int z = 0; z < zeros; ++z)
                r = crc32_table[r & 0xFFu] ^ (r >> 8);
            t[k][i] = r;
        }
    }
    return t;
}
constexpr auto crc32_braid_tables = crc32_make_braid_tables();

crc32_word crc32_load(const uint8_t* p)
{
    crc32_word w;
    std::memcpy(&w, p, sizeof w);   // copied, never read through a cast: any alignment works
    return w;
}

// The register after one word (with the register already folded into it) through the slice
// tables: its first byte passes through table crc32_word_bytes - 1, its last through table 0.
uint32_t crc32_fold_word(crc32_word w)
{
    const auto& t = crc32_slice_tables;
    uint32_t r = 0;
    for (int h = 0; h < crc32_word_bytes / 4; ++h) {   // in 32-bit halves: cheaper byte picking
        const uint32_t q = static_cast<uint32_t>(w >> (32 * h));
        const int k = crc32_word_bytes - 1 - 4 * h;
        r ^= t[k][q & 0xFFu] ^ t[k - 1][(q >> 8) & 0xFFu] ^ t[k - 2][(q >> 16) & 0xFFu] ^ t[k - 3][q >> 24];
    }
    return r;
}

uint32_t crc32_braid_word(crc32_word w)
{
    const auto& t = crc32_braid_tables;
    uint32_t r = 0;
    for (int h = 0; h < crc32_word_bytes / 4; ++h) {
        const uint32_t q = static_cast<uint32_t>(w >> (32 * h));
        const int k = 4 * h;
        r ^= t[k][q & 0xFFu] ^ t[k + 1][(q >> 8) & 0xFFu] ^ t[k + 2][(q >> 16) & 0xFFu] ^ t[k + 3][q >> 24];
    }
    return r;
}

// The register after `len` bytes, without the complement on entry and exit.
uint32_t crc32_by_tables(uint32_t r, const uint8_t* p, uint32_t len)
{
    // Braids while at least one block is left over for joining them; then word by word.
    if (len >= 2 * crc32_block) {
        uint32_t blocks = len / crc32_block;
        len -= blocks * crc32_block;
        uint32_t c[crc32_braids] = {r};
        while (--blocks > 0) {
            crc32_word w[crc32_braids];
            for (int b = 0; b < crc32_braids; ++b)
                w[b] = crc32_load(p + b * crc32_word_bytes) ^ c[b];
            for (int b = 0; b < crc32_braids; ++b)
                c[b] = crc32_braid_word(w[b]);
            p += crc32_block;
        }
        // The last block takes in each braid's register and joins the braids into one.
        r = 0;
        for (int b = 0; b < crc32_braids; ++b)
            r = crc32_fold_word(crc32_load(p + b * crc32_word_bytes) ^ c[b] ^ r);
        p += crc32_block;
    }
    while (len >= crc32_word_bytes) {
        r = crc32_fold_word(crc32_load(p) ^ r);
        p += crc32_word_bytes;
        len -= crc32_word_bytes;
    }
    const auto& t0 = crc32_table;
    while (len-- > 0)
        r = t0[(r ^ *p++) & 0xFFu] ^ (r >> 8);
    return r;
}

#if defined(__x86_64__)

// Carry-less multiplication folds 64 bytes a round into four 128-bit remainders, then those
// into one; what is left is 16 bytes whose register from 0 equals the register after the
// folded bytes, and the tables finish it. The constants are x^(n+32) and x^(n-32) mod P,
// bit-reflected, for the fold distances n = 512 (four blocks) and n = 128 (one block).
constexpr uint64_t crc32_fold512_lo = 0x154442BD4u;
constexpr uint64_t crc32_fold512_hi = 0x1C6E41596u;
constexpr uint64_t crc32_fold128_lo = 0x1751997D0u;
constexpr uint64_t crc32_fold128_hi = 0x0CCAA009Eu;
constexpr uint32_t crc32_clmul_min = 64;   // shorter buffers are not worth the set-up

__attribute__((target("pclmul,sse2"))) inline __m128i crc32_fold(__m128i acc, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11)), next);
}

__attribute__((target("pclmul,sse2"))) uint32_t crc32_clmul(uint32_t r, const uint8_t* p, uint32_t len)
{
    auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
    __m128i a0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(r)));
    __m128i a1 = load(p + 16);
    __m128i a2 = load(p + 32);
    __m128i a3 = load(p + 48);
    p += 64;
    len -= 64;
    const __m128i k512 = _mm_set_epi64x(static_cast<long long>(crc32_fold512_hi), static_cast<long long>(crc32_fold512_lo));
    while (len >= 64) {
        a0 = crc32_fold(a0, k512, load(p));
        a1 = crc32_fold(a1, k512, load(p + 16));
        a2 = crc32_fold(a2, k512, load(p + 32));
        a3 = crc32_fold(a3, k512, load(p + 48));
        p += 64;
        len -= 64;
    }
    const __m128i k128 = _mm_set_epi64x(static_cast<long long>(crc32_fold128_hi), static_cast<long long>(crc32_fold128_lo));
    __m128i acc = crc32_fold(a0, k128, a1);
    acc = crc32_fold(acc, k128, a2);
    acc = crc32_fold(acc, k128, a3);
    while (len >= 16) {
        acc = crc32_fold(acc, k128, load(p));
        p += 16;
        len -= 16;
    }
    uint8_t rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), acc);
    return crc32_by_tables(crc32_by_tables(0, rest, sizeof rest), p, len);
}

// Chosen once when the program starts: every x86-64 processor of the last fifteen years has
// the instruction, but the tables keep working where it is missing.
const bool crc32_have_clmul = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") != 0;
}();

#endif

}  // namespace

void crc32_init()
{
}

uint32_t crc32_calc(uint32_t crc, const void* data, uint32_t len)
{
    if (len == 0)
        return crc;
    const auto* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__)
    if (len >= crc32_clmul_min && crc32_have_clmul)
        return ~crc32_clmul(~crc, p, len);
#endif
    return ~crc32_by_tables(~crc, p, len);
}

uint32_t crc32_calc_tables(uint32_t crc, const void* data, uint32_t len)
{
    if (len == 0)
        return crc;
    return ~crc32_by_tables(~crc, static_cast<const uint8_t*>(data), len);
}
