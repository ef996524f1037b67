// fuzz/fuzz_delta.cc: delta parts before any signature has vouched for them: a whole image
// walked, measured and expanded, or one delta body parsed and expanded against a source.
// Input: a control byte (bit 0: a delta body, else an image; bit 1: repair the image's CRCs, or
// the body's recorded source), a 4-byte source length, the source, then the image or body.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "nemf/nemf_delta.h"
#include "nemf/nemf_validate.h"

namespace {

constexpr uint64_t fuzz_max_out = 1u << 24;
constexpr size_t fuzz_guard = 64;   // bytes of 0xA5 behind each output that stay untouched

std::span<const uint8_t> fuzz_find(void* ctx, int part, const nemf_delta_source&)
{
    FUZZ_CHECK(part >= 0 && part < NEMF_MAX_CONTENT_PARTS);
    return *static_cast<std::span<const uint8_t>*>(ctx);   // the expander checks it itself
}

void fuzz_image(std::vector<uint8_t>& image, std::span<const uint8_t>* src)
{
    const int64_t length = nemf_delta_expanded_length(image);
    FUZZ_CHECK(nemf_delta_count(image) >= -1 && nemf_delta_count(image) <= NEMF_MAX_CONTENT_PARTS);
    if (length < 0 || static_cast<uint64_t>(length) > fuzz_max_out)
        return;
    std::vector<uint8_t> out(static_cast<size_t>(length) + fuzz_guard, 0xA5);
    size_t got = 0;
    int failed = -2;
    const int r = nemf_delta_expand_image(image, fuzz_find, src, std::span(out).first(length), &got, &failed);
    FUZZ_CHECK(r == NEMF_DELTA_OK || (r <= NEMF_DELTA_ERR_FORMAT && r >= NEMF_DELTA_ERR_SPACE));
    FUZZ_CHECK(failed >= -1 && failed < NEMF_MAX_CONTENT_PARTS && std::count(out.begin() + length, out.end(), 0xA5) == fuzz_guard);
    if (r == NEMF_DELTA_OK)   // a full image of the length announced
        FUZZ_CHECK(got == static_cast<uint64_t>(length) && failed == -1 && nemf_delta_count(std::span(out).first(got)) == 0);
}

void fuzz_body(std::vector<uint8_t>& body, std::span<const uint8_t> source, bool repair)
{
    nemf_delta_head h;
    if (repair && nemf_copy_in(std::span<const uint8_t>(body), &h) == 0) {
        h.source.body_length = static_cast<uint32_t>(source.size());
        h.source.body_crc = fuzz_crc(source, 0, source.size());
        nemf_copy_out(h, std::span(body));
    }
    nemf_delta_view d;
    if (nemf_delta_parse(body, &d) != NEMF_DELTA_OK || d.target_body_length > fuzz_max_out)
        return;
    std::vector<uint8_t> out(d.target_body_length + fuzz_guard, 0xA5);
    const int r = nemf_delta_expand(d, source, std::span(out).first(d.target_body_length));
    FUZZ_CHECK((r == NEMF_DELTA_OK || r == NEMF_DELTA_ERR_SOURCE || r == NEMF_DELTA_ERR_FRAME) &&
               std::count(out.begin() + d.target_body_length, out.end(), 0xA5) == fuzz_guard);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_input in{{data, size}};
    const uint8_t control = in.take_u8();
    const uint32_t source_length = std::min<uint32_t>(in.take_u32(), static_cast<uint32_t>(in.rest.size()));
    std::span<const uint8_t> src = in.rest.first(source_length);
    std::vector<uint8_t> rest(in.rest.begin() + source_length, in.rest.end());
    if ((control & 3) == 2)
        fuzz_fix_crcs(rest);
    if (control & 1)
        fuzz_body(rest, src, control & 2);
    else
        fuzz_image(rest, &src);
    return 0;
}
