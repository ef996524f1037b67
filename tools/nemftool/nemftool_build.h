// tools/nemftool/nemftool_build.h: lays out and writes a NEMF image from a plan of parts.
//
// The image is a pure function of the plan: no clock, no randomness (the signature is made
// with no signed attributes, so an RSA key signs the same manifest the same way every time).
// Order of the parts: the release header (when the plan has one), then the content signature
// (when the plan is signed), then the plan's parts in the order given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nemf/nemf_format.h"

// Type of the release metadata part "krum". Any type outside the ones the container defines
// is payload; readers find this part by its name.
inline constexpr uint16_t NEMFTOOL_KRUM_TYPE = 2;
inline constexpr const char* NEMFTOOL_KRUM_NAME = "krum";
inline constexpr const char* NEMFTOOL_RELEASE_NAME = "release";
inline constexpr const char* NEMFTOOL_SIGNATURE_NAME = "signature";
// First line of metadata text written from --krum-line options.
inline constexpr const char* NEMFTOOL_KRUM_COMMENT = "#cidx,pool,aux,mount,fstype,platform,version,wts\n";

struct nemftool_version {
    uint32_t major = 0, minor = 0, build = 0;
};

struct nemftool_part {
    uint16_t type_id = 0;
    std::string name;
    std::vector<uint8_t> body;
    bool krum_text = false;   // metadata text: "@NAME" first fields are resolved, a NUL ends it
};

struct nemftool_plan {
    std::string output;
    bool release = false;            // write a release header as part 0
    nemftool_version release_version;
    uint32_t release_date = 0;
    std::string release_build_id;    // at most 35 characters
    std::string release_text;        // after the 44 fixed bytes; a NUL is appended when not empty
    std::string sign_cert, sign_key; // both or neither
    uint32_t hash_type = 1;          // NEMF_HASH_SHA256 or NEMF_HASH_SHA512
    std::vector<nemftool_part> parts;
};

// Parses "MAJOR.MINOR.BUILD" (decimal; at most 255, 255, 65535). 0, or -1.
int nemftool_parse_version(const char* text, nemftool_version* v);

// The body of a content software part: the 32-byte version block, then `payload`.
// 0, or -1 when the build id is longer than 27 characters.
int nemftool_software_body(const nemftool_version& v, const std::string& build_id,
                           const std::vector<uint8_t>& payload, std::vector<uint8_t>* body);

// Replaces a first field "@NAME" on each line of metadata text with the index of the first
// part of `names` called NAME, and makes sure the text ends in a NUL. 0, or -1 with `why` set
// when a name is not among the parts.
int nemftool_resolve_krum(const std::vector<uint8_t>& text, const std::vector<std::string>& names,
                          std::vector<uint8_t>* out, std::string* why);

// The manifest text for the serialized parts: "index,name,sha256|sha512,digest\n" for every
// part except the content signature at `signature_index` (-1: none).
int nemftool_manifest_text(const std::vector<std::vector<uint8_t>>& parts, int signature_index,
                           uint32_t hash_type, std::string* text);

// Builds the whole image in `image`. 0, or -1 with `why` set (what was wrong and where).
int nemftool_build(const nemftool_plan& plan, std::vector<uint8_t>* image, std::string* why);

// Reads a whole file. 0, or -1 with `why` set.
int nemftool_read_file(const std::string& path, std::vector<uint8_t>* out, std::string* why);
// Writes `data` to a new file at `path` (replacing one that exists). 0, or -1 with `why` set;
// on failure no partial file is left behind.
int nemftool_write_file(const std::string& path, const std::vector<uint8_t>& data, std::string* why);
