#include "kru/kru_hostcfg.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "hostconfig/hostconfig_flags.h"
#include "kru/kru_supervise.h"
#include "nemf/nemf_validate.h"
#include "platform/log.h"
#include "platform/mtd.h"

namespace {

// The backup path when it is set and the device says it is unlocked; else null. A path whose
// lock query fails (a regular file, no device) counts as locked; a device without lock
// support counts as unlocked (mtd_is_locked).
const char* kru_usable_backup(const kru_settings* s)
{
    if (s->hostcfg_backup[0] == '\0' || mtd_fn_is_locked(s->hostcfg_backup) != 0)
        return nullptr;
    return s->hostcfg_backup;
}

}  // namespace

int load(kru_settings* s, krul_data* rec, hostconfig* hc)
{
    if (krul_init(rec) != 1) {
        kru_log(LOG_DEBUG, "krul_init failed.\n");
        return -1;
    }
    if (hostconfig_new(hc, hostconfig_max_size) != 1) {
        kru_log(LOG_DEBUG, "hostconfig_new failed.\n");
        return -1;
    }
    int r = hostconfig_load(hc, s->hostcfg, kru_usable_backup(s));
    if (r == HOSTCONFIG_LOAD_BACKUP) {
        kru_log(LOG_DEBUG, "hostconfig_load failed; loaded backup (%s) successfully.\n", s->hostcfg_backup);
    } else if (r != HOSTCONFIG_LOAD_PRIMARY) {
        // Neither copy loads. The install action then rebuilds the record (it calls load
        // again with the default hostconfig file); load itself only reports the loss.
        kru_log(LOG_DEBUG, "hostconfig_load failed.\n");
        return -1;
    }
    if (krul_hostconfig_import(rec, hc) != 1) {
        kru_log(LOG_DEBUG, "krul_hostconfig_import failed.\n");
        return -1;
    }
    return 1;
}

int kru_hostconfig_save(kru_settings* s, const krul_data* rec, const hostconfig* loaded, const char* caller,
                        int test_set)
{
    hostconfig next;
    if (hostconfig_new(&next, hostconfig_max_size) != 1) {
        kru_log(LOG_DEBUG, "hostconfig_new failed.\n");
        return -1;
    }
    for (int i = 0; i < loaded->count; ++i) {
        nemf_content_header ch = hostconfig_part_header(loaded, i);
        if (nemf_name(ch.name) == krul_part_name)
            continue;
        if (hostconfig_add(&next, hostconfig_part_bytes(loaded, i)) != 1) {
            kru_log(LOG_DEBUG, "hostconfig_add failed.\n");
            return -1;
        }
    }
    if (krul_hostconfig_export(rec, &next) != 1) {
        kru_log(LOG_DEBUG, "krul_hostconfig_export failed.\n");
        return -1;
    }
    uint8_t words[2];
    const uint8_t* flags = hostconfig_flags_after_save(test_set, UPGRADE_STATE_TEST, words) == 0 ? words : nullptr;
    const char* backup = kru_usable_backup(s);
    hostconfig_save_report report{};
    kru_critical_enter("critical part start: hostconfig_save called by %s\n", caller);
    int r = hostconfig_save(&next, s->hostcfg, backup, flags, &report);
    kru_critical_leave("critical part end: hostconfig_save\n");
    kru_log_syslog(LOG_DEBUG, "hostconfig_save: primary %s, backup %s: %s\n",
                   report.primary_loaded ? "loads" : "does not load",
                   backup == nullptr ? "not used" : report.backup_loaded ? "loads" : "does not load",
                   backup == nullptr ? "primary only" : report.primary_first ? "primary first" : "backup first");
    if (r == HOSTCONFIG_SAVE_ERR_FLAGS)
        return KRU_SAVE_ERR_TEST;
    if (r != HOSTCONFIG_SAVE_OK) {
        kru_log(LOG_DEBUG, "hostconfig_save failed.\n");
        return KRU_SAVE_FAILED;
    }
    return KRU_SAVE_OK;
}

int kru_parse_setidx(const krul_data* rec, const char* word)
{
    if (word == nullptr)
        return -1;
    long idx;
    if (std::isdigit(static_cast<unsigned char>(word[0])))
        idx = std::strtol(word, nullptr, 0);   // as "%i": 0x hex, leading-zero octal, stops at a misfit
    else
        idx = krul_getsetidx(rec, word);
    return idx >= 0 && idx <= 2 ? static_cast<int>(idx) : -1;
}
