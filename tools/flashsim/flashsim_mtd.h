// tools/flashsim/flashsim_mtd.h: emulated NOR flash MTD character devices.
//
// A device is a regular backing file in the sandbox; descriptors opened through a device path
// are remembered in a table indexed by descriptor (no locks, no allocation: the lookup runs on
// every read and write of the process). Data operations on them get NOR semantics, the
// ioctls of the MTD interface, the operation log and the injected faults.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/types.h>
#include <sys/uio.h>

// Opens the backing file `twin` of /dev/mtd<dev> as open(2) would open the device: O_CREAT,
// O_EXCL, O_TRUNC, O_APPEND and O_DIRECT are dropped (a device is never created or cut
// short), so a missing device gives ENOENT. The descriptor, or -1 with errno.
int fsim_mtd_open(const char* twin, int dev, int flags);

// True when `fd` was opened on an emulated device and still refers to its backing file.
bool fsim_mtd_is(int fd);

// Forgets `fd` (the program closed it or replaced it); cheap for any descriptor.
void fsim_mtd_forget(int fd);
// Makes `to` an emulated descriptor of the same device as `from`, if `from` is one.
void fsim_mtd_dup(int from, int to);

// NOR program of the bytes of `iov` at `pos` (-1: at the file position, which then moves on).
// Stores old & new; clearing bits only. The bytes stored, or -1 with errno: EBADF (opened
// read-only), EIO (injected), ENOSPC (at or past the end), EROFS (locked). A write running
// past the end stores the part that fits.
ssize_t fsim_mtd_write(int fd, const struct iovec* iov, int iovcnt, int64_t pos);

// Read of `iov` at `pos` (-1: at the file position). Bytes read, or -1 with errno (EIO injected).
ssize_t fsim_mtd_read(int fd, const struct iovec* iov, int iovcnt, int64_t pos);

// An ioctl on an emulated descriptor: MEMGETINFO, MEMERASE, MEMERASE64, MEMISLOCKED, MEMLOCK,
// MEMUNLOCK, MEMGETREGIONCOUNT, MEMGETREGIONINFO, MEMGETBADBLOCK; anything else ENOTTY.
// Requests that change the flash need a descriptor open for writing (EPERM), as the kernel
// checks. The ioctl result, or -1 with errno.
int fsim_mtd_ioctl(int fd, unsigned long request, void* arg);

// A stdio stream over an emulated descriptor, so buffered I/O gets the same semantics. The
// stream owns `fd` and fileno() gives it. `mode` as fopen; "w" and "a" never truncate nor
// append. nullptr with errno.
std::FILE* fsim_mtd_fdopen(int fd, const char* mode);

// open(2) flags for an fopen mode, -1 (errno EINVAL) for an invalid mode.
int fsim_mtd_mode_flags(const char* mode);
