// hostconfig/hostconfig.h: the hostconfig, a NEMF container of at most 5120 bytes holding up
// to 20 named content parts, and its transfer to and from storage with a backup copy.
//
// The object is a plain fixed-size value owned by its caller. It is either loaded (and then
// only read) or built with hostconfig_add / hostconfig_add_body and saved. Parts are found
// through offsets into the object's own buffer, so the object may be copied.
//
// Every function stops through qz_panic on a null object (our bug). Nothing here prints.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "nemf/nemf_format.h"

inline constexpr uint32_t hostconfig_max_size = 5120;   // bytes of an image
inline constexpr int hostconfig_max_parts = 20;
inline constexpr uint32_t hostconfig_hdr_offset = 8;    // file header, behind "FMENNEMF"
inline constexpr uint32_t hostconfig_body_offset = 24;  // first part, with a 16-byte header
inline constexpr uint16_t hostconfig_part_type = 3;     // type_id of parts made by add_body
// Paths beginning with this are MTD devices: read as 5120 bytes, erased before writing.
inline constexpr std::string_view hostconfig_mtd_prefix = "/dev/mtd";

struct hostconfig {
    uint8_t buf[hostconfig_max_size];   // the image exactly as stored
    uint32_t hdr;                       // offset of the nemf_header in buf: always 8
    uint32_t parts[hostconfig_max_parts];   // offsets of the content headers, storage order
    uint32_t capacity;                  // usable bytes of buf
    int32_t count;                      // entries in parts
    uint32_t used;                      // bytes in use = where the next part goes; 24 if empty
    int32_t expected;                   // parts a load must find; -1 = no requirement
};

// Zeroes the object and prepares an empty container. 1; 0 if capacity exceeds 5120 (the
// object is zeroed all the same).
int hostconfig_new(hostconfig* hc, uint32_t capacity);

// Appends a complete content part (header and body, as found in another container) byte for
// byte, padded to a multiple of 4. `part` must hold at least hdr_length + body_length bytes.
// 1; -1 if it does not fit, 20 parts are present, or `part` is shorter than its header says.
int hostconfig_add(hostconfig* hc, std::span<const uint8_t> part);

// Appends a part of type 3 with a 32-byte header (CRCs left 0 until the save), the name
// NUL-padded into 16 bytes (16 characters or more fill it without a NUL). 1; -1 if
// length + 32 does not fit or 20 parts are present.
int hostconfig_add_body(hostconfig* hc, const void* body, uint32_t length, std::string_view name);

// Part i (0 <= i < count): its content header and body, without padding.
std::span<const uint8_t> hostconfig_part_bytes(const hostconfig* hc, int i);
// The content header of part i, copied out.
nemf_content_header hostconfig_part_header(const hostconfig* hc, int i);

// The body of the first part, in table order, whose name begins with `name` (the comparison
// covers name.size() characters, at most 16); null if none. `length` receives its
// body_length when not null.
const uint8_t* hostconfig_get_body(const hostconfig* hc, std::string_view name, uint32_t* length = nullptr);

enum : int {   // results of hostconfig_load
    HOSTCONFIG_LOAD_PRIMARY = 1,
    HOSTCONFIG_LOAD_BACKUP = 2,
    HOSTCONFIG_LOAD_FAILED = -1,
};
// Reads the primary; only if reading it or checking its header and body CRCs fails, the
// backup (when not null). Then walks the parts, each of which must validate; a copy whose
// parts do not walk fails the load without trying the backup. An image of more than 20 parts
// is refused. The object must come fresh from hostconfig_new; after a failure discard it.
int hostconfig_load(hostconfig* hc, const char* primary, const char* backup);

// Reads an image: 5120 bytes from an MTD device, else the whole file (24 to 5120 bytes), and
// checks the file header and body CRCs (never over bytes that were not read). 0, or -1.
// count, parts and used stay as they were.
int hostconfig_load_raw(hostconfig* hc, const char* path);

enum : int {   // results of hostconfig_save
    HOSTCONFIG_SAVE_OK = 1,           // the primary was written
    HOSTCONFIG_SAVE_FAILED = -1,      // it was not (or nothing was written at all)
    HOSTCONFIG_SAVE_ERR_FLAGS = -2,   // the flag words asked for could not be programmed
};

// Which copies loaded before a save, and the order it took; for the caller's log.
struct hostconfig_save_report {
    bool primary_loaded;
    bool backup_loaded;    // false also when there is no backup
    bool primary_first;
    bool backup_restored;   // the backup was first made to hold the primary's image
};

// Finalizes every part and the container, then writes both copies so that a power cut at any
// instant leaves at least one that loads, whenever one loaded before:
// - both copies are judged as hostconfig_load judges them; when only the backup loads, the
//   primary is written first, otherwise the backup (the usual order);
// - when the flag words share the primary's first erase block and there is a backup, the
//   primary is always written first; if it loads, the backup is first made to hold its image
//   (unless it already does) and must read back, else the save stops there (-1);
// - the copy written first must read back as written before the other is erased; when it
//   does not and the other copy was the only one that loaded, the save stops there (-1);
// - a failed write of the backup when it comes second is not a failure of the save.
// `flags`, when not null and the primary is the flag words' device, are the two flag words
// wanted after the save (hostconfig_flags_write's layout); the save erases that device whole,
// so they are programmed as part of it, before the container: in an erase block of their own
// before anything else is written, else right after the erase of the shared block. When they
// cannot be programmed (or do not read back), nothing else is written if the block is their
// own (HOSTCONFIG_SAVE_ERR_FLAGS); in a shared block the container is still written and the
// result is HOSTCONFIG_SAVE_ERR_FLAGS too. The final bytes are those of a save followed by
// hostconfig_flags_write. With another primary, `flags` is ignored.
int hostconfig_save(hostconfig* hc, const char* primary, const char* backup, const uint8_t* flags = nullptr,
                    hostconfig_save_report* report = nullptr);

// 1 if the copy at `path` loads as hostconfig_load would load it, else 0.
int hostconfig_copy_loads(const char* path);

// Writes the used bytes of the image; an MTD device is erased whole first (and nothing is
// written if that fails). 0 if exactly `used` bytes were written, else -1.
int hostconfig_save_raw(const hostconfig* hc, const char* path);

// Sets body_crc, then hdr_crc (which covers it) of the part at the front of `part`. 1; -1 if
// its body_length is 0 or `part` is shorter than the part (the part is left untouched).
int hostconfig_finalize_content(std::span<uint8_t> part);

// Writes "FMENNEMF" and version 1, then body_crc over the body and hdr_crc over the header.
// 1; -1 if the header's body_length is 0 (nothing is written).
int hostconfig_finalize_nemf(hostconfig* hc);
