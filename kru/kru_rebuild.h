// kru/kru_rebuild.h: an initial upgrade data record for a device whose hostconfig is lost:
// the default hostconfig shipped in the file system, completed with the content headers
// (tsb) found in the safe partitions.
//
// Nothing is written: the record and the hostconfig object change in memory only.
#pragma once

#include <cstdint>

#include "hostconfig/hostconfig.h"
#include "kru/kru_settings.h"
#include "krul/krul.h"

inline constexpr const char* rebuild_default_hostcfg = "/mnt/appl/hostcfg.default";

struct rebuild_safe_partition {
    const char* name;   // leading characters of the tsb's content name
    int mtd;            // MTD number, and the partinfo index it fills
    uint32_t size;      // bytes searched from the partition's start
};
inline constexpr rebuild_safe_partition rebuild_safe_partitions[] = {
    {"KNL-SAFE", 7, 2097152},
    {"ROOT-SAFE", 8, 8388608},
    {"APPL-SAFE", 19, 6291456},
};

// Loads the default hostconfig (the configured backup still serves as its fallback) into `hc`
// and its record into `rec`, then takes each safe partition's tsb into pinfometa. 1 when the
// default hostconfig loaded (whatever the searches found), else 0. Logs its steps.
int rebuild_hostcfg(const kru_settings* s, krul_data* rec, hostconfig* hc);

// Searches the first `size` bytes of "/dev/mtd<mtd>" for a valid content header whose name
// begins with `name` and whose body is the data at the partition's start; copies it and the
// 32 bytes behind it into pinfometa[mtd] (mtd 0..19). 1 if found, else 0 after logging why.
int rebuild_meta(krul_data* rec, const char* name, int mtd, uint32_t size);
