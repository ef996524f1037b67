// krul/krul.h: the upgrade data record (partition sets, partition table, installed releases
// and content) and the partition pools derived from it.
//
// The first krul_stored_size bytes of krul_data are its storage format: they are kept byte for
// byte as the body of the hostconfig part named "KRU data" and read back by position (there is
// no version field). The pool table behind them is derived at run time and never stored.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "nemf/nemf_format.h"

struct hostconfig;

static_assert(std::endian::native == std::endian::little, "the record is copied as raw bytes");

inline constexpr int krul_max_sets = 3;        // set indexes 0 (safe set), 1, 2
inline constexpr int krul_max_partinfo = 20;   // partition-table indexes 0..19
inline constexpr int krul_max_refs = 20;       // refs slots of a set
inline constexpr int krul_max_pools = 20;
inline constexpr int krul_max_pool_items = 19;   // members of one pool
inline constexpr uint32_t krul_stored_size = 2964;
inline constexpr std::string_view krul_part_name = "KRU data";

// One partition set. An empty name means the set is unused.
struct partset {
    uint8_t bootable;
    char name[15];      // at most 14 characters and a NUL
    int8_t refs[20];    // partition-table indexes in order; -1 marks an empty slot, the list
                        // ends at the first -1
};
static_assert(sizeof(partset) == 36);
static_assert(offsetof(partset, name) == 1);
static_assert(offsetof(partset, refs) == 16);

// One entry of the partition table. An empty poolname (first byte 0) means it is unused.
struct partinfo {
    char poolname[16];
    uint8_t pn;          // the partition's data is /dev/mtd<pn>
    uint8_t reserved1[3];
    uint32_t offset;     // as given to the partinfo action, kept and reported
    uint32_t size;
    char mountpnt[32];   // empty or "/": not mounted
    char fstype[10];     // empty: not mounted
    uint8_t reserved2[2];
};
static_assert(sizeof(partinfo) == 72);
static_assert(offsetof(partinfo, pn) == 16);
static_assert(offsetof(partinfo, offset) == 20);
static_assert(offsetof(partinfo, size) == 24);
static_assert(offsetof(partinfo, mountpnt) == 28);
static_assert(offsetof(partinfo, fstype) == 60);

// The first 64 bytes of the content part installed in a partition: its content header and
// the first 32 bytes of its body (a software block for content software parts). body_length
// or body_crc 0 means nothing is recorded.
struct krul_pinfometa {
    nemf_content_header hdr;
    nemf_content_software sw;
};
static_assert(sizeof(krul_pinfometa) == 64);
static_assert(offsetof(krul_pinfometa, sw) == 32);

// A pool: the partitions that share a poolname, in table order. An empty name means the slot
// is free. cnt 1 is a singleton, any other value a multi pool.
struct partpool {
    char name[16];
    uint8_t items[20];   // members first, zeros from cnt on
    uint8_t cnt;
};
static_assert(sizeof(partpool) == 37);

struct krul_data {
    uint8_t actset;                            // index of the active set, 0..2
    struct partset sets[3];
    uint8_t reserved[3];
    struct partinfo partinfo[20];
    nemf_release_header rhdr[3];               // release installed in each set
    krul_pinfometa pinfometa[20];                // content installed in each partition
    // Run time only, behind the stored bytes.
    struct partpool pools[20];
    uint32_t pool_count;
    uint32_t pools_valid;                      // 1 once krul_partpool_generate ran
};
static_assert(sizeof(nemf_release_header) == 44);
static_assert(offsetof(krul_data, actset) == 0);
static_assert(offsetof(krul_data, sets) == 1);
static_assert(offsetof(krul_data, reserved) == 109);
static_assert(offsetof(krul_data, partinfo) == 112);
static_assert(offsetof(krul_data, rhdr) == 1552);
static_assert(offsetof(krul_data, pinfometa) == 1684);
static_assert(offsetof(krul_data, pools) == krul_stored_size);
static_assert(offsetof(krul_data, pool_count) == 3704);
static_assert(offsetof(krul_data, pools_valid) == 3708);
static_assert(std::is_trivially_copyable_v<krul_data>);

// Every function stops through qz_panic on a null record or hostconfig (our bug).

// Zeroes the whole record, run-time fields included. 1.
int krul_init(krul_data* rec);

// Appends a "KRU data" part holding the first krul_stored_size bytes of the record. 1, or -1
// if the hostconfig refused it (full).
int krul_hostconfig_export(const krul_data* rec, hostconfig* hc);

// Copies the body of the first part whose name begins with "KRU data" over the stored bytes of
// the record; the run-time tail is not touched. 1, or -1 (record unchanged) if there is no
// such part or its body is shorter than krul_stored_size.
int krul_hostconfig_import(krul_data* rec, const hostconfig* hc);

int krul_actset_get(const krul_data* rec);
void krul_actset_activate(krul_data* rec, int setidx);

// The lowest set index whose name equals `name` over at most 15 characters; -2 for an empty
// name, -1 if no set has it.
int krul_getsetidx(const krul_data* rec, std::string_view name);

// 1 if a set other than `skip_set` has `partidx` in any of its 20 refs slots (a -1 slot does
// not end the search), else 0.
int krul_partinfo_owned_by_set(const krul_data* rec, int partidx, int skip_set);

// Forgets what partition `partidx` holds: clears its mountpnt, fstype and pinfometa entry; the
// pool, pn, offset and size stay. 1. `partidx` must be 0..19.
int krul_partinfo_mark_meta_invalid(krul_data* rec, int partidx);

// Pools (krul_pool.cc). Generate them after the record is decoded and after the partition
// table changed; lookups before the first generation fail.

// Rebuilds pools, pool_count and pools_valid from the partition table. A pool keeps at most
// krul_max_pool_items members; a twentieth entry of the same pool is left out.
void krul_partpool_generate(krul_data* rec);

// The member count of the first pool slot whose name equals `name` (free slots compare too);
// -1 before generation or when no slot matches.
int krul_partpool_items_count(const krul_data* rec, std::string_view name);

// As krul_partpool_items_count; on success also copies all 20 items bytes to `items`.
int krul_partpool_items(const krul_data* rec, std::string_view name, uint8_t (&items)[20]);

// The lowest partition-table index of pool `name` that no set but `skip_set` refers to (refs
// counted up to each set's first negative slot; values of 20 and more pass over); -1 if none.
// A `skip_set` outside 0..2 leaves out no set.
int krul_get_unused_partinfo(const krul_data* rec, std::string_view name, int skip_set);

// Names in fixed fields: up to the first NUL, at most the field's size.
template <size_t N>
inline std::string_view krul_name(const char (&field)[N])
{
    size_t n = 0;
    while (n < N && field[n] != '\0')
        ++n;
    return {field, n};
}
