// nemf/nemf_print.h: the listings of content parts that nemfinfo shows, printed with
// qz_printf on standard output from what a stream parser holds.
#pragma once

#include <cstdint>
#include <span>

struct nemf_stream_parser;

// The release header (body at offset 32) of the parser's part `index`, or only
// "WARNING: CONTENT PART IS NULL! Skipping.\n" when the parser holds no such part.
void nemf_release_header_print(const nemf_stream_parser* p, int index);
// The nemf_content_software block of the part, with the same warning.
void nemf_content_software_print(const nemf_stream_parser* p, int index);
// The parser's nemf_content_info record of the part (valid, covered, validated).
void nemf_content_info_print(const nemf_stream_parser* p, int index);
// The fields of the content header at the front of `part` (empty span: a warning).
void nemf_content_header_print(std::span<const uint8_t> part);
// Length, presence and name of the parser's part `index`, shown as a catalog.
void nemf_content_catalog_print(const nemf_stream_parser* p, int index);
// The algorithm and the S/MIME text of a content signature part, or a warning for any other.
void nemf_content_signature_print(const nemf_stream_parser* p, int index);
