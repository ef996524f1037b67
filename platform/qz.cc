#include "platform/qz.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "platform/fdio.h"

namespace {
constexpr size_t qz_console_buffer_size = 80;
}

int qz_vprintf(const char* fmt, va_list ap)
{
    int r = std::vprintf(fmt, ap);
    std::fflush(stdout);
    return r;
}

int qz_printf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = qz_vprintf(fmt, ap);
    va_end(ap);
    return r;
}

int qz_console_puts(const char* s)
{
    return static_cast<int>(fd_write_full(1, s, std::strlen(s)));
}

int qz_vsnprintf(char* buffer, size_t size, const char* fmt, va_list ap)
{
    if (size == 0)
        return 0;
    int n = std::vsnprintf(buffer, size, fmt, ap);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    if (static_cast<size_t>(n) >= size)
        return static_cast<int>(size - 1);
    return n;
}

int qz_console_vprintf(const char* fmt, va_list ap)
{
    char buf[qz_console_buffer_size];
    int n = qz_vsnprintf(buf, sizeof buf, fmt, ap);
    qz_console_puts(buf);
    return n;
}

int qz_console_printf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = qz_console_vprintf(fmt, ap);
    va_end(ap);
    return r;
}

void qz_panic(const char* fmt, ...)
{
    qz_console_printf("Panic: ");
    va_list ap;
    va_start(ap, fmt);
    qz_console_vprintf(fmt, ap);
    va_end(ap);
    qz_abort();
}

void qz_abort()
{
    std::abort();
}
