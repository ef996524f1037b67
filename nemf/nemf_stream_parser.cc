// nemf/nemf_stream_parser.cc: the incremental reader of a NEMF image.
#include "nemf/nemf_stream_parser.h"

#include <cstring>
#include <new>

#include "nemf/nemf_validate.h"
#include "platform/crc32.h"
#include "platform/qz.h"

namespace {

constexpr const char* nemf_sp_module = "nemf_stream_parser";

// Bytes present from `cursor` on; a cursor beyond `received` has none.
uint32_t nemf_sp_available(const nemf_stream_parser* p)
{
    return p->cursor < p->received ? p->received - p->cursor : 0;
}

nemf_content_header nemf_sp_current_header(const nemf_stream_parser* p)
{
    nemf_content_header h;
    std::memcpy(&h, p->current, sizeof h);
    return h;
}

int nemf_sp_fail(nemf_stream_parser* p, int code)
{
    p->status = NEMF_SP_STATUS_FAILED;
    p->failure = code;
    return code;
}

}  // namespace

nemf_stream_parser* nemf_stream_parser_init(nemf_stream_parser* p, const uint8_t* buffer)
{
    QZ_ASSERT(nemf_sp_module, buffer != nullptr);
    bool allocated = false;
    if (p == nullptr) {
        p = new (std::nothrow) nemf_stream_parser;
        if (p == nullptr)
            return nullptr;
        allocated = true;
    } else {
        allocated = p->allocated;
        *p = nemf_stream_parser{};
    }
    p->allocated = allocated;
    p->status = NEMF_SP_STATUS_HEADER;
    p->buffer = buffer;
    crc32_init();
    nemf_manifest_init(&p->manifest, NEMF_MANIFEST_VERIFICATION_TIME);
    return p;
}

void nemf_stream_parser_deinit(nemf_stream_parser* p)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr);
    nemf_manifest_deinit(&p->manifest);
    if (p->allocated)
        delete p;
}

namespace {

// Accepts the identification and file header from the first 24 bytes of the buffer.
int nemf_sp_take_header(nemf_stream_parser* p)
{
    std::span<const uint8_t> head(p->buffer, NEMF_BODY_OFFSET);
    if (nemf_validate_identification(head) != NEMF_VALID)
        return nemf_sp_fail(p, NEMF_SP_ERR_IDENTIFICATION);
    nemf_header h;
    nemf_copy_header(head.subspan(NEMF_ID_SIZE), &h);
    if (h.version != NEMF_VERSION)
        return nemf_sp_fail(p, NEMF_SP_ERR_VERSION);
    p->header = p->buffer + NEMF_ID_SIZE;
    p->status = NEMF_SP_STATUS_PARTS;
    p->cursor = NEMF_ID_SIZE + h.hdr_length;
    uint64_t end = uint64_t{NEMF_ID_SIZE} + h.hdr_length + h.body_length;
    p->end = end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end);
    return NEMF_SP_MORE;
}

// Status 2: consumes every part the bytes up to `received` complete.
int nemf_sp_take_parts(nemf_stream_parser* p)
{
    if (p->cursor >= p->received)
        return NEMF_SP_MORE;
    for (;;) {
        switch (p->part_state) {
        case NEMF_SP_PART_START:
            p->part_state = NEMF_SP_PART_HEADER;
            break;

        case NEMF_SP_PART_HEADER: {
            // The tables end at 20 parts; an image that goes on past them is refused
            // before any of its bytes are looked at, whatever the chunking.
            if (p->index >= NEMF_MAX_CONTENT_PARTS)
                return nemf_sp_fail(p, NEMF_SP_ERR_PART_COUNT);
            if (nemf_sp_available(p) < NEMF_CONTENT_HEADER_MIN_LENGTH)
                return NEMF_SP_MORE;
            p->current = p->buffer + p->cursor;
            p->cursor += NEMF_CONTENT_HEADER_MIN_LENGTH;
            if (nemf_sp_current_header(p).hdr_length < NEMF_CONTENT_HEADER_MIN_LENGTH)
                return nemf_sp_fail(p, NEMF_SP_ERR_HDR_LENGTH);
            p->part_state = NEMF_SP_PART_EXTENSION;
            break;
        }

        case NEMF_SP_PART_EXTENSION: {
            nemf_content_header h = nemf_sp_current_header(p);
            uint32_t rest = h.hdr_length - NEMF_CONTENT_HEADER_MIN_LENGTH;
            if (nemf_sp_available(p) < rest)
                return NEMF_SP_MORE;
            p->cursor += rest;
            if (nemf_validate_content_header(std::span(p->current, h.hdr_length)) != NEMF_VALID)
                return nemf_sp_fail(p, NEMF_SP_ERR_HDR_CRC);
            p->found_headers += 1;
            p->info[p->index].header_found = 1;
            p->part_state = NEMF_SP_PART_BODY;
            break;
        }

        case NEMF_SP_PART_BODY: {
            nemf_content_header h = nemf_sp_current_header(p);
            uint64_t padded = nemf_padded_length(h.body_length);
            if (nemf_sp_available(p) < padded)
                return NEMF_SP_MORE;
            p->found_parts += 1;
            p->content_parts[p->index] = p->current;
            std::span<const uint8_t> part(p->current, h.hdr_length);
            std::span<const uint8_t> body(p->current + h.hdr_length, h.body_length);
            if (nemf_validate_content_body(part, body) == NEMF_VALID) {
                p->info[p->index].valid = 1;
                p->valid_parts += 1;
            } else {
                p->info[p->index].valid = -1;
                p->invalid_parts += 1;
            }
            p->cursor += static_cast<uint32_t>(padded);  // fits: those bytes are present
            if (p->cursor == p->end) {
                p->status = NEMF_SP_STATUS_DONE;
                p->part_state = NEMF_SP_PART_ALL_DONE;
                return NEMF_SP_DONE;
            }
            if (p->cursor > p->end)
                return nemf_sp_fail(p, NEMF_SP_ERR_PAST_END);
            p->part_state = NEMF_SP_PART_HEADER;
            p->index += 1;
            break;
        }

        default:
            QZ_ASSERT(nemf_sp_module, false);
        }
    }
}

}  // namespace

int nemf_stream_parser_feed(nemf_stream_parser* p, uint32_t present)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr);
    switch (p->status) {
    case NEMF_SP_STATUS_HEADER:
        if (present < NEMF_BODY_OFFSET)
            return NEMF_SP_MORE;
        if (nemf_sp_take_header(p) != NEMF_SP_MORE)
            return p->failure;
        p->received = present;
        return nemf_sp_take_parts(p);
    case NEMF_SP_STATUS_PARTS:
        p->received = present;
        return nemf_sp_take_parts(p);
    case NEMF_SP_STATUS_DONE:
        return NEMF_SP_DONE;
    case NEMF_SP_STATUS_FAILED:
        return p->failure;
    default:
        QZ_ASSERT(nemf_sp_module, false);
        return NEMF_SP_ERR_IDENTIFICATION;
    }
}

uint32_t nemf_stream_parser_skip(nemf_stream_parser* p)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr && p->part_state == NEMF_SP_PART_BODY);
    nemf_content_header h = nemf_sp_current_header(p);
    uint64_t next = p->cursor + nemf_padded_length(h.body_length);
    // A body_length from the image that runs past the end of the file body (or past 4 GiB)
    // leaves no next part to resume at: the parse fails as next() fails such a part.
    if (next > p->end) {
        nemf_sp_fail(p, NEMF_SP_ERR_PAST_END);
        return p->end;
    }
    p->part_state = NEMF_SP_PART_START;
    p->cursor = static_cast<uint32_t>(next);
    p->index += 1;
    p->received = p->cursor;
    p->invalid_parts += 1;
    p->found_parts += 1;
    if (p->cursor == p->end) {
        p->status = NEMF_SP_STATUS_DONE;
        p->part_state = NEMF_SP_PART_ALL_DONE;
    }
    return p->cursor;
}

int nemf_stream_parser_get_status(const nemf_stream_parser* p)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr);
    return p->status;
}

const uint8_t* const* nemf_stream_parser_content_parts(const nemf_stream_parser* p)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr);
    return p->content_parts;
}

int nemf_stream_parser_get_found_content_part_headers(const nemf_stream_parser* p)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr);
    return p->found_headers;
}

int nemf_stream_parser_get_found_content_parts(const nemf_stream_parser* p)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr);
    return p->found_parts;
}

int nemf_stream_parser_get_valid_content_parts(const nemf_stream_parser* p)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr);
    return p->valid_parts;
}

int nemf_stream_parser_get_invalid_content_parts(const nemf_stream_parser* p)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr);
    return p->invalid_parts;
}

int nemf_stream_parser_content_part_is_valid(const nemf_stream_parser* p, int index)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr && index >= 0 && index < NEMF_MAX_CONTENT_PARTS);
    return p->info[index].valid;
}

std::span<const uint8_t> nemf_stream_parser_part(const nemf_stream_parser* p, int index)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr && index >= 0 && index < NEMF_MAX_CONTENT_PARTS);
    const uint8_t* part = p->content_parts[index];
    if (part == nullptr)
        return {};
    // A completed part's header and body were present when it was recorded.
    nemf_content_header h;
    std::memcpy(&h, part, sizeof h);
    return {part, static_cast<size_t>(uint64_t{h.hdr_length} + h.body_length)};
}

int nemf_stream_parser_load_trust_anchor(nemf_stream_parser* p, const char* path)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr && path != nullptr);
    return nemf_manifest_load_trust_anchor(&p->manifest, path);
}

int nemf_stream_parser_load_crl(nemf_stream_parser* p, const char* path)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr && path != nullptr);
    return nemf_manifest_load_crl(&p->manifest, path);
}

int nemf_stream_parser_load_manifest(nemf_stream_parser* p, int index, const char* cn_pattern)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr && cn_pattern != nullptr);
    std::span<const uint8_t> part = nemf_stream_parser_part(p, index);
    QZ_ASSERT(nemf_sp_module, !part.empty());
    p->info[index].covered_by_signature = 1;
    int r = nemf_manifest_load_manifest(&p->manifest, part, cn_pattern);
    if (r == NEMF_MANIFEST_OK)
        p->info[index].validated_by_signature = 1;
    return r;
}

int nemf_stream_parser_check_manifest_hashes(nemf_stream_parser* p)
{
    QZ_ASSERT(nemf_sp_module, p != nullptr);
    int mismatched = 0, unlisted = 0, stray = 0;
    for (int i = 0; i < NEMF_MAX_CONTENT_PARTS; ++i) {
        nemf_content_info& ci = p->info[i];
        if (ci.valid != 1) {
            if (nemf_manifest_entry_present(&p->manifest, i))
                ++stray;
            continue;
        }
        if (ci.covered_by_signature)
            continue;  // the signature part itself
        std::span<const uint8_t> part = nemf_stream_parser_part(p, i);
        int r = nemf_manifest_validate_hash(&p->manifest, i, part);
        if (r == NEMF_MANIFEST_OK) {
            ci.validated_by_signature = 1;
            ci.covered_by_signature = 1;
        } else if (r == NEMF_MANIFEST_ERR_NO_ENTRY) {
            nemf_content_header h;
            nemf_copy_content_header(part, &h);
            if (h.type_id != NEMF_TYPE_CONTENT_SIGNATURE)
                ++unlisted;
        } else {
            ci.covered_by_signature = 1;
            ++mismatched;
        }
    }
    if (mismatched)
        return NEMF_MANIFEST_ERR_MISMATCH;
    if (unlisted)
        return NEMF_MANIFEST_ERR_NO_ENTRY;
    if (stray)
        return NEMF_MANIFEST_ERR_MISSING_PART;
    return NEMF_MANIFEST_OK;
}
