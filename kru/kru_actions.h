// kru/kru_actions.h: the action handlers. Each takes the settings of the invocation and
// returns its result, which becomes the exit status unchanged.
#pragma once

#include "kru/kru_settings.h"

struct krul_data;

using kru_action_fn = int (*)(kru_settings* s);

// "initialize": saves a hostconfig holding only an empty record, whatever -dryrun says.
int kru_action_initialize(kru_settings* s);
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

// "nemfinfo NEMF [-all]": the content parts of an image, and its signature check.
int kru_action_nemfinfo(kru_settings* s);
int kru_action_help(kru_settings* s);

// The information dump: generates the pools of `rec`, prints the record's tables and the
// upgrade states of sets 1 and 2 on standard output.
void kru_info(kru_settings* s, krul_data* rec);

// Runs the handler of s->action, or reports "Unknown action". The result of the action.
int kru_dispatch(kru_settings* s);
