// platform/progress.h: one status line on the terminal for long flash operations (erase,
// write, read-back, CRC reads): the partition, the phase, the percent done and the rate,
// redrawn in place and cleared when the phase ends.
//
// The line exists only when standard error is a terminal: through a pipe or a file nothing is
// written, and it never reaches the system log. It is drawn behind the cursor's position (a
// report line on standard output may be half printed), never wraps, and is taken off the
// screen before any message is written (platform/log.cc calls progress_hide), so the messages
// keep their bytes and order; the next progress_advance draws it again.
#pragma once

#include <cstdint>

// Starts a phase over `total` bytes of `device` (shown by its base name). A phase still open
// is ended first. Draws the line at 0%.
void progress_begin(const char* device, const char* phase, uint64_t total);

// Counts `bytes` more as done and redraws, at most a few times a second. No-op outside a
// phase, so the flash primitives may call it whoever uses them.
void progress_advance(uint64_t bytes);

// Renames the open phase, keeping its count: for work that alternates between two kinds of
// step over one total, such as erasing and programming block by block. A new name is drawn at
// once. No-op outside a phase.
void progress_phase(const char* phase);

// Clears the line and closes the phase.
void progress_end();

// Takes the line off the screen for a message; the phase stays open.
void progress_hide();

// True between progress_begin and progress_end when standard error is a terminal: callers
// may then split a long write so that the line can move.
bool progress_active();

// The text of the line, without any control sequence (for the drawing and the tests):
// "<device> <phase> <percent>%" and, once `seconds` > 0, " <rate> MiB/s". Returns the
// snprintf result for `out`.
int progress_format(char* out, int size, const char* device, const char* phase, uint64_t done, uint64_t total,
                    double seconds);
