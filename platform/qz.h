// platform/qz.h: report output on standard output, the unbuffered console and the fatal
// assertion.
#pragma once

#include <cstdarg>
#include <cstddef>

// Print to standard output through the buffered stream, then flush it. What vprintf returned.
int qz_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int qz_vprintf(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));

// Writes the string to descriptor 1 directly, repeating partial and interrupted writes; stops
// at any other error. The number of bytes written.
int qz_console_puts(const char* s);

// Formats into buffer[size]. The characters stored: the formatted length when it fits,
// size - 1 when the text was cut; 0 (and an empty buffer) when formatting fails.
int qz_vsnprintf(char* buffer, size_t size, const char* fmt, va_list ap) __attribute__((format(printf, 3, 0)));

// Format into an 80-byte buffer (at most 79 characters) and write it with qz_console_puts.
// The qz_vsnprintf result.
int qz_console_vprintf(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));
int qz_console_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes "Panic: " and the message on the console, then aborts (SIGABRT).
[[noreturn]] void qz_panic(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void qz_abort();

// Checks an internal precondition; a broken one is our bug and stops the process with the
// module name and source line.
#define QZ_ASSERT(module, cond)                                                  \
    do {                                                                         \
        if (!(cond))                                                             \
            qz_panic("*** ASSERT in %s at %d\n", (module), __LINE__);            \
    } while (0)
