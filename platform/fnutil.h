// platform/fnutil.h: whole-file helpers. Each call opens the path, does one transfer and
// closes it again; nothing stays open between calls. They never print or log: -1 is failure,
// anything else is left to the caller to judge (a short read or write is not an error here).
#pragma once

#include <cstdint>

// Reads up to n bytes in one fread (mode "r"). The count read (0..n), or -1 if the open or
// the close fails.
int fnread(const char* path, void* buf, uint32_t n);

// Writes n bytes in one fwrite (mode "w": a regular file is created or truncated, a device is
// written from its first byte). The count written, or -1 if the open or the close fails, so a
// write that stdio could not flush is a failure.
int fnwrite(const char* path, const void* buf, uint32_t n);

// Runs vfscanf once on the file (mode "r"). What vfscanf returned, or -1 if the open or the
// close fails.
int fnscanf(const char* path, const char* fmt, ...) __attribute__((format(scanf, 2, 3)));

// Formats into the file once (mode "w"). The characters written, or -1 if the open or the
// close fails.
int fnprintf(const char* path, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Private files in a directory that other users may write to (/tmp): the path is not
// trusted, the file is.

// Removes `path`, creates it again exclusively without following a link (mode 0600) and
// formats into it once. The characters written, or -1 if it cannot be created, or the write
// or the close fails.
int fnprintf_private(const char* path, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Runs vfscanf once on `path` if it is a regular file, not reached through a link, owned by
// the effective user and writable by nobody else. What vfscanf returned, or -1 if the file is
// not such a file or the open or the close fails.
int fnscanf_private(const char* path, const char* fmt, ...) __attribute__((format(scanf, 2, 3)));

// The size of the file (stat, following links), or -1 if it cannot be taken or does not fit
// a signed 32-bit value.
int32_t fnsize(const char* path);
