// The partition-table actions: initialize (an empty record), partset (one set) and partinfo
// (one entry of the partition table). They change the record only and save it; no partition
// is touched.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <syslog.h>
#include <unistd.h>

#include "kru/kru_actions.h"
#include "kru/kru_exit.h"
#include "kru/kru_hostcfg.h"
#include "platform/log.h"

namespace {

// Copies `src` into a fixed field, cut to the field, NUL-padded (a name as long as the field
// has no NUL).
template <size_t N>
void kru_fill_field(char (&dst)[N], std::string_view src)
{
    size_t n = src.size() < N ? src.size() : N;
    if (n > 0)   // an empty view may carry a null pointer
        std::memcpy(dst, src.data(), n);
    std::memset(dst + n, 0, N - n);
}

// Reads an integer the way "%i" does (decimal, 0x hexadecimal, leading-zero octal, reading
// stops at the first misfit). True when a number was read and lies in [lo, hi]; `end`, when
// given, receives where reading stopped.
bool kru_read_index(const char* word, long lo, long hi, long* out, const char** end = nullptr)
{
    if (word == nullptr)
        return false;
    char* stop;
    errno = 0;
    long v = std::strtol(word, &stop, 0);
    if (stop == word || errno == ERANGE || v < lo || v > hi)
        return false;
    *out = v;
    if (end != nullptr)
        *end = stop;
    return true;
}

enum : int {   // results of kru_parse_refs
    KRU_REFS_OK = 0,
    KRU_REFS_ERR_SYNTAX = -1,   // an empty or non-numeric element
    KRU_REFS_ERR_RANGE = -2,    // a number that is no partition-table index
    KRU_REFS_ERR_COUNT = -3,    // more numbers than a set has refs slots
};

// The list behind "-refs=" into the first slots of `refs` (the others are left alone).
// Reading stops at the end of the text or where a number is followed by anything but ",".
int kru_parse_refs(const char* list, int8_t (&refs)[krul_max_refs])
{
    if (*list == '\0')
        return KRU_REFS_OK;   // a set with no partitions
    int n = 0;
    const char* p = list;
    for (;;) {
        long v;
        const char* end;
        if (!kru_read_index(p, LONG_MIN, LONG_MAX, &v, &end))
            return KRU_REFS_ERR_SYNTAX;
        if (v < 0 || v >= krul_max_partinfo)
            return KRU_REFS_ERR_RANGE;
        if (n == krul_max_refs)
            return KRU_REFS_ERR_COUNT;
        refs[n++] = static_cast<int8_t>(v);
        if (*end != ',')
            return KRU_REFS_OK;
        p = end + 1;
    }
}

// Values collected from the sub-options of partinfo.
struct kru_partinfo_opts {
    long pn = -1;   // -1: not given, the entry describes /dev/mtd<PARTIDX>
    uint32_t offset = 0;
    uint32_t metacrc = 0;
    uint32_t metalength = 0;
    char mount[100] = {};   // up to 99 characters, cut to the record's 32 bytes
    char fstype[10] = {};   // up to 9 characters
};

// The "%s" of a sub-option: leading white space skipped, the value ends at white space.
std::string_view kru_scan_word(const char* p)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    size_t n = 0;
    while (p[n] != '\0' && p[n] != ' ' && !(p[n] >= '\t' && p[n] <= '\r'))
        ++n;
    return {p, n};
}

// An unsigned 32-bit value in `base` (0 as strtoul, 16 as "%x", 10 as "%u"). 1 read, 0 nothing
// to read, -1 negative or too large.
int kru_scan_u32(const char* p, int base, uint32_t* out)
{
    if (kru_scan_word(p).starts_with('-'))
        return -1;
    char* stop;
    errno = 0;
    unsigned long long v = std::strtoull(p, &stop, base);
    if (stop == p)
        return 0;
    if (errno == ERANGE || v > UINT32_MAX)
        return -1;
    *out = static_cast<uint32_t>(v);
    return 1;
}

enum : int {   // results of a sub-option row
    KRU_SUBOPT_TAKEN = 0,      // applied, or nothing after its "=" (taken without effect)
    KRU_SUBOPT_NOT_MINE = 1,   // the word is not this row's
    KRU_SUBOPT_ERR_VALUE = -1, // the value does not fit
};

using kru_subopt_fn = int (*)(const char* value, kru_partinfo_opts* o);
struct kru_subopt_row {
    std::string_view prefix;
    kru_subopt_fn apply;
    const char* fail_message;   // for KRU_SUBOPT_ERR_VALUE
};

int kru_subopt_u32(const char* value, int base, uint32_t* dst)
{
    return kru_scan_u32(value, base, dst) < 0 ? KRU_SUBOPT_ERR_VALUE : KRU_SUBOPT_TAKEN;
}

template <size_t N>
int kru_subopt_text(const char* value, char (&dst)[N])
{
    std::string_view v = kru_scan_word(value);
    if (v.size() > N - 1)
        return KRU_SUBOPT_ERR_VALUE;
    kru_fill_field(dst, v);
    return KRU_SUBOPT_TAKEN;
}

// Tried in this order; the first row whose prefix the word carries takes it.
constexpr kru_subopt_row kru_subopt_rows[] = {
    {"-offset=", [](const char* v, kru_partinfo_opts* o) { return kru_subopt_u32(v, 16, &o->offset); },
     "partinfo action: OFFSET is illegal.\n"},
    {"-mount=", [](const char* v, kru_partinfo_opts* o) { return kru_subopt_text(v, o->mount); },
     "partinfo action: MOUNT is longer than 99 characters.\n"},
    {"-fstype=", [](const char* v, kru_partinfo_opts* o) { return kru_subopt_text(v, o->fstype); },
     "partinfo action: FSTYPE is longer than 9 characters.\n"},
    {"-metacrc=", [](const char* v, kru_partinfo_opts* o) { return kru_subopt_u32(v, 10, &o->metacrc); },
     "partinfo action: CRC is illegal.\n"},
    {"-metalength=", [](const char* v, kru_partinfo_opts* o) { return kru_subopt_u32(v, 10, &o->metalength); },
     "partinfo action: LENGTH is illegal.\n"},
    {"-pn=",
     [](const char* v, kru_partinfo_opts* o) {
         char* stop;
         errno = 0;
         long pn = std::strtol(v, &stop, 0);
         if (stop != v)   // out of range or too large for long: refused by the pn check
             o->pn = errno == ERANGE ? LONG_MAX : pn;
         return static_cast<int>(KRU_SUBOPT_TAKEN);
     },
     nullptr},
};

// Applies one further word of partinfo. 0 (also for a word that is none of the sub-options),
// or 1 after the message of a value that does not fit.
int kru_partinfo_subopt(const char* word, kru_partinfo_opts* o)
{
    std::string_view w(word);
    for (const kru_subopt_row& row : kru_subopt_rows) {
        if (!w.starts_with(row.prefix))
            continue;
        if (row.apply(word + row.prefix.size(), o) == KRU_SUBOPT_ERR_VALUE) {
            kru_log(LOG_ERR, "%s", row.fail_message);
            return 1;
        }
        return 0;
    }
    return 0;
}

}  // namespace

int kru_action_initialize(kru_settings* s)
{
    krul_data rec;
    hostconfig hc;
    if (krul_init(&rec) != 1) {
        kru_log(LOG_ERR, "initialize: krul_init failed.\n");
        return KRU_EXIT_FAILURE;
    }
    if (hostconfig_new(&hc, hostconfig_max_size) != 1) {
        kru_log(LOG_ERR, "initialize: hostconfig_new failed.\n");
        return KRU_EXIT_FAILURE;
    }
    if (krul_hostconfig_export(&rec, &hc) != 1) {
        kru_log(LOG_ERR, "initialize: krul_hostconfig_export failed.\n");
        return KRU_EXIT_FAILURE;
    }
    // Whatever dryrun says: a device without a hostconfig gets one.
    if (kru_hostconfig_save(s, &rec, &hc, "initialize") != 1) {
        kru_log(LOG_ERR, "initialize: save failed.\n");
        return KRU_EXIT_FAILURE;
    }
    if (s->verbose || !isatty(1))
        kru_log(LOG_INFO, "initialize: OK\n");
    return 0;
}

int kru_action_partset(kru_settings* s)
{
    krul_data rec;
    hostconfig hc;
    if (kru_load_or_report(s, &rec, &hc, "partset action: loading hostcfg failed.\n") != 1)
        return KRU_EXIT_FAILURE;
    if (s->args[1] == nullptr) {
        kru_log(LOG_ERR, "partset action: SETIDX is missing.\n");
        return KRU_EXIT_FAILURE;
    }
    long idx;
    if (!kru_read_index(s->args[1], 0, krul_max_sets - 1, &idx)) {
        kru_log(LOG_ERR, "partset action: SETIDX is illegal.\n");
        return KRU_EXIT_FAILURE;
    }
    partset& set = rec.sets[idx];
    set.bootable = 0;
    std::memset(set.refs, -1, sizeof set.refs);
    // The second word is the name whatever it looks like; names are cut to 14 characters.
    std::string_view name = s->args[2] != nullptr ? std::string_view(s->args[2]) : std::string_view();
    kru_fill_field(set.name, name.substr(0, sizeof set.name - 1));

    if (s->args[2] != nullptr && s->args[3] != nullptr && std::string_view(s->args[3]).starts_with("-refs=")) {
        switch (kru_parse_refs(s->args[3] + 6, set.refs)) {
        case KRU_REFS_OK:
            break;
        case KRU_REFS_ERR_RANGE:
            kru_log(LOG_ERR, "partset action: PARTREFS holds an index outside 0..%d.\n", krul_max_partinfo - 1);
            return KRU_EXIT_FAILURE;
        case KRU_REFS_ERR_COUNT:
            kru_log(LOG_ERR, "partset action: PARTREFS holds more than %d indexes.\n", krul_max_refs);
            return KRU_EXIT_FAILURE;
        default:
            kru_log(LOG_ERR, "partset action: PARTREFS is illegal.\n");
            return KRU_EXIT_FAILURE;
        }
    }
    nemf_release_header& rh = rec.rhdr[idx];
    rh.release_version_major = static_cast<uint8_t>(s->meta_major);
    rh.release_version_minor = static_cast<uint8_t>(s->meta_minor);
    rh.release_build_number = static_cast<uint16_t>(s->meta_build);

    if (s->verbose)
        kru_info(s, &rec);
    if (s->dryrun)
        return 0;
    if (kru_hostconfig_save(s, &rec, &hc, "partset") != 1) {
        kru_log_err(LOG_CRIT, "hostcfg saving failed.\n");
        return KRU_EXIT_FAILURE;
    }
    return 0;
}

int kru_action_partinfo(kru_settings* s)
{
    kru_partinfo_opts o;
    krul_data rec;
    hostconfig hc;
    if (kru_load_or_report(s, &rec, &hc, "partinfo action: loading hostcfg failed.\n") != 1)
        return KRU_EXIT_FAILURE;
    // PARTIDX alone clears the entry; POOLNAME needs SIZE with it.
    if (s->argc < 2 || s->argc == 3) {
        kru_log(LOG_ERR, "partinfo action: wrong syntax.\n");
        return KRU_EXIT_FAILURE;
    }
    long idx;
    if (!kru_read_index(s->args[1], 0, krul_max_partinfo - 1, &idx)) {
        kru_log(LOG_ERR, "partinfo action: PARTIDX is illegal.\n");
        return KRU_EXIT_FAILURE;
    }
    std::string_view pool;
    uint32_t size = 0;
    if (s->argc > 2) {
        pool = s->args[2];
        if (pool.size() > sizeof rec.partinfo[0].poolname) {
            kru_log(LOG_ERR, "partinfo action: POOLNAME is longer than %zu characters.\n",
                    sizeof rec.partinfo[0].poolname);
            return KRU_EXIT_FAILURE;
        }
        if (kru_scan_u32(s->args[3], 0, &size) != 1) {
            kru_log(LOG_ERR, "partinfo action: SIZE is illegal.\n");
            return KRU_EXIT_FAILURE;
        }
        for (int i = 4; i < s->argc; ++i)
            if (kru_partinfo_subopt(s->args[i], &o) != 0)
                return KRU_EXIT_FAILURE;
    }
    if (o.pn < -1 || o.pn > 255) {
        kru_log(LOG_ERR, "partinfo action: pn invalid.\n");
        return KRU_EXIT_FAILURE;
    }

    partinfo& entry = rec.partinfo[idx];
    if (s->argc == 2) {
        // The recorded content stays: only the table entry goes.
        std::memset(&entry, 0, sizeof entry);
    } else {
        kru_fill_field(entry.poolname, pool);
        entry.pn = static_cast<uint8_t>(o.pn >= 0 ? o.pn : idx);
        entry.offset = o.offset;
        entry.size = size;
        kru_fill_field(entry.mountpnt, o.mount);
        kru_fill_field(entry.fstype, o.fstype);
        krul_pinfometa& meta = rec.pinfometa[idx];
        meta.hdr.body_length = o.metalength;
        meta.hdr.body_crc = o.metacrc;
        meta.sw.sw_version_major = static_cast<uint8_t>(s->meta_major);
        meta.sw.sw_version_minor = static_cast<uint8_t>(s->meta_minor);
        meta.sw.sw_build_number = static_cast<uint16_t>(s->meta_build);
    }

    if (s->verbose)
        kru_info(s, &rec);
    if (s->dryrun)
        return 0;
    if (kru_hostconfig_save(s, &rec, &hc, "partinfo") != 1) {
        kru_log_err(LOG_CRIT, "partinfo action: hostcfg saving failed.\n");
        return KRU_EXIT_FAILURE;
    }
    return 0;
}
