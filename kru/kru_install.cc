// The install action up to the write-out: arguments and record, set selection, the image
// streamed through the parser with every content part acted on as it completes, the checks of
// the complete image, the meta install, partial images and the autoset file.
#include "kru/kru_install.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <span>
#include <string_view>
#include <syslog.h>
#include <unistd.h>

#include "kru/kru_actions.h"
#include "kru/kru_delta.h"
#include "kru/kru_hooks.h"
#include "kru/kru_hostcfg.h"
#include "kru/kru_load.h"
#include "kru/kru_rebuild.h"
#include "kru/kru_writeout.h"
#include "krul/krul_check.h"
#include "nemf/nemf_delta.h"
#include "nemf/nemf_stream_parser.h"
#include "nemf/nemf_validate.h"
#include "platform/fnutil.h"
#include "platform/imgbuf.h"
#include "platform/log.h"
#include "platform/qz.h"
#include "platform/raii.h"

namespace {

constexpr const char* kru_install_module = "kru_install";
// Signer Common Names accepted for release images.
constexpr const char* kru_install_cn_pattern = "Dravik SATCOM VSAT Terminal *";

// The second line the action logs for each meta install failure, and its exit code.
struct kru_meta_failure {
    int result;
    const char* reason;
    int exit_code;
};
constexpr kru_meta_failure kru_meta_failures[] = {
    {KRUL_META_INSTALL_ERR_NO_CONTENT, "install: no content\n", KRU_EXIT_META_INSTALL},
    {KRUL_META_INSTALL_ERR_DEPENDENCY, "install: KRUM dependencies not fulfilled in hostconfig\n",
     KRU_EXIT_META_INSTALL},
    {KRUL_META_INSTALL_ERR_SINGLETON, "install: install into singleton without force option\n", KRU_EXIT_META_INSTALL},
    {KRUL_META_INSTALL_ERR_EMPTY_POOL, "install: empty pool\n", KRU_EXIT_META_INSTALL},
    {KRUL_META_INSTALL_ERR_NO_FREE_PARTINFO, "install: no free partinfo\n", KRU_EXIT_META_INSTALL},
    {KRUL_META_INSTALL_ERR_PARTINFO_MATCH, "install: partinfo krum match\n", KRU_EXIT_META_INSTALL},
    {KRUL_META_INSTALL_ERR_ALREADY_ACTIVE, "install: release already active\n", KRU_EXIT_ALREADY_ACTIVE},
    {KRUL_META_INSTALL_ERR_FATAL, "install: fatal error\n", KRU_EXIT_META_INSTALL},
};
constexpr kru_meta_failure kru_meta_failure_unknown = {0, "install: unknown error type\n", KRU_EXIT_META_INSTALL};

const kru_meta_failure& kru_meta_failure_of(int result)
{
    for (const kru_meta_failure& f : kru_meta_failures)
        if (f.result == result)
            return f;
    return kru_meta_failure_unknown;
}

// -onlymeta with a hostconfig to update: the image is taken on trust (no trust material, no
// signer, no hashes, no partition CRCs).
bool kru_install_trusting(const kru_settings* s)
{
    return s->onlymeta == 1 && s->hostcfg[0] != '\0';
}

// The platform that krum elements are filtered by: -platform= when given, else the product.
const char* kru_install_platform(const kru_settings* s)
{
    return s->platform_set != 0 ? s->platform : s->product;
}

nemf_content_header kru_install_header(std::span<const uint8_t> part)
{
    nemf_content_header h{};
    nemf_copy_content_header(part, &h);
    return h;
}

std::span<const uint8_t> kru_install_body(std::span<const uint8_t> part)
{
    nemf_content_header h = kru_install_header(part);
    if (part.size() < h.hdr_length)
        return {};
    return part.subspan(h.hdr_length);
}

// A release header body copied out: a body shorter than the fixed fields leaves the rest 0.
nemf_release_header kru_install_rh(std::span<const uint8_t> body)
{
    nemf_release_header rh{};
    if (!body.empty())
        std::memcpy(&rh, body.data(), std::min(body.size(), sizeof rh));
    return rh;
}

// The release header whose body rh_body points at (an empty body included).
nemf_release_header kru_install_ctx_rh(const kru_install_ctx* ctx)
{
    for (int i = 0; i < NEMF_MAX_CONTENT_PARTS; ++i) {
        std::span<const uint8_t> part = kru_install_part(ctx, i);
        if (!part.empty() && kru_install_body(part).data() == ctx->rh_body)
            return kru_install_rh(kru_install_body(part));
    }
    QZ_ASSERT(kru_install_module, false);
    return {};
}

// The krum part has arrived: parse its text and decide every element. 0, or -1 after the
// message (the callback then stops).
int kru_install_krum(kru_install_ctx* ctx, std::span<const uint8_t> body)
{
    if (ctx->rh_body == nullptr) {
        kru_log(LOG_ERR, "install: KRUM before RH\n");
        return -1;
    }
    if (body.empty() || body.back() != 0) {
        kru_log(LOG_ERR, "install: Content Part Body should be 0-terminated for KRUM content\n");
        return -1;
    }
    std::string_view text(reinterpret_cast<const char*>(body.data()), body.size() - 1);
    ctx->element_count = krul_parse_krumd(std::span(ctx->elements), text);
    if (ctx->element_count < 1) {
        kru_log(LOG_ERR, "install: krul_parse_krumd failed: %i\n", ctx->element_count);
        return -1;
    }
    const kru_settings* s = ctx->settings;
    int r = krul_meta_install_part1(ctx->record, ctx->setidx, kru_install_ctx_rh(ctx), std::span(ctx->elements),
                                    kru_install_platform(s), s->force);
    if (r == KRUL_META_INSTALL_ERR_SINGLETON) {
        kru_log(LOG_ERR, "install: Can't install into singleton partitions without -f\n");
        return -1;
    }
    if (r != KRUL_META_INSTALL_OK) {
        kru_log(LOG_ERR, "install: krul_meta_install_part1 failed: %i\n", r);
        kru_log(LOG_ERR, "install: search krul.h for KRUL_META_INSTALL_ERR_\n");
        return -1;
    }
    ctx->element_cursor = 0;
    return 0;
}

// Acts on content part i, which the parser has just found. 0, or -1 after the message.
int kru_install_take_part(kru_install_ctx* ctx, int i)
{
    const kru_settings* s = ctx->settings;
    int valid = nemf_stream_parser_content_part_is_valid(ctx->parser, i);
    if (valid < 0) {
        kru_log(LOG_ERR, "install: content part %d not valid error\n", i);
        return -1;
    }
    if (valid == 0)
        return 0;
    std::span<const uint8_t> part = kru_install_part(ctx, i);
    QZ_ASSERT(kru_install_module, !part.empty());
    const nemf_content_header h = kru_install_header(part);
    const std::span<const uint8_t> body = kru_install_body(part);

    if (h.type_id == NEMF_TYPE_RELEASE_HEADER)
        ctx->rh_body = body.data();
    if (kru_install_trusting(s)) {
        if (s->verbose)
            kru_log(LOG_INFO, "install: only updating hostconfig, skipping Common Name check\n");
    } else if (h.type_id == NEMF_TYPE_CONTENT_SIGNATURE) {
        kru_log(LOG_INFO, "install: loading manifest (%d)\n", i);
        kru_log(LOG_INFO, "install: expecting CN in manifest (%s)\n", kru_install_cn_pattern);
        int r = nemf_stream_parser_load_manifest(ctx->parser, i, kru_install_cn_pattern);
        if (r != 0) {
            kru_log(LOG_ERR, "install: manifest (%d) load error: %d\n", i, r);
            return -1;
        }
    }
    const bool cursor_valid = ctx->element_cursor >= 0 && ctx->element_cursor < krum_max_elements;
    if (cursor_valid) {
        krum_element* e = &ctx->elements[ctx->element_cursor];
        krul_version version{};
        if (h.type_id == NEMF_TYPE_CONTENT_SOFTWARE && e->action == KRUM_ACTION_LATE &&
            krul_version_read(body, &version) == 0)
            late_action_update(ctx->record, e, version);
        if (e->cidx == i)
            ++ctx->element_cursor;
    }
    if (nemf_name(h.name) == krum_part_name)
        return kru_install_krum(ctx, body);
    return 0;
}

// Another chunk has been appended to the image buffer. 0, or -1 after the message.
int kru_install_stream_step(kru_install_ctx* ctx)
{
    int r = nemf_stream_parser_feed(ctx->parser, ctx->bytes_received);
    if (r < 0) {
        if (ctx->parser->header == nullptr)
            kru_log(LOG_ERR, "nemf_stream_parser_hdr failed (%i).\n", r);
        else
            kru_log(LOG_ERR, "nemf_stream_parser failed (r=%i).\n", r);
        return -1;
    }
    if (ctx->stage == KRU_INSTALL_STAGE_HEADER && ctx->parser->header != nullptr) {
        ctx->file_header = ctx->parser->header;
        ctx->stage = KRU_INSTALL_STAGE_PARTS;
    }
    const int found = nemf_stream_parser_get_found_content_parts(ctx->parser);
    for (int i = ctx->parts_seen; i < found; ++i)
        if (kru_install_take_part(ctx, i) != 0)
            return -1;
    ctx->parts_seen = found;
    return 0;
}

// Choosing the set: the set to install into. The index, or -1 after the message.
int kru_install_autodetect(const krul_data* rec)
{
    switch (rec->actset) {
    case 1:
        return 2;
    case 2:
        return 1;
    case 0: {
        const nemf_release_header& a = rec->rhdr[1];
        const nemf_release_header& b = rec->rhdr[2];
        auto key = [](const nemf_release_header& h) {
            return (uint64_t{h.release_version_major} << 24) | (uint64_t{h.release_version_minor} << 16) |
                   h.release_build_number;
        };
        return key(a) <= key(b) ? 1 : 2;
    }
    default:
        kru_log(LOG_ERR, "install: could not autodetect Set to install into\n");
        return -1;
    }
}

// Checking the image: the checks of the complete image and the meta install. 0, or the exit code.
// `delta_parts` names the parts that were expanded from delta parts (bit i for part i).
int kru_install_check_image(kru_install_ctx* ctx, hostconfig* hc, uint32_t delta_parts)
{
    kru_settings* s = ctx->settings;
    nemf_stream_parser* p = ctx->parser;
    if (nemf_stream_parser_get_status(p) != NEMF_SP_STATUS_DONE) {
        kru_log(LOG_ERR, "install: incomplete NEMF\n");
        return KRU_EXIT_IMAGE_BAD;
    }
    const std::span<const uint8_t> part0 = kru_install_part(ctx, 0);
    if (part0.empty()) {
        kru_log(LOG_ERR, "install: no content parts found in NEMF\n");
        return KRU_EXIT_FAILURE;
    }
    const nemf_content_header h0 = kru_install_header(part0);
    const std::span<const uint8_t> body0 = kru_install_body(part0);
    const nemf_release_header rh0 = kru_install_rh(body0);
    const bool has_rh = h0.type_id == NEMF_TYPE_RELEASE_HEADER;
    if (has_rh) {
        // The text behind the fixed fields, up to its first NUL.
        std::string_view text = "";
        if (body0.size() > sizeof rh0) {
            text = {reinterpret_cast<const char*>(body0.data()) + sizeof rh0, body0.size() - sizeof rh0};
            text = text.substr(0, text.find('\0'));
        }
        kru_log_err(LOG_NOTICE, "install: release %u.%u-%u, '%.*s'\n", rh0.release_version_major,
                    rh0.release_version_minor, rh0.release_build_number, static_cast<int>(text.size()), text.data());
    }
    if (kru_install_trusting(s)) {
        if (s->verbose)
            kru_log(LOG_INFO, "install: only updating hostconfig, skipping hash check\n");
    } else {
        if (s->verbose)
            kru_log(LOG_DEBUG, "install: checking hashes\n");
        int r = nemf_stream_parser_check_manifest_hashes(p);
        if (r == NEMF_MANIFEST_ERR_MISSING_PART) {
            if (s->verbose)
                kru_log(LOG_DEBUG, "install: only hashes of loaded parts has been checked\n");
        } else if (r != NEMF_MANIFEST_OK) {
            const int refusal = kru_delta_hash_refusal(p, delta_parts);
            if (refusal != 0)
                return refusal;
            kru_log(LOG_ERR, "install: hashes check error: %d\n", r);
            return KRU_EXIT_IMAGE_BAD;
        }
    }
    if (s->product_set != 0 && s->force == 0) {
        if (!has_rh) {
            kru_log(LOG_ERR, "Expected release header in NEMF when using -product\n");
            return KRU_EXIT_PRODUCT;
        }
        if (krul_match_model(part0, s->product) == 0) {
            kru_log(LOG_ERR, "install: Release header does not contain model '%s'\n", s->product);
            return KRU_EXIT_PRODUCT;
        }
    }
    if (s->minver_set != 0) {
        if (!has_rh) {
            kru_log(LOG_ERR, "Expected release header in NEMF when using -minver\n");
            return KRU_EXIT_MINVER;
        }
        if (krul_check_minver(rh0, s->minver_major, s->minver_minor, s->minver_build) == 0) {
            kru_log(LOG_ERR, "install: Version in release header lower than %u.%u-%u\n", s->minver_major,
                    s->minver_minor, s->minver_build);
            return KRU_EXIT_MINVER;
        }
    }
    if (kru_install_hook_pre_metainstall != nullptr) {
        int r = kru_install_hook_pre_metainstall(ctx, hc);
        if (r != 0)
            return r;
    }
    int r = krul_meta_install(ctx->record, ctx->setidx, rh0, std::span(ctx->elements),
                              nemf_stream_parser_content_parts(p), kru_install_platform(s), s->force);
    if (r != KRUL_META_INSTALL_OK) {
        const kru_meta_failure& f = kru_meta_failure_of(r);
        kru_log(LOG_ERR, "install: meta install in hostconfig failed (%i), reason:\n", r);
        kru_log(LOG_ERR, "%s", f.reason);
        return f.exit_code;
    }
    if (s->verbose) {
        kru_log(LOG_DEBUG, "Result from krul_meta_install: %i\n", r);
        kru_info(s, ctx->record);
    }
    return 0;
}

// Marking, for one element whose partition must be substituted because it no longer checks out
// and another set also uses it. 0, or exit code 1 after the message.
int kru_install_substitute(kru_install_ctx* ctx, krum_element* e)
{
    krul_data* rec = ctx->record;
    kru_log_err(LOG_NOTICE, "Other sets also refer to partition %i.\n", e->partinfo_idx);
    int fresh = krul_get_unused_partinfo(rec, krul_name(e->poolname), ctx->setidx);
    if (fresh < 0) {
        kru_log_err(LOG_CRIT, "No free partitions in pool\n");
        return KRU_EXIT_FAILURE;
    }
    kru_log_err(LOG_NOTICE, "Use free partition %i instead\n", fresh);
    int8_t* refs = rec->sets[ctx->setidx].refs;
    int8_t* slot = std::find(refs, refs + krul_max_refs, static_cast<int8_t>(e->partinfo_idx));
    if (slot == refs + krul_max_refs) {
        kru_log_err(LOG_CRIT, "Could not repleace pref in install set\n");
        return KRU_EXIT_FAILURE;
    }
    *slot = static_cast<int8_t>(fresh);
    e->partinfo_idx = fresh;
    return 0;
}

// An element found installed is to be written after all. The meta install recorded the
// content of elements to be written only; this one's partition still carries what it held
// before, which the read-back would compare the new content with, and which would be saved.
void kru_install_rewrite(kru_install_ctx* ctx, krum_element* e)
{
    e->action = KRUM_ACTION_WRITE;
    krul_meta_import_pinfometa(ctx->record, kru_install_part(ctx, e->cidx).data(), e);
}

// Marking: partial images and partitions to write again. 0, or the exit code.
int kru_install_mark(kru_install_ctx* ctx)
{
    const kru_settings* s = ctx->settings;
    bool partial_noted = false;
    for (krum_element& e : ctx->elements) {
        if (e.action == KRUM_ACTION_NONE || e.action == -1)
            continue;
        // An element whose part this image lacks (cidx -1, or an index with no part) can only
        // be kept, never written.
        const bool in_image = !kru_install_part(ctx, e.cidx).empty();
        if (e.cidx == -1 && !partial_noted) {
            kru_log_err(LOG_NOTICE, "Handling partial NEMF\n");
            partial_noted = true;
        }
        if (e.action == KRUM_ACTION_WRITE)
            continue;
        if (s->rewrite == 1 && in_image && e.action == KRUM_ACTION_INSTALLED) {
            kru_log_err(LOG_NOTICE, "Mark partition %i for rewrite\n", e.partinfo_idx);
            kru_install_rewrite(ctx, &e);
            continue;
        }
        if (s->onlymeta)
            continue;
        QZ_ASSERT(kru_install_module, e.partinfo_idx >= 0 && e.partinfo_idx < krul_max_partinfo);
        if (crc32_check(ctx->record, e.partinfo_idx, e.wts) == KRUL_CRC_MATCH)
            continue;
        if (!in_image) {
            kru_log_err(LOG_CRIT, "CRC32 validation of partition %i failed. Only fixable with a non-partial NEMF.\n",
                        e.partinfo_idx);
            return KRU_EXIT_PARTIAL_CHECK;
        }
        kru_log_err(LOG_NOTICE, "CRC32 validation for partition %i failed marking it for reinstall\n", e.partinfo_idx);
        if (krul_partinfo_owned_by_set(ctx->record, e.partinfo_idx, ctx->setidx) == 1) {
            int r = kru_install_substitute(ctx, &e);
            if (r != 0)
                return r;
        }
        kru_install_rewrite(ctx, &e);
    }
    return 0;
}

// The autoset file: records the active set in the autoset file, which must not exist yet. 0, or 5.
int kru_install_autoset(const kru_settings* s, const krul_data* rec)
{
    // Never removed first: whatever is at the path (a link included) means an earlier try.
    unique_fd fd(open(s->autosetfile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        if (errno == EEXIST)
            kru_log(LOG_ERR, "Autodetected set installation has already been tried by KRU with or without success.\n");
        else
            kru_log(LOG_ERR, "install: could not CREATE|EXCL %s\n", s->autosetfile);
        return KRU_EXIT_AUTOSET;
    }
    const uint8_t old = rec->actset;
    ssize_t n = write(fd.get(), &old, 1);
    if (n < 0)
        kru_log(LOG_ERR, "errno = %i\n", errno);
    // What the close reports is part of the write.
    if (n != 1 || close(fd.release()) != 0) {
        fd.reset();
        unlink(s->autosetfile);
        kru_log(LOG_ERR, "Failed to store old setidx into %s\n", s->autosetfile);
        return KRU_EXIT_AUTOSET;
    }
    return 0;
}

// Reading the image: into a buffer of its own, through the parser. 0, or the exit code.
// The buffer and the parser are handed to the caller, who keeps them for the whole action.
struct kru_parser_free {
    void operator()(nemf_stream_parser* p) const { nemf_stream_parser_deinit(p); }
};
using kru_parser_ptr = std::unique_ptr<nemf_stream_parser, kru_parser_free>;

// Takes every chunk as it comes: the bytes are only wanted in the buffer.
uint32_t kru_install_collect(const uint8_t*, uint32_t element_size, uint32_t count, void*)
{
    return element_size * count;
}

int kru_install_read_image(kru_install_ctx* ctx, const char* image, imgbuf_ptr* buffer, kru_parser_ptr* parser,
                           uint32_t* delta_parts)
{
    kru_settings* s = ctx->settings;
    char scheme[10], host[200], path[200];
    if (std::sscanf(image, "%9[^:]://%199[^/]/%199s", scheme, host, path) == 3 ||
        std::sscanf(image, "file:///%199s", path) == 1) {
        kru_log(LOG_ERR, "curl was not enabled at compile time, sorry.\n");
        return KRU_EXIT_FAILURE;
    }
    const int32_t size = fnsize(image);
    if (size < 0) {
        kru_log(LOG_ERR, "install: could not open NEMF\n");
        return KRU_EXIT_IMAGE_OPEN;
    }
    if (size == 0) {
        kru_log(LOG_ERR, "install: empty NEMF\n");
        return KRU_EXIT_IMAGE_BAD;
    }
    if (static_cast<uint32_t>(size) > s->nemfsize) {
        kru_log(LOG_ERR, "install: NEMF too big\n");
        return KRU_EXIT_IMAGE_BAD;
    }
    *buffer = imgbuf_ptr(imgbuf_alloc(static_cast<uint32_t>(size)), imgbuf_deleter{static_cast<uint32_t>(size)});
    QZ_ASSERT(kru_install_module, *buffer != nullptr);
    // The file is read whole first. A delta image is expanded here, in memory, against the
    // installed sources; from here on the install sees only the full image it stands for.
    uint32_t image_size = static_cast<uint32_t>(size);
    const bool whole = kru_load_file(image, buffer->get(), image_size, kru_install_collect, nullptr) == image_size;
    // Bytes that are no image at all (-1) go the full image's way and fail there.
    if (whole && nemf_delta_count({buffer->get(), image_size}) > 0) {
        kru_delta_image full;
        int r = kru_delta_expand_install({buffer->get(), image_size}, ctx->record, s->nemfsize, &full);
        if (r != 0)
            return r;
        *buffer = std::move(full.buffer);
        image_size = full.size;
        *delta_parts = full.delta_parts;
    }
    parser->reset(nemf_stream_parser_init(nullptr, buffer->get()));
    QZ_ASSERT(kru_install_module, *parser != nullptr);
    ctx->image = buffer->get();
    ctx->image_size = image_size;
    ctx->parser = parser->get();

    if (kru_install_trusting(s)) {
        if (s->verbose)
            kru_log(LOG_INFO, "install: only updating hostconfig, skipping certificate check\n");
    } else {
        int r = kru_load_trust(ctx->parser);
        if (r != KRU_LOAD_TRUST_OK)
            return r;
    }
    // Bytes read whole are handed over as one chunk, as the loader does with a regular file;
    // a short read (the file changed under us) is read again and judged there.
    const bool loaded = whole ? kru_install_stream_cb(ctx->image, 1, image_size, ctx) == image_size
                              : kru_load_file(image, ctx->image, image_size, kru_install_stream_cb, ctx) != 0;
    if (!loaded) {
        kru_log(LOG_ERR, "install: failed to load NEMF\n");
        return KRU_EXIT_IMAGE_BAD;
    }
    return 0;
}

}  // namespace

std::span<const uint8_t> kru_install_part(const kru_install_ctx* ctx, int cidx)
{
    if (ctx->parser == nullptr || cidx < 0 || cidx >= NEMF_MAX_CONTENT_PARTS)
        return {};
    return nemf_stream_parser_part(ctx->parser, cidx);
}

uint32_t kru_install_stream_cb(const uint8_t* data, uint32_t element_size, uint32_t count, void* context)
{
    auto* ctx = static_cast<kru_install_ctx*>(context);
    QZ_ASSERT(kru_install_module, ctx != nullptr && ctx->image != nullptr && ctx->parser != nullptr && data != nullptr);
    const uint32_t n = element_size * count;
    ctx->bytes_received += n;
    if (kru_install_hook_data_rcvd != nullptr) {
        int r = kru_install_hook_data_rcvd(ctx);
        if (r != 0) {
            kru_log(LOG_ERR, "kru_install_hook_data_rcvd failed (%i)\n", r);
            ctx->stage = KRU_INSTALL_STAGE_FAILED;
            return n + 1;
        }
    }
    if (kru_install_stream_step(ctx) != 0) {
        ctx->stage = KRU_INSTALL_STAGE_FAILED;
        return n + 1;
    }
    return n;
}

int kru_action_install(kru_settings* s)
{
    // Owned for the whole action: the hooks and the write-out see them through the context.
    kru_install_ctx ctx{};
    krul_data rec;
    hostconfig hc;
    ctx.stage = KRU_INSTALL_STAGE_HEADER;

    const char* image = s->argc > 1 ? s->args[1] : nullptr;
    if (s->argc < 3 || s->args[2] == nullptr) {
        kru_log(LOG_ERR, "install: missing set idx?\n");
        return KRU_EXIT_FAILURE;
    }
    int setidx = 0;
    if (std::sscanf(s->args[2], "%i", &setidx) != 1 || setidx < -1 || setidx > 2) {
        kru_log(LOG_ERR, "install: invalid set idx?\n");
        return KRU_EXIT_FAILURE;
    }
    ctx.setidx = static_cast<uint8_t>(setidx);
    ctx.record = &rec;
    ctx.settings = s;

    if (load(s, &rec, &hc) != 1) {
        kru_log_err(LOG_NOTICE, "install: hostcfg loading failed.\n");
        int rebuilt = rebuild_hostcfg(s, &rec, &hc);
        if (kru_install_hook_hcfg_fail != nullptr) {
            int r = kru_install_hook_hcfg_fail(&ctx, &hc, rebuilt);
            if (r != 0) {
                kru_log(LOG_ERR, "kru_install_hook_hcfg_fail returned non success (%i)\n", r);
                return r;
            }
        } else if (rebuilt != 1) {
            kru_log(LOG_ERR, "install: rebuild of hostcfg failed\n");
            return KRU_EXIT_FAILURE;
        }
    }
    krul_partpool_generate(&rec);

    const bool autodetected = setidx == -1;
    if (autodetected) {
        setidx = kru_install_autodetect(&rec);
        if (setidx < 0)
            return KRU_EXIT_FAILURE;
        ctx.setidx = static_cast<uint8_t>(setidx);
        kru_log_err(LOG_NOTICE, "install: %s into autodetected set idx = %i\n", image, setidx);
    } else {
        kru_log_err(LOG_NOTICE, "install: %s into set idx = %i\n", image, setidx);
    }

    imgbuf_ptr buffer;
    kru_parser_ptr parser;
    uint32_t delta_parts = 0;
    int r = kru_install_read_image(&ctx, image, &buffer, &parser, &delta_parts);
    if (r == 0)
        r = kru_install_check_image(&ctx, &hc, delta_parts);
    if (r == 0)
        r = kru_install_mark(&ctx);
    if (r == 0 && autodetected && s->dryrun == 0)
        r = kru_install_autoset(s, &rec);
    if (r == 0 && kru_install_hook_pre_install != nullptr)
        r = kru_install_hook_pre_install(&ctx, &hc);
    if (r == 0)
        r = kru_install_write_out(&ctx, &hc, autodetected);
    ctx.parser = nullptr;   // the parser and the buffer go with this scope
    ctx.image = nullptr;
    return r;
}
