// kru/kru_delta.h: delta images on the terminal. The install expands every delta part in
// memory, against the source body that an installed partition holds, before it looks at the
// image as a full one; nemfinfo lists the delta parts and their sources.
#pragma once

#include <cstdint>
#include <span>

#include "krul/krul.h"
#include "platform/imgbuf.h"

struct nemf_stream_parser;

// A full image in a buffer of its own, expanded from a delta image.
struct kru_delta_image {
    imgbuf_ptr buffer;
    uint32_t size = 0;
    uint32_t delta_parts = 0;   // bit i: content part i was a delta part
};

// Expands the delta image `raw` into `out`, at most `limit` bytes long, each delta part against
// its source among the partitions that the sets of `rec` hold (the active set's included). The
// source must be recorded with the name, version, length and CRC the part names, and check out
// on its device. Nothing is written anywhere. 0, or the exit status after the message that
// names the part: KRU_EXIT_DELTA_SOURCE, KRU_EXIT_DELTA_FRAME, KRU_EXIT_IMAGE_BAD (malformed or
// too big).
int kru_delta_expand_install(std::span<const uint8_t> raw, const krul_data* rec, uint32_t limit, kru_delta_image* out);

// After a failed hash check of an image expanded from `delta_parts`: KRU_EXIT_DELTA_HASH after
// the message when an expanded part's hash is not the manifest's, else 0 (the failure lies
// elsewhere and is the full image's).
int kru_delta_hash_refusal(const nemf_stream_parser* p, uint32_t delta_parts);

// nemfinfo: the delta part `part` (header and body) as its source and target; a line saying
// so when its body is malformed.
void kru_delta_print(std::span<const uint8_t> part);
