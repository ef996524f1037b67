// tools/flashsim/flashsim_core.h: the emulator's configuration (read once from the
// environment), the mapping of device paths into the sandbox, the lines it appends to the
// sandbox's log files, and the injected failures, power cuts and stalls.
//
// Everything here is allocation-free and uses raw system calls for its own file access, so it
// neither recurses into the interposed entries nor depends on locks: it may run in a forked
// child, with signals blocked, or inside a signal handler of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

// Flash operations that rules count. Flock (after the call) and preflock (before it) only
// stall.
enum fsim_op : int {
    FSIM_OP_ERASE = 0,
    FSIM_OP_WRITE = 1,
    FSIM_OP_READ = 2,
    FSIM_OP_FLOCK = 3,
    FSIM_OP_PREFLOCK = 4,
};

inline constexpr int fsim_any_dev = -1;          // a rule's "*"
inline constexpr size_t fsim_path_max = 4096;    // sandbox twins, PATH_MAX included
inline constexpr uint32_t fsim_default_erasesize = 65536;

// Reads FLASHSIM_* once. The library constructor calls it; fsim_active() calls it too, for
// entries reached before the constructor ran.
void fsim_init();

// True when FLASHSIM_ROOT names a sandbox; otherwise every entry passes through.
bool fsim_active();

// The sandbox directory, without a trailing slash ("" when inactive).
const char* fsim_root();

// FLASHSIM_ERASESIZE, or 65536.
uint32_t fsim_env_erasesize();

// Decimal, or hexadecimal after "0x"; false when empty, malformed or beyond 64 bits.
bool fsim_parse_number(std::string_view s, uint64_t* out);

// Results of fsim_path_map().
enum : int {
    FSIM_PATH_TOO_LONG = -1,   // the twin would not fit; errno is ENAMETOOLONG
    FSIM_PATH_AS_IS = 0,       // not a mapped path: use it unchanged
    FSIM_PATH_MAPPED = 1,      // `out` holds the sandbox twin
    FSIM_PATH_DEVICE = 2,      // `out` holds the twin of /dev/mtd<*dev>
};
// Classifies an absolute path; `out` has fsim_path_max bytes. Only FSIM_PATH_DEVICE sets *dev.
int fsim_path_map(const char* path, char* out, int* dev);

// "<root>/<rel>" into out[fsim_path_max]; false when it does not fit.
bool fsim_sandbox_path(const char* rel, char* out);
// "<root>/dev/mtd<dev><suffix>" into out[fsim_path_max]; false when it does not fit.
bool fsim_dev_path(int dev, const char* suffix, char* out);

// One text line under construction; text past the capacity is dropped (the line is still
// ended by a newline).
struct fsim_line {
    char buf[2048];
    size_t len;
};
void fsim_line_str(fsim_line* l, const char* s);
void fsim_line_mem(fsim_line* l, const char* s, size_t n);
void fsim_line_dec(fsim_line* l, uint64_t v);
void fsim_line_hex(fsim_line* l, uint64_t v);   // "0x" and lower-case digits
// Appends the line and a newline to "<root>/<name>" (created 0644) with one O_APPEND
// write(2), so processes sharing the file never interleave inside a line.
void fsim_line_append(const char* name, fsim_line* l);

// Appends "<pid> <op> mtd<dev> <off> <len>[ <what>]" to flashsim.log; dev < 0 is written "-".
void fsim_log_op(const char* op, int dev, uint64_t off, uint64_t len, const char* what);

// Blocks while a FLASHSIM_STALL rule says this operation (the next of its kind on `dev`)
// waits: before an erase, write or read; after a successful flock, or before any flock call
// (preflock) (dev fsim_any_dev).
void fsim_stall_point(int op, int dev, uint64_t off, uint64_t len);
// Logs the stall line (`what` as its last word), creates "<root>/stall.<pid>" and waits until
// the test removes it.
void fsim_stall_wait(int dev, uint64_t off, uint64_t len, const char* what);

// True when a FLASHSIM_FAIL rule makes this operation fail with EIO (the fail line is logged).
bool fsim_fail_point(int op, int dev, uint64_t off, uint64_t len);

// True when a FLASHSIM_WEAK rule makes this write (the next on `dev`) leave one of the bits
// it programs at 1.
bool fsim_weak_point(int dev);

// Of a write of `len` bytes, how many may reach flash before FLASHSIM_CUT_BYTES cuts power.
uint64_t fsim_cut_allow(uint64_t len);
// Counts one finished erase request or write call that stored `stored` bytes; when a cut is
// due it logs the cut line and kills the process with SIGKILL (and never returns).
void fsim_cut_point(int op, int dev, uint64_t off, uint64_t stored);

// The board's flash time, modelled: every erase, program and read that reaches an emulated
// device adds its time by the NOR timing table (FLASHSIM_TIMING overrides the defaults).
// Nothing sleeps; the sums are only reported.
struct fsim_timing {
    uint64_t erase_us;     // one erase block
    uint64_t page_bytes;   // the write buffer: a program touching part of a page costs a page
    uint64_t page_us;      // one page programmed
    uint64_t read_ps;      // one byte read, in picoseconds
};
const fsim_timing& fsim_timing_table();
void fsim_time_erase(uint64_t blocks);
void fsim_time_program(uint64_t off, uint64_t len);
void fsim_time_read(uint64_t len);
// With FLASHSIM_TIME_LOG=1, appends this process's "time" line to flashsim.log, once, if it
// did any flash operation: at its exit, or right before a power cut kills it.
void fsim_time_report();

// Raw system calls for the emulator's own file access (errno set, -1 on failure).
int fsim_sys_open(const char* path, int flags, mode_t mode);
int fsim_sys_close(int fd);
ssize_t fsim_sys_write(int fd, const void* buf, size_t n);
bool fsim_sys_exists(const char* path);
