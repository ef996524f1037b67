#include "krul/krul_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/crc32.h"
#include "platform/qz.h"
#include "platform/raii.h"

namespace {

constexpr const char* krul_check_module = "krul_check";

bool krul_version_equal(const nemf_content_software& sw, krul_version v)
{
    return sw.sw_version_major == v.major && sw.sw_version_minor == v.minor && sw.sw_build_number == v.build;
}

// One read(2), repeated only when a signal interrupted it. The bytes read, 0 at the end of the
// device, -1 on an error.
ssize_t krul_check_read(int fd, uint8_t* buf, uint32_t n)
{
    ssize_t r;
    do
        r = ::read(fd, buf, n);
    while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

int crc32_check(const krul_data* rec, int partidx, uint8_t wts)
{
    QZ_ASSERT(krul_check_module, rec != nullptr && partidx >= 0 && partidx < krul_max_partinfo);
    const krul_pinfometa& meta = rec->pinfometa[partidx];
    if (meta.hdr.body_length == 0 || meta.hdr.body_crc == 0)
        return KRUL_CRC_NOT_RECORDED;

    crc32_init();
    char path[32];
    std::snprintf(path, sizeof path, "/dev/mtd%i", rec->partinfo[partidx].pn);
    // Plain reads: each goes straight into the one buffer, in the chunk sizes below.
    unique_fd dev(::open(path, O_RDONLY));
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
