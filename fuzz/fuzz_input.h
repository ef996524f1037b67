// fuzz/fuzz_input.h: what the fuzz targets share: control values taken from the front of an
// input, and the CRC repair that lets mutated containers reach the code behind their checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "nemf/nemf_format.h"
#include "platform/crc32.h"

// The fuzzer's bytes, consumed from the front. Past the end every value reads as 0.
struct fuzz_input {
    std::span<const uint8_t> rest;

    uint8_t take_u8()
    {
        if (rest.empty())
            return 0;
        uint8_t v = rest[0];
        rest = rest.subspan(1);
        return v;
    }
    uint32_t take_u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t{take_u8()} << (8 * i);
        return v;
    }
    // The text up to the first NUL (or the end); the NUL is consumed too.
    std::string take_text()
    {
        const void* nul = std::memchr(rest.data(), '\0', rest.size());
        size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - rest.data()) : rest.size();
        std::string text(reinterpret_cast<const char*>(rest.data()), n);
        rest = rest.subspan(nul ? n + 1 : n);
        return text;
    }
};

// A small deterministic generator for chunk sizes and choices, seeded from the input.
struct fuzz_rng {
    uint32_t state;
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

inline uint32_t fuzz_get_u32(std::span<const uint8_t> b, size_t off)
{
    uint32_t v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}
inline uint16_t fuzz_get_u16(std::span<const uint8_t> b, size_t off)
{
    uint16_t v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}
inline void fuzz_put_u32(std::span<uint8_t> b, size_t off, uint32_t v) { std::memcpy(b.data() + off, &v, sizeof v); }

// True when a fixed-size text field holds its terminating NUL.
template <size_t N>
bool fuzz_terminated(const char (&field)[N])
{
    return std::memchr(field, '\0', N) != nullptr;
}

// CRC of b[from, to), 0 when the range is empty.
inline uint32_t fuzz_crc(std::span<const uint8_t> b, size_t from, size_t to)
{
    return to > from ? crc32_calc(0, b.data() + from, static_cast<uint32_t>(to - from)) : 0;
}

// Rewrites the CRCs of a NEMF file in place wherever the bytes they cover are present: each
// content part's body_crc and hdr_crc (also of a part whose body is cut off), then the file
// body_crc and hdr_crc. Lengths are left as they are, however absurd.
inline void fuzz_fix_crcs(std::span<uint8_t> file)
{
    crc32_init();
    const size_t size = file.size();
    if (size < NEMF_BODY_OFFSET)
        return;
    const size_t hdr = NEMF_ID_SIZE;
    const size_t hdr_length = fuzz_get_u16(file, hdr + offsetof(nemf_header, hdr_length));
    const size_t body_length = fuzz_get_u32(file, hdr + offsetof(nemf_header, body_length));
    uint64_t off = hdr + hdr_length;
    for (int i = 0; i <= NEMF_MAX_CONTENT_PARTS && off + sizeof(nemf_content_header) <= size; ++i) {
        const uint64_t hl = fuzz_get_u16(file, off + offsetof(nemf_content_header, hdr_length));
        const uint64_t bl = fuzz_get_u32(file, off + offsetof(nemf_content_header, body_length));
        if (hl < sizeof(nemf_content_header) || off + hl > size)
            break;
        if (off + hl + bl <= size)
            fuzz_put_u32(file, off + offsetof(nemf_content_header, body_crc), fuzz_crc(file, off + hl, off + hl + bl));
        fuzz_put_u32(file, off, fuzz_crc(file, off + NEMF_CRC_START, off + hl));
        off += hl + nemf_padded_length(bl);
    }
    if (hdr_length < NEMF_HEADER_MIN_LENGTH || hdr + hdr_length > size)
        return;
    if (hdr + hdr_length + body_length <= size)
        fuzz_put_u32(file, hdr + offsetof(nemf_header, body_crc),
                     fuzz_crc(file, hdr + hdr_length, hdr + hdr_length + body_length));
    fuzz_put_u32(file, hdr, fuzz_crc(file, hdr + NEMF_CRC_START, hdr + hdr_length));
}

// Stops the process the way a sanitizer report would, so the fuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                 \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, \
                         #cond);                                                         \
            std::abort();                                                                \
        }                                                                                \
    } while (0)
