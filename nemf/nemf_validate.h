// nemf/nemf_validate.h: reading, validating and building NEMF containers.
//
// Validation takes the bytes of an item as a span that starts at the item and may run on
// past it; nothing is read beyond the span, so a length field that points past the bytes
// given is a result (NEMF_ERR_TRUNCATED), not a read. Validation never changes the image.
// The build operations write a container in a caller's buffer and finalize its CRCs in the
// order the format needs: each CRC covers fields written before it.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "nemf/nemf_format.h"

enum : int {                       // results of the nemf_validate_* operations
    NEMF_VALID = 1,
    NEMF_ERR_TRUNCATED = -1,       // the bytes given end before the item does
    NEMF_ERR_IDENTIFICATION = -3,  // not "FMEN" "NEMF" (nemf_validate_identification)
    NEMF_ERR_VERSION = -65,        // file header version is not 1
    NEMF_ERR_HDR_LENGTH = -128,    // hdr_length below 16 (file) or 32 (content part)
    NEMF_ERR_HDR_CRC = -129,       // hdr_crc differs from the CRC of header bytes 4 .. hdr_length-1
    NEMF_ERR_BODY_CRC = -192,      // body_crc differs from the CRC of the body
};

// ---- copying layouts in and out of image bytes (any alignment) ----

// Copies the layout at the front of `in`. 0, or -1 if `in` is shorter than the layout.
template <class T>
inline int nemf_copy_in(std::span<const uint8_t> in, T* out)
{
    static_assert(std::is_trivially_copyable_v<T>);
    if (in.size() < sizeof *out)
        return -1;
    std::memcpy(out, in.data(), sizeof *out);
    return 0;
}
// Copies the layout to the front of `out`. 0, or -1 if `out` is too short.
template <class T>
inline int nemf_copy_out(const T& in, std::span<uint8_t> out)
{
    static_assert(std::is_trivially_copyable_v<T>);
    if (out.size() < sizeof in)
        return -1;
    std::memcpy(out.data(), &in, sizeof in);
    return 0;
}
inline int nemf_copy_header(std::span<const uint8_t> in, nemf_header* out) { return nemf_copy_in(in, out); }
inline int nemf_copy_content_header(std::span<const uint8_t> in, nemf_content_header* out)
{
    return nemf_copy_in(in, out);
}

// The bytes of a whole content part: header and body, without padding. Empty when `part`
// is too short for its header's lengths.
std::span<const uint8_t> nemf_content_part_bytes(std::span<const uint8_t> part);

// ---- names ----

// The name as text: up to 16 bytes, ending at the first NUL.
inline std::string_view nemf_name(const char (&n)[NEMF_NAME_SIZE]) { return {n, strnlen(n, sizeof n)}; }
// Stores `src` NUL-padded (16 characters fill the field with no NUL). 0, or -1 if longer.
int nemf_name_set(char (&dst)[NEMF_NAME_SIZE], std::string_view src);
// Names compare over at most 16 bytes, up to the first NUL of either.
inline bool nemf_name_equal(const char (&a)[NEMF_NAME_SIZE], const char (&b)[NEMF_NAME_SIZE])
{
    return std::strncmp(a, b, NEMF_NAME_SIZE) == 0;
}

// ---- validation: NEMF_VALID or a negative NEMF_ERR_* ----
// A span whose data() is null is a broken precondition (qz_panic).

// The eight identification bytes at the front of `file`.
int nemf_validate_identification(std::span<const uint8_t> file);
// The file header at the front of `hdr` (file offset 8). Tests version, hdr_length >= 16,
// then hdr_crc, in that order.
int nemf_validate_header(std::span<const uint8_t> hdr);
// The file body (at file offset 8 + hdr_length) against the header's body_length and body_crc.
int nemf_validate_body(std::span<const uint8_t> hdr, std::span<const uint8_t> body);
// The content header at the front of `part`: hdr_length >= 32, then hdr_crc.
int nemf_validate_content_header(std::span<const uint8_t> part);
// A content body against the header's body_length and body_crc.
int nemf_validate_content_body(std::span<const uint8_t> part, std::span<const uint8_t> body);
// The header, and if it is good the body.
int nemf_validate_content_part(std::span<const uint8_t> part, std::span<const uint8_t> body);
// Shorthands taking the body from hdr_length bytes after the header's start.
int nemf_validate_body_from_hdr(std::span<const uint8_t> hdr);
int nemf_validate_content_body_from_hdr(std::span<const uint8_t> part);
int nemf_validate_content_part_from_hdr(std::span<const uint8_t> part);

// Validates a whole stored container at the front of `file`: identification, file header,
// file body, then every content part in order. NEMF_VALID, or the first failure. `parts`
// (may be null) receives the number of content parts walked; a part sequence that does not
// end exactly at the end of the body is NEMF_ERR_TRUNCATED, more than 20 parts too.
int nemf_validate_container(std::span<const uint8_t> file, int* parts);

// ---- building ----

// Bytes a content part occupies with its padding.
constexpr uint64_t nemf_part_size(uint32_t hdr_length, uint32_t body_length)
{
    return hdr_length + nemf_padded_length(body_length);
}

// Writes a content part at the front of `out`: a 32-byte header with `type_id`, `name`,
// hdr_length = 32 + ext.size() and body_length = body.size(), the header extension `ext`,
// the body, zero padding, and then its CRCs (nemf_finalize_content_part). The part size, or
// -1 if `out` is too short, the name longer than 16 or a length out of range.
int nemf_part_write(std::span<uint8_t> out, uint16_t type_id, std::string_view name,
                    std::span<const uint8_t> ext, std::span<const uint8_t> body);

// Computes body_crc over the body of the part at the front of `part` and stores it, then
// hdr_crc over header bytes 4 .. hdr_length-1. hdr_length and body_length must be in place.
// 0, or -1 if the lengths do not fit in `part` or hdr_length is below 32.
int nemf_finalize_content_part(std::span<uint8_t> part);

// Finalizes a file whose content parts already lie at file offset 24 and fill `body_length`
// bytes: writes the identification, a 16-byte file header (version 1, body_length), then
// body_crc over the body and hdr_crc over the header. The content parts' own CRCs must be
// final already. The file size (24 + body_length), or -1 if it does not fit in `file`.
int nemf_finalize_file(std::span<uint8_t> file, uint32_t body_length);

// Finalizes every content part found in the body_length bytes at file offset 24 (stepping by
// hdr_length + padded body_length), then the file as nemf_finalize_file does. The file size,
// or -1 if a part does not fit in the body.
int nemf_finalize_all(std::span<uint8_t> file, uint32_t body_length);
