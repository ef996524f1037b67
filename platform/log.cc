#include "platform/log.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "platform/fdio.h"
#include "platform/progress.h"
#include "platform/qz.h"

namespace {

// Queue of messages from signal handlers. The handler fills slot [head % n] and then bumps
// head; the main flow consumes from tail. One thread, so the handler can only interrupt the
// consumer, never the other way round.
constexpr int async_slots = 8;
constexpr size_t async_text = 64;
struct async_entry {
    int priority;
    char text[async_text];
};
async_entry async_queue[async_slots];
volatile sig_atomic_t async_head = 0;
volatile sig_atomic_t async_tail = 0;

void log_v(int priority, bool always, const char* fmt, va_list ap)
{
    kru_log_flush();
    char msg[kru_log_max];
    qz_vsnprintf(msg, sizeof msg, fmt, ap);
    int saved = errno;
    progress_hide();
    fd_write_full(2, msg, std::strlen(msg));
    if (always || !isatty(1))
        syslog(priority, "%s", msg);
    errno = saved;
}

}  // namespace

void kru_log_open()
{
    openlog("KRU", LOG_NDELAY, LOG_USER);
}

void kru_log(int priority, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_v(priority, false, fmt, ap);
    va_end(ap);
}

void kru_log_err(int priority, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_v(priority, true, fmt, ap);
    va_end(ap);
}

void kru_log_syslog(int priority, const char* fmt, ...)
{
    kru_log_flush();
    char msg[kru_log_max];
    va_list ap;
    va_start(ap, fmt);
    qz_vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    int saved = errno;
    syslog(priority, "%s", msg);
    errno = saved;
}

void kru_log_async(int priority, const char* text)
{
    int saved = errno;
    size_t len = 0;
    while (text[len] != '\0')
        ++len;
    fd_write_full(2, text, len);
    if (async_head - async_tail < async_slots) {
        async_entry& e = async_queue[async_head % async_slots];
        e.priority = priority;
        size_t n = len < async_text - 1 ? len : async_text - 1;
        for (size_t i = 0; i < n; ++i)
            e.text[i] = text[i];
        e.text[n] = '\0';
        async_head = async_head + 1;
    }
    errno = saved;
}

void kru_log_flush()
{
    while (async_tail != async_head) {
        const async_entry& e = async_queue[async_tail % async_slots];
        int saved = errno;
        if (!isatty(1))
            syslog(e.priority, "%s", e.text);
        errno = saved;
        async_tail = async_tail + 1;
    }
}
