// hostconfig/hostconfig_flags.h: the upgrade flag words of sets 1 and 2 and the upgrade
// state they encode.
//
// The two flag words sit at byte offset 131070 of /dev/mtd5 (always that device, whatever
// hostconfig path is in use), one byte per set, each stored as its one's complement so that
// erased flash (0xFF) reads as 0. Set 0, the safe set, has no flag word; it reads as 0.
// A hostconfig save to /dev/mtd5 erases them: after it both sets are VALID.
#pragma once

#include <cstdint>

inline constexpr const char* hostconfig_flags_device = "/dev/mtd5";
inline constexpr long hostconfig_flags_offset = 131070;   // set 1; set 2 follows

inline constexpr int upgrade_flag_test = 0x01;     // the set is under test
inline constexpr int upgrade_flag_booted = 0x02;   // the set under test has been booted

enum : int {   // upgrade states
    UPGRADE_STATE_INVALID = -1,   // flag word unreadable, or no such set
    UPGRADE_STATE_VALID = 0,
    UPGRADE_STATE_TEST = 1,
    UPGRADE_STATE_BOOT = 2,
};

// "VALID", "TEST", "BOOT"; "INVALID" for any other value.
const char* upgrade_state_name(int state);

// Reads both flag words (complemented back): words[0] set 1, words[1] set 2. 0, or -1.
int hostconfig_flags_read(uint8_t words[2]);

// Writes the complement of both words without erasing first, then reads them back. 0 if both
// bytes read back as written; -1 otherwise, also when NOR could not take them (a 0 bit cannot
// become 1 again without an erase, so VALID cannot be written over TEST).
int hostconfig_flags_write(const uint8_t words[2]);

// The flag words a save of the hostconfig to /dev/mtd5 should leave when set `setidx` is then
// to be in state `state`: that save erases both words (VALID), so only the set's own word is
// non-zero. 0 and the words for sets 1 and 2 with state TEST; -1 for anything else (nothing to
// carry: the state is written after the save, if at all).
int hostconfig_flags_after_save(int setidx, int state, uint8_t words[2]);

// 0 for set 0 (no device access); the flag word 0..255 of set 1 or 2; -1 for other indexes or
// when the words cannot be read.
int upgrade_flags_read(int setidx);

// Read-modify-write of the word of set 1 or 2 (low 8 bits of `flags`); the other set's word is
// written back as read. 0, or -1 for any other set index or on failure.
int upgrade_flags_write(int setidx, int flags);

// The state of a set: 0 VALID, 1 TEST, 2 BOOT, -1 when its flag word cannot be read.
int get_upgrade_state(int setidx);

// 0 if the set already has `state` or it was written; -1 otherwise. Only VALID and TEST can be
// written; asking for another state prints "cannot set state to %d, invalid" on the console.
int set_upgrade_state(int setidx, int state);
