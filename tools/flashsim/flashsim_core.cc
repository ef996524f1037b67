#include "tools/flashsim/flashsim_core.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// One FLASHSIM_FAIL or FLASHSIM_STALL rule: the n-th operation `op` on `dev` hits.
struct fsim_rule {
    int op;
    int dev;        // fsim_any_dev for "*"
    uint64_t n;     // 1-based
    uint64_t seen;  // matching operations so far in this process
};

constexpr int fsim_max_rules = 16;
// The root must leave room for the mapped part of a path.
constexpr size_t fsim_root_max = 2048;

struct fsim_config {
    bool inited;
    size_t root_len;   // 0: inactive
    char root[fsim_root_max];
    uint32_t erasesize;
    fsim_rule fail[fsim_max_rules];
    int nfail;
    fsim_rule stall[fsim_max_rules];
    int nstall;
    fsim_rule weak[fsim_max_rules];
    int nweak;
    uint64_t cut_ops;     // 0: no cut
    uint64_t cut_bytes;   // 0: no cut
    // Counters of the process in `pid`; a forked child starts them again.
    pid_t pid;
    uint64_t ops;
    uint64_t bytes;
    fsim_timing timing;
    bool time_log;
    // The modelled flash work of the process in `time_pid`.
    pid_t time_pid;
    bool time_reported;
    uint64_t erased_blocks, programmed_bytes, programmed_pages, read_bytes;
};

// Typical figures of a 3 V parallel NOR flash of 128 Mbit to 1 Gbit (uniform 64 to 128 KiB
// sectors, 16-bit bus, 512-byte write buffer) as its datasheet gives them: a sector erases in
// about 0.5 s whatever its size, a full write buffer programs in 340 us (1.5 MB/s), and an
// asynchronous word read takes about 80 ns (25 MB/s through the kernel's mapping).
constexpr fsim_timing fsim_default_timing = {500000, 512, 340, 40000};

// Plain data, zero before any constructor runs.
fsim_config fsim_cfg;

constexpr const char* fsim_op_names[] = {"erase", "write", "read", "flock", "preflock"};

void fsim_warn(const char* a, const char* b, const char* c)
{
    fsim_line l{};
    fsim_line_str(&l, "flashsim: ");
    fsim_line_str(&l, a);
    fsim_line_str(&l, b);
    fsim_line_str(&l, c);
    fsim_line_str(&l, "\n");
    fsim_sys_write(2, l.buf, l.len);
}

}  // namespace

bool fsim_parse_number(std::string_view s, uint64_t* out)
{
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty())
        return false;
    uint64_t v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (v > (UINT64_MAX - d) / base)
            return false;
        v = v * base + d;
    }
    *out = v;
    return true;
}

namespace {

// "mtd<N>" with N = 0 or digits without a leading zero; -1 otherwise.
int fsim_parse_mtd_number(std::string_view digits)
{
    if (digits.empty() || digits.size() > 9 || (digits[0] == '0' && digits.size() > 1))
        return -1;
    int n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// Parses "<op>:<dev>:<n>[,...]" of the variable `name`; bad rules are reported and skipped.
// `only_op` >= 0 admits that operation alone.
int fsim_parse_rules(const char* name, bool allow_flock, fsim_rule* rules, int only_op = -1)
{
    const char* text = std::getenv(name);
    if (text == nullptr)
        return 0;
    int count = 0;
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (item.empty())
            continue;

        fsim_rule r{};
        size_t c1 = item.find(':');
        size_t c2 = c1 == std::string_view::npos ? c1 : item.find(':', c1 + 1);
        bool ok = c2 != std::string_view::npos && count < fsim_max_rules;
        if (ok) {
            std::string_view op = item.substr(0, c1);
            std::string_view dev = item.substr(c1 + 1, c2 - c1 - 1);
            r.op = -1;
            for (int i = 0; i < static_cast<int>(std::size(fsim_op_names)); ++i)
                if (op == fsim_op_names[i])
                    r.op = i;
            bool any = dev == "*";
            r.dev = any ? fsim_any_dev : dev.starts_with("mtd") ? fsim_parse_mtd_number(dev.substr(3)) : -1;
            ok = r.op >= 0 && (only_op < 0 || r.op == only_op) && (any || r.dev >= 0) &&
                 (r.op < FSIM_OP_FLOCK || (allow_flock && any)) &&
                 fsim_parse_number(item.substr(c2 + 1), &r.n) && r.n >= 1;
        }
        if (!ok) {
            char shown[128];
            size_t n = item.size() < sizeof shown - 1 ? item.size() : sizeof shown - 1;
            std::memcpy(shown, item.data(), n);
            shown[n] = '\0';
            fsim_warn(name, ": ignoring rule ", shown);
            continue;
        }
        rules[count++] = r;
    }
    return count;
}

uint64_t fsim_parse_env_u64(const char* name)
{
    const char* text = std::getenv(name);
    uint64_t v = 0;
    if (text != nullptr && !fsim_parse_number(text, &v)) {
        fsim_warn(name, ": not a number: ", text);
        v = 0;
    }
    return v;
}

// Starts the counters again in a forked child (counters are per process).
void fsim_proc_sync()
{
    pid_t pid = getpid();
    if (pid == fsim_cfg.pid)
        return;
    fsim_cfg.pid = pid;
    fsim_cfg.ops = 0;
    fsim_cfg.bytes = 0;
    for (int i = 0; i < fsim_cfg.nfail; ++i)
        fsim_cfg.fail[i].seen = 0;
    for (int i = 0; i < fsim_cfg.nstall; ++i)
        fsim_cfg.stall[i].seen = 0;
    for (int i = 0; i < fsim_cfg.nweak; ++i)
        fsim_cfg.weak[i].seen = 0;
}

// Counts the operation in every matching rule; true when one of them reaches its n.
bool fsim_rules_hit(fsim_rule* rules, int count, int op, int dev)
{
    fsim_proc_sync();
    bool hit = false;
    for (int i = 0; i < count; ++i) {
        fsim_rule* r = &rules[i];
        if (r->op != op || (r->dev != fsim_any_dev && r->dev != dev))
            continue;
        if (++r->seen == r->n)
            hit = true;
    }
    return hit;
}

// FLASHSIM_TIMING: "erase=US,page=BYTES,program=US,read=PS", any of them, in any order; the
// rest keep their defaults. A bad item is reported and skipped.
void fsim_parse_timing()
{
    fsim_cfg.timing = fsim_default_timing;
    const char* text = std::getenv("FLASHSIM_TIMING");
    std::string_view rest(text != nullptr ? text : "");
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const size_t eq = item.find('=');
        const std::string_view key = item.substr(0, eq);
        uint64_t v = 0;
        uint64_t* field = key == "erase" ? &fsim_cfg.timing.erase_us
                          : key == "page" ? &fsim_cfg.timing.page_bytes
                          : key == "program" ? &fsim_cfg.timing.page_us
                          : key == "read" ? &fsim_cfg.timing.read_ps
                                          : nullptr;
        if (field == nullptr || eq == std::string_view::npos || !fsim_parse_number(item.substr(eq + 1), &v) ||
            (field == &fsim_cfg.timing.page_bytes && v == 0)) {
            char shown[64];
            const size_t n = item.size() < sizeof shown - 1 ? item.size() : sizeof shown - 1;
            std::memcpy(shown, item.data(), n);
            shown[n] = '\0';
            fsim_warn("FLASHSIM_TIMING", ": ignoring ", shown);
            continue;
        }
        *field = v;
    }
}

// Starts the modelled time again in a forked child.
void fsim_time_sync()
{
    const pid_t pid = getpid();
    if (pid == fsim_cfg.time_pid)
        return;
    fsim_cfg.time_pid = pid;
    fsim_cfg.time_reported = false;
    fsim_cfg.erased_blocks = fsim_cfg.programmed_bytes = fsim_cfg.programmed_pages = fsim_cfg.read_bytes = 0;
}

__attribute__((destructor)) void fsim_time_at_exit()
{
    fsim_time_report();
}

void fsim_sleep_ms(long ms)
{
    timespec ts{0, ms * 1000000L};
    nanosleep(&ts, nullptr);   // an interrupted sleep only shortens this step
}

}  // namespace

void fsim_init()
{
    if (fsim_cfg.inited)
        return;
    fsim_cfg.inited = true;
    fsim_cfg.erasesize = fsim_default_erasesize;

    const char* root = std::getenv("FLASHSIM_ROOT");
    if (root == nullptr)
        return;
    size_t len = std::strlen(root);
    while (len > 0 && root[len - 1] == '/')
        --len;
    if (root[0] != '/' || len == 0 || len >= fsim_root_max) {
        fsim_warn("FLASHSIM_ROOT must be an absolute directory other than /: ", root, " (inactive)");
        return;
    }
    std::memcpy(fsim_cfg.root, root, len);
    fsim_cfg.root[len] = '\0';
    fsim_cfg.root_len = len;

    uint64_t es = fsim_default_erasesize;
    if (std::getenv("FLASHSIM_ERASESIZE") != nullptr) {
        es = fsim_parse_env_u64("FLASHSIM_ERASESIZE");
        if (es > UINT32_MAX) {
            fsim_warn("FLASHSIM_ERASESIZE", ": too large: ", std::getenv("FLASHSIM_ERASESIZE"));
            es = fsim_default_erasesize;
        }
    }
    fsim_cfg.erasesize = static_cast<uint32_t>(es);
    fsim_cfg.nfail = fsim_parse_rules("FLASHSIM_FAIL", false, fsim_cfg.fail);
    fsim_cfg.nstall = fsim_parse_rules("FLASHSIM_STALL", true, fsim_cfg.stall);
    fsim_cfg.nweak = fsim_parse_rules("FLASHSIM_WEAK", false, fsim_cfg.weak, FSIM_OP_WRITE);
    fsim_parse_timing();
    const char* time_log = std::getenv("FLASHSIM_TIME_LOG");
    fsim_cfg.time_log = time_log != nullptr && std::string_view(time_log) == "1";
    fsim_cfg.cut_ops = fsim_parse_env_u64("FLASHSIM_CUT_OPS");
    fsim_cfg.cut_bytes = fsim_parse_env_u64("FLASHSIM_CUT_BYTES");
    fsim_cfg.pid = getpid();

    // /tmp always exists on the device; the program's /tmp/kru.* files need their directory.
    char tmp[fsim_path_max];
    if (fsim_sandbox_path("tmp", tmp))
        syscall(SYS_mkdirat, AT_FDCWD, tmp, 0755);
}

bool fsim_active()
{
    if (!fsim_cfg.inited)
        fsim_init();
    return fsim_cfg.root_len != 0;
}

const char* fsim_root()
{
    fsim_init();
    return fsim_cfg.root;
}

uint32_t fsim_env_erasesize()
{
    fsim_init();
    return fsim_cfg.erasesize;
}

int fsim_path_map(const char* path, char* out, int* dev)
{
    if (path == nullptr || path[0] != '/' || !fsim_active())
        return FSIM_PATH_AS_IS;
    std::string_view p(path);
    int kind = FSIM_PATH_MAPPED;
    if (p.starts_with("/dev/mtd")) {
        int n = fsim_parse_mtd_number(p.substr(8));
        if (n < 0)
            return FSIM_PATH_AS_IS;
        *dev = n;
        kind = FSIM_PATH_DEVICE;
    } else if (p != "/proc/cmdline" && !p.starts_with("/mnt/") && !p.starts_with("/tmp/kru.")) {
        return FSIM_PATH_AS_IS;
    }
    if (fsim_cfg.root_len + p.size() >= fsim_path_max) {
        errno = ENAMETOOLONG;
        return FSIM_PATH_TOO_LONG;
    }
    std::memcpy(out, fsim_cfg.root, fsim_cfg.root_len);
    std::memcpy(out + fsim_cfg.root_len, path, p.size() + 1);
    return kind;
}

bool fsim_sandbox_path(const char* rel, char* out)
{
    size_t n = std::strlen(rel);
    if (fsim_cfg.root_len + 1 + n >= fsim_path_max)
        return false;
    std::memcpy(out, fsim_cfg.root, fsim_cfg.root_len);
    out[fsim_cfg.root_len] = '/';
    std::memcpy(out + fsim_cfg.root_len + 1, rel, n + 1);
    return true;
}

bool fsim_dev_path(int dev, const char* suffix, char* out)
{
    fsim_line l{};
    fsim_line_str(&l, "dev/mtd");
    fsim_line_dec(&l, static_cast<uint64_t>(dev));
    fsim_line_str(&l, suffix);
    if (l.len >= sizeof l.buf - 1)
        return false;
    l.buf[l.len] = '\0';
    return fsim_sandbox_path(l.buf, out);
}

void fsim_line_mem(fsim_line* l, const char* s, size_t n)
{
    size_t room = sizeof l->buf - 1 - l->len;   // one byte stays free for the newline
    if (n > room)
        n = room;
    std::memcpy(l->buf + l->len, s, n);
    l->len += n;
}

void fsim_line_str(fsim_line* l, const char* s)
{
    fsim_line_mem(l, s, std::strlen(s));
}

void fsim_line_dec(fsim_line* l, uint64_t v)
{
    char digits[24];
    size_t i = sizeof digits;
    do {
        digits[--i] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    fsim_line_mem(l, digits + i, sizeof digits - i);
}

void fsim_line_hex(fsim_line* l, uint64_t v)
{
    char digits[24];
    size_t i = sizeof digits;
    do {
        digits[--i] = "0123456789abcdef"[v & 0xF];
        v >>= 4;
    } while (v != 0);
    digits[--i] = 'x';
    digits[--i] = '0';
    fsim_line_mem(l, digits + i, sizeof digits - i);
}

void fsim_line_append(const char* name, fsim_line* l)
{
    int saved = errno;
    char path[fsim_path_max];
    if (fsim_sandbox_path(name, path)) {
        l->buf[l->len++] = '\n';   // fsim_line_mem kept this byte free
        int fd = fsim_sys_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            fsim_sys_write(fd, l->buf, l->len);
            fsim_sys_close(fd);
        }
        --l->len;
    }
    errno = saved;
}

void fsim_log_op(const char* op, int dev, uint64_t off, uint64_t len, const char* what)
{
    fsim_line l{};
    fsim_line_dec(&l, static_cast<uint64_t>(getpid()));
    fsim_line_str(&l, " ");
    fsim_line_str(&l, op);
    if (dev >= 0) {
        fsim_line_str(&l, " mtd");
        fsim_line_dec(&l, static_cast<uint64_t>(dev));
    } else {
        fsim_line_str(&l, " -");
    }
    fsim_line_str(&l, " ");
    fsim_line_hex(&l, off);
    fsim_line_str(&l, " ");
    fsim_line_hex(&l, len);
    if (what != nullptr) {
        fsim_line_str(&l, " ");
        fsim_line_str(&l, what);
    }
    fsim_line_append("flashsim.log", &l);
}

void fsim_stall_point(int op, int dev, uint64_t off, uint64_t len)
{
    if (fsim_cfg.nstall == 0 || !fsim_rules_hit(fsim_cfg.stall, fsim_cfg.nstall, op, dev))
        return;
    fsim_stall_wait(dev, off, len, fsim_op_names[op]);
}

void fsim_stall_wait(int dev, uint64_t off, uint64_t len, const char* what)
{
    int saved = errno;
    fsim_log_op("stall", dev, off, len, what);

    // The file appears complete: written under a name the test does not look for, then renamed.
    fsim_line name{}, pid{};
    fsim_line_dec(&pid, static_cast<uint64_t>(getpid()));
    fsim_line_str(&name, "stall.");
    fsim_line_mem(&name, pid.buf, pid.len);
    name.buf[name.len] = '\0';
    fsim_line tmpname{};
    fsim_line_str(&tmpname, ".");
    fsim_line_str(&tmpname, name.buf);
    fsim_line_str(&tmpname, ".tmp");
    tmpname.buf[tmpname.len] = '\0';
    char final_path[fsim_path_max], tmp_path[fsim_path_max];
    if (!fsim_sandbox_path(name.buf, final_path) || !fsim_sandbox_path(tmpname.buf, tmp_path)) {
        errno = saved;
        return;
    }
    int fd = fsim_sys_open(tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        pid.buf[pid.len++] = '\n';
        fsim_sys_write(fd, pid.buf, pid.len);
        fsim_sys_close(fd);
        syscall(SYS_renameat, AT_FDCWD, tmp_path, AT_FDCWD, final_path);
    }
    // Signals that arrive meanwhile run the program's handlers; the wait goes on.
    while (fsim_sys_exists(final_path))
        fsim_sleep_ms(5);
    errno = saved;
}

bool fsim_fail_point(int op, int dev, uint64_t off, uint64_t len)
{
    if (fsim_cfg.nfail == 0 || !fsim_rules_hit(fsim_cfg.fail, fsim_cfg.nfail, op, dev))
        return false;
    fsim_log_op("fail", dev, off, len, fsim_op_names[op]);
    return true;
}

bool fsim_weak_point(int dev)
{
    return fsim_cfg.nweak != 0 && fsim_rules_hit(fsim_cfg.weak, fsim_cfg.nweak, FSIM_OP_WRITE, dev);
}

uint64_t fsim_cut_allow(uint64_t len)
{
    if (fsim_cfg.cut_bytes == 0)
        return len;
    fsim_proc_sync();
    uint64_t left = fsim_cfg.cut_bytes > fsim_cfg.bytes ? fsim_cfg.cut_bytes - fsim_cfg.bytes : 0;
    return len < left ? len : left;
}

const fsim_timing& fsim_timing_table()
{
    fsim_init();
    return fsim_cfg.timing;
}

void fsim_time_erase(uint64_t blocks)
{
    fsim_time_sync();
    fsim_cfg.erased_blocks += blocks;
}

void fsim_time_program(uint64_t off, uint64_t len)
{
    fsim_time_sync();
    if (len == 0)
        return;
    const uint64_t page = fsim_cfg.timing.page_bytes;
    fsim_cfg.programmed_bytes += len;
    fsim_cfg.programmed_pages += (off + len - 1) / page - off / page + 1;
}

void fsim_time_read(uint64_t len)
{
    fsim_time_sync();
    fsim_cfg.read_bytes += len;
}

void fsim_time_report()
{
    if (!fsim_cfg.time_log || fsim_cfg.root_len == 0)
        return;
    fsim_time_sync();
    if (fsim_cfg.time_reported ||
        fsim_cfg.erased_blocks + fsim_cfg.programmed_bytes + fsim_cfg.read_bytes == 0)
        return;
    fsim_cfg.time_reported = true;
    const fsim_timing& t = fsim_cfg.timing;
    const uint64_t us = fsim_cfg.erased_blocks * t.erase_us + fsim_cfg.programmed_pages * t.page_us +
                        fsim_cfg.read_bytes * t.read_ps / 1000000;
    // "<pid> time - 0x0 <us> modelled flash time <s.uuuuuu> s: ..." (the length field holds
    // the microseconds, so that tools reading the fixed fields see a well-formed line)
    fsim_line l{};
    fsim_line_dec(&l, static_cast<uint64_t>(getpid()));
    fsim_line_str(&l, " time - 0x0 ");
    fsim_line_hex(&l, us);
    fsim_line_str(&l, " modelled flash time ");
    fsim_line_dec(&l, us / 1000000);
    fsim_line_str(&l, ".");
    char frac[7];
    for (int i = 5, v = static_cast<int>(us % 1000000); i >= 0; --i, v /= 10)
        frac[i] = static_cast<char>('0' + v % 10);
    fsim_line_mem(&l, frac, 6);
    fsim_line_str(&l, " s: erased ");
    fsim_line_dec(&l, fsim_cfg.erased_blocks);
    fsim_line_str(&l, " blocks, programmed ");
    fsim_line_dec(&l, fsim_cfg.programmed_bytes);
    fsim_line_str(&l, " bytes in ");
    fsim_line_dec(&l, fsim_cfg.programmed_pages);
    fsim_line_str(&l, " pages, read ");
    fsim_line_dec(&l, fsim_cfg.read_bytes);
    fsim_line_str(&l, " bytes");
    fsim_line_append("flashsim.log", &l);
}

void fsim_cut_point(int op, int dev, uint64_t off, uint64_t stored)
{
    if (fsim_cfg.cut_ops == 0 && fsim_cfg.cut_bytes == 0)
        return;
    fsim_proc_sync();
    ++fsim_cfg.ops;
    fsim_cfg.bytes += stored;
    bool cut = (fsim_cfg.cut_ops != 0 && fsim_cfg.ops >= fsim_cfg.cut_ops) || (fsim_cfg.cut_bytes != 0 && fsim_cfg.bytes >= fsim_cfg.cut_bytes);
    if (!cut)
        return;
    fsim_log_op("cut", dev, off, stored, fsim_op_names[op]);
    fsim_time_report();
    // Power loss ends everything at once: no handler, no atexit, no stdio flush.
    syscall(SYS_kill, getpid(), SIGKILL);
    for (;;)
        syscall(SYS_exit_group, 137);
}

int fsim_sys_open(const char* path, int flags, mode_t mode)
{
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

int fsim_sys_close(int fd)
{
    return static_cast<int>(syscall(SYS_close, fd));
}

ssize_t fsim_sys_write(int fd, const void* buf, size_t n)
{
    return static_cast<ssize_t>(syscall(SYS_write, fd, buf, n));
}

bool fsim_sys_exists(const char* path)
{
    int saved = errno;
    bool exists = syscall(SYS_faccessat, AT_FDCWD, path, F_OK) == 0 || (errno != ENOENT && errno != ENOTDIR);
    errno = saved;
    return exists;
}
