#include "krul/krul_store.h"

#include "hostconfig/hostconfig_flags.h"
#include "nemf/nemf_validate.h"

int krul_store_load(const char* primary, const char* backup, krul_data* rec, hostconfig* hc)
{
    if (krul_init(rec) != 1)
        return KRUL_STORE_ERR_INIT;
    if (hostconfig_new(hc, hostconfig_max_size) != 1)
        return KRUL_STORE_ERR_NEW;
    const int copy = hostconfig_load(hc, primary, backup);
    if (copy != HOSTCONFIG_LOAD_PRIMARY && copy != HOSTCONFIG_LOAD_BACKUP)
        return KRUL_STORE_ERR_LOAD;
    if (krul_hostconfig_import(rec, hc) != 1)
        return KRUL_STORE_ERR_IMPORT;
    return copy == HOSTCONFIG_LOAD_PRIMARY ? KRUL_STORE_PRIMARY : KRUL_STORE_BACKUP;
}

int krul_store_build(const krul_data* rec, const hostconfig* loaded, hostconfig* next)
{
    if (hostconfig_new(next, hostconfig_max_size) != 1)
        return KRUL_STORE_ERR_NEW;
    for (int i = 0; i < loaded->count; ++i) {
        nemf_content_header ch = hostconfig_part_header(loaded, i);
        if (nemf_name(ch.name) == krul_part_name)
            continue;
        if (hostconfig_add(next, hostconfig_part_bytes(loaded, i)) != 1)
            return KRUL_STORE_ERR_ADD;
    }
    return krul_hostconfig_export(rec, next) == 1 ? KRUL_STORE_BUILT : KRUL_STORE_ERR_EXPORT;
}

int krul_store_write(hostconfig* next, const char* primary, const char* backup, int test_set,
                     hostconfig_save_report* report)
{
    uint8_t words[2];
    const uint8_t* flags = hostconfig_flags_after_save(test_set, UPGRADE_STATE_TEST, words) == 0 ? words : nullptr;
    return hostconfig_save(next, primary, backup, flags, report);
}
