#include "kru/kru_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int kru_lock_fd = -1;

int kru_lock(const char* path)
{
    int fd = ::open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    kru_lock_fd = fd;
    return 0;
}

int kru_unlock(const char* path)
{
    int fd = kru_lock_fd;
    kru_lock_fd = -1;
    bool failed = flock(fd, LOCK_UN) != 0;
    if (::close(fd) != 0)
        failed = true;
    if (failed)
        return -1;   // the file stays: another process may be about to lock it
    if (::unlink(path) != 0 && errno != EBUSY)
        return -1;
    return 0;
}
