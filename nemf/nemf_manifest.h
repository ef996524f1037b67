// nemf/nemf_manifest.h: the signed manifest of an image and the certificate store it is
// verified against.
//
// A content signature part (type 11) carries an S/MIME signed-data message whose content is
// the manifest: lines "index,name,sha256|sha512,hexdigest". The store holds trust anchors and
// revocation lists and judges certificates at a fixed time, not at the device's clock.
// Results are 0 or negated Linux errno values (below); nothing here prints.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string_view>

#include <openssl/x509_vfy.h>

#include "nemf/nemf_format.h"
#include "platform/raii.h"

// 2020-09-07 11:59:45 UTC: the instant at which certificates and revocation lists are judged.
inline constexpr time_t NEMF_MANIFEST_VERIFICATION_TIME = 1599479985;

enum : int {                       // results of the nemf_manifest_* operations; 0 is success
    NEMF_MANIFEST_OK = 0,
    NEMF_MANIFEST_ERR_NOENT = -2,          // revocation list file does not exist
    NEMF_MANIFEST_ERR_IO = -5,             // S/MIME message unreadable, or a memory stream failed
    NEMF_MANIFEST_ERR_NO_ENTRY = -11,      // no filled entry for the part (summary: unlisted part)
    NEMF_MANIFEST_ERR_MISMATCH = -14,      // summary: a part's name or hash differs from its entry
    NEMF_MANIFEST_ERR_INVALID = -22,       // missing argument, unknown hash type, output too small
    NEMF_MANIFEST_ERR_CN = -56,            // no Common Name of the signer matches the pattern
    NEMF_MANIFEST_ERR_DUPLICATE = -57,     // a manifest line names an index already filled
    NEMF_MANIFEST_ERR_MISSING_PART = -65,  // summary: an entry whose part is not present and valid
    NEMF_MANIFEST_ERR_SYNTAX = -71,        // malformed manifest line
    NEMF_MANIFEST_ERR_SIGNATURE = -74,     // signature does not verify
    NEMF_MANIFEST_ERR_HDR_LENGTH = -90,    // signature part hdr_length is not 36
    NEMF_MANIFEST_ERR_ALGORITHM = -93,     // signature_algorithm_id is not 1
    NEMF_MANIFEST_ERR_NOKEY = -126,        // no store, file unreadable, nothing could be added
    NEMF_MANIFEST_ERR_REVOKED = -128,      // signature does not verify: a certificate is revoked
};
// Results of nemf_manifest_validate_hash beside 0 and the codes above.
enum : int {
    NEMF_MANIFEST_NAME_DIFFERS = 1,
    NEMF_MANIFEST_HASH_DIFFERS = 2,
};

enum : uint32_t {                  // nemf_manifest_entry::hash_type
    NEMF_HASH_SHA256 = 1,
    NEMF_HASH_SHA512 = 2,
};
inline constexpr size_t NEMF_DIGEST_SIZE = 129;  // 128 hex digits of SHA-512 and a NUL

struct nemf_manifest_entry {
    char     name[NEMF_NAME_SIZE];     // expected part name, NUL-padded
    uint32_t hash_type;                // NEMF_HASH_*
    char     digest[NEMF_DIGEST_SIZE]; // lower-case hex text; empty: entry not filled
};

using nemf_x509_store_ptr = std::unique_ptr<X509_STORE, c_free<X509_STORE_free>>;

struct nemf_manifest {
    nemf_x509_store_ptr store;                              // owned
    nemf_manifest_entry entries[NEMF_MAX_CONTENT_PARTS]{};  // entry i describes part index i
};

// Empties the entries and creates the store with CRL checks on every certificate of the chain
// (flags 12) and `verification_time` as the time of every check.
void nemf_manifest_init(nemf_manifest* m, time_t verification_time);
// Releases the store.
void nemf_manifest_deinit(nemf_manifest* m);

// Adds every PEM certificate of the file to the store. 0 when the last one was added,
// otherwise -126 (also for a file without certificates).
int nemf_manifest_load_trust_anchor(nemf_manifest* m, const char* path);
// Adds every PEM revocation list of the file. 0 when the last one was added, -2 when the file
// does not exist, otherwise -126.
int nemf_manifest_load_crl(nemf_manifest* m, const char* path);

// `part` holds the content signature part (header and body). Verifies the S/MIME signature
// against the store, requires a signer Common Name matching `cn_pattern` (empty: no test),
// and parses the signed manifest into the entries. 0, or -93, -90, -5, -74, -128, -56,
// -71, -57.
int nemf_manifest_load_manifest(nemf_manifest* m, std::span<const uint8_t> part, const char* cn_pattern);

// Parses manifest text into the entries (the content of a verified signature). Only lines
// ended by a newline count. 0, -71 or -57; lines before the failing one stay applied.
int nemf_manifest_parse(nemf_manifest* m, std::string_view text);

// 1 when all of `text` matches all of `pattern`: '*' any run, '?' one character, '\' makes
// the next character literal (at the end of the pattern it matches only the end of text).
int nemf_manifest_simple_glob_match(const char* pattern, const char* text);

// 1 when entry `index` (0..19) has a digest or a name, else 0.
int nemf_manifest_entry_present(const nemf_manifest* m, int index);

// Writes the lower-case hex hash of the part's header and body (no padding) with a NUL into
// `out`, which is zeroed first. 0, or -22: empty part, part shorter than its lengths, unknown
// hash type, `out` below 65 (SHA-256) or 129 (SHA-512) bytes.
int nemf_manifest_calculate_hash(std::span<const uint8_t> part, uint32_t hash_type, std::span<char> out);

// Compares the part with entry `index` (0..19): 0 match, 1 name differs, 2 hash differs,
// -11 entry not filled, -22 empty part or hash failure.
int nemf_manifest_validate_hash(const nemf_manifest* m, int index, std::span<const uint8_t> part);
