#include "kru/kru_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/raii.h"

int kru_lock_fd = -1;

namespace {

enum : int {
    KRU_LOCK_TAKEN = 0,
    KRU_LOCK_REFUSED = -1,   // not openable, not ours, or held by another process
    KRU_LOCK_STALE = -2,     // locked, but the path names another file by now
};

int kru_lock_once(const char* path)
{
    // O_NONBLOCK: a FIFO planted at the path must not hang the open.
    unique_fd fd(::open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!fd)
        return KRU_LOCK_REFUSED;
    struct stat held;
    if (fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode) || held.st_uid != geteuid())
        return KRU_LOCK_REFUSED;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return KRU_LOCK_REFUSED;
    // The holder before us may have removed the file between our open and our flock, and a
    // third process created and locked a new one: then our lock guards nothing.
    struct stat named;
    if (lstat(path, &named) != 0 || named.st_dev != held.st_dev || named.st_ino != held.st_ino)
        return KRU_LOCK_STALE;
    kru_lock_fd = fd.release();
    return KRU_LOCK_TAKEN;
}

}  // namespace

int kru_lock(const char* path)
{
    for (int attempt = 0; attempt < kru_lock_attempts; ++attempt) {
        int r = kru_lock_once(path);
        if (r != KRU_LOCK_STALE)
            return r == KRU_LOCK_TAKEN ? 0 : -1;
    }
    return -1;
}

int kru_unlock(const char* path)
{
    // Removed while still locked: whoever opens the path from now on gets a new file.
    bool failed = ::unlink(path) != 0 && errno != EBUSY;
    int fd = kru_lock_fd;
    kru_lock_fd = -1;
    if (flock(fd, LOCK_UN) != 0)
        failed = true;
    if (::close(fd) != 0)
        failed = true;
    return failed ? -1 : 0;
}
