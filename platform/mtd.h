// platform/mtd.h: geometry, lock state and erase of MTD character devices.
// Data goes through ordinary file I/O on the node; this unit only issues ioctls.
// Failures of the ioctls are logged to the system log only (error priority), never printed.
#pragma once

#include <cstdint>
#include <mtd/mtd-user.h>

// "/dev/mtd<pn>", the character device of MTD partition `pn`.
struct mtd_path {
    char text[24];   // room for any int
};
mtd_path mtd_device_path(int pn);

// Fills `info` with MEMGETINFO. 0, or the failing ioctl result (logged as
// "_mtd_get_info: GetInfo failed(%d)").
int _mtd_get_info(int fd, mtd_info_user* info);

// 0 if no part of the device is locked, a positive value if some part is, -1 on failure
// (geometry unreadable, or MEMISLOCKED failed: then logged). A driver without lock support
// (MEMISLOCKED fails with EOPNOTSUPP or ENOTTY, as most SPI-NOR drivers do) locks nothing:
// 0, noted once per process in the system log at debug priority.
int mtd_is_locked(int fd);

enum : int {                        // results of mtd_erase(); 0 is success
    MTD_ERASE_ERR_GEOMETRY = -1,    // MEMGETINFO failed, or the erase-block size is 0
    MTD_ERASE_ERR_ALIGN    = -2,    // start is not on an erase-block boundary
    MTD_ERASE_ERR_RANGE    = -3,    // start + length runs past the device
    MTD_ERASE_ERR_IO       = -4,    // a MEMERASE failed; blocks before it stay erased
};
// Erases every block that [start, start + length) touches, one MEMERASE per block; length 0 =
// to the end of the device. Nothing is erased unless the whole range checks out.
int mtd_erase(int fd, uint32_t start, uint32_t length);

// Open the path (read-only for the lock and geometry queries, read-write for the erase), call
// the operation above and close it again. -1 if the open fails (not logged). A regular file
// gives -1 from mtd_fn_is_locked and mtd_fn_get_info, since MEMGETINFO fails there.
int mtd_fn_is_locked(const char* path);
int mtd_fn_get_info(const char* path, mtd_info_user* info);
int mtd_fn_erase(const char* path, uint32_t start, uint32_t length);
