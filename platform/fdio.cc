#include "platform/fdio.h"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

ssize_t fd_read_once(int fd, void* buf, size_t n)
{
    ssize_t r;
    do
        r = ::read(fd, buf, n);
    while (r < 0 && errno == EINTR);
    return r;
}

ssize_t fd_read_full(int fd, void* buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t r = fd_read_once(fd, static_cast<uint8_t*>(buf) + done, n - done);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

size_t fd_write_full(int fd, const void* buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, static_cast<const uint8_t*>(buf) + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            break;
        done += static_cast<size_t>(w);
    }
    return done;
}
