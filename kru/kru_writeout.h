// kru/kru_writeout.h: the second half of the install: the write-out of the decided elements
// into their partitions, the read-back check of each, and the commit of the record.
#pragma once

#include <cstdint>

#include "hostconfig/hostconfig.h"
#include "kru/kru_install.h"

// The second half of the install, entered after the pre_install hook: writes every element of
// action 1 in its layout, reads each back, then activates the set (or records it in the
// activeset file), saves the hostconfig and, with -test, marks the set TEST. `autodetected`
// says whether the autoset file belongs to this run. The install's exit code.
int kru_install_write_out(kru_install_ctx* ctx, hostconfig* hc, bool autodetected);

// The bytes a content part occupies on flash in layout `wts` (body; header and body; body,
// gap to a multiple of 4 and header); 0 for an unknown layout.
uint32_t kru_install_layout_length(uint8_t wts, uint32_t hdr_length, uint32_t body_length);
