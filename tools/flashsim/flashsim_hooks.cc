// The C library entries the emulator replaces. Each maps its path or recognises an emulated
// descriptor and otherwise calls the next definition (the C library's) unchanged.
//
// Built with the C library's own names: no 64-bit-offset renaming (open64 and open are separate
// entries here) and no fortified inline versions.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE

#include "tools/flashsim/flashsim_core.h"
#include "tools/flashsim/flashsim_delay.h"
#include "tools/flashsim/flashsim_mtd.h"
#include "tools/flashsim/flashsim_sys.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#define FSIM_EXPORT extern "C" __attribute__((visibility("default")))

// Entries the headers declare only for fortified or old builds.
extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
int __xstat(int ver, const char* path, struct stat* st) noexcept;
int __xstat64(int ver, const char* path, struct stat64* st) noexcept;
int __lxstat(int ver, const char* path, struct stat* st) noexcept;
int __lxstat64(int ver, const char* path, struct stat64* st) noexcept;
int __fxstatat(int ver, int dirfd, const char* path, struct stat* st, int flags) noexcept;
int __fxstatat64(int ver, int dirfd, const char* path, struct stat64* st, int flags) noexcept;
void __syslog_chk(int pri, int flag, const char* fmt, ...);
void __vsyslog_chk(int pri, int flag, const char* fmt, va_list ap);
}

// The next definition of every entry, found once by the constructor (or at first use, for
// calls made before it ran) so that later calls never enter the dynamic linker.
#define FSIM_ENTRIES(X) \
    X(open) X(open64) X(openat) X(openat64) X(__open_2) X(__open64_2) X(__openat_2) X(__openat64_2) \
    X(creat) X(creat64) X(fopen) X(fopen64) X(freopen) X(freopen64) X(fdopen) \
    X(stat) X(stat64) X(lstat) X(lstat64) X(fstatat) X(fstatat64) X(statx) \
    X(__xstat) X(__xstat64) X(__lxstat) X(__lxstat64) X(__fxstatat) X(__fxstatat64) \
    X(access) X(faccessat) X(unlink) X(unlinkat) X(mkdir) X(mkdirat) X(rmdir) X(rename) \
    X(opendir) X(truncate) X(truncate64) X(realpath) \
    X(close) X(dup) X(dup2) X(dup3) X(read) X(pread) X(pread64) X(readv) \
    X(write) X(pwrite) X(pwrite64) X(writev) X(ioctl) X(flock) \
    X(openlog) X(closelog) X(setlogmask) X(vsyslog) X(__vsyslog_chk) X(mount) X(umount) X(umount2) X(fork)

namespace {

#define FSIM_SLOT(fn) decltype(&::fn) real_##fn;
FSIM_ENTRIES(FSIM_SLOT)
#undef FSIM_SLOT

void* fsim_next(const char* name)
{
    void* p = dlsym(RTLD_NEXT, name);
    if (p == nullptr && std::strncmp(name, "__", 2) != 0) {
        fsim_sys_write(2, "flashsim: no next definition of ", 32);
        fsim_sys_write(2, name, std::strlen(name));
        fsim_sys_write(2, "\n", 1);
        abort();
    }
    return p;   // the old __xstat family may be missing; its entries fall back below
}

template <class F>
F fsim_hook_next_of(F& slot, const char* name)
{
    if (slot == nullptr)
        slot = reinterpret_cast<F>(fsim_next(name));
    return slot;
}
#define REAL(fn) fsim_hook_next_of(real_##fn, #fn)

__attribute__((constructor)) void fsim_hook_constructor()
{
#define FSIM_RESOLVE(fn) real_##fn = reinterpret_cast<decltype(&::fn)>(dlsym(RTLD_NEXT, #fn));
    FSIM_ENTRIES(FSIM_RESOLVE)
#undef FSIM_RESOLVE
    fsim_init();
}

// A path as the entry should pass it on: the caller's, or its sandbox twin.
struct fsim_mapped {
    char twin[fsim_path_max];
    const char* path;
    int kind;   // FSIM_PATH_*
    int dev;
};

// False (errno ENAMETOOLONG) when the twin does not fit.
bool fsim_hook_map(const char* path, fsim_mapped* m)
{
    m->dev = -1;
    m->kind = fsim_path_map(path, m->twin, &m->dev);
    m->path = m->kind > FSIM_PATH_AS_IS ? m->twin : path;
    return m->kind != FSIM_PATH_TOO_LONG;
}

// Runs `call` on the mapped path; `fail` is the entry's failure value.
template <class R, class F>
R fsim_hook_path(const char* path, R fail, F call)
{
    fsim_mapped m;
    if (!fsim_hook_map(path, &m))
        return fail;
    return call(m.path);
}

template <class F>
int fsim_hook_open(const char* path, int flags, F call)
{
    fsim_mapped m;
    if (!fsim_hook_map(path, &m))
        return -1;
    if (m.kind == FSIM_PATH_DEVICE)
        return fsim_mtd_open(m.path, m.dev, flags);
    return call(m.path);
}

mode_t fsim_hook_open_mode(int flags, va_list ap)
{
    return __OPEN_NEEDS_MODE(flags) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

template <class F>
FILE* fsim_hook_fopen(const char* path, const char* mode, F call)
{
    fsim_mapped m;
    if (!fsim_hook_map(path, &m))
        return nullptr;
    if (m.kind != FSIM_PATH_DEVICE)
        return call(m.path);
    int flags = fsim_mtd_mode_flags(mode);
    int fd = flags < 0 ? -1 : fsim_mtd_open(m.path, m.dev, flags);
    if (fd < 0)
        return nullptr;
    FILE* f = fsim_mtd_fdopen(fd, mode);
    if (f == nullptr) {
        int e = errno;
        fsim_mtd_forget(fd);
        fsim_sys_close(fd);
        errno = e;
    }
    return f;
}

// A device cannot become the file behind an existing stream: its I/O would bypass the emulation.
template <class F>
FILE* fsim_hook_freopen(const char* path, FILE* stream, F call)
{
    fsim_mapped m;
    if (path == nullptr)
        return call(path);
    if (!fsim_hook_map(path, &m))
        return nullptr;
    if (m.kind == FSIM_PATH_DEVICE) {
        std::fclose(stream);
        errno = EOPNOTSUPP;
        return nullptr;
    }
    return call(m.path);
}

// truncate(2) refuses anything but a regular file; a device included.
template <class F>
int fsim_hook_truncate(const char* path, F call)
{
    fsim_mapped m;
    if (!fsim_hook_map(path, &m))
        return -1;
    if (m.kind == FSIM_PATH_DEVICE) {
        errno = fsim_sys_exists(m.path) ? EINVAL : ENOENT;
        return -1;
    }
    return call(m.path);
}

ssize_t fsim_hook_write(int fd, const void* buf, size_t n, off64_t pos)
{
    iovec v{const_cast<void*>(buf), n};
    return fsim_mtd_write(fd, &v, 1, pos);
}

ssize_t fsim_hook_read(int fd, void* buf, size_t n, off64_t pos)
{
    iovec v{buf, n};
    return fsim_mtd_read(fd, &v, 1, pos);
}

}  // namespace

// ---- open family

FSIM_EXPORT int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = fsim_hook_open_mode(flags, ap);
    va_end(ap);
    return fsim_hook_open(path, flags, [&](const char* p) { return REAL(open)(p, flags, mode); });
}

FSIM_EXPORT int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = fsim_hook_open_mode(flags, ap);
    va_end(ap);
    return fsim_hook_open(path, flags, [&](const char* p) { return REAL(open64)(p, flags, mode); });
}

FSIM_EXPORT int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = fsim_hook_open_mode(flags, ap);
    va_end(ap);
    return fsim_hook_open(path, flags, [&](const char* p) { return REAL(openat)(dirfd, p, flags, mode); });
}

FSIM_EXPORT int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = fsim_hook_open_mode(flags, ap);
    va_end(ap);
    return fsim_hook_open(path, flags, [&](const char* p) { return REAL(openat64)(dirfd, p, flags, mode); });
}

FSIM_EXPORT int __open_2(const char* path, int flags)
{
    return fsim_hook_open(path, flags, [&](const char* p) { return REAL(__open_2)(p, flags); });
}

FSIM_EXPORT int __open64_2(const char* path, int flags)
{
    return fsim_hook_open(path, flags, [&](const char* p) { return REAL(__open64_2)(p, flags); });
}

FSIM_EXPORT int __openat_2(int dirfd, const char* path, int flags)
{
    return fsim_hook_open(path, flags, [&](const char* p) { return REAL(__openat_2)(dirfd, p, flags); });
}

FSIM_EXPORT int __openat64_2(int dirfd, const char* path, int flags)
{
    return fsim_hook_open(path, flags, [&](const char* p) { return REAL(__openat64_2)(dirfd, p, flags); });
}

FSIM_EXPORT int creat(const char* path, mode_t mode)
{
    return fsim_hook_open(path, O_WRONLY | O_CREAT | O_TRUNC, [&](const char* p) { return REAL(creat)(p, mode); });
}

FSIM_EXPORT int creat64(const char* path, mode_t mode)
{
    return fsim_hook_open(path, O_WRONLY | O_CREAT | O_TRUNC, [&](const char* p) { return REAL(creat64)(p, mode); });
}

// ---- stdio

FSIM_EXPORT FILE* fopen(const char* path, const char* mode)
{
    return fsim_hook_fopen(path, mode, [&](const char* p) { return REAL(fopen)(p, mode); });
}

FSIM_EXPORT FILE* fopen64(const char* path, const char* mode)
{
    return fsim_hook_fopen(path, mode, [&](const char* p) { return REAL(fopen64)(p, mode); });
}

FSIM_EXPORT FILE* freopen(const char* path, const char* mode, FILE* stream)
{
    return fsim_hook_freopen(path, stream, [&](const char* p) { return REAL(freopen)(p, mode, stream); });
}

FSIM_EXPORT FILE* freopen64(const char* path, const char* mode, FILE* stream)
{
    return fsim_hook_freopen(path, stream, [&](const char* p) { return REAL(freopen64)(p, mode, stream); });
}

FSIM_EXPORT FILE* fdopen(int fd, const char* mode) noexcept
{
    if (fsim_mtd_is(fd))
        return fsim_mtd_fdopen(fd, mode);
    return REAL(fdopen)(fd, mode);
}

// ---- metadata and directory entries (a device shows its backing file)

FSIM_EXPORT int stat(const char* path, struct stat* st) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(stat)(p, st); });
}

FSIM_EXPORT int stat64(const char* path, struct stat64* st) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(stat64)(p, st); });
}

FSIM_EXPORT int lstat(const char* path, struct stat* st) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(lstat)(p, st); });
}

FSIM_EXPORT int lstat64(const char* path, struct stat64* st) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(lstat64)(p, st); });
}

FSIM_EXPORT int fstatat(int dirfd, const char* path, struct stat* st, int flags) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(fstatat)(dirfd, p, st, flags); });
}

FSIM_EXPORT int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(fstatat64)(dirfd, p, st, flags); });
}

FSIM_EXPORT int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* st) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(statx)(dirfd, p, flags, mask, st); });
}

// Programs built against a C library older than 2.33 call these instead of stat and friends.
FSIM_EXPORT int __xstat(int ver, const char* path, struct stat* st) noexcept
{
    if (REAL(__xstat) == nullptr)
        return stat(path, st);
    return fsim_hook_path(path, -1, [&](const char* p) { return real___xstat(ver, p, st); });
}

FSIM_EXPORT int __xstat64(int ver, const char* path, struct stat64* st) noexcept
{
    if (REAL(__xstat64) == nullptr)
        return stat64(path, st);
    return fsim_hook_path(path, -1, [&](const char* p) { return real___xstat64(ver, p, st); });
}

FSIM_EXPORT int __lxstat(int ver, const char* path, struct stat* st) noexcept
{
    if (REAL(__lxstat) == nullptr)
        return lstat(path, st);
    return fsim_hook_path(path, -1, [&](const char* p) { return real___lxstat(ver, p, st); });
}

FSIM_EXPORT int __lxstat64(int ver, const char* path, struct stat64* st) noexcept
{
    if (REAL(__lxstat64) == nullptr)
        return lstat64(path, st);
    return fsim_hook_path(path, -1, [&](const char* p) { return real___lxstat64(ver, p, st); });
}

FSIM_EXPORT int __fxstatat(int ver, int dirfd, const char* path, struct stat* st, int flags) noexcept
{
    if (REAL(__fxstatat) == nullptr)
        return fstatat(dirfd, path, st, flags);
    return fsim_hook_path(path, -1, [&](const char* p) { return real___fxstatat(ver, dirfd, p, st, flags); });
}

FSIM_EXPORT int __fxstatat64(int ver, int dirfd, const char* path, struct stat64* st, int flags) noexcept
{
    if (REAL(__fxstatat64) == nullptr)
        return fstatat64(dirfd, path, st, flags);
    return fsim_hook_path(path, -1, [&](const char* p) { return real___fxstatat64(ver, dirfd, p, st, flags); });
}

FSIM_EXPORT int access(const char* path, int how) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(access)(p, how); });
}

FSIM_EXPORT int faccessat(int dirfd, const char* path, int how, int flags) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(faccessat)(dirfd, p, how, flags); });
}

FSIM_EXPORT int unlink(const char* path) noexcept
{
    fsim_delay_point(FSIM_DELAY_BEFORE_UNLINK);
    int r = fsim_hook_path(path, -1, [&](const char* p) { return REAL(unlink)(p); });
    fsim_delay_point(FSIM_DELAY_AFTER_UNLINK);
    return r;
}

FSIM_EXPORT int unlinkat(int dirfd, const char* path, int flags) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(unlinkat)(dirfd, p, flags); });
}

FSIM_EXPORT int mkdir(const char* path, mode_t mode) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(mkdir)(p, mode); });
}

FSIM_EXPORT int mkdirat(int dirfd, const char* path, mode_t mode) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(mkdirat)(dirfd, p, mode); });
}

FSIM_EXPORT int rmdir(const char* path) noexcept
{
    return fsim_hook_path(path, -1, [&](const char* p) { return REAL(rmdir)(p); });
}

FSIM_EXPORT int rename(const char* from, const char* to) noexcept
{
    fsim_mapped m;
    if (!fsim_hook_map(from, &m))
        return -1;
    return fsim_hook_path(to, -1, [&](const char* p) { return REAL(rename)(m.path, p); });
}

FSIM_EXPORT DIR* opendir(const char* path)
{
    return fsim_hook_path(path, static_cast<DIR*>(nullptr), [&](const char* p) { return REAL(opendir)(p); });
}

FSIM_EXPORT int truncate(const char* path, off_t length) noexcept
{
    return fsim_hook_truncate(path, [&](const char* p) { return REAL(truncate)(p, length); });
}

FSIM_EXPORT int truncate64(const char* path, off64_t length) noexcept
{
    return fsim_hook_truncate(path, [&](const char* p) { return REAL(truncate64)(p, length); });
}

// The resolved twin is shown as the program's path again (the sandbox prefix removed).
FSIM_EXPORT char* realpath(const char* path, char* resolved) noexcept
{
    static char root_resolved[PATH_MAX];   // the sandbox root itself, resolved once
    fsim_mapped m;
    if (!fsim_hook_map(path, &m))
        return nullptr;
    if (m.kind == FSIM_PATH_AS_IS)
        return REAL(realpath)(path, resolved);
    char full[PATH_MAX];
    if (REAL(realpath)(m.path, full) == nullptr)
        return nullptr;
    if (root_resolved[0] == '\0' && REAL(realpath)(fsim_root(), root_resolved) == nullptr)
        root_resolved[0] = '\0';
    const char* shown = full;
    size_t rl = std::strlen(root_resolved);
    if (rl > 0 && std::strncmp(full, root_resolved, rl) == 0 && full[rl] == '/')
        shown = full + rl;
    if (resolved == nullptr)
        return strdup(shown);
    std::memmove(resolved, shown, std::strlen(shown) + 1);
    return resolved;
}

// ---- descriptors

FSIM_EXPORT int close(int fd)
{
    fsim_mtd_forget(fd);
    return REAL(close)(fd);
}

FSIM_EXPORT int dup(int fd) noexcept
{
    int r = REAL(dup)(fd);
    if (r >= 0)
        fsim_mtd_dup(fd, r);
    return r;
}

FSIM_EXPORT int dup2(int fd, int to) noexcept
{
    int r = REAL(dup2)(fd, to);
    if (r >= 0 && fd != to)
        fsim_mtd_dup(fd, to);
    return r;
}

FSIM_EXPORT int dup3(int fd, int to, int flags) noexcept
{
    int r = REAL(dup3)(fd, to, flags);
    if (r >= 0)
        fsim_mtd_dup(fd, to);
    return r;
}

FSIM_EXPORT ssize_t read(int fd, void* buf, size_t n)
{
    if (fsim_mtd_is(fd))
        return fsim_hook_read(fd, buf, n, -1);
    return REAL(read)(fd, buf, n);
}

FSIM_EXPORT ssize_t pread(int fd, void* buf, size_t n, off_t pos)
{
    if (pos >= 0 && fsim_mtd_is(fd))
        return fsim_hook_read(fd, buf, n, pos);
    return REAL(pread)(fd, buf, n, pos);
}

FSIM_EXPORT ssize_t pread64(int fd, void* buf, size_t n, off64_t pos)
{
    if (pos >= 0 && fsim_mtd_is(fd))
        return fsim_hook_read(fd, buf, n, pos);
    return REAL(pread64)(fd, buf, n, pos);
}

FSIM_EXPORT ssize_t readv(int fd, const struct iovec* iov, int iovcnt)
{
    if (fsim_mtd_is(fd))
        return fsim_mtd_read(fd, iov, iovcnt, -1);
    return REAL(readv)(fd, iov, iovcnt);
}

FSIM_EXPORT ssize_t write(int fd, const void* buf, size_t n)
{
    if (fsim_mtd_is(fd))
        return fsim_hook_write(fd, buf, n, -1);
    return REAL(write)(fd, buf, n);
}

FSIM_EXPORT ssize_t pwrite(int fd, const void* buf, size_t n, off_t pos)
{
    if (pos >= 0 && fsim_mtd_is(fd))
        return fsim_hook_write(fd, buf, n, pos);
    return REAL(pwrite)(fd, buf, n, pos);   // a negative offset fails there with EINVAL
}

FSIM_EXPORT ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t pos)
{
    if (pos >= 0 && fsim_mtd_is(fd))
        return fsim_hook_write(fd, buf, n, pos);
    return REAL(pwrite64)(fd, buf, n, pos);
}

FSIM_EXPORT ssize_t writev(int fd, const struct iovec* iov, int iovcnt)
{
    if (fsim_mtd_is(fd))
        return fsim_mtd_write(fd, iov, iovcnt, -1);
    return REAL(writev)(fd, iov, iovcnt);
}

FSIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fsim_mtd_is(fd))
        return fsim_mtd_ioctl(fd, request, arg);
    return REAL(ioctl)(fd, request, arg);
}

FSIM_EXPORT pid_t fork() noexcept
{
    fsim_delay_point(FSIM_DELAY_BEFORE_FORK);
    return REAL(fork)();
}

FSIM_EXPORT int flock(int fd, int op) noexcept
{
    if (fsim_active())
        fsim_stall_point(FSIM_OP_PREFLOCK, fsim_any_dev, 0, 0);
    int r = REAL(flock)(fd, op);
    if (r == 0 && fsim_active())
        fsim_stall_point(FSIM_OP_FLOCK, fsim_any_dev, 0, 0);
    return r;
}

// ---- system log

FSIM_EXPORT void openlog(const char* ident, int option, int facility)
{
    if (!fsim_active())
        return REAL(openlog)(ident, option, facility);
    fsim_syslog_open(ident);
}

FSIM_EXPORT void closelog()
{
    if (!fsim_active())
        return REAL(closelog)();
    fsim_syslog_close();
}

FSIM_EXPORT int setlogmask(int mask) noexcept
{
    if (!fsim_active())
        return REAL(setlogmask)(mask);
    return fsim_syslog_setmask(mask);
}

FSIM_EXPORT void vsyslog(int pri, const char* fmt, va_list ap)
{
    if (!fsim_active())
        return REAL(vsyslog)(pri, fmt, ap);
    fsim_syslog_v(pri, fmt, ap);
}

FSIM_EXPORT void syslog(int pri, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsyslog(pri, fmt, ap);
    va_end(ap);
}

FSIM_EXPORT void __vsyslog_chk(int pri, int flag, const char* fmt, va_list ap)
{
    if (!fsim_active())
        return REAL(__vsyslog_chk)(pri, flag, fmt, ap);
    fsim_syslog_v(pri, fmt, ap);
}

FSIM_EXPORT void __syslog_chk(int pri, int flag, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    __vsyslog_chk(pri, flag, fmt, ap);
    va_end(ap);
}

// ---- mount

FSIM_EXPORT int mount(const char* source, const char* target, const char* fstype, unsigned long flags,
                      const void* data) noexcept
{
    if (!fsim_active())
        return REAL(mount)(source, target, fstype, flags, data);
    return fsim_mount(source, target, fstype, flags);
}

FSIM_EXPORT int umount(const char* target) noexcept
{
    if (!fsim_active())
        return REAL(umount)(target);
    return fsim_umount(target, 0);
}

FSIM_EXPORT int umount2(const char* target, int flags) noexcept
{
    if (!fsim_active())
        return REAL(umount2)(target, flags);
    return fsim_umount(target, flags);
}
