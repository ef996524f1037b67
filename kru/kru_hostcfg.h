// kru/kru_hostcfg.h: the load-and-save cycle of the upgrade data record around the
// hostconfig, and set arguments of the command line.
//
// The backup copy (settings hostcfg_backup) counts only when it is set and the device reports
// itself unlocked: a locked device, and any path whose lock query fails (a regular file, a
// device that cannot be opened), is left alone by both load and save.
#pragma once

#include "hostconfig/hostconfig.h"
#include "kru/kru_settings.h"
#include "krul/krul.h"

// Initialises `rec` and `hc` (hostconfig_new, 5120 bytes), loads the hostconfig (falling back
// to the backup) and decodes the "KRU data" part into `rec`. 1, or -1 after logging the
// failing step at debug priority; the caller then reports its own failure.
int load(kru_settings* s, krul_data* rec, hostconfig* hc);

// Builds a new hostconfig from every part of `loaded` not named exactly "KRU data", in order,
// then the record as the last part, and saves it (backup first) inside a critical region
// marked with `caller`. 1 if the primary was written, else -1 after logging the failing step
// at debug priority. Nothing is written unless the new hostconfig was built.
int kru_hostconfig_save(kru_settings* s, const krul_data* rec, const hostconfig* loaded, const char* caller);

// A SETIDX or SETNAME word: a word starting with a decimal digit is read with "%i" (so 08 is
// 0 and 0x2 is 2), any other word is looked up as a set name. 0..2, or -1 for no word,
// nothing readable, an unknown name or a value outside 0..2.
int kru_parse_setidx(const krul_data* rec, const char* word);
