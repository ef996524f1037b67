// krul/krul_check.h: reading an installed partition back from its MTD device and comparing it
// with what the record says it holds, and the lookup of a partition that already holds the
// content an image brings. Nothing here prints.
#pragma once

#include <cstdint>
#include <span>

#include "krul/krul.h"
#include "krul/krul_meta.h"

enum : int {                         // results of crc32_check
    KRUL_CRC_MATCH = 0,              // the content's CRC equals the recorded body_crc
    KRUL_CRC_NOT_RECORDED = 2,       // body_length or body_crc is 0; the device is not touched
    KRUL_CRC_UNREADABLE = 3,         // open or read failed, or (wts 2) the stored header differs
                                     // from the recorded one or the device ended inside it
    KRUL_CRC_MISMATCH = 4,           // the CRC differs (also when the device ends early)
};

inline constexpr uint32_t krul_check_chunk = 4096;   // the one read buffer

// Reads partition `partidx` (0..19) from "/dev/mtd<pn>": with wts 2 its recorded header first,
// then body_length bytes, and compares their CRC with the recorded one. Holds at most one
// 4096-byte buffer. A device that was opened is always closed.
int crc32_check(const krul_data* rec, int partidx, uint8_t wts);

// What crc32_check gives for partition `partidx` with wts 1 (`body_first`) and with wts 2
// (`header_first`), from one sequential read of the device: the recorded header is compared
// while its bytes arrive, and both CRCs are chained from the same chunks (at most 4096 bytes,
// split where the header and the body end), so a partition holding its content behind its
// header is not read twice. A read error gives 3 to each result not settled before it.
void krul_crc32_check_layouts(const krul_data* rec, int partidx, int* body_first, int* header_first);

// Reads the content partition `partidx` holds into `body`, which has room for exactly its
// recorded body_length bytes: from the front of the device (wts 1 and 3) or, when those bytes
// do not check out, from behind the recorded header (wts 2). KRUL_CRC_MATCH when `body` holds
// bytes with the recorded CRC; otherwise the code of the last layout tried, as crc32_check
// gives it. A device that was opened is always closed.
int krul_read_content(const krul_data* rec, int partidx, std::span<uint8_t> body);

// The lowest partition-table index whose recorded version equals `version`, whose poolname
// equals the element's and whose crc32_check with the element's wts is a match; -1 if none.
// Devices are read only for entries of the right version and pool.
int krul_find_installed_partinfo(const krul_data* rec, const krum_element* e, krul_version version);

// Resolves an element left undecided (action 3) once its content part arrives with `version`:
// a partition found by krul_find_installed_partinfo becomes its partinfo_idx with action 2;
// none found gives action 1 with partinfo_idx unchanged. The lookup's result.
int late_action_update(const krul_data* rec, krum_element* e, krul_version version);
