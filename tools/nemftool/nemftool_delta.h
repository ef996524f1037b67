// tools/nemftool/nemftool_delta.h: makes delta images from two full images, and expands them
// again. The same inputs give the same bytes: no clock, one thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The frame of `target` coded against `source` (nemf_delta.h describes its layout). 0, or -1
// with `why` set when the compressor fails.
int nemftool_delta_frame(std::span<const uint8_t> source, std::span<const uint8_t> target,
                         std::vector<uint8_t>* frame, std::string* why);

// What became of one part of the new image.
struct nemftool_delta_note {
    int index;
    std::string name;
    uint64_t full_size;    // the part with its header and padding
    uint64_t delta_size;   // the delta part the same way; 0 when none was made
    const char* outcome;   // "delta", or why the part stays whole
};

// The delta image of `new_image` against `old_image`: every payload part of the new image
// with a namesake in the old one becomes a delta part when that is smaller; the release
// header, the release metadata and the signature stay as they are. 0, or -1 with `why` set.
int nemftool_delta_image(std::span<const uint8_t> old_image, std::span<const uint8_t> new_image,
                         std::vector<uint8_t>* out, std::vector<nemftool_delta_note>* notes, std::string* why);

// The full image that `delta_image` expands to with the parts of `base_image` as sources.
// 0, or -1 with `why` set (which part, and what failed).
int nemftool_expand_image(std::span<const uint8_t> base_image, std::span<const uint8_t> delta_image,
                          std::vector<uint8_t>* out, std::string* why);
