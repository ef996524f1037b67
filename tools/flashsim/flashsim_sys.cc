#include "tools/flashsim/flashsim_sys.h"

#include "tools/flashsim/flashsim_core.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

namespace {

char fsim_syslog_ident[64];    // empty: none
int fsim_syslog_mask = 0xff;   // every priority, as the C library starts

// Copies `fmt` into `out` with each %m replaced by `text` (its % doubled so it stays literal).
// False when the result does not fit.
bool fsim_expand_m(const char* fmt, const char* text, char* out, size_t size)
{
    size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 >= size)
            return false;
        out[n++] = c;
        return true;
    };
    for (const char* p = fmt; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 'm') {
            for (const char* t = text; *t != '\0'; ++t)
                if (!put(*t) || (*t == '%' && !put('%')))
                    return false;
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            if (!put('%') || !put('%'))
                return false;
            ++p;
        } else if (!put(*p)) {
            return false;
        }
    }
    out[n] = '\0';
    return true;
}

}  // namespace

void fsim_syslog_open(const char* ident)
{
    size_t n = ident == nullptr ? 0 : strnlen(ident, sizeof fsim_syslog_ident - 1);
    std::memcpy(fsim_syslog_ident, ident == nullptr ? "" : ident, n);
    fsim_syslog_ident[n] = '\0';
}

void fsim_syslog_close()
{
    fsim_syslog_ident[0] = '\0';
}

int fsim_syslog_setmask(int mask)
{
    int old = fsim_syslog_mask;
    if (mask != 0)
        fsim_syslog_mask = mask;
    return old;
}

void fsim_syslog_v(int pri, const char* fmt, va_list ap)
{
    int saved = errno;
    if ((LOG_MASK(LOG_PRI(pri)) & fsim_syslog_mask) == 0 || fmt == nullptr)
        return;
    char errbuf[128];
    char expanded[1024];
    const char* err = strerror_r(saved, errbuf, sizeof errbuf);
    if (std::strstr(fmt, "%m") != nullptr && fsim_expand_m(fmt, err, expanded, sizeof expanded))
        fmt = expanded;

    fsim_line l{};
    fsim_line_dec(&l, static_cast<uint64_t>(LOG_PRI(pri)));
    fsim_line_str(&l, " ");
    fsim_line_str(&l, fsim_syslog_ident[0] != '\0' ? fsim_syslog_ident : "-");
    fsim_line_str(&l, ": ");
    size_t start = l.len;
    size_t room = sizeof l.buf - 1 - start;
    int n = vsnprintf(l.buf + start, room + 1, fmt, ap);   // the newline's byte may take the NUL
    if (n > 0)
        l.len = start + (static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    if (l.len > start && l.buf[l.len - 1] == '\n')
        --l.len;
    for (size_t i = start; i < l.len; ++i)
        if (l.buf[i] == '\n')
            l.buf[i] = ' ';
    fsim_line_append("syslog", &l);
    errno = saved;
}

int fsim_mount(const char* source, const char* target, const char* fstype, unsigned long flags)
{
    fsim_line l{};
    fsim_line_str(&l, "mount ");
    fsim_line_str(&l, source != nullptr ? source : "-");
    fsim_line_str(&l, " ");
    fsim_line_str(&l, target != nullptr ? target : "-");
    fsim_line_str(&l, " ");
    fsim_line_str(&l, fstype != nullptr ? fstype : "-");
    fsim_line_str(&l, " ");
    fsim_line_hex(&l, flags);
    fsim_line_append("mount.log", &l);

    char path[fsim_path_max];
    if (!fsim_sandbox_path("mount.fail", path))
        return 0;
    int fd = fsim_sys_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    char buf[4096];
    ssize_t got = syscall(SYS_read, fd, buf, sizeof buf);
    fsim_sys_close(fd);
    std::string_view rest(buf, got > 0 ? static_cast<size_t>(got) : 0);
    std::string_view want(target != nullptr ? target : "-");
    while (!rest.empty()) {
        size_t eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        size_t sp = line.rfind(' ');
        if (sp == std::string_view::npos)
            continue;
        std::string_view who = line.substr(0, sp);
        std::string_view num = line.substr(sp + 1);
        if (!num.empty() && num.back() == '\r')
            num.remove_suffix(1);
        uint64_t e;
        if ((who == "*" || who == want) && fsim_parse_number(num, &e) && e > 0 && e < 4096) {
            errno = static_cast<int>(e);
            return -1;
        }
    }
    return 0;
}

int fsim_umount(const char* target, int flags)
{
    fsim_line l{};
    fsim_line_str(&l, "umount ");
    fsim_line_str(&l, target != nullptr ? target : "-");
    fsim_line_str(&l, " ");
    fsim_line_hex(&l, static_cast<unsigned>(flags));
    fsim_line_append("mount.log", &l);
    return 0;
}
