// krul/krul_meta.h: the release metadata of an image (the "krum" text part), the checks made
// against its release header, and the meta install: which partition receives each payload
// and how the upgrade data record records the outcome.
//
// Everything works on the in-memory record; nothing here reads or writes a file except the
// partition CRC checks of krul_check.h. Nothing here prints, except the parser's two notices
// on standard output (a skipped line, too many elements).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "krul/krul.h"
#include "nemf/nemf_format.h"

inline constexpr int krum_max_elements = 40;            // elements of an install
inline constexpr std::string_view krum_part_name = "krum";
inline constexpr size_t krum_max_line = 1999;           // characters of one line

enum : int {                       // krum_element::action
    KRUM_ACTION_NONE = 0,          // does not apply (other platform) or nothing decided
    KRUM_ACTION_WRITE = 1,         // write content part cidx into partition partinfo_idx
    KRUM_ACTION_INSTALLED = 2,     // partition partinfo_idx already holds it; keep it
    KRUM_ACTION_LATE = 3,          // decide when the content part arrives (late_action_update)
};

enum : uint32_t {                  // krum_element::meta_valid
    KRUM_META_NONE = 0,            // no version known
    KRUM_META_GIVEN = 1,           // version given in the line
    KRUM_META_FROM_PART = 2,       // version taken from the content part when it arrives
};

enum : uint8_t {                   // krum_element::wts, the layout on flash
    KRUM_WTS_BODY = 1,             // body only
    KRUM_WTS_HEADER_BODY = 2,      // content header, then body
    KRUM_WTS_BODY_TRAILER = 3,     // body, then content header as a trailer
};

// One element of the release metadata: one payload of the release. Not stored; the layout is
// fixed all the same so that tests and dumps see the same bytes on every build.
struct krum_element {
    uint8_t used;                   // 1 = filled by the parser; the list ends at the first 0
    int8_t cidx;                    // content part holding the payload; -1 = not in this image
    char poolname[18];              // NUL-terminated
    int32_t aux;                    // third field of the line; kept, never read
    char mountpnt[32];              // empty when the line gives "-..."; NUL-terminated
    char fstype[10];                // empty when the line gives "-..."; NUL-terminated
    char platform[22];              // "-" = every platform; NUL-terminated
    uint32_t meta_valid;            // KRUM_META_*
    uint8_t wts;                    // KRUM_WTS_*
    nemf_content_software software; // the three version fields, when meta_valid is 1
    int32_t action;                 // KRUM_ACTION_*
    int32_t partinfo_idx;           // partition chosen for the element; -1 = none
};
static_assert(offsetof(krum_element, cidx) == 1);
static_assert(offsetof(krum_element, poolname) == 2);
static_assert(offsetof(krum_element, aux) == 20);
static_assert(offsetof(krum_element, mountpnt) == 24);
static_assert(offsetof(krum_element, fstype) == 56);
static_assert(offsetof(krum_element, platform) == 66);
static_assert(offsetof(krum_element, meta_valid) == 88);
static_assert(offsetof(krum_element, wts) == 92);
static_assert(offsetof(krum_element, software) == 94);
static_assert(offsetof(krum_element, action) == 128);
static_assert(offsetof(krum_element, partinfo_idx) == 132);
static_assert(sizeof(krum_element) == 136);
static_assert(std::is_trivially_copyable_v<krum_element>);

// A software version as recorded: the first 4 bytes of a nemf_content_software block.
struct krul_version {
    uint8_t major;
    uint8_t minor;
    uint16_t build;
};
static_assert(sizeof(krul_version) == 4);

// The version of a software block.
krul_version krul_version_of(const nemf_content_software& sw);
// The version at the front of a content software body. 0, or -1 if `body` has fewer than 4
// bytes (`out` untouched).
int krul_version_read(std::span<const uint8_t> body, krul_version* out);

// Results of krul_meta_install_part1 and krul_meta_install. The install action logs one line
// for each and ends with exit code 2 (15 for ALREADY_ACTIVE).
enum : int {
    KRUL_META_INSTALL_OK = 1,
    KRUL_META_INSTALL_ERR_NO_CONTENT = -1,        // no krum element at all
    KRUL_META_INSTALL_ERR_DEPENDENCY = -2,        // payload neither installed nor in the image
    KRUL_META_INSTALL_ERR_SINGLETON = -3,         // singleton pool and no force
    KRUL_META_INSTALL_ERR_EMPTY_POOL = -4,        // the pool has no partitions
    KRUL_META_INSTALL_ERR_NO_FREE_PARTINFO = -5,  // no unused partition left in the pool
    KRUL_META_INSTALL_ERR_PARTINFO_MATCH = -6,    // an element to write or keep has no partition
    KRUL_META_INSTALL_ERR_ALREADY_ACTIVE = -7,    // reserved: no step yields it
    KRUL_META_INSTALL_ERR_FATAL = -99,            // inconsistent elements or pools
};

// Parses the krum text into `elements` (zeroed first; their count is the capacity). Reading
// stops at the first NUL, at the end of `text` or at an empty line; "#" lines are comments.
// A line that fits neither form is skipped with a notice on standard output. The number of
// elements filled, or -1 after "Wups, too many KRUM elements, abort.\n" when a further element
// line follows a full array (the elements read so far stay). Fields longer than an element's
// field skip the line like a syntax error.
int krul_parse_krumd(std::span<krum_element> elements, std::string_view text);

// 1 when the release version (major, minor, build) is at least the given one, compared in that
// order as unsigned numbers, else 0.
int krul_check_minver(const nemf_release_header& rh, uint32_t major, uint32_t minor, uint32_t build);

// 1 when `model` is an entry of the "products=" list in the text behind the 44 fixed bytes of
// the release header body, ended by "," or a newline; else 0. `part` is the whole release
// header content part (header and body); the search stays inside its body.
int krul_match_model(std::span<const uint8_t> part, const char* model);

// Records content part `part` (complete: header and body present) as what the element's
// partition holds: pinfometa gets the 32-byte content header and up to 32 body bytes (zero
// padded), partinfo mountpnt and fstype the element's. The element's partinfo_idx must be
// 0..19.
void krul_meta_import_pinfometa(krul_data* rec, const uint8_t* part, const krum_element* e);

// Decides every element for an install into set `setidx`: keep an installed partition
// (action 2), write a chosen partition (1) or decide later (3). `platform` empty: no platform
// filter. The pools must be generated. KRUL_META_INSTALL_OK or a negative result; elements
// after a failing one keep action 0.
int krul_meta_install_part1(krul_data* rec, int setidx, const nemf_release_header& rh,
                            std::span<krum_element> elements, const char* platform, int force);

// Completes the install in the record: the set's refs become the elements' partitions (action
// 1 or 2, in list order; at most 20, a surplus fails with PARTINFO_MATCH), written ones get
// their pinfometa from `parts` (the parser's content_parts table, 20 entries, null = absent),
// and rhdr[setidx] the release header. Runs the decision first when no element is used.
// KRUL_META_INSTALL_OK or a negative result; on failure the set is unchanged, but pinfometa
// entries imported before the failure stay changed.
int krul_meta_install(krul_data* rec, int setidx, const nemf_release_header& rh,
                      std::span<krum_element> elements, const uint8_t* const* parts,
                      const char* platform, int force);
