// The verify action: reads installed partitions back and compares them with the length and
// CRC32 the record keeps for them, either as an overview of the whole partition table or set
// by set.
#include <cstdint>
#include <syslog.h>

#include "kru/kru_actions.h"
#include "kru/kru_exit.h"
#include "kru/kru_hostcfg.h"
#include "krul/krul_check.h"
#include "platform/log.h"
#include "platform/mtd.h"
#include "platform/progress.h"
#include "platform/qz.h"

namespace {

// Write types as the check sees them: content from the partition's first byte, or behind its
// content header.
constexpr uint8_t kru_wts_body = 1;

template <size_t N>
int len_of(const char (&field)[N])
{
    return static_cast<int>(krul_name(field).size());
}

const char* kru_check_word(int result)
{
    switch (result) {
    case KRUL_CRC_MATCH:
        return "ok";
    case KRUL_CRC_NOT_RECORDED:
        return "empty";
    default:
        return "bad";
    }
}

// 1 if any of the 20 refs slots of `set` holds `partidx`; a -1 slot does not end the search.
bool kru_set_refers_to(const krul_data* rec, int set, int partidx)
{
    if (set < 0 || set >= krul_max_sets)
        return false;
    for (int8_t ref : rec->sets[set].refs)
        if (ref == partidx)
            return true;
    return false;
}

// The status line for the CRC reads of partition-table entry `p`, over `total` bytes.
void kru_verify_progress_begin(const krul_data* rec, int p, uint64_t total)
{
    progress_begin(mtd_device_path(rec->partinfo[p].pn).text, "verify", total);
}

// Pool counts and the disparities found while going through the partition table.
struct kru_disparity {
    int singleton_pools = 0;
    int multi_pools = 0;
    int singleton = 0;        // partitions of singleton pools in disparity
    int multi = 0;            // partitions of multi pools in disparity
    bool active_set = false;  // a singleton in disparity belongs to the active set
};

// One line of the overview for partition-table entry `p`, its " %2i  " prefix already printed.
void kru_verify_line(const krul_data* rec, int p, kru_disparity* d)
{
    const partinfo& pi = rec->partinfo[p];
    const nemf_content_header& meta = rec->pinfometa[p].hdr;
    if (pi.poolname[0] == '\0') {
        qz_printf("Not handled by KRU\n");
        return;
    }
    if (meta.body_length == 0) {
        qz_printf("Nothing installed\n");
        return;
    }
    qz_printf("Belongs to pool %-15.*s  ", len_of(pi.poolname), pi.poolname);
    qz_printf("CRC32 content check: ");
    int body_first = 0, header_first = 0;
    kru_verify_progress_begin(rec, p, uint64_t{meta.hdr_length} + meta.body_length);
    krul_crc32_check_layouts(rec, p, &body_first, &header_first);
    progress_end();
    if (body_first == 0) {
        qz_printf("OK\n");
    } else if (header_first == 0) {
        qz_printf("OK (wts=2)\n");
    } else if (meta.body_crc != 0) {
        qz_printf("DISPARITY\n");
        if (krul_partpool_items_count(rec, krul_name(pi.poolname)) == 1) {
            ++d->singleton;
            if (kru_set_refers_to(rec, rec->actset, p))
                d->active_set = true;
        } else {
            ++d->multi;
        }
    } else {
        qz_printf("UNKNOWN\n");
    }
}

// The overview of the whole partition table, with the warnings. Always 0.
int kru_verify_table(kru_settings* s, krul_data* rec)
{
    kru_disparity d;
    for (uint32_t i = 0; i < rec->pool_count && i < krul_max_pools; ++i) {
        if (rec->pools[i].cnt == 1)
            ++d.singleton_pools;
        else
            ++d.multi_pools;
    }
    if (s->verbose)
        kru_info(s, rec);
    qz_printf("Verifying partitions:\n");
    for (int p = 0; p < krul_max_partinfo; ++p) {
        qz_printf(" %2i  ", p);
        kru_verify_line(rec, p, &d);
    }
    if (d.multi > 0)
        kru_log(LOG_ERR,
                "WARNING: %i/%i multi pools have a disparity between\n"
                "             calculated and hostconfig recorded\n"
                "             CRC32 values.\n",
                d.multi, d.multi_pools);
    if (d.singleton > 0) {
        // The blank before the second line end is part of the message.
        kru_log(LOG_ERR,
                "WARNING: %i/%i singleton pools have a disparity between\n"
                "             calculated and hostconfig recorded \n"
                "             CRC32 values.\n",
                d.singleton, d.singleton_pools);
        if (d.active_set) {
            qz_printf("             AT LEAST ONE OF THESE SINGLETONS IS PART OF THE ACTIVE SET\n");
            qz_printf("             DO NOT REBOOT UNTIL THIS ISSUE HAS BEEN FIXED!\n");
        }
    }
    return 0;
}

}  // namespace

int verify_set(kru_settings*, const krul_data* rec, int setidx, int show)
{
    QZ_ASSERT("verify_set", rec != nullptr && setidx >= 0 && setidx < krul_max_sets);
    const partset& set = rec->sets[setidx];
    if (show)
        qz_printf("%s: Set %d: %.*s\n", "verify_set", setidx, len_of(set.name), set.name);
    if (set.refs[0] < 0) {
        if (show)
            qz_printf("%s:   no refs\n", "verify_set");
        return 1;
    }
    int result = 0;
    for (int8_t ref : set.refs) {
        if (ref < 0)
            break;
        int r;
        std::string_view pool = "", content = "";
        if (ref >= krul_max_partinfo) {
            r = KRUL_CRC_UNREADABLE;   // names no entry of the table: a damaged record
        } else {
            const krul_pinfometa& meta = rec->pinfometa[ref];
            pool = krul_name(rec->partinfo[ref].poolname);
            content = krul_name(meta.hdr.name);
            if (meta.hdr.body_length == 0 || meta.hdr.body_crc == 0) {
                r = KRUL_CRC_NOT_RECORDED;
            } else {
                kru_verify_progress_begin(rec, ref, meta.hdr.body_length);
                r = crc32_check(rec, ref, kru_wts_body);
                progress_end();
            }
        }
        if (show)
            qz_printf("%s:   ref %2d: %-12.*s %-12.*s: %s\n", "verify_set", ref, static_cast<int>(pool.size()),
                      pool.data(), static_cast<int>(content.size()), content.data(), kru_check_word(r));
        if (r != 0)
            result = r;
    }
    return result;
}

int verify_sets(kru_settings* s)
{
    krul_data rec;
    hostconfig hc;
    if (kru_load_or_report(s, &rec, &hc, "verify action: loading hostcfg failed.\n") != 1)
        return KRU_EXIT_FAILURE;
    krul_partpool_generate(&rec);
    if (s->argc < 2)
        return kru_verify_table(s, &rec);

    int setidx = kru_parse_setidx(&rec, s->args[1]);
    int show = s->verbose || setidx == -1;
    if (show)
        qz_printf("%s: Checking set %d\n", "verify_sets", setidx);
    int failed = 0;
    for (int set = 0; set < krul_max_sets; ++set)
        if ((setidx == -1 || set == setidx) && verify_set(s, &rec, set, show) != 0)
            failed = 1;
    return failed;
}
