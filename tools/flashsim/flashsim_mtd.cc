#include "tools/flashsim/flashsim_mtd.h"

#include "tools/flashsim/flashsim_core.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// What the emulator knows of a descriptor opened on a device.
struct fsim_mtd_fd {
    bool used;
    int dev;          // N of /dev/mtdN
    int accmode;      // O_RDONLY, O_WRONLY or O_RDWR
    uint32_t erasesize;
    dev_t st_dev;     // identity of the backing file, to notice a descriptor reused behind our back
    ino_t st_ino;
};

constexpr int fsim_mtd_max_fds = 1024;
fsim_mtd_fd fsim_mtd_fds[fsim_mtd_max_fds];

// Bytes moved per step of an erase or program; on the stack, so keep it small.
constexpr size_t fsim_chunk = 2048;

// The device as it is now: size of the backing file and the lock file's presence.
struct fsim_geometry {
    uint64_t size;
    bool locked;
};

int fsim_mtd_geometry(int fd, int dev, fsim_geometry* g)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errno;
    g->size = static_cast<uint64_t>(st.st_size);
    char lock[fsim_path_max];
    g->locked = fsim_dev_path(dev, ".locked", lock) && fsim_sys_exists(lock);
    return 0;
}

// The erase-block size of device `dev`: its .erasesize file, else FLASHSIM_ERASESIZE or 65536.
uint32_t fsim_mtd_erasesize_of(int dev)
{
    char path[fsim_path_max];
    if (!fsim_dev_path(dev, ".erasesize", path))
        return fsim_env_erasesize();
    int fd = fsim_sys_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return fsim_env_erasesize();
    char buf[32];
    ssize_t n = syscall(SYS_read, fd, buf, sizeof buf);
    fsim_sys_close(fd);
    std::string_view text(buf, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
        text.remove_suffix(1);
    uint64_t v;
    if (!fsim_parse_number(text, &v) || v > UINT32_MAX)
        return fsim_env_erasesize();
    return static_cast<uint32_t>(v);
}

// Reads or writes all `n` bytes at `off` unless an error or end of file stops it early.
ssize_t fsim_full_io(bool write, int fd, uint8_t* buf, size_t n, uint64_t off)
{
    size_t done = 0;
    while (done < n) {
        iovec v{buf + done, n - done};
        off_t at = static_cast<off_t>(off + done);
        ssize_t r = write ? pwritev(fd, &v, 1, at) : preadv(fd, &v, 1, at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

// Stores old & new for the first `n` bytes of `iov` at `off`. 0 or an errno; *stored counts
// the bytes that reached the file, *fault the offset of the first byte that needed a 0 -> 1
// (UINT64_MAX when none did). When `worn`, the lowest bit that the first programming byte
// takes from 1 to 0 stays 1, as in a worn cell, and *weak is that byte's offset (else, or
// when no bit needed programming, UINT64_MAX).
int fsim_mtd_program(int fd, const iovec* iov, uint64_t off, uint64_t n, bool worn, uint64_t* stored,
                     uint64_t* fault, uint64_t* weak)
{
    uint8_t in[fsim_chunk], cell[fsim_chunk];
    size_t vi = 0, vo = 0;   // where in `iov` the next byte comes from
    *stored = 0;
    *fault = UINT64_MAX;
    *weak = UINT64_MAX;
    while (*stored < n) {
        size_t len = n - *stored < fsim_chunk ? static_cast<size_t>(n - *stored) : fsim_chunk;
        for (size_t got = 0; got < len;) {
            while (vo == iov[vi].iov_len) {   // the caller's iov holds at least n bytes
                ++vi;
                vo = 0;
            }
            size_t take = iov[vi].iov_len - vo < len - got ? iov[vi].iov_len - vo : len - got;
            std::memcpy(in + got, static_cast<const uint8_t*>(iov[vi].iov_base) + vo, take);
            got += take;
            vo += take;
        }
        uint64_t at = off + *stored;
        ssize_t r = fsim_full_io(false, fd, cell, len, at);
        if (r < 0)
            return errno;
        std::memset(cell + r, 0xFF, len - static_cast<size_t>(r));   // nothing there reads erased
        for (size_t i = 0; i < len; ++i) {
            if ((in[i] & ~cell[i]) != 0 && *fault == UINT64_MAX)
                *fault = at + i;
            uint8_t programmed = static_cast<uint8_t>(cell[i] & ~in[i]);
            if (worn && programmed != 0 && *weak == UINT64_MAX) {
                *weak = at + i;
                cell[i] &= static_cast<uint8_t>(in[i] | (programmed & -programmed));
                continue;
            }
            cell[i] &= in[i];
        }
        ssize_t w = fsim_full_io(true, fd, cell, len, at);
        if (w < 0)
            return errno;
        *stored += static_cast<uint64_t>(w);
        if (static_cast<size_t>(w) < len)
            return EIO;
    }
    return 0;
}

int fsim_mtd_fill_erased(int fd, uint64_t off, uint64_t len)
{
    uint8_t ones[fsim_chunk];
    std::memset(ones, 0xFF, sizeof ones);
    for (uint64_t done = 0; done < len;) {
        size_t n = len - done < fsim_chunk ? static_cast<size_t>(len - done) : fsim_chunk;
        ssize_t w = fsim_full_io(true, fd, ones, n, off + done);
        if (w < 0)
            return errno;
        if (static_cast<size_t>(w) < n)
            return EIO;
        done += n;
    }
    return 0;
}

// The kernel's checks of an erase request, in its order: range, empty, alignment, lock.
// 0 when the range may be erased.
int fsim_mtd_erase_refusal(int fd, const fsim_mtd_fd& e, uint64_t start, uint64_t len)
{
    fsim_geometry g{};
    if (int err = fsim_mtd_geometry(fd, e.dev, &g); err != 0)
        return err;
    if (e.erasesize == 0)
        return EOPNOTSUPP;
    if (start >= g.size || len > g.size - start)
        return EINVAL;
    if (len == 0)
        return 0;
    if (start % e.erasesize != 0 || len % e.erasesize != 0)
        return EINVAL;
    return g.locked ? EROFS : 0;
}

// One MEMERASE request.
int fsim_mtd_erase(int fd, const fsim_mtd_fd& e, uint64_t start, uint64_t len)
{
    fsim_stall_point(FSIM_OP_ERASE, e.dev, start, len);
    int err = fsim_fail_point(FSIM_OP_ERASE, e.dev, start, len) ? EIO : fsim_mtd_erase_refusal(fd, e, start, len);
    if (err == 0)
        err = fsim_mtd_fill_erased(fd, start, len);
    if (err == 0) {
        fsim_log_op("erase", e.dev, start, len, nullptr);
        fsim_time_erase(e.erasesize != 0 ? len / e.erasesize : 0);
    }
    fsim_cut_point(FSIM_OP_ERASE, e.dev, start, 0);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

// The range check the kernel makes for lock requests.
int fsim_mtd_range(int fd, int dev, const void* arg, erase_info_user* r, fsim_geometry* g)
{
    std::memcpy(r, arg, sizeof *r);
    int err = fsim_mtd_geometry(fd, dev, g);
    if (err != 0)
        return err;
    if (r->start >= g->size || r->length > g->size - r->start)
        return EINVAL;
    return 0;
}

// Total of an iovec array; -1 (errno EINVAL) for a bad count or a total beyond ssize_t.
int64_t fsim_iov_total(const iovec* iov, int iovcnt)
{
    if (iovcnt < 0 || iovcnt > IOV_MAX) {
        errno = EINVAL;
        return -1;
    }
    uint64_t total = 0;
    for (int i = 0; i < iovcnt; ++i) {
        total += iov[i].iov_len;
        if (total > SSIZE_MAX) {
            errno = EINVAL;
            return -1;
        }
    }
    return static_cast<int64_t>(total);
}

ssize_t fsim_cookie_read(void* cookie, char* buf, size_t n)
{
    iovec v{buf, n};
    return fsim_mtd_read(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), &v, 1, -1);
}

ssize_t fsim_cookie_write(void* cookie, const char* buf, size_t n)
{
    iovec v{const_cast<char*>(buf), n};
    ssize_t r = fsim_mtd_write(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), &v, 1, -1);
    return r < 0 ? 0 : r;   // stdio takes 0 as the error
}

int fsim_cookie_seek(void* cookie, off64_t* pos, int whence)
{
    off_t r = lseek(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), *pos, whence);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}

int fsim_cookie_close(void* cookie)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    fsim_mtd_forget(fd);
    return fsim_sys_close(fd);
}

}  // namespace

int fsim_mtd_open(const char* twin, int dev, int flags)
{
    // Programming reads the old bytes first, so a device opened for writing is opened for
    // both; the table keeps the access the program asked for.
    int backing = flags & ~(O_CREAT | O_EXCL | O_TRUNC | O_APPEND | O_DIRECT | O_ACCMODE);
    backing |= (flags & O_ACCMODE) == O_RDONLY ? O_RDONLY : O_RDWR;
    int fd = fsim_sys_open(twin, backing, 0);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fd >= fsim_mtd_max_fds || fstat(fd, &st) != 0) {
        fsim_sys_close(fd);
        errno = EMFILE;
        return -1;
    }
    fsim_mtd_fds[fd] = fsim_mtd_fd{true, dev, flags & O_ACCMODE, fsim_mtd_erasesize_of(dev), st.st_dev, st.st_ino};
    return fd;
}

bool fsim_mtd_is(int fd)
{
    if (fd < 0 || fd >= fsim_mtd_max_fds || !fsim_mtd_fds[fd].used)
        return false;
    int saved = errno;
    struct stat st;
    bool same = fstat(fd, &st) == 0 && st.st_dev == fsim_mtd_fds[fd].st_dev && st.st_ino == fsim_mtd_fds[fd].st_ino;
    if (!same)
        fsim_mtd_fds[fd].used = false;   // closed by a path we do not see, and reused for another file
    errno = saved;
    return same;
}

void fsim_mtd_forget(int fd)
{
    if (fd >= 0 && fd < fsim_mtd_max_fds)
        fsim_mtd_fds[fd].used = false;
}

void fsim_mtd_dup(int from, int to)
{
    fsim_mtd_forget(to);
    if (to >= 0 && to < fsim_mtd_max_fds && fsim_mtd_is(from))
        fsim_mtd_fds[to] = fsim_mtd_fds[from];
}

ssize_t fsim_mtd_write(int fd, const iovec* iov, int iovcnt, int64_t pos)
{
    const fsim_mtd_fd e = fsim_mtd_fds[fd];
    if (e.accmode == O_RDONLY) {
        errno = EBADF;
        return -1;
    }
    int64_t total = fsim_iov_total(iov, iovcnt);
    if (total < 0)
        return -1;
    bool at_file_pos = pos < 0;
    if (at_file_pos && (pos = lseek(fd, 0, SEEK_CUR)) < 0)
        return -1;
    uint64_t off = static_cast<uint64_t>(pos);

    fsim_stall_point(FSIM_OP_WRITE, e.dev, off, static_cast<uint64_t>(total));
    fsim_geometry g{};
    uint64_t stored = 0;
    int err = fsim_fail_point(FSIM_OP_WRITE, e.dev, off, static_cast<uint64_t>(total))
                  ? EIO
                  : fsim_mtd_geometry(fd, e.dev, &g);
    if (err == 0 && off >= g.size)
        err = ENOSPC;   // as the kernel: past the end nothing fits, short of it the part that fits
    else if (err == 0 && g.locked)
        err = EROFS;
    if (err == 0) {
        uint64_t n = static_cast<uint64_t>(total) < g.size - off ? static_cast<uint64_t>(total) : g.size - off;
        uint64_t fault, weak;
        err = fsim_mtd_program(fd, iov, off, fsim_cut_allow(n), fsim_weak_point(e.dev), &stored, &fault, &weak);
        if (err == 0 || stored > 0) {
            fsim_log_op("write", e.dev, off, stored, nullptr);
            fsim_time_program(off, stored);
        }
        if (fault != UINT64_MAX)
            fsim_log_op("fault-unerased", e.dev, fault, stored, nullptr);
        if (weak != UINT64_MAX)
            fsim_log_op("fault-weak", e.dev, weak, 1, nullptr);
        if (at_file_pos)
            lseek(fd, static_cast<off_t>(off + stored), SEEK_SET);
    }
    fsim_cut_point(FSIM_OP_WRITE, e.dev, off, stored);
    if (stored > 0 || err == 0)
        return static_cast<ssize_t>(stored);
    errno = err;
    return -1;
}

ssize_t fsim_mtd_read(int fd, const iovec* iov, int iovcnt, int64_t pos)
{
    const fsim_mtd_fd e = fsim_mtd_fds[fd];
    if (e.accmode == O_WRONLY) {
        errno = EBADF;
        return -1;
    }
    int64_t total = fsim_iov_total(iov, iovcnt);
    if (total < 0)
        return -1;
    bool at_file_pos = pos < 0;
    off_t off = at_file_pos ? lseek(fd, 0, SEEK_CUR) : pos;
    if (off < 0)
        return -1;

    fsim_stall_point(FSIM_OP_READ, e.dev, static_cast<uint64_t>(off), static_cast<uint64_t>(total));
    if (fsim_fail_point(FSIM_OP_READ, e.dev, static_cast<uint64_t>(off), static_cast<uint64_t>(total))) {
        errno = EIO;
        return -1;
    }
    ssize_t r = at_file_pos ? static_cast<ssize_t>(syscall(SYS_readv, fd, iov, iovcnt)) : preadv(fd, iov, iovcnt, off);
    if (r >= 0) {
        fsim_log_op("read", e.dev, static_cast<uint64_t>(off), static_cast<uint64_t>(r), nullptr);
        fsim_time_read(static_cast<uint64_t>(r));
    }
    return r;
}

int fsim_mtd_ioctl(int fd, unsigned long request, void* arg)
{
    const fsim_mtd_fd e = fsim_mtd_fds[fd];
    // The kernel lets only these through on a descriptor that is not open for writing.
    bool harmless = request == MEMGETINFO || request == MEMGETREGIONCOUNT || request == MEMGETREGIONINFO ||
                    request == MEMISLOCKED || request == MEMGETBADBLOCK;
    bool known = harmless || request == MEMERASE || request == MEMERASE64 || request == MEMLOCK ||
                 request == MEMUNLOCK;
    if (!harmless && e.accmode == O_RDONLY) {
        errno = EPERM;
        return -1;
    }
    if (!known || arg == nullptr) {
        errno = known ? EFAULT : ENOTTY;
        return -1;
    }

    fsim_geometry g{};
    erase_info_user range{};
    int err = 0;
    int result = 0;
    // A driver without lock support (most SPI-NOR ones) answers every lock request so.
    char nolock[fsim_path_max];
    if ((request == MEMISLOCKED || request == MEMLOCK || request == MEMUNLOCK) &&
        fsim_dev_path(e.dev, ".nolock", nolock) && fsim_sys_exists(nolock)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    switch (request) {
    case MEMGETINFO: {
        if ((err = fsim_mtd_geometry(fd, e.dev, &g)) != 0)
            break;
        mtd_info_user info{};
        info.type = MTD_NORFLASH;
        info.flags = MTD_CAP_NORFLASH;
        info.size = g.size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(g.size);
        info.erasesize = e.erasesize;
        info.writesize = 1;
        info.oobsize = 0;
        std::memcpy(arg, &info, sizeof info);
        break;
    }
    case MEMERASE: {
        erase_info_user r;
        std::memcpy(&r, arg, sizeof r);
        return fsim_mtd_erase(fd, e, r.start, r.length);
    }
    case MEMERASE64: {
        erase_info_user64 r;
        std::memcpy(&r, arg, sizeof r);
        return fsim_mtd_erase(fd, e, r.start, r.length);
    }
    case MEMISLOCKED:
        if ((err = fsim_mtd_range(fd, e.dev, arg, &range, &g)) == 0)
            result = range.length != 0 && g.locked ? 1 : 0;
        break;
    case MEMLOCK:
    case MEMUNLOCK: {
        // The lock covers the whole device whatever range is asked for.
        char lock[fsim_path_max];
        if ((err = fsim_mtd_range(fd, e.dev, arg, &range, &g)) != 0 || range.length == 0)
            break;
        if (!fsim_dev_path(e.dev, ".locked", lock))
            err = ENAMETOOLONG;
        else if (request == MEMLOCK) {
            int lfd = fsim_sys_open(lock, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (lfd < 0)
                err = errno;
            else
                fsim_sys_close(lfd);
        } else if (syscall(SYS_unlinkat, AT_FDCWD, lock, 0) != 0 && errno != ENOENT) {
            err = errno;
        }
        break;
    }
    case MEMGETREGIONCOUNT: {
        int none = 0;   // one uniform erase region
        std::memcpy(arg, &none, sizeof none);
        break;
    }
    case MEMGETBADBLOCK: {
        int64_t at;
        std::memcpy(&at, arg, sizeof at);
        if ((err = fsim_mtd_geometry(fd, e.dev, &g)) == 0 && (at < 0 || static_cast<uint64_t>(at) >= g.size))
            err = EINVAL;
        break;   // NOR has no bad blocks
    }
    default:   // MEMGETREGIONINFO: there is no region to describe
        err = EINVAL;
        break;
    }
    if (err != 0) {
        errno = err;
        return -1;
    }
    return result;
}

std::FILE* fsim_mtd_fdopen(int fd, const char* mode)
{
    // Only the direction matters to a cookie stream; "a" must not seek to the end.
    char cookie_mode[3] = {mode[0] == 'r' ? 'r' : 'w', '\0', '\0'};
    if (std::strchr(mode, '+') != nullptr)
        cookie_mode[1] = '+';
    cookie_io_functions_t io{fsim_cookie_read, fsim_cookie_write, fsim_cookie_seek, fsim_cookie_close};
    std::FILE* f = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), cookie_mode, io);
    // fileno() then names the device descriptor, for fstat, ioctl and lseek on it. The C
    // library's own I/O on a cookie stream goes through the functions above only.
    if (f != nullptr)
        f->_fileno = fd;
    return f;
}

int fsim_mtd_mode_flags(const char* mode)
{
    if (mode == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int flags;
    switch (mode[0]) {
    case 'r': flags = O_RDONLY; break;
    case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return -1;
    }
    for (const char* m = mode + 1; *m != '\0' && *m != ','; ++m) {
        if (*m == '+')
            flags = (flags & ~O_ACCMODE) | O_RDWR;
        else if (*m == 'e')
            flags |= O_CLOEXEC;
        else if (*m == 'x')
            flags |= O_EXCL;
    }
    return flags;
}
