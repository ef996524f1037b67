// platform/fdio.h: transfers on an open descriptor that go on when a signal interrupts them
// (EINTR). They never print or log, and are async-signal-safe.
#pragma once

#include <cstddef>
#include <sys/types.h>

// One read(2), repeated only when a signal interrupted it: the bytes read, 0 at the end, -1
// on an error.
ssize_t fd_read_once(int fd, void* buf, size_t n);

// Reads until `n` bytes, the end of the file or an error: the bytes read, or -1 on an error
// (what was read before it is in `buf`).
ssize_t fd_read_full(int fd, void* buf, size_t n);

// fd_read_full at offset `at`, leaving the file position alone (pread).
ssize_t fd_pread_full(int fd, void* buf, size_t n, off_t at);

// Writes the `n` bytes unless an error stops it: the bytes written.
size_t fd_write_full(int fd, const void* buf, size_t n);

// fd_write_full at offset `at`, leaving the file position alone (pwrite).
size_t fd_pwrite_full(int fd, const void* buf, size_t n, off_t at);
