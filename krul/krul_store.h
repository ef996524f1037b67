// krul/krul_store.h: the upgrade data record's home on flash. Loading takes it from the
// hostconfig (the backup copy standing in for a primary that does not load); saving builds a
// new hostconfig around it and writes both copies in the order that keeps one that loads.
//
// Nothing here prints or logs: results name what failed, and the tool's adapters
// (kru/kru_hostcfg.h) add the backup's lock query, the critical region and the messages.
#pragma once

#include <cstdint>

#include "hostconfig/hostconfig.h"
#include "krul/krul.h"

enum : int {   // results of krul_store_load
    KRUL_STORE_PRIMARY = 1,       // the record came from the primary
    KRUL_STORE_BACKUP = 2,        // the primary did not load, the backup did
    KRUL_STORE_ERR_INIT = -1,     // krul_init failed
    KRUL_STORE_ERR_NEW = -2,      // hostconfig_new failed
    KRUL_STORE_ERR_LOAD = -3,     // neither copy loads
    KRUL_STORE_ERR_IMPORT = -4,   // the hostconfig holds no record that decodes
};

// Initialises `rec` and `hc` (5120 bytes), loads the hostconfig from `primary`, else from
// `backup` (null: none), and decodes its "KRU data" part into `rec`.
int krul_store_load(const char* primary, const char* backup, krul_data* rec, hostconfig* hc);

enum : int {   // results of krul_store_build, beside KRUL_STORE_ERR_NEW
    KRUL_STORE_BUILT = 0,
    KRUL_STORE_ERR_ADD = -5,      // a part of the loaded hostconfig did not fit
    KRUL_STORE_ERR_EXPORT = -6,   // the record did not fit
};

// Builds in `next` the hostconfig to save: every part of `loaded` not named exactly
// "KRU data", in order, then the record as the last part. Nothing is written.
int krul_store_build(const krul_data* rec, const hostconfig* loaded, hostconfig* next);

// Writes `next` to `primary` and `backup` (null: none) with hostconfig_save. `test_set` 1 or 2
// names a set that goes on trial with this save: its TEST flag word is programmed as part of
// it (on the flag device; elsewhere the caller writes the state after the save). A
// HOSTCONFIG_SAVE_* result; `report` receives which copies loaded and the order taken.
int krul_store_write(hostconfig* next, const char* primary, const char* backup, int test_set,
                     hostconfig_save_report* report);
