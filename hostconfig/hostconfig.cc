#include "hostconfig/hostconfig.h"

#include <algorithm>
#include <cstring>

#include "hostconfig/hostconfig_flags.h"
#include "nemf/nemf_validate.h"
#include "platform/fnutil.h"
#include "platform/mtd.h"
#include "platform/qz.h"

namespace {

constexpr const char* hostconfig_module = "hostconfig";

bool hostconfig_is_mtd(const char* path)
{
    return std::string_view(path).starts_with(hostconfig_mtd_prefix);
}

nemf_header hostconfig_header(const hostconfig* hc)
{
    nemf_header h;
    std::memcpy(&h, hc->buf + hostconfig_hdr_offset, sizeof h);
    return h;
}

void hostconfig_set_header(hostconfig* hc, const nemf_header& h)
{
    std::memcpy(hc->buf + hostconfig_hdr_offset, &h, sizeof h);
}

// Walks the content parts of a freshly read image into the table. 0, or -1 if a part does
// not fit the body, fails its CRCs, or is the 21st.
int hostconfig_walk(hostconfig* hc)
{
    nemf_header h = hostconfig_header(hc);
    uint32_t off = hostconfig_hdr_offset + h.hdr_length;
    // Signed: the padding of a last part may be missing from body_length.
    int64_t remaining = h.body_length;
    for (;;) {
        nemf_content_header ch;
        if (remaining < static_cast<int64_t>(sizeof ch))
            return -1;
        std::memcpy(&ch, hc->buf + off, sizeof ch);
        if (remaining < ch.hdr_length)
            return -1;
        remaining -= ch.hdr_length;
        if (remaining < ch.body_length)
            return -1;
        remaining -= static_cast<int64_t>(nemf_padded_length(ch.body_length));
        // load_raw checked that the body lies within the bytes read, so both spans do.
        std::span<const uint8_t> part(hc->buf + off, ch.hdr_length + ch.body_length);
        if (nemf_validate_content_part(part, part.subspan(ch.hdr_length)) != NEMF_VALID)
            return -1;
        if (hc->count >= hostconfig_max_parts)
            return -1;
        hc->parts[hc->count++] = off;
        off += static_cast<uint32_t>(nemf_part_size(ch.hdr_length, ch.body_length));
        // Up to 32 trailing bytes cannot hold another part and are ignored.
        if (remaining > static_cast<int64_t>(sizeof ch))
            continue;
        if (hc->expected < 0 || hc->count >= hc->expected)
            return 0;
    }
}

// Loads the one copy at `path` into a fresh `copy`, as hostconfig_load judges it. True if it loads.
bool hostconfig_load_copy(const char* path, hostconfig* copy)
{
    hostconfig_new(copy, hostconfig_max_size);
    return hostconfig_load(copy, path, nullptr) == HOSTCONFIG_LOAD_PRIMARY;
}

// True if the copy at `path` loads and holds exactly the image of `hc`.
bool hostconfig_reads_back(const hostconfig* hc, const char* path)
{
    hostconfig copy;
    return hostconfig_load_copy(path, &copy) && std::memcmp(copy.buf, hc->buf, hc->used) == 0;
}

// Where the flag words go when a save carries them: on the primary only when it is their
// device; `own_block` when their erase block holds nothing of the container.
struct hostconfig_flag_plan {
    bool active;
    bool own_block;
    uint32_t block;       // start of the flag words' erase block
    uint32_t erasesize;
};

hostconfig_flag_plan hostconfig_plan_flags(const hostconfig* hc, const char* primary, const uint8_t* flags)
{
    hostconfig_flag_plan plan{};
    mtd_info_user info{};
    if (flags == nullptr || std::string_view(primary) != hostconfig_flags_device ||
        mtd_fn_get_info(primary, &info) != 0 || info.erasesize == 0 ||
        uint64_t{hostconfig_flags_offset} + 2 > info.size)
        return plan;   // the caller writes the flag words after the save, if at all
    plan.active = true;
    plan.erasesize = info.erasesize;
    plan.block = static_cast<uint32_t>(hostconfig_flags_offset / info.erasesize * info.erasesize);
    uint64_t container_end = (uint64_t{hc->used} + info.erasesize - 1) / info.erasesize * info.erasesize;
    plan.own_block = plan.block >= container_end &&
                     uint64_t{hostconfig_flags_offset} + 2 <= uint64_t{plan.block} + info.erasesize;
    return plan;
}

// Erases the flag words' own block and programs them. 0, or -1.
int hostconfig_program_flags(const char* primary, const hostconfig_flag_plan& plan, const uint8_t* flags)
{
    if (mtd_fn_erase(primary, plan.block, plan.erasesize) != 0)
        return -1;
    return hostconfig_flags_write(flags);
}

// Writes the primary: erased whole (but for a flag block already programmed), the flag words
// programmed right after the erase when they share a block with the container, then the image.
int hostconfig_write_primary(const hostconfig* hc, const char* primary, const hostconfig_flag_plan& plan,
                             const uint8_t* flags)
{
    if (!plan.active)
        return hostconfig_save_raw(hc, primary) == 0 ? HOSTCONFIG_SAVE_OK : HOSTCONFIG_SAVE_FAILED;
    bool flags_written = true;
    if (plan.own_block) {
        if ((plan.block > 0 && mtd_fn_erase(primary, 0, plan.block) != 0) ||
            mtd_fn_erase(primary, plan.block + plan.erasesize, 0) != 0)
            return HOSTCONFIG_SAVE_FAILED;
    } else {
        if (mtd_fn_erase(primary, 0, 0) != 0)
            return HOSTCONFIG_SAVE_FAILED;
        flags_written = hostconfig_flags_write(flags) == 0;
    }
    int n = fnwrite(primary, hc->buf, hc->used);
    if (n < 0 || static_cast<uint32_t>(n) != hc->used)
        return HOSTCONFIG_SAVE_FAILED;
    return flags_written ? HOSTCONFIG_SAVE_OK : HOSTCONFIG_SAVE_ERR_FLAGS;
}

// Makes the backup hold the image that loads from the primary, so that it stands in with the
// same record while the primary is erased. 0, or -1 if the primary does not load or the backup
// does not read back.
int hostconfig_restore_backup(const char* primary, const char* backup)
{
    hostconfig loaded;
    if (!hostconfig_load_copy(primary, &loaded))
        return -1;
    const nemf_header h = hostconfig_header(&loaded);
    // The load checked that the body lies within the bytes read.
    loaded.used = hostconfig_hdr_offset + h.hdr_length + h.body_length;
    if (hostconfig_reads_back(&loaded, backup))
        return 0;
    return hostconfig_save_raw(&loaded, backup) == 0 && hostconfig_reads_back(&loaded, backup) ? 0 : -1;
}

}  // namespace

int hostconfig_new(hostconfig* hc, uint32_t capacity)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr);
    std::memset(hc, 0, sizeof *hc);
    if (capacity > hostconfig_max_size)
        return 0;
    hc->hdr = hostconfig_hdr_offset;
    hc->capacity = capacity;
    hc->expected = -1;
    hc->used = hostconfig_body_offset;
    return 1;
}

int hostconfig_add(hostconfig* hc, std::span<const uint8_t> part)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr);
    nemf_content_header ch;
    if (nemf_copy_content_header(part, &ch) != 0 || ch.hdr_length < sizeof ch)
        return -1;
    uint64_t length = uint64_t{ch.hdr_length} + ch.body_length;
    // The padded size, as the load walk steps: a part copied here must walk the same way.
    uint64_t size = nemf_part_size(ch.hdr_length, ch.body_length);
    if (part.size() < length || hc->count >= hostconfig_max_parts || hc->used > hc->capacity ||
        size > hc->capacity - hc->used)
        return -1;
    std::memcpy(hc->buf + hc->used, part.data(), length);
    std::memset(hc->buf + hc->used + length, 0, size - length);
    hc->parts[hc->count++] = hc->used;
    hc->used += static_cast<uint32_t>(size);
    return 1;
}

int hostconfig_add_body(hostconfig* hc, const void* body, uint32_t length, std::string_view name)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr && (body != nullptr || length == 0));
    nemf_content_header ch{};
    uint64_t size = nemf_part_size(sizeof ch, length);
    if (hc->count >= hostconfig_max_parts || hc->used > hc->capacity || size > hc->capacity - hc->used)
        return -1;
    ch.type_id = hostconfig_part_type;
    ch.hdr_length = sizeof ch;
    ch.body_length = length;
    std::memcpy(ch.name, name.data(), std::min(name.size(), sizeof ch.name));
    uint8_t* at = hc->buf + hc->used;
    std::memcpy(at, &ch, sizeof ch);
    if (length > 0)
        std::memcpy(at + sizeof ch, body, length);
    std::memset(at + sizeof ch + length, 0, size - sizeof ch - length);
    // The save leaves a part with an empty body alone, so it gets its CRCs now (body_crc 0 is
    // the CRC of no bytes); otherwise the saved image would not load.
    if (length == 0)
        nemf_finalize_content_part(std::span(at, sizeof ch));
    hc->parts[hc->count++] = hc->used;
    hc->used += static_cast<uint32_t>(size);
    return 1;
}

nemf_content_header hostconfig_part_header(const hostconfig* hc, int i)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr && i >= 0 && i < hc->count);
    nemf_content_header ch;
    std::memcpy(&ch, hc->buf + hc->parts[i], sizeof ch);
    return ch;
}

std::span<const uint8_t> hostconfig_part_bytes(const hostconfig* hc, int i)
{
    nemf_content_header ch = hostconfig_part_header(hc, i);
    // Parts in the table were walked or added whole, so they lie within buf.
    return {hc->buf + hc->parts[i], static_cast<size_t>(uint64_t{ch.hdr_length} + ch.body_length)};
}

const uint8_t* hostconfig_get_body(const hostconfig* hc, std::string_view name, uint32_t* length)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr);
    std::string_view prefix = name.substr(0, NEMF_NAME_SIZE);
    for (int i = 0; i < hc->count; ++i) {
        nemf_content_header ch = hostconfig_part_header(hc, i);
        if (!nemf_name(ch.name).starts_with(prefix))
            continue;
        if (length != nullptr)
            *length = ch.body_length;
        // The part's own header length: 32 for every part this tool makes.
        return hc->buf + hc->parts[i] + ch.hdr_length;
    }
    return nullptr;
}

int hostconfig_load_raw(hostconfig* hc, const char* path)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr && path != nullptr);
    int64_t n = hostconfig_max_size;
    if (!hostconfig_is_mtd(path)) {
        n = fnsize(path);
        if (n < hostconfig_body_offset || n > hostconfig_max_size)
            return -1;
    }
    if (fnread(path, hc->buf, static_cast<uint32_t>(n)) != n)
        return -1;
    std::span<const uint8_t> image(hc->buf, static_cast<size_t>(n));
    std::span<const uint8_t> hdr = image.subspan(hostconfig_hdr_offset);
    if (nemf_validate_header(hdr) != NEMF_VALID)
        return -1;
    nemf_header h = hostconfig_header(hc);
    // The body must lie within the bytes read before its CRC is taken.
    uint64_t body_off = hostconfig_hdr_offset + uint64_t{h.hdr_length};
    if (body_off + h.body_length > image.size())
        return -1;
    if (nemf_validate_body(hdr, image.subspan(body_off, h.body_length)) != NEMF_VALID)
        return -1;
    return 0;
}

int hostconfig_load(hostconfig* hc, const char* primary, const char* backup)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr && primary != nullptr);
    int copy = HOSTCONFIG_LOAD_PRIMARY;
    if (hostconfig_load_raw(hc, primary) != 0) {
        if (backup == nullptr || hostconfig_load_raw(hc, backup) != 0)
            return HOSTCONFIG_LOAD_FAILED;
        copy = HOSTCONFIG_LOAD_BACKUP;
    }
    // A copy with good CRCs whose parts do not walk is not replaced by the backup.
    if (hostconfig_walk(hc) != 0)
        return HOSTCONFIG_LOAD_FAILED;
    return copy;
}

int hostconfig_finalize_content(std::span<uint8_t> part)
{
    nemf_content_header ch;
    if (nemf_copy_content_header(part, &ch) != 0 || ch.body_length == 0)
        return -1;
    return nemf_finalize_content_part(part) == 0 ? 1 : -1;
}

int hostconfig_finalize_nemf(hostconfig* hc)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr);
    nemf_header h = hostconfig_header(hc);
    if (h.body_length == 0)
        return -1;
    return nemf_finalize_file(std::span(hc->buf), h.body_length) >= 0 ? 1 : -1;
}

int hostconfig_save_raw(const hostconfig* hc, const char* path)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr && path != nullptr);
    if (hostconfig_is_mtd(path) && mtd_fn_erase(path, 0, 0) != 0)
        return -1;
    int n = fnwrite(path, hc->buf, hc->used);
    return n >= 0 && static_cast<uint32_t>(n) == hc->used ? 0 : -1;
}

int hostconfig_copy_loads(const char* path)
{
    hostconfig probe;
    return hostconfig_load_copy(path, &probe) ? 1 : 0;
}

int hostconfig_save(hostconfig* hc, const char* primary, const char* backup, const uint8_t* flags,
                    hostconfig_save_report* report)
{
    QZ_ASSERT(hostconfig_module, hc != nullptr && primary != nullptr);
    // An image without parts would not load again; do not replace a copy with it.
    if (hc->count == 0 || hc->used < hostconfig_body_offset)
        return HOSTCONFIG_SAVE_FAILED;
    nemf_header h = hostconfig_header(hc);
    h.body_length = hc->used - hostconfig_body_offset;
    h.hdr_length = NEMF_HEADER_MIN_LENGTH;
    hostconfig_set_header(hc, h);
    for (int i = 0; i < hc->count; ++i)
        hostconfig_finalize_content(std::span(hc->buf + hc->parts[i], hc->buf + hc->used));
    hostconfig_finalize_nemf(hc);

    hostconfig_flag_plan plan = hostconfig_plan_flags(hc, primary, flags);
    // Flag words that share the container's erase block cannot be marked before that block's
    // erase, so the new record must not load from the backup until they are: the primary goes
    // first, with the backup standing in for it as it was.
    const bool shared_flags = plan.active && !plan.own_block && backup != nullptr;
    hostconfig_save_report r{};
    r.primary_loaded = hostconfig_copy_loads(primary) == 1;
    r.backup_loaded = backup != nullptr && hostconfig_copy_loads(backup) == 1;
    r.primary_first = (!r.primary_loaded && r.backup_loaded) || shared_flags;
    r.backup_restored = shared_flags && r.primary_loaded;
    if (report != nullptr)
        *report = r;

    // Flag words in an erase block of their own go first: until the container's erase the
    // old hostconfig loads, and from then on the trial is already marked.
    if (plan.own_block && hostconfig_program_flags(primary, plan, flags) != 0)
        return HOSTCONFIG_SAVE_ERR_FLAGS;
    // The primary is not erased while it is the only copy that holds the old record.
    if (r.backup_restored && hostconfig_restore_backup(primary, backup) != 0)
        return HOSTCONFIG_SAVE_FAILED;

    if (r.primary_first) {
        // The backup holds the old record, if any copy did: it is left alone until the primary
        // is good.
        int result = hostconfig_write_primary(hc, primary, plan, flags);
        if (result == HOSTCONFIG_SAVE_FAILED || !hostconfig_reads_back(hc, primary))
            return HOSTCONFIG_SAVE_FAILED;
        hostconfig_save_raw(hc, backup);
        return result;
    }
    if (backup != nullptr) {
        hostconfig_save_raw(hc, backup);
        // The primary is not erased while it is the only copy that loads.
        if (r.primary_loaded && !hostconfig_reads_back(hc, backup))
            return HOSTCONFIG_SAVE_FAILED;
    }
    return hostconfig_write_primary(hc, primary, plan, flags);
}
