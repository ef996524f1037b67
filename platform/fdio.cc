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

namespace {

// Repeats `step(done)` (one transfer of the bytes from `done` on) until `n` bytes, the end of
// the file (a step of 0) or an error: the bytes moved, or -1 on an error.
template <class F>
ssize_t fd_full(size_t n, F step)
{
    size_t done = 0;
    while (done < n) {
        ssize_t r = step(done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

ssize_t fd_read_full(int fd, void* buf, size_t n)
{
    return fd_full(n, [&](size_t done) { return ::read(fd, static_cast<uint8_t*>(buf) + done, n - done); });
}

ssize_t fd_pread_full(int fd, void* buf, size_t n, off_t at)
{
    return fd_full(n, [&](size_t done) {
        return ::pread(fd, static_cast<uint8_t*>(buf) + done, n - done, at + static_cast<off_t>(done));
    });
}

size_t fd_write_full(int fd, const void* buf, size_t n)
{
    size_t done = 0;
    fd_full(n, [&](size_t d) {
        const ssize_t w = ::write(fd, static_cast<const uint8_t*>(buf) + d, n - d);
        done = w > 0 ? d + static_cast<size_t>(w) : d;
        return w;
    });
    return done;
}

size_t fd_pwrite_full(int fd, const void* buf, size_t n, off_t at)
{
    size_t done = 0;
    fd_full(n, [&](size_t d) {
        const ssize_t w = ::pwrite(fd, static_cast<const uint8_t*>(buf) + d, n - d, at + static_cast<off_t>(d));
        done = w > 0 ? d + static_cast<size_t>(w) : d;
        return w;
    });
    return done;
}
