// nemf/nemf_print.cc: the listings of content parts held by a stream parser.
#include "nemf/nemf_print.h"

#include <algorithm>
#include <cstring>

#include "nemf/nemf_stream_parser.h"
#include "nemf/nemf_validate.h"
#include "platform/qz.h"

namespace {

constexpr const char* nemf_print_module = "nemf_print";

// Copies the layout found at offset 32 of the parser's part `index`; bytes the part does not
// have read as zero. False when the parser holds no such part.
template <class T>
bool nemf_part_body_block(const nemf_stream_parser* p, int index, T* out)
{
    std::span<const uint8_t> part = nemf_stream_parser_part(p, index);
    if (part.empty())
        return false;
    *out = T{};
    std::span<const uint8_t> body = part.subspan(NEMF_CONTENT_HEADER_MIN_LENGTH);
    std::memcpy(out, body.data(), std::min(body.size(), sizeof *out));
    return true;
}

template <size_t N>
int nemf_text_len(const char (&s)[N])
{
    return static_cast<int>(strnlen(s, N));
}

}  // namespace

void nemf_release_header_print(const nemf_stream_parser* p, int index)
{
    nemf_release_header rh;
    if (!nemf_part_body_block(p, index, &rh)) {
        qz_printf("WARNING: CONTENT PART IS NULL! Skipping.\n");
        return;
    }
    qz_printf("release_version_major..: %i\n", rh.release_version_major);
    qz_printf("release_version_minor..: %i\n", rh.release_version_minor);
    qz_printf("release_build_number...: %i\n", rh.release_build_number);
    qz_printf("release_date...........: %i\n", static_cast<int32_t>(rh.release_date));
    qz_printf("release_build_id.......: %.*s\n", nemf_text_len(rh.release_build_id), rh.release_build_id);
}

void nemf_content_software_print(const nemf_stream_parser* p, int index)
{
    nemf_content_software sw;
    if (!nemf_part_body_block(p, index, &sw)) {
        qz_printf("WARNING: CONTENT PART IS NULL! Skipping.\n");
        return;
    }
    qz_printf("sw_version_major..: %i\n", sw.sw_version_major);
    qz_printf("sw_version_minor..: %i\n", sw.sw_version_minor);
    qz_printf("sw_build_number...: %i\n", sw.sw_build_number);
    qz_printf("sw_build_id.......: %.*s\n", nemf_text_len(sw.sw_build_id), sw.sw_build_id);
}

void nemf_content_info_print(const nemf_stream_parser* p, int index)
{
    QZ_ASSERT(nemf_print_module, p != nullptr && index >= 0 && index < NEMF_MAX_CONTENT_PARTS);
    const nemf_content_info& ci = p->info[index];
    qz_printf("valid...................: %i\n", ci.valid);
    qz_printf("covered_by_signature....: %i\n", ci.covered_by_signature);
    qz_printf("validated_by_signature..: %i\n", ci.validated_by_signature);
}

void nemf_content_header_print(std::span<const uint8_t> part)
{
    nemf_content_header h;
    if (part.data() == nullptr || nemf_copy_content_header(part, &h) != 0) {
        qz_printf("WARNING: CONTENT HEADER IS NULL? Skipping.\n");
        return;
    }
    qz_printf("type_id......: %i\n", h.type_id);
    qz_printf("hdr_length...: %i\n", h.hdr_length);
    qz_printf("body_length..: %i\n", static_cast<int>(h.body_length));
    qz_printf("name.........: %.*s\n", nemf_text_len(h.name), h.name);
    qz_printf("body_crc.....: %lu\n", static_cast<unsigned long>(h.body_crc));
    qz_printf("hdr_crc......: %lu\n", static_cast<unsigned long>(h.hdr_crc));
}

void nemf_content_catalog_print(const nemf_stream_parser* p, int index)
{
    std::span<const uint8_t> part = nemf_stream_parser_part(p, index);
    nemf_content_header h{};
    if (!part.empty())
        nemf_copy_content_header(part, &h);
    qz_printf("catalog: body_length...: %i\n", static_cast<int>(h.body_length));
    qz_printf("found..: %i\n", part.empty() ? 0 : 1);
    qz_printf("name...: %.*s\n", nemf_text_len(h.name), h.name);
}

void nemf_content_signature_print(const nemf_stream_parser* p, int index)
{
    std::span<const uint8_t> part = nemf_stream_parser_part(p, index);
    nemf_content_header h{};
    if (!part.empty())
        nemf_copy_content_header(part, &h);
    if (part.empty() || h.type_id != NEMF_TYPE_CONTENT_SIGNATURE || h.hdr_length < NEMF_SIGNATURE_HEADER_LENGTH) {
        qz_printf("WARNING: Can not signature display content[%i] as it is not a NEMF Content Signature\n", index);
        return;
    }
    std::span<const uint8_t> body = part.subspan(h.hdr_length);
    qz_printf("signature algorithm id: %i\n", part[NEMF_SIGNATURE_ALG_OFFSET]);
    qz_printf("signature:\n");
    qz_printf("%.*s\n", static_cast<int>(strnlen(reinterpret_cast<const char*>(body.data()), body.size())),
              reinterpret_cast<const char*>(body.data()));
}
