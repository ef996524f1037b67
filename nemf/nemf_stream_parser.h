// nemf/nemf_stream_parser.h: the incremental reader of a NEMF image.
//
// The caller keeps the image in one buffer, file offset k at buffer + k, appends each chunk
// behind the bytes already there and tells the parser how many it appended. The parser never
// copies image data: it walks the content parts as their bytes complete, judges each by its
// own two CRCs, and records in `content_parts` where each completed part starts. Every
// pointer it keeps or returns points into that buffer, which must stay in place and unchanged
// while they are used. The file header's own CRCs are not tested.
//
// Driving it: init, then feed(p, bytes now present) after each chunk while it answers
// NEMF_SP_MORE.
#pragma once

#include <cstdint>
#include <span>

#include "nemf/nemf_format.h"
#include "nemf/nemf_manifest.h"

enum : int {                            // nemf_stream_parser::status
    NEMF_SP_STATUS_FAILED = -1,
    NEMF_SP_STATUS_HEADER = 1,          // waiting for the file header
    NEMF_SP_STATUS_PARTS = 2,           // reading content parts
    NEMF_SP_STATUS_DONE = 3,            // every part up to `end` consumed
};

enum : int {                            // results of feed
    NEMF_SP_DONE = 0,                   // complete, status is 3
    NEMF_SP_MORE = 2,                   // more bytes needed
    NEMF_SP_ERR_HDR_LENGTH = -1,        // a content header's hdr_length is below 32
    NEMF_SP_ERR_HDR_CRC = -2,           // a content header fails its CRC
    NEMF_SP_ERR_IDENTIFICATION = -3,    // file header: not "FMEN" "NEMF"
    NEMF_SP_ERR_PART_COUNT = -4,        // the image has more than 20 content parts
    NEMF_SP_ERR_VERSION = -5,           // file header: version is not 1
    NEMF_SP_ERR_PAST_END = -5,          // a part ends beyond the end of the file body
};

enum : uint32_t {                       // nemf_stream_parser::part_state
    NEMF_SP_PART_START = 0,             // at the start of a part (after a skip)
    NEMF_SP_PART_HEADER = 1,            // waiting for the first 32 header bytes
    NEMF_SP_PART_EXTENSION = 2,         // waiting for the rest of the header
    NEMF_SP_PART_BODY = 3,              // waiting for the body and its padding
    NEMF_SP_PART_ALL_DONE = 4,
};

struct nemf_content_info {
    uint8_t header_found;            // 1 once the content header passed validation
    int8_t  valid;                   // 1 body CRC matched, -1 it did not, 0 not judged
    uint8_t covered_by_signature;    // compared with the manifest (or a load was tried from it)
    uint8_t validated_by_signature;  // hash matched its entry (or the manifest it carries loaded)
};
static_assert(sizeof(nemf_content_info) == 4);

struct nemf_stream_parser {
    int32_t status = 0;
    const uint8_t* buffer = nullptr;    // file offset 0; not owned
    const uint8_t* header = nullptr;    // buffer + 8 once the file header is accepted
    int32_t failure = 0;                // the NEMF_SP_ERR_* that set status -1
    uint32_t cursor = 0;                // file offset of the first byte not yet consumed
    const uint8_t* current = nullptr;   // first byte of the part being read
    uint32_t index = 0;                 // content part index of the current part
    uint32_t received = 0;              // file bytes present, counted from offset 0
    uint32_t end = 0;                   // 8 + file hdr_length + body_length (saturated), set
                                        // with the file header
    const uint8_t* content_parts[NEMF_MAX_CONTENT_PARTS]{};  // part i once its body is complete
    int32_t found_parts = 0;            // parts whose body was reached (complete or skipped)
    int32_t valid_parts = 0;            // parts whose body_crc matched
    int32_t invalid_parts = 0;          // parts whose body_crc did not match, and skipped parts
    nemf_content_info info[NEMF_MAX_CONTENT_PARTS]{};
    int32_t found_headers = 0;          // content headers that passed validation
    uint32_t part_state = 0;            // NEMF_SP_PART_*
    nemf_manifest manifest;
    bool allocated = false;             // init allocated the object; deinit deletes it
};

// Prepares `p` (or a new object when `p` is null; null if that allocation fails) to read an
// image from `buffer`: status 1, every table empty, the manifest initialised with the fixed
// verification time.
nemf_stream_parser* nemf_stream_parser_init(nemf_stream_parser* p, const uint8_t* buffer);
// Releases the manifest's store, and the object itself when init allocated it.
void nemf_stream_parser_deinit(nemf_stream_parser* p);

// The first `present` bytes of the image now lie at the front of the buffer. Takes the
// identification and file header once 24 bytes are there, then consumes every part the
// bytes complete. NEMF_SP_MORE (status 1 or 2), NEMF_SP_DONE (status 3), or an NEMF_SP_ERR_*
// (status -1). Once done or failed, every further call gives the same answer.
int nemf_stream_parser_feed(nemf_stream_parser* p, uint32_t present);
// part_state 3 only. Gives up the current part; returns the file offset of the next part.
// Bytes beyond it count only once a later feed reports them present again. A part whose body
// would end beyond `end` fails the parse instead (status -1) and `end` is returned.
uint32_t nemf_stream_parser_skip(nemf_stream_parser* p);

int nemf_stream_parser_get_status(const nemf_stream_parser* p);
const uint8_t* const* nemf_stream_parser_content_parts(const nemf_stream_parser* p);
int nemf_stream_parser_get_found_content_part_headers(const nemf_stream_parser* p);
int nemf_stream_parser_get_found_content_parts(const nemf_stream_parser* p);
int nemf_stream_parser_get_valid_content_parts(const nemf_stream_parser* p);
int nemf_stream_parser_get_invalid_content_parts(const nemf_stream_parser* p);
// The valid flag (1, -1, 0) of part `index`, 0..19.
int nemf_stream_parser_content_part_is_valid(const nemf_stream_parser* p, int index);
// The bytes of completed part `index` (header and body, no padding); empty when the part is
// not complete.
std::span<const uint8_t> nemf_stream_parser_part(const nemf_stream_parser* p, int index);

// The manifest loaders applied to the parser's manifest.
int nemf_stream_parser_load_trust_anchor(nemf_stream_parser* p, const char* path);
int nemf_stream_parser_load_crl(nemf_stream_parser* p, const char* path);
// Loads the manifest carried by completed part `index`, marking the part covered before and
// validated when the result is 0. The nemf_manifest_load_manifest result.
int nemf_stream_parser_load_manifest(nemf_stream_parser* p, int index, const char* cn_pattern);

// Compares every part with the manifest and sets their signature flags. 0; -14 a part's name
// or hash differs; else -11 a valid part (not a signature) has no entry; else -65 an entry's
// part is absent, skipped or invalid.
int nemf_stream_parser_check_manifest_hashes(nemf_stream_parser* p);
