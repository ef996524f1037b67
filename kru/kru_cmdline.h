// kru/kru_cmdline.h: the command line and the environment into kru_settings.
#pragma once

#include "kru/kru_settings.h"

// The usage text, printed verbatim by "help" and after a missing action word.
extern const char kru_usage_text[];

// Prints the usage text on standard output.
void kru_print_usage();

// Zeroes `s`, applies the defaults, KRU_PRODUCT and KRU_PLATFORM, then every word of
// argv[1..argc-1] in order, and the hostconfig defaults. Prints the message of the first
// failure. Returns kru_parse_ok when the action may run, else the invocation's result.
inline constexpr int kru_parse_ok = -1;
int kru_parse_args(int argc, char** argv, kru_settings* s);

// The three verbose echo lines on standard output.
void kru_print_settings(const kru_settings* s);
