// kru/kru_lock.h: the lock file that serialises invocations. A second invocation never waits.
//
// The file lives in a world-writable directory, so its path is not trusted: it is opened
// without following a link, must be a regular file of the effective user (in a sticky /tmp
// nobody else can then remove or replace it), and after the flock its inode must still be
// the one the path names. The holder removes the file before it lets go of the lock, so a
// process that locked a removed inode notices, and only one process at a time holds the lock
// on the file that the path names.
#pragma once

// Descriptor of the open lock file, -1 when none is held.
extern int kru_lock_fd;

// How often kru_lock() starts again when the file was replaced between its open and its flock.
inline constexpr int kru_lock_attempts = 5;

// Opens (creating with mode 0600) and takes an exclusive, non-blocking flock. 0, or -1 when
// the file cannot be opened, is not a regular file of the effective user, another process
// holds the lock, or the path kept naming another file than the one locked.
int kru_lock(const char* path);

// Removes the file, then releases the lock. 0, or -1 when the removal (other than with
// EBUSY), the release or the close failed; the caller warns.
int kru_unlock(const char* path);
