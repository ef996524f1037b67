#include "kru/kru_hostcfg.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "kru/kru_supervise.h"
#include "krul/krul_store.h"
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

int kru_load_hostcfg(const kru_settings* s, const char* primary, krul_data* rec, hostconfig* hc)
{
    switch (krul_store_load(primary, kru_usable_backup(s), rec, hc)) {
    case KRUL_STORE_PRIMARY:
        return 1;
    case KRUL_STORE_BACKUP:
        kru_log(LOG_DEBUG, "hostconfig_load failed; loaded backup (%s) successfully.\n", s->hostcfg_backup);
        return 1;
    case KRUL_STORE_ERR_INIT:
        kru_log(LOG_DEBUG, "krul_init failed.\n");
        return -1;
    case KRUL_STORE_ERR_NEW:
        kru_log(LOG_DEBUG, "hostconfig_new failed.\n");
        return -1;
    case KRUL_STORE_ERR_LOAD:
        // Neither copy loads. The install action then rebuilds the record from the default
        // hostconfig file; load itself only reports the loss.
        kru_log(LOG_DEBUG, "hostconfig_load failed.\n");
        return -1;
    default:
        kru_log(LOG_DEBUG, "krul_hostconfig_import failed.\n");
        return -1;
    }
}

int load(kru_settings* s, krul_data* rec, hostconfig* hc)
{
    return kru_load_hostcfg(s, s->hostcfg, rec, hc);
}

int kru_load_or_report(kru_settings* s, krul_data* rec, hostconfig* hc, const char* failure)
{
    if (load(s, rec, hc) == 1)
        return 1;
    kru_log(LOG_ERR, "%s", failure);
    return -1;
}

int kru_hostconfig_save(kru_settings* s, const krul_data* rec, const hostconfig* loaded, const char* caller,
                        int test_set)
{
    hostconfig next;
    switch (krul_store_build(rec, loaded, &next)) {
    case KRUL_STORE_BUILT:
        break;
    case KRUL_STORE_ERR_NEW:
        kru_log(LOG_DEBUG, "hostconfig_new failed.\n");
        return KRU_SAVE_FAILED;
    case KRUL_STORE_ERR_ADD:
        kru_log(LOG_DEBUG, "hostconfig_add failed.\n");
        return KRU_SAVE_FAILED;
    default:
        kru_log(LOG_DEBUG, "krul_hostconfig_export failed.\n");
        return KRU_SAVE_FAILED;
    }
    const char* backup = kru_usable_backup(s);
    hostconfig_save_report report{};
    kru_critical_enter("critical part start: hostconfig_save called by %s\n", caller);
    const int r = krul_store_write(&next, s->hostcfg, backup, test_set, &report);
    kru_critical_leave("critical part end: hostconfig_save\n");
    const char* order = report.primary_first ? "primary first" : "backup first";
    if (backup == nullptr)
        order = "primary only";
    else if (report.backup_restored)
        order = "primary first, the backup holding the loaded copy";
    kru_log_syslog(LOG_DEBUG, "hostconfig_save: primary %s, backup %s: %s\n",
                   report.primary_loaded ? "loads" : "does not load",
                   backup == nullptr ? "not used" : report.backup_loaded ? "loads" : "does not load", order);
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
