// tests/support/kru_run.h: runs programs (the kru binary above all) as processes inside a
// fresh sandbox of the device emulator, and reads what they left behind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// Paths of the built programs, set by the build.
std::string kru_bin();        // the kru binary
std::string flashsim_lib();   // the emulator library for LD_PRELOAD
std::string test_data(std::string_view name);   // a file under tests/data

// A sandbox directory with dev/, proc/, mnt/ and tmp/ under `base`, removed when the object
// goes away.
struct sandbox {
    std::string root;
    explicit sandbox(const std::string& base = "/tmp");
    ~sandbox();
    sandbox(const sandbox&) = delete;
    sandbox& operator=(const sandbox&) = delete;

    std::string path(std::string_view rel) const { return root + "/" + std::string(rel); }
    // Creates /dev/mtdN of `size` bytes, all 0xFF, with the given erase-block size.
    void make_mtd(int n, uint32_t size, uint32_t erasesize = 65536) const;
    // The captured system log, "<priority> <ident>: <message>" a line; empty when none.
    std::string syslog() const;
    // The emulator's flash operation log.
    std::string flash_log() const;
};

struct run_result {
    int status = -1;      // exit status, or 128 + signal when the process was killed
    std::string out;      // standard output
    std::string err;      // standard error
};

// Starts `program args...` under the emulator with standard output and error going to files
// of the sandbox (so standard output is never a terminal). `env` holds extra NAME=VALUE words.
struct started {
    pid_t pid = -1;
    std::string out_path, err_path;
};
started run_start(const sandbox& sb, const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env = {});
run_result run_wait(const started& s);

// run_start and run_wait in one.
run_result run(const sandbox& sb, const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {});
// run, with the caller's descriptor `fd` as the program's descriptor `target` (1 or 2).
run_result run_with_fd(const sandbox& sb, const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env, int fd, int target);
// run, with standard error (`target` 2; standard output for 1) on a pseudo-terminal in raw
// mode, the other stream still a file: `err` (`out`) holds every byte written to the terminal.
run_result run_on_terminal(const sandbox& sb, const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {}, int target = 2);
// The text of a terminal's bytes with the progress line's drawing taken out; `clean` is set
// false when some other text was written while the line was on the screen, or when the line
// was left there at the end.
std::string without_progress(const std::string& terminal, bool* clean);
// The kru binary with `args`.
run_result run_kru(const sandbox& sb, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {});

// Waits (bounded) until the emulator reports a process other than `known` stalled in the
// sandbox; its pid, or -1.
pid_t wait_for_stall(const sandbox& sb, int timeout_ms = 10000, pid_t known = -1);
// Lets the stalled process go on.
void release_stall(const sandbox& sb, pid_t pid);

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view data);
bool file_exists(const std::string& path);
