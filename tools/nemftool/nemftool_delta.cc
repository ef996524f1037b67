// tools/nemftool/nemftool_delta.cc: the diff behind delta parts, and delta images.
//
// The diff finds, for stretches of the target, an alignment with the source (target byte i
// against source byte i + d) that holds for most bytes, not necessarily all: compiled code
// that moved keeps its instructions but changes the addresses inside them, and a file system
// image keeps most of a changed file's neighbours. Each such stretch becomes an add run whose
// stored bytes are the byte-wise differences, mostly zeros; the rest of the target is stored
// as it is. zstd then codes the stored bytes and the control entries.
//
// Alignments come from exact matches: a suffix array of the source answers "longest match of
// the target from here" by binary search. The scan keeps the current alignment while it
// matches; where it stops matching, a new exact match replaces it only when that match is
// clearly longer than what the current alignment still matches over the same bytes. Each
// alignment is then stretched forwards and backwards as far as more bytes match than differ.
#include "tools/nemftool/nemftool_delta.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <divsufsort.h>
#include <memory>
#include <zstd.h>

#include "nemf/nemf_delta.h"
#include "nemf/nemf_validate.h"
#include "platform/raii.h"

namespace {

constexpr size_t kMinMatch = 12;       // shortest exact match that starts an alignment
constexpr size_t kSwitchMargin = 8;    // by how much it must beat the current alignment
constexpr int kLevel = 19;             // zstd level of both streams
constexpr int kMinWindowLog = 10;      // the copies' window: their length,
constexpr int kMaxWindowLog = 27;      // within zstd's limits

using cctx_ptr = std::unique_ptr<ZSTD_CCtx, c_free<ZSTD_freeCCtx>>;

// Length of the common prefix of a[0, na) and b[0, nb).
size_t common_prefix(const uint8_t* a, size_t na, const uint8_t* b, size_t nb)
{
    const size_t n = std::min(na, nb);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y)
            return i + static_cast<size_t>(std::countr_zero(x ^ y) / 8);
    }
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

struct source_index {
    std::span<const uint8_t> src;
    std::vector<saidx_t> sa;   // suffix array of src
};

struct match {
    size_t pos = 0, len = 0;
};

// The longest prefix of `p` that occurs in the source. The suffixes between the two ends of
// the search range share with `p` at least the shorter of the ends' common prefixes, so each
// comparison starts there.
match longest_match(const source_index& ix, std::span<const uint8_t> p)
{
    const uint8_t* s = ix.src.data();
    const size_t m = ix.src.size();
    auto lcp = [&](size_t k, size_t skip) {
        const size_t at = static_cast<size_t>(ix.sa[k]);
        return skip + common_prefix(s + at + skip, m - at - skip, p.data() + skip, p.size() - skip);
    };
    size_t lo = 0, hi = ix.sa.size() - 1;
    size_t llo = lcp(lo, 0), lhi = lcp(hi, 0);
    while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        const size_t l = lcp(mid, std::min(llo, lhi));
        const size_t at = static_cast<size_t>(ix.sa[mid]);
        if (l < p.size() && (at + l == m || s[at + l] < p[l])) {
            lo = mid;
            llo = l;
        } else {
            hi = mid;
            lhi = l;
        }
    }
    return llo >= lhi ? match{static_cast<size_t>(ix.sa[lo]), llo} : match{static_cast<size_t>(ix.sa[hi]), lhi};
}

struct anchor {
    size_t t;    // target offset where the alignment starts to be used
    int64_t d;   // source offset minus target offset
};

struct add_run {
    size_t t, len;
    int64_t d;
};

bool same_at(std::span<const uint8_t> src, std::span<const uint8_t> tgt, size_t t, int64_t d)
{
    const int64_t j = static_cast<int64_t>(t) + d;
    return j >= 0 && static_cast<uint64_t>(j) < src.size() && src[static_cast<size_t>(j)] == tgt[t];
}

std::vector<anchor> find_anchors(const source_index& ix, std::span<const uint8_t> tgt)
{
    std::vector<anchor> out;
    if (ix.src.empty())
        return out;
    bool have = false;
    int64_t d = 0;
    size_t t = 0;
    while (t < tgt.size()) {
        if (have && same_at(ix.src, tgt, t, d)) {
            ++t;
            continue;
        }
        const match mt = longest_match(ix, tgt.subspan(t));
        if (mt.len >= kMinMatch) {
            size_t kept = 0;
            for (size_t i = t; have && i < t + mt.len; ++i)
                kept += same_at(ix.src, tgt, i, d);
            if (mt.len >= kept + kSwitchMargin) {
                d = static_cast<int64_t>(mt.pos) - static_cast<int64_t>(t);
                have = true;
                out.push_back({t, d});
                t += mt.len;
                continue;
            }
        }
        ++t;
    }
    return out;
}

// Each anchor's alignment stretched backwards down to the end of the run before it and
// forwards up to the next anchor, each way as far as the balance of equal minus different
// bytes is highest.
std::vector<add_run> stretch(std::span<const uint8_t> src, std::span<const uint8_t> tgt, const std::vector<anchor>& anchors)
{
    std::vector<add_run> runs;
    size_t prev_end = 0;
    for (size_t i = 0; i < anchors.size(); ++i) {
        const size_t start = anchors[i].t;
        const size_t limit = i + 1 < anchors.size() ? anchors[i + 1].t : tgt.size();
        const int64_t d = anchors[i].d;
        size_t b = start;
        for (int64_t score = 0, best = 0, k = static_cast<int64_t>(start) - 1;
             k >= static_cast<int64_t>(prev_end) && k + d >= 0; --k) {
            score += same_at(src, tgt, static_cast<size_t>(k), d) ? 1 : -1;
            if (score > best) {
                best = score;
                b = static_cast<size_t>(k);
            }
        }
        size_t f = start;
        for (int64_t score = 0, best = 0, k = static_cast<int64_t>(start);
             k < static_cast<int64_t>(limit) && static_cast<uint64_t>(k + d) < src.size(); ++k) {
            score += same_at(src, tgt, static_cast<size_t>(k), d) ? 1 : -1;
            if (score > best) {
                best = score;
                f = static_cast<size_t>(k) + 1;
            }
        }
        runs.push_back({b, f - b, d});
        prev_end = f;
    }
    return runs;
}

int compress(std::span<const uint8_t> in, int window_log, bool long_matches, std::vector<uint8_t>* out, std::string* why)
{
    cctx_ptr cctx(ZSTD_createCCtx());
    out->resize(ZSTD_compressBound(in.size()));
    size_t r = cctx ? 0 : 1;
    const std::pair<ZSTD_cParameter, int> params[] = {
        {ZSTD_c_compressionLevel, kLevel},
        {ZSTD_c_windowLog, window_log},
        {ZSTD_c_enableLongDistanceMatching, long_matches ? 1 : 0},
        {ZSTD_c_contentSizeFlag, 1},
        {ZSTD_c_checksumFlag, 0},
    };
    for (const auto& [param, value] : params)
        if (r == 0 && ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), param, value)))
            r = 1;
    if (r == 0) {
        uint8_t none = 0;
        r = ZSTD_compress2(cctx.get(), out->data(), out->size(), in.empty() ? &none : in.data(), in.size());
    }
    if (r == 1 || ZSTD_isError(r)) {
        *why = "zstd could not compress the delta";
        return -1;
    }
    out->resize(r);
    return 0;
}

bool payload(const nemf_content_header& h)
{
    return h.type_id != NEMF_TYPE_RELEASE_HEADER && h.type_id != NEMF_TYPE_DATA_RECORD &&
           h.type_id != NEMF_TYPE_CONTENT_SIGNATURE && h.type_id != NEMF_TYPE_DELTA && nemf_name(h.name) != "krum";
}

using part_list = std::array<std::span<const uint8_t>, NEMF_MAX_CONTENT_PARTS>;

// The parts of a container whose every CRC is good. The count, or -1 with `why` set.
int checked_parts(std::span<const uint8_t> image, const char* what, part_list* parts, std::string* why)
{
    if (image.empty() || nemf_validate_container(image, nullptr) != NEMF_VALID) {
        *why = std::string(what) + " is not a NEMF image with good CRCs";
        return -1;
    }
    return nemf_delta_walk(image, parts);
}

std::span<const uint8_t> body_of(std::span<const uint8_t> part, nemf_content_header* h)
{
    nemf_copy_content_header(part, h);
    return part.subspan(h->hdr_length, h->body_length);
}

// The delta body for `target_part` against the body of `source_part`.
int delta_body(std::span<const uint8_t> source_part, std::span<const uint8_t> target_part, std::vector<uint8_t>* body,
               std::string* why)
{
    nemf_content_header sh{}, th{};
    std::span<const uint8_t> source = body_of(source_part, &sh);
    std::span<const uint8_t> target = body_of(target_part, &th);
    std::vector<uint8_t> frame;
    if (nemftool_delta_frame(source, target, &frame, why) != 0)
        return -1;
    nemf_delta_head head{};
    head.magic = NEMF_DELTA_MAGIC;
    head.version = NEMF_DELTA_VERSION;
    head.method = NEMF_DELTA_METHOD_ADDCOPY;
    head.target_hdr_length = th.hdr_length;
    std::memcpy(head.source.name, sh.name, sizeof sh.name);
    if (source.size() >= 4) {
        head.source.sw_version_major = source[0];
        head.source.sw_version_minor = source[1];
        head.source.sw_build_number = static_cast<uint16_t>(source[2] | source[3] << 8);
    }
    head.source.body_length = sh.body_length;
    head.source.body_crc = sh.body_crc;
    head.frame_length = static_cast<uint32_t>(frame.size());
    body->assign(sizeof head, 0);
    nemf_copy_out(head, std::span(*body));
    body->insert(body->end(), target_part.begin(), target_part.begin() + th.hdr_length);
    body->insert(body->end(), frame.begin(), frame.end());
    return 0;
}

// The source finder of nemftool expand: a part of the base image that the recorded metadata
// describes, with a body that checks out.
std::span<const uint8_t> find_in_base(void* ctx, int, const nemf_delta_source& src)
{
    const auto* base = static_cast<const std::vector<std::span<const uint8_t>>*>(ctx);
    for (std::span<const uint8_t> part : *base) {
        nemf_content_header h{};
        std::span<const uint8_t> body = body_of(part, &h);
        const bool version = body.size() < 4 || (body[0] == src.sw_version_major && body[1] == src.sw_version_minor &&
                                                 (body[2] | body[3] << 8) == src.sw_build_number);
        if (nemf_name_equal(h.name, src.name) && h.body_length == src.body_length && h.body_crc == src.body_crc &&
            version && nemf_validate_content_body(part, body) == NEMF_VALID)
            return body;
    }
    return {};
}

}  // namespace

int nemftool_delta_frame(std::span<const uint8_t> source, std::span<const uint8_t> target,
                         std::vector<uint8_t>* frame, std::string* why)
{
    source_index ix{source, {}};
    if (!source.empty()) {
        ix.sa.resize(source.size());
        if (divsufsort(source.data(), ix.sa.data(), static_cast<saidx_t>(source.size())) != 0) {
            *why = "the suffix array of the source could not be built";
            return -1;
        }
    }
    const std::vector<add_run> runs = stretch(source, target, find_anchors(ix, target));

    // The four streams: controls, the add runs' non-zero differences (gaps and values), copies.
    std::vector<nemf_delta_control> controls;
    std::vector<uint8_t> gaps, values, copies;
    uint64_t zeros = 0;
    auto copy_run = [&](size_t from, size_t to) { copies.insert(copies.end(), target.begin() + from, target.begin() + to); };
    if (runs.empty() && !target.empty()) {
        controls.push_back({0, 0, static_cast<uint32_t>(target.size())});
        copy_run(0, target.size());
    }
    if (!runs.empty() && runs[0].t > 0) {
        controls.push_back({0, 0, static_cast<uint32_t>(runs[0].t)});
        copy_run(0, runs[0].t);
    }
    int64_t spos = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        const add_run& r = runs[i];
        for (size_t k = r.t; k < r.t + r.len; ++k) {
            const uint8_t diff = static_cast<uint8_t>(target[k] - source[static_cast<size_t>(static_cast<int64_t>(k) + r.d)]);
            if (diff == 0) {
                ++zeros;
                continue;
            }
            for (; zeros >= 0x80; zeros >>= 7)
                gaps.push_back(static_cast<uint8_t>(zeros | 0x80));
            gaps.push_back(static_cast<uint8_t>(zeros));
            values.push_back(diff);
            zeros = 0;
        }
        const int64_t from = static_cast<int64_t>(r.t) + r.d;
        const size_t next = i + 1 < runs.size() ? runs[i + 1].t : target.size();
        controls.push_back({static_cast<int32_t>(from - spos), static_cast<uint32_t>(r.len),
                            static_cast<uint32_t>(next - r.t - r.len)});
        copy_run(r.t + r.len, next);
        spos = from + static_cast<int64_t>(r.len);
    }
    std::vector<uint8_t> ctrl_bytes(controls.size() * sizeof(nemf_delta_control));
    if (!controls.empty())
        std::memcpy(ctrl_bytes.data(), controls.data(), ctrl_bytes.size());

    std::vector<uint8_t> z[4];
    const int window = std::clamp(static_cast<int>(std::bit_width(copies.size())), kMinWindowLog, kMaxWindowLog);
    if (compress(ctrl_bytes, NEMF_DELTA_STREAM_WINDOW_LOG, false, &z[0], why) != 0 ||
        compress(gaps, NEMF_DELTA_STREAM_WINDOW_LOG, false, &z[1], why) != 0 ||
        compress(values, NEMF_DELTA_STREAM_WINDOW_LOG, false, &z[2], why) != 0 ||
        compress(copies, window, true, &z[3], why) != 0)
        return -1;
    const nemf_delta_frame_head fh{static_cast<uint32_t>(copies.size()), static_cast<uint32_t>(z[0].size()),
                                   static_cast<uint32_t>(z[1].size()), static_cast<uint32_t>(z[2].size()),
                                   static_cast<uint32_t>(z[3].size())};
    frame->assign(sizeof fh, 0);
    nemf_copy_out(fh, std::span(*frame));
    for (const std::vector<uint8_t>& stream : z)
        frame->insert(frame->end(), stream.begin(), stream.end());
    return 0;
}

int nemftool_delta_image(std::span<const uint8_t> old_image, std::span<const uint8_t> new_image,
                         std::vector<uint8_t>* out, std::vector<nemftool_delta_note>* notes, std::string* why)
{
    part_list old_parts, new_parts;
    const int old_count = checked_parts(old_image, "the old image", &old_parts, why);
    const int new_count = old_count < 0 ? -1 : checked_parts(new_image, "the new image", &new_parts, why);
    if (new_count < 0)
        return -1;
    nemf_header fh{};
    nemf_copy_header(new_image.subspan(NEMF_ID_SIZE), &fh);
    out->assign(new_image.begin(), new_image.begin() + NEMF_ID_SIZE + fh.hdr_length);
    notes->clear();
    for (int i = 0; i < new_count; ++i) {
        std::span<const uint8_t> part = new_parts[i];
        nemf_content_header h{};
        nemf_copy_content_header(part, &h);
        nemftool_delta_note note{i, std::string(nemf_name(h.name)), part.size(), 0, "not a payload part"};
        std::vector<uint8_t> delta_part;
        if (payload(h)) {
            note.outcome = "no namesake in the old image";
            for (int j = 0; j < old_count; ++j) {
                nemf_content_header oh{};
                nemf_copy_content_header(old_parts[j], &oh);
                if (!payload(oh) || !nemf_name_equal(oh.name, h.name) || oh.body_length == 0)
                    continue;
                std::vector<uint8_t> body;
                if (delta_body(old_parts[j], part, &body, why) != 0)
                    return -1;
                delta_part.assign(nemf_part_size(NEMF_CONTENT_HEADER_MIN_LENGTH, static_cast<uint32_t>(body.size())), 0);
                nemf_part_write(std::span(delta_part), NEMF_TYPE_DELTA, note.name, {}, body);
                note.delta_size = delta_part.size();
                note.outcome = delta_part.size() < part.size() ? "delta" : "the delta is not smaller";
                break;
            }
        }
        if (note.delta_size != 0 && note.delta_size < note.full_size)
            out->insert(out->end(), delta_part.begin(), delta_part.end());
        else
            out->insert(out->end(), part.begin(), part.end());
        notes->push_back(note);
    }
    const uint64_t body_length = out->size() - (NEMF_ID_SIZE + fh.hdr_length);
    if (body_length > UINT32_MAX || nemf_delta_seal_file(std::span(*out), static_cast<uint32_t>(body_length)) < 0) {
        *why = "the delta image would be too large";
        return -1;
    }
    return 0;
}

int nemftool_expand_image(std::span<const uint8_t> base_image, std::span<const uint8_t> delta_image,
                          std::vector<uint8_t>* out, std::string* why)
{
    part_list base_parts;
    const int base_count = checked_parts(base_image, "the base image", &base_parts, why);
    if (base_count < 0)
        return -1;
    const int64_t length = nemf_delta_expanded_length(delta_image);
    if (length < 0) {
        *why = "the delta image's parts cannot be read";
        return -1;
    }
    std::vector<std::span<const uint8_t>> sources(base_parts.begin(), base_parts.begin() + base_count);
    out->assign(static_cast<size_t>(length), 0);
    size_t got = 0;
    int failed = -1;
    const int r = nemf_delta_expand_image(delta_image, find_in_base, &sources, std::span(*out), &got, &failed);
    if (r == NEMF_DELTA_OK) {
        out->resize(got);
        return 0;
    }
    const char* what = r == NEMF_DELTA_ERR_SOURCE ? "its source is not in the base image"
                       : r == NEMF_DELTA_ERR_FRAME ? "the frame does not expand to the part"
                       : r == NEMF_DELTA_ERR_SPACE ? "the expanded image does not fit"
                                                   : "the delta part is malformed";
    *why = failed < 0 ? std::string("the delta image: ") + what : "part " + std::to_string(failed) + ": " + what;
    return -1;
}
