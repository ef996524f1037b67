// platform/raii.h: owners that release what the product opens or allocates.
#pragma once

#include <cstdio>
#include <memory>
#include <unistd.h>

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
// Owns a stdio stream. Where the close result matters (writes), close with
// std::fclose(f.release()) and check it.
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Owns a file descriptor; move-only.
struct unique_fd {
    int fd = -1;
    unique_fd() = default;
    explicit unique_fd(int f) : fd(f) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    unique_fd& operator=(unique_fd&& o) noexcept
    {
        if (this != &o) {
            reset();
            fd = o.fd;
            o.fd = -1;
        }
        return *this;
    }
    ~unique_fd() { reset(); }
    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    void reset()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // Hands the descriptor over; the caller closes it and may check the result.
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};

// Deleter for C objects released by a free function (OpenSSL objects and the like):
//   using cms_ptr = std::unique_ptr<CMS_ContentInfo, c_free<CMS_ContentInfo_free>>;
template <auto Free>
struct c_free {
    template <class T>
    void operator()(T* p) const { Free(p); }
};
