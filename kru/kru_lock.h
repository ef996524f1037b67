// kru/kru_lock.h: the lock file that serialises invocations. A second invocation never waits.
#pragma once

// Descriptor of the open lock file, -1 when none is held.
extern int kru_lock_fd;

// Opens (creating with mode 0600) and takes an exclusive, non-blocking flock. 0, or -1 when
// the file cannot be opened or another process holds the lock.
int kru_lock(const char* path);

// Releases the lock and removes the file. 0, or -1 when the release or the removal failed
// (a removal failing with EBUSY counts as success); the caller warns.
int kru_unlock(const char* path);
