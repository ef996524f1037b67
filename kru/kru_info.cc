// The report actions: info (the dump of the record), getpartset and getrh (CSV for scripts).
#include <cstdio>
#include <cstring>
#include <string_view>
#include <syslog.h>

#include "kru/kru_actions.h"
#include "kru/kru_exit.h"
#include "kru/kru_hostcfg.h"
#include "krul/krul_info.h"
#include "platform/log.h"
#include "platform/qz.h"

namespace {

// Fields of the column selection: entry 0 is the working buffer, 1..19 the column names.
constexpr int kru_pif_max = 20;
constexpr std::string_view kru_pif_prefix = "-pif=";

struct kru_pif {
    char buf[krul_csv_buf_size];
    char* fields[kru_pif_max];
    int count;   // columns selected; 0 = default layout
};

// Splits the text behind "-pif=" of `word` into `pif`. 0, or -1 if it does not parse or is
// too long. A null word, or one that is not a selection, selects nothing.
int kru_pif_parse(const char* word, kru_pif* pif)
{
    pif->count = 0;
    pif->fields[0] = pif->buf;
    if (word == nullptr || !std::string_view(word).starts_with(kru_pif_prefix))
        return 0;
    int n = krul_parse_csv(word + kru_pif_prefix.size(), pif->fields, kru_pif_max);
    if (n < 0)
        return -1;
    pif->count = n;
    return 0;
}

// Fixed fields need not end in a NUL: print them with "%.*s".
template <size_t N>
int len_of(const char (&field)[N])
{
    return static_cast<int>(krul_name(field).size());
}

// A column of getpartset: its name and how it prints the value of partition-table entry p.
using kru_part_col_fn = void (*)(const krul_data* rec, int p);
struct kru_part_col {
    std::string_view name;
    kru_part_col_fn print;
};

const partinfo& pi(const krul_data* rec, int p) { return rec->partinfo[p]; }
const nemf_content_software& sw(const krul_data* rec, int p) { return rec->pinfometa[p].sw; }
const nemf_content_header& content(const krul_data* rec, int p) { return rec->pinfometa[p].hdr; }

constexpr kru_part_col kru_part_cols[] = {
    {"pidx",      [](const krul_data*, int p) { qz_printf("%i", p); }},
    {"pool",      [](const krul_data* r, int p) { qz_printf("%.*s", len_of(pi(r, p).poolname), pi(r, p).poolname); }},
    {"pn",        [](const krul_data* r, int p) { qz_printf("%i", pi(r, p).pn); }},
    {"offset",    [](const krul_data* r, int p) { qz_printf("0x%08X", pi(r, p).offset); }},
    {"size",      [](const krul_data* r, int p) { qz_printf("0x%08X", pi(r, p).size); }},
    {"size_dec",  [](const krul_data* r, int p) { qz_printf("%u", pi(r, p).size); }},
    {"mountpnt",  [](const krul_data* r, int p) { qz_printf("%.*s", len_of(pi(r, p).mountpnt), pi(r, p).mountpnt); }},
    {"fstype",    [](const krul_data* r, int p) { qz_printf("%.*s", len_of(pi(r, p).fstype), pi(r, p).fstype); }},
    {"len",       [](const krul_data* r, int p) { qz_printf("0x%08X", content(r, p).body_length); }},
    {"len_dec",   [](const krul_data* r, int p) { qz_printf("%u", content(r, p).body_length); }},
    {"ver",       [](const krul_data* r, int p) { qz_printf("%i.%.2i", sw(r, p).sw_version_major, sw(r, p).sw_version_minor); }},
    {"ver_major", [](const krul_data* r, int p) { qz_printf("%i", sw(r, p).sw_version_major); }},
    {"ver_minor", [](const krul_data* r, int p) { qz_printf("%.2i", sw(r, p).sw_version_minor); }},
    {"build_num", [](const krul_data* r, int p) { qz_printf("%i", sw(r, p).sw_build_number); }},
    {"build_id",  [](const krul_data* r, int p) { qz_printf("%.*s", len_of(sw(r, p).sw_build_id), sw(r, p).sw_build_id); }},
};

// A column of getrh.
using kru_rh_col_fn = void (*)(const nemf_release_header& rh);
struct kru_rh_col {
    std::string_view name;
    kru_rh_col_fn print;
};

constexpr kru_rh_col kru_rh_cols[] = {
    {"ver",        [](const nemf_release_header& rh) { qz_printf("%i.%.2i", rh.release_version_major, rh.release_version_minor); }},
    {"ver_major",  [](const nemf_release_header& rh) { qz_printf("%i", rh.release_version_major); }},
    {"ver_minor",  [](const nemf_release_header& rh) { qz_printf("%.2i", rh.release_version_minor); }},
    {"build_num",  [](const nemf_release_header& rh) { qz_printf("%i", rh.release_build_number); }},
    {"build_id",   [](const nemf_release_header& rh) { qz_printf("%.*s", len_of(rh.release_build_id), rh.release_build_id); }},
    {"build_time", [](const nemf_release_header& rh) { krul_printf_time(rh.release_date); }},
};

// The row named `name` of a column table, or null: an unknown column prints an empty value.
template <class Row, size_t N>
const Row* kru_find_col(const Row (&rows)[N], std::string_view name)
{
    for (const Row& row : rows)
        if (row.name == name)
            return &row;
    return nullptr;
}

void kru_print_part_line(const krul_data* rec, int p, const kru_pif& pif)
{
    if (pif.count == 0) {
        const partinfo& pi = rec->partinfo[p];
        const krul_pinfometa& meta = rec->pinfometa[p];
        qz_printf("%i,%.*s,%i,0x%08X,0x%08X,%.*s,%.*s,0x%08X,0x%08X,%i.%i,%i,%.*s\n", p, len_of(pi.poolname),
                  pi.poolname, pi.pn, pi.offset, pi.size, len_of(pi.mountpnt), pi.mountpnt, len_of(pi.fstype),
                  pi.fstype, meta.hdr.body_crc, meta.hdr.body_length, meta.sw.sw_version_major,
                  meta.sw.sw_version_minor, meta.sw.sw_build_number, len_of(meta.sw.sw_build_id),
                  meta.sw.sw_build_id);
        return;
    }
    for (int i = 1; i <= pif.count; ++i) {
        if (i > 1)
            qz_printf(",");
        if (const kru_part_col* col = kru_find_col(kru_part_cols, pif.fields[i]))
            col->print(rec, p);
    }
    qz_printf("\n");
}

// The active set of a record read from flash, or -1 if it names no set.
int kru_active_set(const krul_data* rec)
{
    int set = krul_actset_get(rec);
    return set < krul_max_sets ? set : -1;
}

}  // namespace

void kru_info(kru_settings*, krul_data* rec)
{
    krul_partpool_generate(rec);
    krul_dump_info(rec);
    krul_upgrade_info();
}

int kru_action_info(kru_settings* s)
{
    krul_data rec;
    hostconfig hc;
    if (kru_load_or_report(s, &rec, &hc, "info action: loading hostcfg failed.\n") != 1)
        return KRU_EXIT_FAILURE;
    kru_info(s, &rec);
    return 0;
}

int kru_action_getpartset(kru_settings* s)
{
    const char* set_word = s->args[1];
    if (set_word == nullptr) {
        kru_log(LOG_ERR, "getpartset action: SETIDX is missing.\n");
        return KRU_EXIT_FAILURE;
    }
    bool active = std::strcmp(set_word, "active") == 0;
    int set = -1;
    if (!active && (std::sscanf(set_word, "%i", &set) != 1 || set < 0 || set >= krul_max_sets)) {
        kru_log(LOG_ERR, "getpartset action: SETIDX is illegal.\n");
        return KRU_EXIT_FAILURE;
    }

    // A second word that is not an option filters by pool; the selection then comes after it.
    const char* pool = nullptr;
    const char* pif_word = nullptr;
    if (s->argc > 2 && s->args[2][0] != '-') {
        pool = s->args[2];
        pif_word = s->argc > 3 ? s->args[3] : nullptr;
    } else if (s->argc > 2) {
        pif_word = s->args[2];
    }
    kru_pif pif;
    if (kru_pif_parse(pif_word, &pif) != 0) {
        kru_log(LOG_ERR, "getpartset action: PIF could not parse or too long.\n");
        return KRU_EXIT_FAILURE;
    }

    krul_data rec;
    hostconfig hc;
    if (kru_load_or_report(s, &rec, &hc, "getpartset action: loading hostcfg failed.\n") != 1)
        return KRU_EXIT_FAILURE;
    if (active && (set = kru_active_set(&rec)) < 0) {
        kru_log(LOG_ERR, "getpartset action: SETIDX is illegal.\n");
        return KRU_EXIT_FAILURE;
    }
    if (s->verbose)
        kru_info(s, &rec);

    bool framed = pif.count == 0 && pool == nullptr;
    if (framed) {
        qz_printf("# KRU Partion Set CSV version 1.0\n");
        qz_printf("# Selected Partition Set: %i\n", set);
        qz_printf("# pidx,pool,pn,offset,size,mountpnt,fstype,crc,len,ver,build,build_id\n");
    }
    for (int8_t ref : rec.sets[set].refs) {
        if (ref == -1)
            break;
        if (ref < 0 || ref >= krul_max_partinfo)   // names no entry of the table
            continue;
        if (pool != nullptr && krul_name(rec.partinfo[ref].poolname) != pool)
            continue;
        kru_print_part_line(&rec, ref, pif);
    }
    if (framed)
        qz_printf("# End of list\n");
    return 0;
}

int kru_action_getrh(kru_settings* s)
{
    if (s->args[1] == nullptr) {
        kru_log(LOG_ERR, "getrh: missing set idx?\n");
        return KRU_EXIT_FAILURE;
    }
    krul_data rec;
    hostconfig hc;
    if (kru_load_or_report(s, &rec, &hc, "getrh: loading hostcfg failed.\n") != 1)
        return KRU_EXIT_FAILURE;
    int set = std::strcmp(s->args[1], "active") == 0 ? kru_active_set(&rec) : kru_parse_setidx(&rec, s->args[1]);
    if (set < 0) {
        kru_log(LOG_ERR, "getrh: invalid set idx?\n");
        return KRU_EXIT_FAILURE;
    }
    kru_pif pif;
    if (kru_pif_parse(s->args[2], &pif) != 0) {
        kru_log(LOG_ERR, "getrh: PIF could not parse or too long.\n");
        return KRU_EXIT_FAILURE;
    }

    const nemf_release_header& rh = rec.rhdr[set];
    if (pif.count == 0) {
        qz_printf("# KRU Release Header CSV version 1.0\n");
        qz_printf("# Selected Partition Set: %i\n", set);
        qz_printf("# ver,build,build_id,build_time\n");
        qz_printf("%i.%i,%i,%.*s,", rh.release_version_major, rh.release_version_minor, rh.release_build_number,
                  len_of(rh.release_build_id), rh.release_build_id);
        krul_printf_time(rh.release_date);
        qz_printf("\n");
        qz_printf("# End of list\n");
        return 0;
    }
    for (int i = 1; i <= pif.count; ++i) {
        if (i > 1)
            qz_printf(",");
        if (const kru_rh_col* col = kru_find_col(kru_rh_cols, pif.fields[i]))
            col->print(rh);
    }
    qz_printf("\n");
    return 0;
}
