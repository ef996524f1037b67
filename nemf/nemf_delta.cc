// nemf/nemf_delta.cc: reading and expanding delta content parts.
//
// Everything here runs on bytes that no signature has vouched for yet: each length is checked
// against the bytes present before it is used, the stored bytes are decompressed in one piece
// into a buffer of the stated size, and the control stream through a small fixed buffer with
// the decompressor's window limited.
#include "nemf/nemf_delta.h"

#include <array>
#include <memory>
#include <zstd.h>

#include "nemf/nemf_validate.h"
#include "platform/crc32.h"
#include "platform/raii.h"

namespace {

using dctx_ptr = std::unique_ptr<ZSTD_DCtx, c_free<ZSTD_freeDCtx>>;

// File offset of the body of a walked image.
size_t body_offset(std::span<const uint8_t> image)
{
    nemf_header fh{};
    nemf_copy_header(image.subspan(NEMF_ID_SIZE), &fh);
    return NEMF_ID_SIZE + fh.hdr_length;
}

uint16_t part_type(std::span<const uint8_t> part)
{
    nemf_content_header h{};
    nemf_copy_content_header(part, &h);
    return h.type_id;
}

// The delta body of a walked delta part, parsed; its own CRCs checked first when `checked`.
int delta_view_of(std::span<const uint8_t> part, bool checked, nemf_delta_view* d)
{
    nemf_content_header h{};
    nemf_copy_content_header(part, &h);
    std::span<const uint8_t> body = part.subspan(h.hdr_length, h.body_length);
    if (checked && nemf_validate_content_part(part, body) != NEMF_VALID)
        return NEMF_DELTA_ERR_FORMAT;
    return nemf_delta_parse(body, d);
}

// A zstd stream read a byte at a time through a small buffer, with its window limited.
struct zstream {
    dctx_ptr dctx;
    ZSTD_inBuffer in{};
    size_t ret = 1;   // the last ZSTD_decompressStream result: 0 once a frame is complete
    size_t pos = 0, end = 0;
    std::array<uint8_t, 4096> buf;
};

int zstream_open(zstream* z, std::span<const uint8_t> bytes)
{
    z->dctx.reset(ZSTD_createDCtx());
    z->in = {bytes.data(), bytes.size(), 0};
    return z->dctx && !ZSTD_isError(ZSTD_DCtx_setParameter(z->dctx.get(), ZSTD_d_windowLogMax,
                                                           NEMF_DELTA_STREAM_WINDOW_LOG)) ? 0 : -1;
}

// The next byte: 1, 0 at the stream's clean end, -1 when it is damaged or cut off.
int zstream_next(zstream* z, uint8_t* b)
{
    while (z->pos == z->end) {
        if (z->in.pos == z->in.size && z->ret == 0)
            return 0;
        ZSTD_outBuffer out{z->buf.data(), z->buf.size(), 0};
        const size_t before = z->in.pos;
        z->ret = ZSTD_decompressStream(z->dctx.get(), &out, &z->in);
        if (ZSTD_isError(z->ret) || (out.pos == 0 && z->in.pos == before))
            return -1;
        z->pos = 0;
        z->end = out.pos;
    }
    *b = z->buf[z->pos++];
    return 1;
}

// The next control entry: 1, 0 at the end of the controls, -1.
int next_control(zstream* z, nemf_delta_control* c)
{
    uint8_t raw[sizeof *c];
    for (size_t i = 0; i < sizeof raw; ++i) {
        const int r = zstream_next(z, &raw[i]);
        if (r != 1)
            return r == 0 && i == 0 ? 0 : -1;
    }
    std::memcpy(c, raw, sizeof raw);
    return 1;
}

// The next gap (LEB128, at most 32 bits): 1, 0 at the end of the gaps, -1.
int next_gap(zstream* z, uint64_t* gap)
{
    *gap = 0;
    for (int shift = 0; shift < 35; shift += 7) {
        uint8_t b;
        const int r = zstream_next(z, &b);
        if (r != 1)
            return r == 0 && shift == 0 ? 0 : -1;
        *gap |= uint64_t{b & 0x7Fu} << shift;
        if ((b & 0x80) == 0)
            return *gap <= UINT32_MAX ? 1 : -1;
    }
    return -1;
}

constexpr uint64_t gap_unread = UINT64_MAX - 1;   // the next gap is still in the stream
constexpr uint64_t gap_none = UINT64_MAX;         // the gaps have ended: only zeros follow

// Adds the differences of one add run to the source bytes already in `run`.
int add_differences(zstream* gaps, zstream* values, uint64_t* zeros, std::span<uint8_t> run)
{
    for (size_t i = 0;;) {
        if (*zeros == gap_unread) {
            const int r = next_gap(gaps, zeros);
            if (r < 0)
                return -1;
            if (r == 0)
                *zeros = gap_none;
        }
        if (*zeros >= run.size() - i) {
            if (*zeros != gap_none)
                *zeros -= run.size() - i;
            return 0;
        }
        i += *zeros;
        uint8_t v;
        if (zstream_next(values, &v) != 1)
            return -1;
        run[i] = static_cast<uint8_t>(run[i] + v);
        ++i;
        *zeros = gap_unread;
    }
}

// Rebuilds the target from the controls, gaps and values, and the copies already
// decompressed into the last copy_length bytes of the target. Each run is checked against
// the source, the target and the copy total before a byte is written: add runs fill the
// target from the front and stay below the copies not yet moved. 0, or -1.
int apply_controls(const nemf_delta_frame_head& f, std::span<const uint8_t> streams, std::span<const uint8_t> source,
                   std::span<uint8_t> target)
{
    zstream ctrl, gaps, values;
    if (zstream_open(&ctrl, streams.first(f.ctrl_zlength)) != 0 ||
        zstream_open(&gaps, streams.subspan(f.ctrl_zlength, f.gap_zlength)) != 0 ||
        zstream_open(&values, streams.subspan(f.ctrl_zlength + f.gap_zlength, f.value_zlength)) != 0)
        return -1;
    const uint64_t add_length = target.size() - f.copy_length;
    uint64_t t = 0, adds = 0, copies = 0, zeros = gap_unread;
    int64_t s = 0;
    nemf_delta_control c;
    int r;
    while ((r = next_control(&ctrl, &c)) == 1) {
        s += c.seek;
        if (uint64_t{c.add} + c.copy == 0 || s < 0 || static_cast<uint64_t>(s) + c.add > source.size() ||
            c.add > add_length - adds || c.copy > f.copy_length - copies)
            return -1;
        if (c.add != 0)
            std::memcpy(target.data() + t, source.data() + s, c.add);
        if (add_differences(&gaps, &values, &zeros, target.subspan(t, c.add)) != 0)
            return -1;
        t += c.add;
        s += c.add;
        adds += c.add;
        if (c.copy != 0)
            std::memmove(target.data() + t, target.data() + add_length + copies, c.copy);
        t += c.copy;
        copies += c.copy;
    }
    uint64_t more_gap;
    uint8_t more_value;
    if (r < 0 || t != target.size() || (zeros != gap_none && (zeros != gap_unread || next_gap(&gaps, &more_gap) != 0)) ||
        zstream_next(&values, &more_value) != 0)
        return -1;   // damaged, or differences left over
    return 0;
}

}  // namespace

int nemf_delta_walk(std::span<const uint8_t> image, std::array<std::span<const uint8_t>, NEMF_MAX_CONTENT_PARTS>* parts)
{
    nemf_header fh{};
    if (image.size() < NEMF_BODY_OFFSET || nemf_validate_identification(image) != NEMF_VALID ||
        nemf_copy_header(image.subspan(NEMF_ID_SIZE), &fh) != 0 || fh.hdr_length < NEMF_HEADER_MIN_LENGTH)
        return -1;
    const uint64_t end = NEMF_ID_SIZE + uint64_t{fh.hdr_length} + fh.body_length;
    if (end > image.size())
        return -1;
    int count = 0;
    for (uint64_t off = NEMF_ID_SIZE + fh.hdr_length; off < end; ++count) {
        nemf_content_header h{};
        if (count == NEMF_MAX_CONTENT_PARTS || nemf_copy_content_header(image.subspan(off), &h) != 0 ||
            h.hdr_length < NEMF_CONTENT_HEADER_MIN_LENGTH)
            return -1;
        const uint64_t size = nemf_part_size(h.hdr_length, h.body_length);
        if (size > end - off)
            return -1;
        (*parts)[count] = image.subspan(off, size);
        off += size;
    }
    return count;
}

int64_t nemf_delta_seal_file(std::span<uint8_t> file, uint32_t body_length)
{
    nemf_header fh{};
    if (file.size() < NEMF_BODY_OFFSET || nemf_copy_header(file.subspan(NEMF_ID_SIZE), &fh) != 0 ||
        fh.hdr_length < NEMF_HEADER_MIN_LENGTH)
        return -1;
    const uint64_t body_offset = NEMF_ID_SIZE + uint64_t{fh.hdr_length};
    if (body_offset + body_length > file.size())
        return -1;
    std::span<uint8_t> hdr = file.subspan(NEMF_ID_SIZE, fh.hdr_length);
    fh.body_length = body_length;
    fh.body_crc = crc32_calc(0, file.data() + body_offset, body_length);
    nemf_copy_out(fh, hdr);
    fh.hdr_crc = crc32_calc(0, hdr.data() + NEMF_CRC_START, static_cast<uint32_t>(hdr.size() - NEMF_CRC_START));
    nemf_copy_out(fh, hdr);
    return static_cast<int64_t>(body_offset + body_length);
}

int nemf_delta_parse(std::span<const uint8_t> body, nemf_delta_view* out)
{
    nemf_delta_head h;
    if (nemf_copy_in(body, &h) != 0 || h.magic != NEMF_DELTA_MAGIC || h.version != NEMF_DELTA_VERSION ||
        h.method != NEMF_DELTA_METHOD_ADDCOPY || h.target_hdr_length < NEMF_CONTENT_HEADER_MIN_LENGTH ||
        sizeof h + uint64_t{h.target_hdr_length} + h.frame_length != body.size())
        return NEMF_DELTA_ERR_FORMAT;
    std::span<const uint8_t> target_header = body.subspan(sizeof h, h.target_hdr_length);
    nemf_content_header th{};
    nemf_copy_content_header(target_header, &th);
    if (th.hdr_length != h.target_hdr_length || th.type_id == NEMF_TYPE_DELTA ||
        nemf_validate_content_header(target_header) != NEMF_VALID)
        return NEMF_DELTA_ERR_FORMAT;
    out->head = h;
    out->target_header = target_header;
    out->target_body_length = th.body_length;
    out->frame = body.subspan(sizeof h + h.target_hdr_length);
    return NEMF_DELTA_OK;
}

int nemf_delta_expand(const nemf_delta_view& d, std::span<const uint8_t> source, std::span<uint8_t> target)
{
    if (target.size() < d.target_body_length)
        return NEMF_DELTA_ERR_SPACE;
    target = target.first(d.target_body_length);
    if (source.size() != d.head.source.body_length ||
        crc32_calc(0, source.data(), static_cast<uint32_t>(source.size())) != d.head.source.body_crc)
        return NEMF_DELTA_ERR_SOURCE;
    nemf_delta_frame_head f;
    if (nemf_copy_in(d.frame, &f) != 0 || f.copy_length > target.size() ||
        sizeof f + uint64_t{f.ctrl_zlength} + f.gap_zlength + f.value_zlength + f.copy_zlength != d.frame.size())
        return NEMF_DELTA_ERR_FRAME;
    std::span<const uint8_t> streams = d.frame.subspan(sizeof f);
    std::span<const uint8_t> copies = streams.last(f.copy_zlength);
    dctx_ptr dctx(ZSTD_createDCtx());
    if (!dctx)
        return NEMF_DELTA_ERR_FRAME;
    uint8_t none = 0;   // an empty run of copies still needs a buffer address
    uint8_t* copies_at = f.copy_length == 0 ? &none : target.data() + (target.size() - f.copy_length);
    const size_t got = ZSTD_decompressDCtx(dctx.get(), copies_at, f.copy_length, copies.data(), copies.size());
    if (ZSTD_isError(got) || got != f.copy_length || apply_controls(f, streams, source, target) != 0)
        return NEMF_DELTA_ERR_FRAME;
    nemf_content_header th{};
    nemf_copy_content_header(d.target_header, &th);
    if (crc32_calc(0, target.data(), static_cast<uint32_t>(target.size())) != th.body_crc)
        return NEMF_DELTA_ERR_FRAME;
    return NEMF_DELTA_OK;
}

int nemf_delta_count(std::span<const uint8_t> image)
{
    std::array<std::span<const uint8_t>, NEMF_MAX_CONTENT_PARTS> parts;
    const int count = nemf_delta_walk(image, &parts);
    int n = 0;
    for (int i = 0; i < count; ++i)
        n += part_type(parts[i]) == NEMF_TYPE_DELTA;
    return count < 0 ? -1 : n;
}

int64_t nemf_delta_expanded_length(std::span<const uint8_t> image, int* failed_part)
{
    if (failed_part != nullptr)
        *failed_part = -1;
    std::array<std::span<const uint8_t>, NEMF_MAX_CONTENT_PARTS> parts;
    const int count = nemf_delta_walk(image, &parts);
    if (count < 0)
        return -1;
    uint64_t body = 0;
    for (int i = 0; i < count; ++i) {
        nemf_delta_view d;
        if (part_type(parts[i]) != NEMF_TYPE_DELTA)
            body += parts[i].size();
        else if (delta_view_of(parts[i], false, &d) == NEMF_DELTA_OK)
            body += nemf_part_size(d.head.target_hdr_length, d.target_body_length);
        else {
            if (failed_part != nullptr)
                *failed_part = i;
            return -1;
        }
    }
    if (body > UINT32_MAX)
        return -1;
    return static_cast<int64_t>(body_offset(image) + body);
}

int nemf_delta_expand_image(std::span<const uint8_t> image, nemf_delta_source_fn find, void* ctx,
                            std::span<uint8_t> out, size_t* out_length, int* failed_part)
{
    *failed_part = -1;
    std::array<std::span<const uint8_t>, NEMF_MAX_CONTENT_PARTS> parts;
    const int count = nemf_delta_walk(image, &parts);
    if (count < 0)
        return NEMF_DELTA_ERR_FORMAT;
    const size_t start = body_offset(image);
    if (out.size() < start)
        return NEMF_DELTA_ERR_SPACE;
    std::memcpy(out.data(), image.data(), start);
    uint64_t off = start;
    for (int i = 0; i < count; ++i) {
        std::span<const uint8_t> part = parts[i];
        *failed_part = i;
        if (part_type(part) != NEMF_TYPE_DELTA) {
            if (part.size() > out.size() - off)
                return NEMF_DELTA_ERR_SPACE;
            std::memcpy(out.data() + off, part.data(), part.size());
            off += part.size();
            continue;
        }
        nemf_delta_view d;
        int r = delta_view_of(part, true, &d);
        if (r != NEMF_DELTA_OK)
            return r;
        const uint64_t size = nemf_part_size(d.head.target_hdr_length, d.target_body_length);
        if (size > out.size() - off)
            return NEMF_DELTA_ERR_SPACE;
        if (off + size - start > UINT32_MAX)
            return NEMF_DELTA_ERR_FORMAT;   // the file body would outgrow its length field
        std::span<const uint8_t> source = find(ctx, i, d.head.source);
        if (source.empty())
            return NEMF_DELTA_ERR_SOURCE;
        std::span<uint8_t> dst = out.subspan(off, size);
        std::memcpy(dst.data(), d.target_header.data(), d.target_header.size());
        std::span<uint8_t> body = dst.subspan(d.target_header.size());
        std::memset(body.data(), 0, body.size());
        r = nemf_delta_expand(d, source, body);
        if (r != NEMF_DELTA_OK)
            return r;
        off += size;
    }
    *failed_part = -1;
    nemf_delta_seal_file(out, static_cast<uint32_t>(off - start));
    *out_length = off;
    return NEMF_DELTA_OK;
}
