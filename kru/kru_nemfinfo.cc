// kru/kru_nemfinfo.cc: the nemfinfo action: shows the content parts of an image and, when it
// is signed, the result of the signature and hash check. Touches neither hostconfig nor flash.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <syslog.h>

#include "kru/kru_actions.h"
#include "kru/kru_delta.h"
#include "kru/kru_exit.h"
#include "kru/kru_load.h"
#include "nemf/nemf_delta.h"
#include "nemf/nemf_print.h"
#include "nemf/nemf_stream_parser.h"
#include "nemf/nemf_validate.h"
#include "platform/fnutil.h"
#include "platform/imgbuf.h"
#include "platform/log.h"
#include "platform/qz.h"
#include "platform/raii.h"

namespace {

constexpr const char* kru_nemfinfo_module = "kru_nemfinfo";
constexpr uint32_t kru_nemfinfo_first_chunk = 1024;   // without -all: enough for the first part
constexpr char kru_nemfinfo_rule[] = "-------------------------------------------------------\n";
static_assert(sizeof kru_nemfinfo_rule == 55 + 2);

enum : int {   // exit statuses of the action
    KRU_NEMFINFO_OK = 0,
    KRU_NEMFINFO_ERR = KRU_EXIT_FAILURE,   // no image argument, no memory, no parser
    KRU_NEMFINFO_ERR_OPEN = KRU_EXIT_IMAGE_OPEN,
    KRU_NEMFINFO_ERR_IMAGE = KRU_EXIT_IMAGE_BAD,
};

struct nemfinfo_ctx {
    kru_settings* settings;
    nemf_stream_parser* parser;
    uint32_t chunk;           // size of the buffer: 1024, or the file size with -all
    int first_only;           // 1: only the first content part is examined
    int too_short;            // the first read brought no complete file header
    uint32_t present;         // bytes read into the buffer so far
};

uint32_t kru_nemfinfo_stream_cb(const uint8_t* data, uint32_t element_size, uint32_t count, void* context)
{
    nemfinfo_ctx* ctx = static_cast<nemfinfo_ctx*>(context);
    QZ_ASSERT(kru_nemfinfo_module, data != nullptr && ctx != nullptr && ctx->parser != nullptr);
    nemf_stream_parser* p = ctx->parser;
    // The file header must come whole with the first read; the callers read whole files,
    // so a shorter first read is a file too short to be an image.
    if (ctx->present == 0 && count <= NEMF_BODY_OFFSET) {
        if (count > 0) {
            kru_log(LOG_ERR, "nemfinfo: no header\n");
            ctx->too_short = 1;
        }
        return 0;
    }
    ctx->present += count;
    int r = nemf_stream_parser_feed(p, ctx->present);
    if (r < 0 && p->header == nullptr) {
        kru_log(LOG_ERR, "nemfinfo: no header\n");
        return 0;
    }
    // Without -all the release header is all that is wanted: stop as soon as it is complete.
    if (nemf_stream_parser_get_found_content_part_headers(p) > 0 && ctx->first_only) {
        nemf_content_header h;
        if (nemf_copy_content_header(nemf_stream_parser_part(p, 0), &h) == 0 &&
            h.type_id == NEMF_TYPE_RELEASE_HEADER)
            return 0;
    }
    return r == NEMF_SP_MORE ? element_size * count : 0;
}

// The header of content part `index`: from the parser's table once the part is complete;
// for the first part, whose header passed validation but whose body lies beyond the bytes
// read, from the image buffer. -1 when neither is there.
int kru_nemfinfo_header(const nemf_stream_parser* p, std::span<const uint8_t> image, int index,
                        nemf_content_header* h)
{
    if (nemf_copy_content_header(nemf_stream_parser_part(p, index), h) == 0)
        return 0;
    if (index != 0 || nemf_stream_parser_get_found_content_part_headers(p) < 1)
        return -1;
    nemf_header fh;
    if (nemf_copy_header(image.subspan(NEMF_ID_SIZE), &fh) != 0 || NEMF_ID_SIZE + fh.hdr_length > image.size())
        return -1;
    return nemf_copy_content_header(image.subspan(NEMF_ID_SIZE + fh.hdr_length), h);
}

// Steps after a successful read: the signature pass, then the listing. The exit status.
int kru_nemfinfo_show(nemf_stream_parser* p, std::span<const uint8_t> image, int shown)
{
    int manifests = 0;
    for (int i = 0; i < shown; ++i) {
        nemf_content_header h;
        if (kru_nemfinfo_header(p, image, i, &h) != 0 || h.type_id != NEMF_TYPE_CONTENT_SIGNATURE)
            continue;
        if (manifests == 0) {
            int r = kru_load_trust(p);
            if (r != KRU_LOAD_TRUST_OK) {
                qz_printf("ERROR: LOAD TRUST ANCHOR AND REVOCATION LISTS FAILED\n");
                return r;
            }
        }
        // A signature part whose body was not read cannot be loaded.
        if (nemf_stream_parser_part(p, i).empty() || nemf_stream_parser_load_manifest(p, i, "") != 0) {
            qz_printf("ERROR: LOAD MANIFEST FAILED\n");
            return KRU_NEMFINFO_ERR_IMAGE;
        }
        ++manifests;
    }
    // The manifest holds the hashes of the parts that delta parts expand to; without the
    // sources installed on a terminal they cannot be checked, and the check passes them by
    // (as it passes a signature part, by its covered flag, which is put back afterwards).
    uint32_t deltas = 0;
    for (int i = 0; i < shown; ++i) {
        nemf_content_header h;
        if (nemf_copy_content_header(nemf_stream_parser_part(p, i), &h) == 0 && h.type_id == NEMF_TYPE_DELTA &&
            p->info[i].covered_by_signature == 0)
            deltas |= 1u << i;
    }
    if (manifests > 0) {
        qz_printf("verifying signature .. ");
        for (int i = 0; i < shown; ++i)
            p->info[i].covered_by_signature |= deltas >> i & 1u;
        const int r = nemf_stream_parser_check_manifest_hashes(p);
        for (int i = 0; i < shown; ++i)
            if ((deltas >> i & 1u) != 0)
                p->info[i].covered_by_signature = 0;
        if (r != 0) {
            qz_printf("ERROR\n\n");
            return KRU_NEMFINFO_ERR_IMAGE;
        }
        qz_printf("OK\n");
        if (deltas != 0) {
            qz_printf("not checked without their installed sources: the hashes of delta parts");
            for (int i = 0; i < shown; ++i)
                if ((deltas >> i & 1u) != 0)
                    qz_printf(" %d", i);
            qz_printf("\n");
        }
        qz_printf("\n");
    }
    for (int i = 0; i < shown; ++i) {
        nemf_content_header h;
        if (kru_nemfinfo_header(p, image, i, &h) != 0)
            continue;
        std::string_view name = nemf_name(h.name);
        qz_printf("%s", kru_nemfinfo_rule);
        qz_printf("Content Part: %i, type %d, name %.*s\n", i, h.type_id, static_cast<int>(name.size()), name.data());
        nemf_content_info_print(p, i);
        if (h.type_id == NEMF_TYPE_RELEASE_HEADER)
            nemf_release_header_print(p, i);
        else if (h.type_id == NEMF_TYPE_CONTENT_SOFTWARE)
            nemf_content_software_print(p, i);
        else if (h.type_id == NEMF_TYPE_DELTA)
            kru_delta_print(nemf_stream_parser_part(p, i));
    }
    return KRU_NEMFINFO_OK;
}

}  // namespace

int kru_action_nemfinfo(kru_settings* s)
{
    nemfinfo_ctx ctx{};
    ctx.settings = s;
    if (s->argc < 2 || s->args[1] == nullptr) {
        kru_log(LOG_ERR, "nemfinfo: NEMF is missing.\n");
        return KRU_NEMFINFO_ERR;
    }
    const char* path = s->args[1];
    int32_t size = fnsize(path);
    if (size < 0) {
        kru_log(LOG_ERR, "nemfinfo: could not open NEMF\n");
        return KRU_NEMFINFO_ERR_OPEN;
    }
    if (size == 0) {
        kru_log(LOG_ERR, "nemfinfo: empty NEMF\n");
        return KRU_NEMFINFO_ERR_IMAGE;
    }
    if (size > static_cast<int32_t>(s->nemfsize)) {
        kru_log(LOG_ERR, "nemfinfo: NEMF too big\n");
        return KRU_NEMFINFO_ERR_IMAGE;
    }
    if (s->argc > 2 && std::strncmp(s->args[2], "-all", 4) == 0) {
        ctx.first_only = 0;
        ctx.chunk = static_cast<uint32_t>(size);
    } else {
        ctx.first_only = 1;
        ctx.chunk = kru_nemfinfo_first_chunk;
    }

    imgbuf_ptr buffer(imgbuf_alloc(ctx.chunk), imgbuf_deleter{ctx.chunk});
    if (!buffer) {
        kru_log(LOG_ERR, "nemfinfo: Could not allocated memory.\n");
        return KRU_NEMFINFO_ERR;
    }
    std::unique_ptr<nemf_stream_parser, c_free<nemf_stream_parser_deinit>> parser(
        nemf_stream_parser_init(nullptr, buffer.get()));
    if (!parser) {
        kru_log(LOG_ERR, "nemfinfo: nemf_stream_parser_init failed.\n");
        return KRU_NEMFINFO_ERR;
    }
    ctx.parser = parser.get();

    uint32_t n = kru_load_file(path, buffer.get(), ctx.chunk, kru_nemfinfo_stream_cb, &ctx);
    int status = nemf_stream_parser_get_status(parser.get());
    if (status == NEMF_SP_STATUS_HEADER && n == 0 && !ctx.too_short) {
        kru_log(LOG_ERR, "nemfinfo: File contains no data.\n");
        return KRU_NEMFINFO_ERR_IMAGE;
    }
    std::span<const uint8_t> image(buffer.get(), ctx.chunk);
    nemf_content_header first;
    if (status < 0 || ctx.too_short ||
        (ctx.first_only && kru_nemfinfo_header(parser.get(), image, 0, &first) != 0)) {
        kru_log(LOG_ERR, "nemfinfo: loading NEMF failed.\n");
        return KRU_NEMFINFO_ERR_IMAGE;
    }
    int shown = ctx.first_only ? 1 : nemf_stream_parser_get_valid_content_parts(parser.get());
    return kru_nemfinfo_show(parser.get(), image, shown);
}
