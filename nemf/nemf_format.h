// nemf/nemf_format.h: the stored layouts of the NEMF container. Images and the hostconfig
// are NEMF files; everything here is little-endian and copied as raw bytes.
//
// A file is the identification (8 bytes), the file header (hdr_length bytes, at least 16)
// and the body (body_length bytes). The body is a sequence of content parts, each its
// content header (hdr_length bytes, at least 32), its body (body_length bytes) and zero
// padding up to a multiple of 4. At most 20 content parts; the content part index is the
// part's position in file order.
//
// Readers copy these structs out of an image with memcpy (see nemf_validate.h); they never
// point a struct at image bytes, whose alignment is not known.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

static_assert(std::endian::native == std::endian::little, "layouts are copied as raw bytes");

// Identification: the ASCII bytes "FMEN" at file offset 0 and "NEMF" at offset 4, compared as
// 32-bit little-endian words.
inline constexpr uint32_t NEMF_ID_WORD0 = 0x4E454D46u;  // "FMEN"
inline constexpr uint32_t NEMF_ID_WORD1 = 0x464D454Eu;  // "NEMF"
inline constexpr uint32_t NEMF_ID_SIZE = 8;

inline constexpr uint8_t NEMF_VERSION = 1;
inline constexpr uint32_t NEMF_HEADER_MIN_LENGTH = 16;          // also what writers use
inline constexpr uint32_t NEMF_CONTENT_HEADER_MIN_LENGTH = 32;  // also what writers use
inline constexpr uint32_t NEMF_SIGNATURE_HEADER_LENGTH = 36;    // content signature parts
inline constexpr uint32_t NEMF_BODY_OFFSET = NEMF_ID_SIZE + NEMF_HEADER_MIN_LENGTH;  // 24 when written
inline constexpr int NEMF_MAX_CONTENT_PARTS = 20;
inline constexpr size_t NEMF_NAME_SIZE = 16;

// Content types (nemf_content_header::type_id). Any other type is opaque payload.
enum : uint16_t {
    NEMF_TYPE_RELEASE_HEADER = 1,     // body: nemf_release_header, then optional text
    NEMF_TYPE_DATA_RECORD = 3,        // body: the upgrade data record ("KRU data")
    NEMF_TYPE_CONTENT_SOFTWARE = 4,   // body begins with nemf_content_software
    NEMF_TYPE_CONTENT_SIGNATURE = 11, // header extension nemf_signature_ext; body: S/MIME text
};

// nemf_signature_ext::signature_algorithm_id: the only accepted value.
inline constexpr uint8_t NEMF_SIGNATURE_ALG_SMIME = 1;

// The file header, at file offset 8.
struct nemf_header {
    uint32_t hdr_crc;      // CRC of header bytes 4 .. hdr_length-1
    uint8_t  version;      // NEMF_VERSION
    uint8_t  reserved;     // written as 0, ignored
    uint16_t hdr_length;   // at least 16; bytes 16 .. hdr_length-1 are an extension under hdr_crc
    uint32_t body_length;  // all content parts with their padding
    uint32_t body_crc;     // CRC of the body_length bytes at file offset 8 + hdr_length
};
static_assert(sizeof(nemf_header) == 16);
static_assert(offsetof(nemf_header, hdr_crc) == 0);
static_assert(offsetof(nemf_header, version) == 4);
static_assert(offsetof(nemf_header, reserved) == 5);
static_assert(offsetof(nemf_header, hdr_length) == 6);
static_assert(offsetof(nemf_header, body_length) == 8);
static_assert(offsetof(nemf_header, body_crc) == 12);
static_assert(std::is_trivially_copyable_v<nemf_header>);

// The header of a content part, at the part's first byte.
struct nemf_content_header {
    uint32_t hdr_crc;      // CRC of header bytes 4 .. hdr_length-1 (body_crc included)
    uint16_t type_id;      // NEMF_TYPE_* or payload
    uint16_t hdr_length;   // at least 32; the rest is the type's header extension
    uint32_t body_length;  // without the padding to a multiple of 4
    char     name[16];     // NUL-padded; a 16-character name has no NUL
    uint32_t body_crc;     // CRC of the body_length bytes at offset hdr_length of the part
};
static_assert(sizeof(nemf_content_header) == 32);
static_assert(offsetof(nemf_content_header, hdr_crc) == 0);
static_assert(offsetof(nemf_content_header, type_id) == 4);
static_assert(offsetof(nemf_content_header, hdr_length) == 6);
static_assert(offsetof(nemf_content_header, body_length) == 8);
static_assert(offsetof(nemf_content_header, name) == 12);
static_assert(offsetof(nemf_content_header, body_crc) == 28);
static_assert(std::is_trivially_copyable_v<nemf_content_header>);

// Header extension of a content signature part (content header bytes 32..35).
struct nemf_signature_ext {
    uint8_t signature_algorithm_id;  // NEMF_SIGNATURE_ALG_SMIME
    uint8_t reserved[3];             // under hdr_crc, otherwise ignored
};
static_assert(sizeof(nemf_signature_ext) == 4);
static_assert(offsetof(nemf_signature_ext, signature_algorithm_id) == 0);
static_assert(offsetof(nemf_signature_ext, reserved) == 1);
static_assert(sizeof(nemf_content_header) + sizeof(nemf_signature_ext) == NEMF_SIGNATURE_HEADER_LENGTH);
static_assert(std::is_trivially_copyable_v<nemf_signature_ext>);

// Body of a release header part (type 1): 44 fixed bytes, then optional text to the end of
// the body (the installer looks there for "products=").
struct nemf_release_header {
    uint8_t  release_version_major;
    uint8_t  release_version_minor;
    uint16_t release_build_number;
    uint32_t release_date;          // seconds since 1970-01-01 UTC
    char     release_build_id[36];  // NUL-terminated
};
static_assert(sizeof(nemf_release_header) == 44);
static_assert(offsetof(nemf_release_header, release_version_major) == 0);
static_assert(offsetof(nemf_release_header, release_version_minor) == 1);
static_assert(offsetof(nemf_release_header, release_build_number) == 2);
static_assert(offsetof(nemf_release_header, release_date) == 4);
static_assert(offsetof(nemf_release_header, release_build_id) == 8);
static_assert(std::is_trivially_copyable_v<nemf_release_header>);

// First 32 bytes of the body of a content software part (type 4); installed partitions keep
// a version in this layout.
struct nemf_content_software {
    uint8_t  sw_version_major;
    uint8_t  sw_version_minor;
    uint16_t sw_build_number;
    char     sw_build_id[28];  // NUL-terminated
};
static_assert(sizeof(nemf_content_software) == 32);
static_assert(offsetof(nemf_content_software, sw_version_major) == 0);
static_assert(offsetof(nemf_content_software, sw_version_minor) == 1);
static_assert(offsetof(nemf_content_software, sw_build_number) == 2);
static_assert(offsetof(nemf_content_software, sw_build_id) == 4);
static_assert(std::is_trivially_copyable_v<nemf_content_software>);

// Byte offsets of the fields that CRCs start after and that readers peek at before copying.
inline constexpr size_t NEMF_CRC_START = 4;  // every hdr_crc covers header bytes 4 .. hdr_length-1
inline constexpr size_t NEMF_CONTENT_HDR_LENGTH_OFFSET = offsetof(nemf_content_header, hdr_length);
inline constexpr size_t NEMF_SIGNATURE_ALG_OFFSET = sizeof(nemf_content_header);  // byte 32 of the part

// A body length rounded up to the 4-byte step of the part sequence (64-bit: lengths come
// from images and must not wrap).
constexpr uint64_t nemf_padded_length(uint64_t body_length) { return (body_length + 3) & ~uint64_t{3}; }
static_assert(nemf_padded_length(5) == 8 && nemf_padded_length(8) == 8 && nemf_padded_length(0) == 0);
