// nemf/nemf_validate.cc: validation and building of NEMF containers.
#include "nemf/nemf_validate.h"

#include "platform/crc32.h"
#include "platform/qz.h"

namespace {

constexpr const char* nemf_module = "nemf_validate";

// CRC of header bytes 4 .. hdr_length-1; the caller has checked that they are present.
uint32_t nemf_header_crc(std::span<const uint8_t> hdr, uint32_t hdr_length)
{
    return crc32_calc(0, hdr.data() + NEMF_CRC_START, hdr_length - NEMF_CRC_START);
}

int nemf_check_body(uint32_t body_length, uint32_t body_crc, std::span<const uint8_t> body)
{
    QZ_ASSERT(nemf_module, body.data() != nullptr);
    if (body.size() < body_length)
        return NEMF_ERR_TRUNCATED;
    if (crc32_calc(0, body.data(), body_length) != body_crc)
        return NEMF_ERR_BODY_CRC;
    return NEMF_VALID;
}

// The part's bytes after its header, up to the end of what was given.
std::span<const uint8_t> nemf_after_header(std::span<const uint8_t> hdr, uint32_t hdr_length)
{
    if (hdr.size() < hdr_length)
        return hdr.subspan(hdr.size());
    return hdr.subspan(hdr_length);
}

}  // namespace

std::span<const uint8_t> nemf_content_part_bytes(std::span<const uint8_t> part)
{
    nemf_content_header h;
    if (nemf_copy_content_header(part, &h) != 0)
        return {};
    uint64_t size = uint64_t{h.hdr_length} + h.body_length;
    if (h.hdr_length < NEMF_CONTENT_HEADER_MIN_LENGTH || size > part.size())
        return {};
    return part.first(size);
}

int nemf_name_set(char (&dst)[NEMF_NAME_SIZE], std::string_view src)
{
    if (src.size() > NEMF_NAME_SIZE)
        return -1;
    std::memset(dst, 0, sizeof dst);
    std::memcpy(dst, src.data(), src.size());
    return 0;
}

int nemf_validate_identification(std::span<const uint8_t> file)
{
    QZ_ASSERT(nemf_module, file.data() != nullptr);
    uint32_t words[2];
    if (nemf_copy_in(file, &words) != 0)
        return NEMF_ERR_TRUNCATED;
    if (words[0] != NEMF_ID_WORD0 || words[1] != NEMF_ID_WORD1)
        return NEMF_ERR_IDENTIFICATION;
    return NEMF_VALID;
}

int nemf_validate_header(std::span<const uint8_t> hdr)
{
    QZ_ASSERT(nemf_module, hdr.data() != nullptr);
    nemf_header h;
    if (nemf_copy_header(hdr, &h) != 0)
        return NEMF_ERR_TRUNCATED;
    if (h.version != NEMF_VERSION)
        return NEMF_ERR_VERSION;
    if (h.hdr_length < NEMF_HEADER_MIN_LENGTH)
        return NEMF_ERR_HDR_LENGTH;
    if (hdr.size() < h.hdr_length)
        return NEMF_ERR_TRUNCATED;
    if (nemf_header_crc(hdr, h.hdr_length) != h.hdr_crc)
        return NEMF_ERR_HDR_CRC;
    return NEMF_VALID;
}

int nemf_validate_body(std::span<const uint8_t> hdr, std::span<const uint8_t> body)
{
    QZ_ASSERT(nemf_module, hdr.data() != nullptr);
    nemf_header h;
    if (nemf_copy_header(hdr, &h) != 0)
        return NEMF_ERR_TRUNCATED;
    return nemf_check_body(h.body_length, h.body_crc, body);
}

int nemf_validate_content_header(std::span<const uint8_t> part)
{
    QZ_ASSERT(nemf_module, part.data() != nullptr);
    uint16_t hdr_length;
    if (part.size() < NEMF_CONTENT_HDR_LENGTH_OFFSET + sizeof hdr_length)
        return NEMF_ERR_TRUNCATED;
    std::memcpy(&hdr_length, part.data() + NEMF_CONTENT_HDR_LENGTH_OFFSET, sizeof hdr_length);
    if (hdr_length < NEMF_CONTENT_HEADER_MIN_LENGTH)
        return NEMF_ERR_HDR_LENGTH;
    if (part.size() < hdr_length)
        return NEMF_ERR_TRUNCATED;
    nemf_content_header h;
    nemf_copy_content_header(part, &h);
    if (nemf_header_crc(part, hdr_length) != h.hdr_crc)
        return NEMF_ERR_HDR_CRC;
    return NEMF_VALID;
}

int nemf_validate_content_body(std::span<const uint8_t> part, std::span<const uint8_t> body)
{
    QZ_ASSERT(nemf_module, part.data() != nullptr);
    nemf_content_header h;
    if (nemf_copy_content_header(part, &h) != 0)
        return NEMF_ERR_TRUNCATED;
    return nemf_check_body(h.body_length, h.body_crc, body);
}

int nemf_validate_content_part(std::span<const uint8_t> part, std::span<const uint8_t> body)
{
    int r = nemf_validate_content_header(part);
    if (r != NEMF_VALID)
        return r;
    return nemf_validate_content_body(part, body);
}

int nemf_validate_body_from_hdr(std::span<const uint8_t> hdr)
{
    nemf_header h;
    if (nemf_copy_header(hdr, &h) != 0)
        return NEMF_ERR_TRUNCATED;
    return nemf_validate_body(hdr, nemf_after_header(hdr, h.hdr_length));
}

int nemf_validate_content_body_from_hdr(std::span<const uint8_t> part)
{
    nemf_content_header h;
    if (nemf_copy_content_header(part, &h) != 0)
        return NEMF_ERR_TRUNCATED;
    return nemf_validate_content_body(part, nemf_after_header(part, h.hdr_length));
}

int nemf_validate_content_part_from_hdr(std::span<const uint8_t> part)
{
    int r = nemf_validate_content_header(part);
    if (r != NEMF_VALID)
        return r;
    return nemf_validate_content_body_from_hdr(part);
}

int nemf_validate_container(std::span<const uint8_t> file, int* parts)
{
    if (parts)
        *parts = 0;
    int r = nemf_validate_identification(file);
    if (r != NEMF_VALID)
        return r;
    std::span<const uint8_t> hdr = file.subspan(NEMF_ID_SIZE);
    if ((r = nemf_validate_header(hdr)) != NEMF_VALID)
        return r;
    nemf_header h;
    nemf_copy_header(hdr, &h);
    std::span<const uint8_t> body = hdr.subspan(h.hdr_length);
    if ((r = nemf_validate_body(hdr, body)) != NEMF_VALID)
        return r;
    body = body.first(h.body_length);
    uint64_t off = 0;
    int count = 0;
    while (off < body.size()) {
        if (count == NEMF_MAX_CONTENT_PARTS)
            return NEMF_ERR_TRUNCATED;
        std::span<const uint8_t> part = body.subspan(off);
        nemf_content_header ch;
        if (nemf_copy_content_header(part, &ch) != 0)
            return NEMF_ERR_TRUNCATED;
        if ((r = nemf_validate_content_part_from_hdr(part)) != NEMF_VALID)
            return r;
        off += nemf_part_size(ch.hdr_length, ch.body_length);
        ++count;
        if (parts)
            *parts = count;
    }
    return off == body.size() ? NEMF_VALID : NEMF_ERR_TRUNCATED;
}

int nemf_part_write(std::span<uint8_t> out, uint16_t type_id, std::string_view name,
                    std::span<const uint8_t> ext, std::span<const uint8_t> body)
{
    nemf_content_header h{};
    if (nemf_name_set(h.name, name) != 0)
        return -1;
    uint64_t hdr_length = sizeof h + ext.size();
    if (hdr_length > UINT16_MAX || body.size() > UINT32_MAX)
        return -1;
    h.type_id = type_id;
    h.hdr_length = static_cast<uint16_t>(hdr_length);
    h.body_length = static_cast<uint32_t>(body.size());
    uint64_t size = nemf_part_size(h.hdr_length, h.body_length);
    if (size > out.size() || size > INT32_MAX)
        return -1;
    nemf_copy_out(h, out);
    if (!ext.empty())
        std::memcpy(out.data() + sizeof h, ext.data(), ext.size());
    if (!body.empty())
        std::memcpy(out.data() + hdr_length, body.data(), body.size());
    std::memset(out.data() + hdr_length + body.size(), 0, size - hdr_length - body.size());
    nemf_finalize_content_part(out);
    return static_cast<int>(size);
}

int nemf_finalize_content_part(std::span<uint8_t> part)
{
    nemf_content_header h;
    if (nemf_copy_content_header(part, &h) != 0)
        return -1;
    if (h.hdr_length < NEMF_CONTENT_HEADER_MIN_LENGTH || uint64_t{h.hdr_length} + h.body_length > part.size())
        return -1;
    // body_crc lies under hdr_crc, so it is stored first.
    h.body_crc = crc32_calc(0, part.data() + h.hdr_length, h.body_length);
    std::memcpy(part.data() + offsetof(nemf_content_header, body_crc), &h.body_crc, sizeof h.body_crc);
    h.hdr_crc = nemf_header_crc(part, h.hdr_length);
    std::memcpy(part.data() + offsetof(nemf_content_header, hdr_crc), &h.hdr_crc, sizeof h.hdr_crc);
    return 0;
}

int nemf_finalize_file(std::span<uint8_t> file, uint32_t body_length)
{
    uint64_t size = uint64_t{NEMF_BODY_OFFSET} + body_length;
    if (size > file.size() || size > INT32_MAX)
        return -1;
    const uint32_t id[2] = {NEMF_ID_WORD0, NEMF_ID_WORD1};
    std::memcpy(file.data(), id, sizeof id);
    nemf_header h{};
    h.version = NEMF_VERSION;
    h.hdr_length = NEMF_HEADER_MIN_LENGTH;
    h.body_length = body_length;
    // The body includes every part's finished header; hdr_crc covers body_crc.
    h.body_crc = crc32_calc(0, file.data() + NEMF_BODY_OFFSET, body_length);
    std::span<uint8_t> hdr = file.subspan(NEMF_ID_SIZE);
    nemf_copy_out(h, hdr);
    h.hdr_crc = nemf_header_crc(hdr, h.hdr_length);
    nemf_copy_out(h, hdr);
    return static_cast<int>(size);
}

int nemf_finalize_all(std::span<uint8_t> file, uint32_t body_length)
{
    if (uint64_t{NEMF_BODY_OFFSET} + body_length > file.size())
        return -1;
    std::span<uint8_t> body = file.subspan(NEMF_BODY_OFFSET, body_length);
    uint64_t off = 0;
    while (off < body.size()) {
        std::span<uint8_t> part = body.subspan(off);
        nemf_content_header h;
        if (nemf_finalize_content_part(part) != 0 || nemf_copy_content_header(part, &h) != 0)
            return -1;
        off += nemf_part_size(h.hdr_length, h.body_length);
    }
    if (off != body.size())
        return -1;
    return nemf_finalize_file(file, body_length);
}
