#include "kru/kru_hostcfg.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "kru/kru_supervise.h"
#include "nemf/nemf_validate.h"
#include "platform/log.h"
#include "platform/mtd.h"

namespace {

// The backup path when it is set and the device says it is unlocked; else null. A path whose
// lock query fails (a regular file, no device) counts as locked.
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

int kru_hostconfig_save(kru_settings* s, const krul_data* rec, const hostconfig* loaded, const char* caller)
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
    kru_critical_enter("critical part start: hostconfig_save called by %s\n", caller);
    int r = hostconfig_save(&next, s->hostcfg, kru_usable_backup(s));
    kru_critical_leave("critical part end: hostconfig_save\n");
    if (r != 1) {
        kru_log(LOG_DEBUG, "hostconfig_save failed.\n");
        return -1;
    }
    return 1;
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
