#include "krul/krul_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/crc32.h"
#include "platform/fdio.h"
#include "platform/mtd.h"
#include "platform/progress.h"
#include "platform/qz.h"
#include "platform/raii.h"

namespace {

constexpr const char* krul_check_module = "krul_check";

bool krul_version_equal(const nemf_content_software& sw, krul_version v)
{
    return sw.sw_version_major == v.major && sw.sw_version_minor == v.minor && sw.sw_build_number == v.build;
}

// One read (repeated after EINTR), and the progress line told of it. The bytes read, 0 at the
// end of the device, -1 on an error.
ssize_t krul_check_read(int fd, uint8_t* buf, uint32_t n)
{
    const ssize_t r = fd_read_once(fd, buf, n);
    if (r > 0)
        progress_advance(static_cast<uint64_t>(r));
    return r;
}

// The partition's device, open for plain reads (each goes straight into the caller's one
// buffer), with the CRC tables ready.
unique_fd krul_check_open(const krul_data* rec, int partidx)
{
    crc32_init();
    return unique_fd(::open(mtd_device_path(rec->partinfo[partidx].pn).text, O_RDONLY));
}

}  // namespace

int crc32_check(const krul_data* rec, int partidx, uint8_t wts)
{
    QZ_ASSERT(krul_check_module, rec != nullptr && partidx >= 0 && partidx < krul_max_partinfo);
    const krul_pinfometa& meta = rec->pinfometa[partidx];
    if (meta.hdr.body_length == 0 || meta.hdr.body_crc == 0)
        return KRUL_CRC_NOT_RECORDED;

    unique_fd dev = krul_check_open(rec, partidx);
    if (!dev)
        return KRUL_CRC_UNREADABLE;

    uint8_t buf[krul_check_chunk];
    if (wts == KRUM_WTS_HEADER_BODY) {
        // The recorded entry holds at most 64 bytes to compare a stored header with.
        uint32_t hdr_length = meta.hdr.hdr_length;
        if (hdr_length < sizeof(nemf_content_header) || hdr_length > sizeof(krul_pinfometa))
            return KRUL_CRC_UNREADABLE;
        if (krul_check_read(dev.get(), buf, hdr_length) != static_cast<ssize_t>(hdr_length))
            return KRUL_CRC_UNREADABLE;
        if (std::memcmp(buf, &meta, hdr_length) != 0)
            return KRUL_CRC_UNREADABLE;
    }

    uint32_t crc = 0;
    uint32_t missing = meta.hdr.body_length;
    while (missing > 0) {
        uint32_t want = missing < krul_check_chunk ? missing : krul_check_chunk;
        ssize_t got = krul_check_read(dev.get(), buf, want);
        if (got < 0)
            return KRUL_CRC_UNREADABLE;
        if (got == 0)
            break;   // the device ended first: the CRC covers what was there
        crc = crc32_calc(crc, buf, static_cast<uint32_t>(got));
        missing -= static_cast<uint32_t>(got);
    }
    return crc == meta.hdr.body_crc ? KRUL_CRC_MATCH : KRUL_CRC_MISMATCH;
}

void krul_crc32_check_layouts(const krul_data* rec, int partidx, int* body_first, int* header_first)
{
    QZ_ASSERT(krul_check_module, rec != nullptr && partidx >= 0 && partidx < krul_max_partinfo);
    QZ_ASSERT(krul_check_module, body_first != nullptr && header_first != nullptr);
    const krul_pinfometa& meta = rec->pinfometa[partidx];
    if (meta.hdr.body_length == 0 || meta.hdr.body_crc == 0) {
        *body_first = *header_first = KRUL_CRC_NOT_RECORDED;
        return;
    }

    unique_fd dev = krul_check_open(rec, partidx);
    if (!dev) {
        *body_first = *header_first = KRUL_CRC_UNREADABLE;
        return;
    }

    constexpr int unsettled = -1;
    const uint32_t hdr_length = meta.hdr.hdr_length;
    const uint64_t body_end = meta.hdr.body_length;            // layout 1: [0, body_end)
    const uint64_t trail_end = uint64_t{hdr_length} + body_end;  // layout 2: [hdr_length, trail_end)
    int first = unsettled;
    int second = hdr_length < sizeof(nemf_content_header) || hdr_length > sizeof(krul_pinfometa)
                     ? KRUL_CRC_UNREADABLE
                     : unsettled;
    const uint8_t* recorded = reinterpret_cast<const uint8_t*>(&meta);
    uint32_t crc_first = 0, crc_second = 0;
    uint64_t pos = 0;
    uint8_t buf[krul_check_chunk];
    while (first == unsettled || second == unsettled) {
        // The next chunk ends at the first boundary ahead: header end, body end, trailer end.
        uint64_t stop = second == unsettled ? trail_end : body_end;
        if (second == unsettled && pos < hdr_length)
            stop = hdr_length;
        else if (first == unsettled && pos < body_end && body_end < stop)
            stop = body_end;
        const uint32_t want = static_cast<uint32_t>(stop - pos < krul_check_chunk ? stop - pos : krul_check_chunk);
        const ssize_t got = krul_check_read(dev.get(), buf, want);
        if (got <= 0) {
            if (got < 0) {
                if (first == unsettled)
                    first = KRUL_CRC_UNREADABLE;
                if (second == unsettled)
                    second = KRUL_CRC_UNREADABLE;
            }
            break;   // at the end of the device the CRCs cover what was there
        }
        const uint64_t end = pos + static_cast<uint64_t>(got);
        if (first == unsettled && pos < body_end)
            crc_first = crc32_calc(crc_first, buf, static_cast<uint32_t>((end < body_end ? end : body_end) - pos));
        if (second == unsettled) {
            if (pos < hdr_length) {
                const uint64_t n = (end < hdr_length ? end : hdr_length) - pos;
                if (std::memcmp(buf, recorded + pos, static_cast<size_t>(n)) != 0)
                    second = KRUL_CRC_UNREADABLE;
            } else {
                crc_second = crc32_calc(crc_second, buf, static_cast<uint32_t>(got));
            }
        }
        pos = end;
        if (first == unsettled && pos >= body_end)
            first = crc_first == meta.hdr.body_crc ? KRUL_CRC_MATCH : KRUL_CRC_MISMATCH;
        if (second == unsettled && pos >= trail_end)
            second = crc_second == meta.hdr.body_crc ? KRUL_CRC_MATCH : KRUL_CRC_MISMATCH;
    }
    if (first == unsettled)
        first = crc_first == meta.hdr.body_crc ? KRUL_CRC_MATCH : KRUL_CRC_MISMATCH;
    if (second == unsettled)   // the device ended inside the header, or inside the body behind it
        second = pos < hdr_length ? KRUL_CRC_UNREADABLE
                                  : crc_second == meta.hdr.body_crc ? KRUL_CRC_MATCH : KRUL_CRC_MISMATCH;
    *body_first = first;
    *header_first = second;
}

int krul_read_content(const krul_data* rec, int partidx, std::span<uint8_t> body)
{
    QZ_ASSERT(krul_check_module, rec != nullptr && partidx >= 0 && partidx < krul_max_partinfo);
    const krul_pinfometa& meta = rec->pinfometa[partidx];
    QZ_ASSERT(krul_check_module, body.size() == meta.hdr.body_length);
    if (meta.hdr.body_length == 0 || meta.hdr.body_crc == 0)
        return KRUL_CRC_NOT_RECORDED;
    unique_fd dev = krul_check_open(rec, partidx);
    if (!dev)
        return KRUL_CRC_UNREADABLE;
    // The body at the front; failing that, the recorded header and the body behind it.
    ssize_t got = fd_read_full(dev.get(), body.data(), body.size());
    if (got < 0)
        return KRUL_CRC_UNREADABLE;
    if (static_cast<size_t>(got) == body.size() &&
        crc32_calc(0, body.data(), static_cast<uint32_t>(got)) == meta.hdr.body_crc)
        return KRUL_CRC_MATCH;
    const uint32_t hdr_length = meta.hdr.hdr_length;
    if (hdr_length < sizeof(nemf_content_header) || hdr_length > sizeof(krul_pinfometa) ||
        static_cast<size_t>(got) < hdr_length || std::memcmp(body.data(), &meta, hdr_length) != 0)
        return KRUL_CRC_UNREADABLE;
    if (lseek(dev.get(), hdr_length, SEEK_SET) != static_cast<off_t>(hdr_length))
        return KRUL_CRC_UNREADABLE;
    got = fd_read_full(dev.get(), body.data(), body.size());
    if (got < 0)
        return KRUL_CRC_UNREADABLE;
    if (static_cast<size_t>(got) == body.size() &&
        crc32_calc(0, body.data(), static_cast<uint32_t>(got)) == meta.hdr.body_crc)
        return KRUL_CRC_MATCH;
    return KRUL_CRC_MISMATCH;
}

int krul_find_installed_partinfo(const krul_data* rec, const krum_element* e, krul_version version)
{
    QZ_ASSERT(krul_check_module, rec != nullptr && e != nullptr);
    for (int i = 0; i < krul_max_partinfo; ++i) {
        // Cheap comparisons first: a device is read only for a real candidate.
        if (!krul_version_equal(rec->pinfometa[i].sw, version))
            continue;
        if (krul_name(rec->partinfo[i].poolname) != krul_name(e->poolname))
            continue;
        if (crc32_check(rec, i, e->wts) == KRUL_CRC_MATCH)
            return i;
    }
    return -1;
}

int late_action_update(const krul_data* rec, krum_element* e, krul_version version)
{
    QZ_ASSERT(krul_check_module, rec != nullptr && e != nullptr);
    int found = krul_find_installed_partinfo(rec, e, version);
    if (found >= 0) {
        e->partinfo_idx = found;
        e->action = KRUM_ACTION_INSTALLED;
    } else {
        e->action = KRUM_ACTION_WRITE;
    }
    return found;
}
