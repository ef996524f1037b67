#include "platform/fnutil.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/raii.h"

int fnread(const char* path, void* buf, uint32_t n)
{
    file_ptr f(std::fopen(path, "r"));
    if (!f)
        return -1;
    size_t done = std::fread(buf, 1, n, f.get());
    if (std::fclose(f.release()) != 0)
        return -1;
    return static_cast<int>(done);
}

int fnwrite(const char* path, const void* buf, uint32_t n)
{
    file_ptr f(std::fopen(path, "w"));
    if (!f)
        return -1;
    size_t done = std::fwrite(buf, 1, n, f.get());
    if (std::fclose(f.release()) != 0)   // what stdio could not flush was not written
        return -1;
    return static_cast<int>(done);
}

namespace {

// vfscanf over the stream, then its close: what vfscanf returned, or -1 if the close fails.
int fn_scan_and_close(file_ptr f, const char* fmt, va_list ap)
{
    int r = std::vfscanf(f.get(), fmt, ap);
    return std::fclose(f.release()) != 0 ? -1 : r;
}

// vfprintf into the stream, then its close: what vfprintf returned, or -1 if the close fails
// (what stdio could not flush was not written).
int fn_print_and_close(file_ptr f, const char* fmt, va_list ap)
{
    int r = std::vfprintf(f.get(), fmt, ap);
    return std::fclose(f.release()) != 0 ? -1 : r;
}

}  // namespace

int fnscanf(const char* path, const char* fmt, ...)
{
    file_ptr f(std::fopen(path, "r"));
    if (!f)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    int r = fn_scan_and_close(std::move(f), fmt, ap);
    va_end(ap);
    return r;
}

int fnprintf(const char* path, const char* fmt, ...)
{
    file_ptr f(std::fopen(path, "w"));
    if (!f)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    int r = fn_print_and_close(std::move(f), fmt, ap);
    va_end(ap);
    return r;
}

int fnprintf_private(const char* path, const char* fmt, ...)
{
    if (unlink(path) != 0 && errno != ENOENT)
        return -1;
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return -1;
    file_ptr f(fdopen(fd.get(), "w"));
    if (!f)
        return -1;
    fd.release();   // the stream closes it
    va_list ap;
    va_start(ap, fmt);
    int r = fn_print_and_close(std::move(f), fmt, ap);
    va_end(ap);
    return r < 0 ? -1 : r;
}

int fnscanf_private(const char* path, const char* fmt, ...)
{
    // O_NONBLOCK: a FIFO at the path must not hang the open; it is refused below.
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return -1;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return -1;
    file_ptr f(fdopen(fd.get(), "r"));
    if (!f)
        return -1;
    fd.release();   // the stream closes it
    va_list ap;
    va_start(ap, fmt);
    int r = fn_scan_and_close(std::move(f), fmt, ap);
    va_end(ap);
    return r;
}

int32_t fnsize(const char* path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    if (st.st_size < 0 || st.st_size > INT32_MAX)
        return -1;
    return static_cast<int32_t>(st.st_size);
}
