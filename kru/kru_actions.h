// kru/kru_actions.h: the action handlers. Each takes the settings of the invocation and
// returns its result, which becomes the exit status unchanged.
#pragma once

#include "kru/kru_settings.h"

struct hostconfig;
struct krul_data;

using kru_action_fn = int (*)(kru_settings* s);

// "initialize": saves a hostconfig holding only an empty record, whatever -dryrun says.
int kru_action_initialize(kru_settings* s);
// "install NEMF SETIDX": installs a signed image into a set (-1: the set autodetected); the
// exit code of the install (kru_install.h).
int kru_action_install(kru_settings* s);
// "info": the information dump of the record.
int kru_action_info(kru_settings* s);
// "getrh SETIDX|SETNAME|active [-pif=PIF]": the release header of a set as CSV.
int kru_action_getrh(kru_settings* s);
// "partset SETIDX [SETNAME] [-refs=PARTREFS]": names a set and lists its partitions.
int kru_action_partset(kru_settings* s);
// "partinfo PARTIDX [POOLNAME SIZE [sub-options]]": defines or clears a partition entry.
int kru_action_partinfo(kru_settings* s);
// "getpartset SETIDX|active [POOLNAME] [-pif=PIF]": the partitions of a set as CSV.
int kru_action_getpartset(kru_settings* s);

// "mount SETIDX|SETNAME": mounts the set's partitions that have a file system and a mount
// point other than "/". 0 whatever the single mounts gave; 1 for a missing or invalid set.
int kru_action_mount(kru_settings* s);
// "activate SETIDX|SETNAME": makes the set active after verify_set found every partition in
// order (-f skips the check) and marks it VALID; -dryrun saves nothing.
int kru_action_activate(kru_settings* s);
// "upgrade activate|validate|test": activates the set the activeset file names (TEST with
// -test while running from set 1 or 2), or moves the state of the set the kernel command line
// names as booted: validate to VALID, test from BOOT to TEST.
int kru_action_upgrade(kru_settings* s);

// "verify [SETIDX|SETNAME]": without a set, the overview of every partition-table entry and
// warnings about disparities (always 0); with one, 1 unless every partition of the set (of
// every set, for a word that names none) checks out.
int verify_sets(kru_settings* s);
// Checks the partitions of set `setidx` (0..2) against the record, printing each when `show`
// is set. 0 if all check out, 1 if the set has no partitions, else the last non-zero result of
// crc32_check (2 for a partition with nothing recorded).
int verify_set(kru_settings* s, const krul_data* rec, int setidx, int show);

// "nemfinfo NEMF [-all]": the content parts of an image, and its signature check.
int kru_action_nemfinfo(kru_settings* s);
int kru_action_help(kru_settings* s);

// The information dump: generates the pools of `rec`, prints the record's tables and the
// upgrade states of sets 1 and 2 on standard output.
void kru_info(kru_settings* s, krul_data* rec);

// Called, when the device software links one in (C linkage, like the install hooks), at the
// end of every successful activate (also with -dryrun) with the record as activated and the
// loaded hostconfig. Its result is not used.
extern "C" int kru_activate_hook_post(krul_data* rec, hostconfig* hc) __attribute__((weak));

// Runs the handler of s->action, or reports "Unknown action". The result of the action.
int kru_dispatch(kru_settings* s);
