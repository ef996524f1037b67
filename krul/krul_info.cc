#include "krul/krul_info.h"

#include <cstring>
#include <ctime>

#include "hostconfig/hostconfig_flags.h"
#include "krul/krul.h"
#include "platform/qz.h"

namespace {

constexpr const char* krul_module = "krul";

// A fixed field as "%.*s" arguments: stored names need not end in a NUL.
template <size_t N>
int field_len(const char (&field)[N])
{
    return static_cast<int>(krul_name(field).size());
}

void dump_sets(const krul_data* rec)
{
    qz_printf("Sets: (p1/2)\n");
    qz_printf("     name:            bootable:  rhdr:      refs:\n");
    for (int i = 0; i < krul_max_sets; ++i) {
        const partset& set = rec->sets[i];
        if (set.name[0] == '\0')
            continue;
        const nemf_release_header& rh = rec->rhdr[i];
        qz_printf(" %2i  %-15.*s  %1i         ", i, field_len(set.name), set.name, set.bootable);
        qz_printf("%2i.%02i %-4i  ", rh.release_version_major, rh.release_version_minor,
                  rh.release_build_number);
        for (int8_t ref : set.refs) {
            if (ref == -1)
                break;
            qz_printf("%i ", ref);
        }
        if (i == rec->actset)
            qz_printf("   ACTIVE SET");
        qz_printf("\n");
    }

    qz_printf("Sets: (p2/2)\n");
    qz_printf("     name:            release date:        release id:\n");
    for (int i = 0; i < krul_max_sets; ++i) {
        const partset& set = rec->sets[i];
        if (set.name[0] == '\0')
            continue;
        const nemf_release_header& rh = rec->rhdr[i];
        qz_printf(" %2i  %-15.*s  ", i, field_len(set.name), set.name);
        krul_printf_time(rh.release_date);
        qz_printf("  %-20.*s", field_len(rh.release_build_id), rh.release_build_id);
        qz_printf("\n");
    }
}

void dump_partitions(const krul_data* rec)
{
    qz_printf("Partitions: (p1/2)\n");
    qz_printf("     pn: poolname:        offset:     size:        ver:       fstype:   mountpnt:\n");
    for (int i = 0; i < krul_max_partinfo; ++i) {
        const partinfo& p = rec->partinfo[i];
        if (p.poolname[0] == '\0')
            continue;
        const nemf_content_software& sw = rec->pinfometa[i].sw;
        qz_printf(" %2i  %2d  %-15.*s  0x%-8X  0x%-8X  %2i.%02i %-4i", i, p.pn, field_len(p.poolname),
                  p.poolname, p.offset, p.size, sw.sw_version_major, sw.sw_version_minor, sw.sw_build_number);
        qz_printf("  %-8.*s  %.*s\n", field_len(p.fstype), p.fstype, field_len(p.mountpnt), p.mountpnt);
    }

    qz_printf("Partitions: (p2/2)\n");
    qz_printf("     poolname:        content name:     length:     crc32:\n");
    for (int i = 0; i < krul_max_partinfo; ++i) {
        const partinfo& p = rec->partinfo[i];
        if (p.poolname[0] == '\0')
            continue;
        const nemf_content_header& h = rec->pinfometa[i].hdr;
        qz_printf(" %2i  %-15.*s  %-16.*s  0x%-8X  0x%-8X\n", i, field_len(p.poolname), p.poolname,
                  field_len(h.name), h.name, h.body_length, h.body_crc);
    }
}

int dump_pools(const krul_data* rec)
{
    qz_printf("Pools:\n");
    int r = qz_printf("     pool:            cnt:   type:\n");
    for (int i = 0; i < krul_max_pools; ++i) {
        const partpool& pool = rec->pools[i];
        if (pool.name[0] == '\0')
            continue;
        qz_printf(" %2i  %-15.*s  %-2i     ", i, field_len(pool.name), pool.name, pool.cnt);
        r = qz_printf("%s", pool.cnt == 1 ? "singleton\n" : "multi\n");
    }
    return r;
}

}  // namespace

int krul_dump_info(const krul_data* rec)
{
    QZ_ASSERT(krul_module, rec != nullptr);
    dump_sets(rec);
    dump_partitions(rec);
    return dump_pools(rec);
}

int krul_printf_time(uint32_t t)
{
    time_t when = static_cast<time_t>(t);
    struct tm tm;
    if (gmtime_r(&when, &tm) == nullptr)
        return qz_printf("INVALID TIME");
    return qz_printf("%4i.%02i.%02i %02i:%02i:%02i", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                     tm.tm_min, tm.tm_sec);
}

int krul_upgrade_info()
{
    int r = 0;
    for (int set = 1; set <= 2; ++set) {
        int state = get_upgrade_state(set);
        r = qz_printf("KRU Data Upgrade set %d: %s(%d)\n", set, upgrade_state_name(state), state);
    }
    return r;
}

int krul_parse_csv(const char* text, char** fields, int max)
{
    QZ_ASSERT(krul_module, text != nullptr && fields != nullptr && fields[0] != nullptr);
    size_t len = strnlen(text, krul_csv_buf_size);
    if (len >= krul_csv_buf_size)   // would not fit the working buffer
        return -1;
    char* copy = fields[0];
    std::memcpy(copy, text, len + 1);
    if (len == 0)
        return 0;
    if (max <= 1)
        return -1;
    fields[1] = copy;
    int count = 1;
    char* p = copy;
    for (;;) {
        char* comma = std::strchr(p, ',');
        if (comma == nullptr)
            return count;
        *comma = '\0';
        ++count;
        if (count >= max)
            return -1;
        p = comma + 1;
        fields[count] = p;
    }
}
