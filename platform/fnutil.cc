#include "platform/fnutil.h"

#include <cstdarg>
#include <cstdint>
#include <sys/stat.h>

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

int fnscanf(const char* path, const char* fmt, ...)
{
    file_ptr f(std::fopen(path, "r"));
    if (!f)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    int r = std::vfscanf(f.get(), fmt, ap);
    va_end(ap);
    if (std::fclose(f.release()) != 0)
        return -1;
    return r;
}

int fnprintf(const char* path, const char* fmt, ...)
{
    file_ptr f(std::fopen(path, "w"));
    if (!f)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    int r = std::vfprintf(f.get(), fmt, ap);
    va_end(ap);
    if (std::fclose(f.release()) != 0)
        return -1;
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
