// nemf/nemf_delta.h: delta content parts. A delta part stands in an image where a payload part
// of the full release would stand (same content part index, same name) and expands, byte for
// byte, to that part (its content header and body), using a source body that the terminal
// already holds. The release header, krum, manifest and signature of a delta image are the full
// image's own: the manifest's hashes are those of the expanded parts.
//
// Delta body, little-endian, copied as raw bytes:
//   nemf_delta_head (44 bytes)
//   the target part's content header (target_hdr_length bytes, as it stands in the full image)
//   the frame (frame_length bytes): the target body, coded against the source body
// The frame (method NEMF_DELTA_METHOD_ADDCOPY) is written by nemftool and read only by
// nemf_delta.cc; its layout is below. Its result is bounded by the target body length that the
// target header states, and it reads no byte outside the source body.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "nemf/nemf_format.h"

// Content type of a delta part (nemf_content_header::type_id).
inline constexpr uint16_t NEMF_TYPE_DELTA = 12;

inline constexpr uint32_t NEMF_DELTA_MAGIC = 0x4C44524Bu;  // "KRDL"
inline constexpr uint8_t NEMF_DELTA_VERSION = 1;

// Frame coding: the target body as runs of two kinds, in target order: "add" runs, each byte
// a source byte plus (modulo 256) a difference, and "copy" runs of bytes stored as they are.
//   nemf_delta_frame_head (20 bytes), then four zstd frames of the lengths it gives:
//   controls: nemf_delta_control entries, each moving the source position by `seek`, then an
//     add run of `add` bytes from there (the source position moves on by as much), then a copy
//     run of `copy` bytes; every entry covers at least one target byte, and together they cover
//     the target body exactly, `copy_length` bytes of it in copy runs
//   gaps: for the add runs' differences, all runs in target order as one sequence, the number
//     of zero differences before each non-zero one, as LEB128 numbers (7 bits a byte, low
//     bits first, at most 5 bytes); differences after the last one are zero
//   values: the non-zero differences, a byte each
//   copies: the copy runs' bytes, copy_length of them
// 20 + the four lengths is the frame length. The controls, gaps and values are made with a
// window of at most 2^NEMF_DELTA_STREAM_WINDOW_LOG bytes and read through small buffers; the
// copies are decompressed in one piece into the end of the target buffer and moved into place
// from there, so expanding needs no memory besides the target that grows with it.
inline constexpr uint8_t NEMF_DELTA_METHOD_ADDCOPY = 1;
inline constexpr int NEMF_DELTA_STREAM_WINDOW_LOG = 17;

struct nemf_delta_frame_head {
    uint32_t copy_length;
    uint32_t ctrl_zlength;
    uint32_t gap_zlength;
    uint32_t value_zlength;
    uint32_t copy_zlength;
};
static_assert(sizeof(nemf_delta_frame_head) == 20);
static_assert(offsetof(nemf_delta_frame_head, copy_length) == 0);
static_assert(offsetof(nemf_delta_frame_head, ctrl_zlength) == 4);
static_assert(offsetof(nemf_delta_frame_head, gap_zlength) == 8);
static_assert(offsetof(nemf_delta_frame_head, value_zlength) == 12);
static_assert(offsetof(nemf_delta_frame_head, copy_zlength) == 16);
static_assert(std::is_trivially_copyable_v<nemf_delta_frame_head>);

struct nemf_delta_control {
    int32_t  seek;  // added to the source position before the add run
    uint32_t add;   // add run length; the source position moves on by as much
    uint32_t copy;  // copy run length
};
static_assert(sizeof(nemf_delta_control) == 12);
static_assert(offsetof(nemf_delta_control, seek) == 0);
static_assert(offsetof(nemf_delta_control, add) == 4);
static_assert(offsetof(nemf_delta_control, copy) == 8);
static_assert(std::is_trivially_copyable_v<nemf_delta_control>);

// The installed content a delta part was made against, as the partition's metadata records it
// (the first 32 bytes of the content header and the version block at the start of the body).
struct nemf_delta_source {
    char     name[16];          // content part name, NUL-padded
    uint8_t  sw_version_major;  // first four body bytes, in nemf_content_software's layout
    uint8_t  sw_version_minor;
    uint16_t sw_build_number;
    uint32_t body_length;       // the source body's length
    uint32_t body_crc;          // the source body's CRC-32 (crc32_calc from 0)
};
static_assert(sizeof(nemf_delta_source) == 28);
static_assert(offsetof(nemf_delta_source, name) == 0);
static_assert(offsetof(nemf_delta_source, sw_version_major) == 16);
static_assert(offsetof(nemf_delta_source, sw_build_number) == 18);
static_assert(offsetof(nemf_delta_source, body_length) == 20);
static_assert(offsetof(nemf_delta_source, body_crc) == 24);
static_assert(std::is_trivially_copyable_v<nemf_delta_source>);

struct nemf_delta_head {
    uint32_t magic;              // NEMF_DELTA_MAGIC
    uint8_t  version;            // NEMF_DELTA_VERSION
    uint8_t  method;             // frame coding, private to nemf_delta.cc
    uint16_t target_hdr_length;  // at least 32
    nemf_delta_source source;
    uint32_t frame_length;       // bytes of frame after the target header
    uint32_t reserved;           // written as 0
};
static_assert(sizeof(nemf_delta_head) == 44);
static_assert(offsetof(nemf_delta_head, magic) == 0);
static_assert(offsetof(nemf_delta_head, version) == 4);
static_assert(offsetof(nemf_delta_head, method) == 5);
static_assert(offsetof(nemf_delta_head, target_hdr_length) == 6);
static_assert(offsetof(nemf_delta_head, source) == 8);
static_assert(offsetof(nemf_delta_head, frame_length) == 36);
static_assert(offsetof(nemf_delta_head, reserved) == 40);
static_assert(std::is_trivially_copyable_v<nemf_delta_head>);

// Results of the delta operations.
enum : int {
    NEMF_DELTA_OK = 1,
    NEMF_DELTA_ERR_FORMAT = -1,   // the delta body is malformed (head, lengths, target header)
    NEMF_DELTA_ERR_SOURCE = -2,   // no source body was found, or it does not check out
    NEMF_DELTA_ERR_FRAME = -3,    // the frame is damaged or does not expand to the stated length
    NEMF_DELTA_ERR_SPACE = -4,    // the expanded image does not fit the space given
};

// A parsed delta body; the spans point into it.
struct nemf_delta_view {
    nemf_delta_head head;
    std::span<const uint8_t> target_header;  // the target part's content header
    uint32_t target_body_length;             // body_length of that header
    std::span<const uint8_t> frame;
};

// Parses a delta part's body: NEMF_DELTA_OK or NEMF_DELTA_ERR_FORMAT (bad magic, version or
// method; lengths that do not add up to the body; a target header that is too short, fails
// its CRC, or is itself a delta part). The delta part's own CRCs are the caller's to check.
int nemf_delta_parse(std::span<const uint8_t> body, nemf_delta_view* out);

// Expands the frame against `source` into `target` (its first target_body_length bytes):
// NEMF_DELTA_OK, NEMF_DELTA_ERR_SOURCE (source length or CRC not the recorded ones),
// NEMF_DELTA_ERR_FRAME (the frame is damaged, or what it gives is not the target header's
// body, by length or body_crc) or NEMF_DELTA_ERR_SPACE (`target` is shorter than the body).
// Besides `target` it needs fixed memory only (three stream decoders with their small windows);
// its work is bounded by the frame and target lengths.
int nemf_delta_expand(const nemf_delta_view& d, std::span<const uint8_t> source, std::span<uint8_t> target);

// Finds the source body of a delta part: returns it, or an empty span when the source is not
// held or does not check out. `part_index` is the delta part's content part index.
using nemf_delta_source_fn = std::span<const uint8_t> (*)(void* ctx, int part_index, const nemf_delta_source& src);

// The content parts of a NEMF image in file order, each with its padding: their number, or -1
// when the identification, the file header or the part sequence does not fit the bytes of
// `image` (bytes beyond the file body are not looked at), or there are more than 20 parts.
// CRCs are not checked.
int nemf_delta_walk(std::span<const uint8_t> image, std::array<std::span<const uint8_t>, NEMF_MAX_CONTENT_PARTS>* parts);

// Gives the file whose content parts lie behind its file header the body_length of those parts
// (`body_length`), then body_crc over them and hdr_crc over the file header as it stands. The
// file size, or -1 when the header or the body does not fit in `file`.
int64_t nemf_delta_seal_file(std::span<uint8_t> file, uint32_t body_length);

// Number of delta parts in a NEMF image (0 for a full image); -1 when the image's part
// sequence cannot be walked.
int nemf_delta_count(std::span<const uint8_t> image);

// Length of the full image that `image` expands to (the image's own length when it holds no
// delta part); -1 when the image's part sequence or a delta body cannot be read. The delta
// parts' CRCs are not checked here: nemf_delta_expand_image checks them and names the part.
// When given, *failed_part names the delta part whose body cannot be read (-1 otherwise).
int64_t nemf_delta_expanded_length(std::span<const uint8_t> image, int* failed_part = nullptr);

// Expands every delta part of `image` into `out`, which receives the full image byte for byte
// (file header CRCs and lengths included). On NEMF_DELTA_OK *out_length is the full image's
// length. On failure *failed_part names the content part index (-1 for the image as a whole):
// NEMF_DELTA_ERR_FORMAT for a delta part whose CRCs or body are bad, NEMF_DELTA_ERR_SOURCE when
// `find` gives no source, NEMF_DELTA_ERR_FRAME, NEMF_DELTA_ERR_SPACE when `out` is too short.
// Parts of other types are copied as they are, unchecked.
int nemf_delta_expand_image(std::span<const uint8_t> image, nemf_delta_source_fn find, void* ctx,
                            std::span<uint8_t> out, size_t* out_length, int* failed_part);
