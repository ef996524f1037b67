#include "platform/mtd.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <syslog.h>

#include "platform/log.h"
#include "platform/progress.h"
#include "platform/raii.h"

mtd_path mtd_device_path(int pn)
{
    mtd_path p;
    std::snprintf(p.text, sizeof p.text, "/dev/mtd%i", pn);
    return p;
}

int _mtd_get_info(int fd, mtd_info_user* info)
{
    int r = ioctl(fd, MEMGETINFO, info);
    if (r != 0) {
        kru_log_syslog(LOG_ERR, "%s: GetInfo failed(%d)\n", "_mtd_get_info", r);
        return r;
    }
    return 0;
}

int mtd_is_locked(int fd)
{
    mtd_info_user info{};
    if (_mtd_get_info(fd, &info) != 0)
        return -1;
    erase_info_user range{};
    range.start = 0;
    range.length = info.size;
    int r = ioctl(fd, MEMISLOCKED, &range);
    if (r < 0 && (errno == EOPNOTSUPP || errno == ENOTTY)) {
        static bool noted = false;
        if (!noted)
            kru_log_syslog(LOG_DEBUG, "%s: no lock support, counted as unlocked\n", "mtd_is_locked");
        noted = true;
        return 0;
    }
    if (r < 0) {
        kru_log_syslog(LOG_ERR, "%s: Is locked failed(%d)\n", "mtd_is_locked", r);
        return -1;
    }
    return r;
}

int mtd_erase(int fd, uint32_t start, uint32_t length)
{
    mtd_info_user info{};
    if (_mtd_get_info(fd, &info) != 0)
        return MTD_ERASE_ERR_GEOMETRY;
    // A driver reporting no erase-block size gives nothing to divide by.
    if (info.erasesize == 0)
        return MTD_ERASE_ERR_GEOMETRY;
    if (start % info.erasesize != 0)
        return MTD_ERASE_ERR_ALIGN;
    // 64 bits: start + length must not wrap past 4 GiB and pass the range check.
    uint64_t size = info.size;
    if (start > size)
        return MTD_ERASE_ERR_RANGE;
    uint64_t len = length != 0 ? length : size - start;
    if (start + len > size)
        return MTD_ERASE_ERR_RANGE;
    uint64_t blocks = (len + info.erasesize - 1) / info.erasesize;
    for (uint64_t i = 0; i < blocks; ++i) {
        erase_info_user block{};
        block.start = static_cast<uint32_t>(start + i * info.erasesize);
        block.length = info.erasesize;
        int r = ioctl(fd, MEMERASE, &block);
        if (r != 0) {
            kru_log_syslog(LOG_ERR, "%s: Erase failed(%d)\n", "mtd_erase", r);
            return MTD_ERASE_ERR_IO;
        }
        progress_advance(info.erasesize);
    }
    return 0;
}

int mtd_fn_is_locked(const char* path)
{
    unique_fd fd(open(path, O_RDONLY));
    if (!fd)
        return -1;
    return mtd_is_locked(fd.get());
}

int mtd_fn_get_info(const char* path, mtd_info_user* info)
{
    unique_fd fd(open(path, O_RDONLY));
    if (!fd)
        return -1;
    return _mtd_get_info(fd.get(), info);
}

int mtd_fn_erase(const char* path, uint32_t start, uint32_t length)
{
    unique_fd fd(open(path, O_RDWR));
    if (!fd)
        return -1;
    return mtd_erase(fd.get(), start, length);
}
