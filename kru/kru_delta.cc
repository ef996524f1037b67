// kru/kru_delta.cc: expanding delta images for the install, and showing their delta parts.
#include "kru/kru_delta.h"

#include <array>
#include <string_view>
#include <syslog.h>

#include "kru/kru_exit.h"
#include "krul/krul_check.h"
#include "nemf/nemf_delta.h"
#include "nemf/nemf_stream_parser.h"
#include "nemf/nemf_validate.h"
#include "platform/log.h"
#include "platform/qz.h"

namespace {

// The name of a part, for messages; "?" when there is no such part.
struct kru_delta_name {
    char text[NEMF_NAME_SIZE + 1] = "?";
};
kru_delta_name kru_delta_name_of(std::span<const uint8_t> part)
{
    kru_delta_name n;
    nemf_content_header h{};
    if (nemf_copy_content_header(part, &h) == 0) {
        std::string_view v = nemf_name(h.name);
        v.copy(n.text, v.size());
        n.text[v.size()] = '\0';
    }
    return n;
}

// The source finder handed to the expansion: the body of the source that the part at hand
// names, read off the first partition of a set that records it and checks out.
struct kru_delta_finder {
    const krul_data* rec = nullptr;
    imgbuf_ptr body;            // the source body of the part at hand
    uint32_t body_size = 0;
    nemf_delta_source src{};    // what the part at hand asked for
};

bool kru_delta_records(const krul_pinfometa& meta, const nemf_delta_source& src)
{
    return nemf_name_equal(meta.hdr.name, src.name) && meta.sw.sw_version_major == src.sw_version_major &&
           meta.sw.sw_version_minor == src.sw_version_minor && meta.sw.sw_build_number == src.sw_build_number &&
           meta.hdr.body_length == src.body_length && meta.hdr.body_crc == src.body_crc;
}

std::span<const uint8_t> kru_delta_find(void* context, int /*part_index*/, const nemf_delta_source& src)
{
    auto* f = static_cast<kru_delta_finder*>(context);
    f->src = src;
    if (src.body_length == 0)
        return {};
    uint32_t tried = 0;   // bit p: partition p was read already
    for (const partset& set : f->rec->sets)
        for (int8_t ref : set.refs) {
            if (ref < 0 || ref >= krul_max_partinfo)
                break;
            if ((tried >> ref & 1u) != 0 || !kru_delta_records(f->rec->pinfometa[ref], src))
                continue;
            tried |= 1u << ref;
            if (f->body_size != src.body_length) {
                f->body.reset();   // the last part's source goes before this one's comes
                f->body = imgbuf_ptr(imgbuf_alloc(src.body_length), imgbuf_deleter{src.body_length});
                QZ_ASSERT("kru_delta", f->body != nullptr);
                f->body_size = src.body_length;
            }
            std::span<uint8_t> body(f->body.get(), f->body_size);
            if (krul_read_content(f->rec, ref, body) == KRUL_CRC_MATCH)
                return body;
        }
    return {};
}

}  // namespace

int kru_delta_expand_install(std::span<const uint8_t> raw, const krul_data* rec, uint32_t limit, kru_delta_image* out)
{
    QZ_ASSERT("kru_delta", rec != nullptr && out != nullptr);
    std::array<std::span<const uint8_t>, NEMF_MAX_CONTENT_PARTS> parts;
    const int count = nemf_delta_walk(raw, &parts);
    auto name_of = [&](int i) {
        return kru_delta_name_of(i >= 0 && i < count ? parts[i] : std::span<const uint8_t>{});
    };
    int failed = -1;
    int r = NEMF_DELTA_OK;
    const int64_t length = nemf_delta_expanded_length(raw, &failed);
    if (length < 0)
        r = NEMF_DELTA_ERR_FORMAT;
    else if (length > limit)
        r = NEMF_DELTA_ERR_SPACE;
    kru_delta_finder finder;
    finder.rec = rec;
    size_t got = 0;
    if (r == NEMF_DELTA_OK) {
        out->size = static_cast<uint32_t>(length);
        out->buffer = imgbuf_ptr(imgbuf_alloc(out->size), imgbuf_deleter{out->size});
        QZ_ASSERT("kru_delta", out->buffer != nullptr);
        r = nemf_delta_expand_image(raw, kru_delta_find, &finder, std::span(out->buffer.get(), out->size), &got,
                                    &failed);
    }
    switch (r) {
    case NEMF_DELTA_OK:
        break;
    case NEMF_DELTA_ERR_SOURCE: {
        const nemf_delta_source& s = finder.src;
        kru_log(LOG_ERR,
                "install: delta part %d (%s): its source %.*s %u.%u-%u (%u bytes, crc 0x%08x) is not installed or "
                "does not check out\n",
                failed, name_of(failed).text, static_cast<int>(nemf_name(s.name).size()), s.name, s.sw_version_major,
                s.sw_version_minor, s.sw_build_number, s.body_length, s.body_crc);
        return KRU_EXIT_DELTA_SOURCE;
    }
    case NEMF_DELTA_ERR_FRAME:
        kru_log(LOG_ERR, "install: delta part %d (%s) does not expand to its stated length\n", failed,
                name_of(failed).text);
        return KRU_EXIT_DELTA_FRAME;
    case NEMF_DELTA_ERR_SPACE:
        kru_log(LOG_ERR, "install: NEMF too big\n");
        return KRU_EXIT_IMAGE_BAD;
    default:
        if (failed < 0)
            kru_log(LOG_ERR, "install: delta NEMF cannot be read\n");
        else
            kru_log(LOG_ERR, "install: delta part %d (%s) is malformed\n", failed, name_of(failed).text);
        return KRU_EXIT_IMAGE_BAD;
    }
    out->size = static_cast<uint32_t>(got);
    for (int i = 0; i < count; ++i) {
        nemf_content_header h{};
        if (nemf_copy_content_header(parts[i], &h) == 0 && h.type_id == NEMF_TYPE_DELTA)
            out->delta_parts |= 1u << i;
    }
    return 0;
}

int kru_delta_hash_refusal(const nemf_stream_parser* p, uint32_t delta_parts)
{
    for (int i = 0; i < NEMF_MAX_CONTENT_PARTS; ++i) {
        const nemf_content_info& ci = p->info[i];
        if ((delta_parts >> i & 1u) == 0 || ci.valid != 1 || ci.covered_by_signature == 0 ||
            ci.validated_by_signature != 0)
            continue;
        kru_log(LOG_ERR, "install: delta part %d (%s) expands to a part whose hash is not the manifest's\n", i,
                kru_delta_name_of(nemf_stream_parser_part(p, i)).text);
        return KRU_EXIT_DELTA_HASH;
    }
    return 0;
}

void kru_delta_print(std::span<const uint8_t> part)
{
    nemf_content_header h{};
    nemf_delta_view d;
    if (nemf_copy_content_header(part, &h) != 0 || part.size() < h.hdr_length ||
        nemf_delta_parse(part.subspan(h.hdr_length), &d) != NEMF_DELTA_OK) {
        qz_printf("delta: malformed\n");
        return;
    }
    const nemf_delta_source& s = d.head.source;
    nemf_content_header t{};
    nemf_copy_content_header(d.target_header, &t);
    qz_printf("delta_source............: %.*s %u.%u-%u, %u bytes, crc 0x%08x\n",
              static_cast<int>(nemf_name(s.name).size()), s.name, s.sw_version_major, s.sw_version_minor,
              s.sw_build_number, s.body_length, s.body_crc);
    qz_printf("delta_target............: type %u, %u bytes\n", t.type_id, d.target_body_length);
    qz_printf("delta_frame.............: %u bytes\n", d.head.frame_length);
}
