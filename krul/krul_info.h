// krul/krul_info.h: the human-readable dump of the upgrade data record, the upgrade states
// of sets 1 and 2, and the splitter of the column lists that the CSV reports accept.
//
// Everything printed goes to standard output through qz_printf. A null record stops the
// process through qz_panic (our bug).
#pragma once

#include <cstddef>
#include <cstdint>

struct krul_data;

// Prints five tables: sets (two halves), partitions (two halves) and pools, each under its
// two header lines. Unused sets, partition entries and pool slots give no line. The pools are
// shown as last generated; callers generate them first. What the last print returned.
int krul_dump_info(const krul_data* rec);

// Prints `t` (seconds since 1970) as UTC "YYYY.MM.DD hh:mm:ss", or "INVALID TIME" when it
// cannot be converted; no line end. What the print returned.
int krul_printf_time(uint32_t t);

// Prints "KRU Data Upgrade set N: NAME(STATE)" for set 1 and set 2, from the flag words.
// What the last print returned.
int krul_upgrade_info();

// The working buffer of krul_parse_csv: a list text of at most 99 characters.
inline constexpr size_t krul_csv_buf_size = 100;

// Splits a comma-separated list. fields[0] must point at a buffer of krul_csv_buf_size bytes;
// the text is copied there, its commas become NULs, and fields[1..] point at the fields in
// order (neither trimmed nor unquoted; ",," gives an empty field, a trailing comma a last
// empty one). `fields` has `max` entries, so at most max - 1 fields fit.
// The number of fields (0 for an empty text); -1 when max is 1 or less, when there are more
// than max - 1 fields, or when the text is longer than krul_csv_buf_size - 1 characters.
int krul_parse_csv(const char* text, char** fields, int max);
