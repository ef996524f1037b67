// kru/kru_hostcfg.h: the load-and-save cycle of the upgrade data record around the
// hostconfig, and set arguments of the command line. The cycle itself is krul_store's; these
// adapters add the backup's lock query, the critical region and the messages.
//
// The backup copy (settings hostcfg_backup) counts only when it is set and the device reports
// itself unlocked: a locked device, and any path whose lock query fails (a regular file, a
// device that cannot be opened), is left alone by both load and save.
#pragma once

#include "hostconfig/hostconfig.h"
#include "kru/kru_settings.h"
#include "krul/krul.h"

// Initialises `rec` and `hc` (hostconfig_new, 5120 bytes), loads the hostconfig from
// `primary` (falling back to the backup) and decodes the "KRU data" part into `rec`. 1, or -1
// after logging the failing step at debug priority; the caller then reports its own failure.
int kru_load_hostcfg(const kru_settings* s, const char* primary, krul_data* rec, hostconfig* hc);

// kru_load_hostcfg from the configured hostconfig.
int load(kru_settings* s, krul_data* rec, hostconfig* hc);

// The preamble of an action that works on the record: load, and on failure log the action's
// own `failure` message at error priority. 1, or -1.
int kru_load_or_report(kru_settings* s, krul_data* rec, hostconfig* hc, const char* failure);

enum : int {   // results of kru_hostconfig_save
    KRU_SAVE_OK = 1,
    KRU_SAVE_FAILED = -1,
    KRU_SAVE_ERR_TEST = -2,   // saved or not, the trial state could not be programmed
};

// Builds a new hostconfig from every part of `loaded` not named exactly "KRU data", in order,
// then the record as the last part, and saves it inside a critical region marked with
// `caller`, copy by copy in the order that keeps one that loads (hostconfig_save; the order
// taken goes to the system log at debug priority). `test_set` 1 or 2 names a set that the
// caller puts on trial (TEST) right after the save: the save then carries that flag word, so
// that no instant shows the new record without the trial. KRU_SAVE_OK if the primary was
// written; KRU_SAVE_FAILED after logging the failing step at debug priority; KRU_SAVE_ERR_TEST
// when the flag word could not be programmed (the caller reports its own failure). Nothing is
// written unless the new hostconfig was built.
int kru_hostconfig_save(kru_settings* s, const krul_data* rec, const hostconfig* loaded, const char* caller,
                        int test_set = 0);

// A SETIDX or SETNAME word: a word starting with a decimal digit is read with "%i" (so 08 is
// 0 and 0x2 is 2), any other word is looked up as a set name. 0..2, or -1 for no word,
// nothing readable, an unknown name or a value outside 0..2.
int kru_parse_setidx(const krul_data* rec, const char* word);
