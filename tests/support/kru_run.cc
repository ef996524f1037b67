#include "tests/support/kru_run.h"
#include "tests/support/target_exec.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace {
// Files a test writes get the modes a root shell on the device gives them, whatever the umask
// of whoever runs the tests: the tool refuses some files that others may write.
[[maybe_unused]] const mode_t caller_umask = umask(022);
}  // namespace

std::string kru_bin() { return KRU_TEST_KRU_BIN; }
std::string flashsim_lib() { return KRU_TEST_FLASHSIM_LIB; }
std::string test_data(std::string_view name) { return std::string(KRU_TEST_DATA_DIR) + "/" + std::string(name); }

sandbox::sandbox(const std::string& base)
{
    std::string tmpl = base + "/kru-test.XXXXXX";
    char* dir = mkdtemp(tmpl.data());
    if (dir == nullptr)
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    root = dir ? dir : "/nonexistent";
    for (const char* d : {"dev", "proc", "mnt", "tmp"})
        std::filesystem::create_directories(root + "/" + d);
}

sandbox::~sandbox()
{
    std::error_code ec;
    if (std::getenv("KRU_TEST_KEEP") == nullptr)
        std::filesystem::remove_all(root, ec);
}

void sandbox::make_mtd(int n, uint32_t size, uint32_t erasesize) const
{
    std::string dev = path("dev/mtd" + std::to_string(n));
    write_file(dev, std::string(size, '\xff'));
    write_file(dev + ".erasesize", std::to_string(erasesize) + "\n");
}

std::string sandbox::syslog() const { return read_file(path("syslog")); }
std::string sandbox::flash_log() const { return read_file(path("flashsim.log")); }

namespace {

// run_start, with the caller's descriptor `fd` (when >= 0) as the program's descriptor
// `target` (1 or 2) instead of its file.
started start_with(const sandbox& sb, const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, int fd, int target)
{
    static int serial = 0;
    started s;
    std::string tag = std::to_string(getpid()) + "." + std::to_string(++serial);
    s.out_path = sb.path(".out." + tag);
    s.err_path = sb.path(".err." + tag);

    // The caller's terminal type, window size and locale are not passed on: what a test's
    // program sees of them, the test sets in `env`, which also wins over anything inherited.
    static constexpr std::string_view dropped[] = {"LD_PRELOAD=", "FLASHSIM_", "KRU_", "ASAN_OPTIONS=", "TERM=",
                                                   "COLUMNS=", "LINES=", "LANG=", "LANGUAGE=", "LC_"};
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view v(*e);
        const std::string_view name = v.substr(0, v.find('=') == v.npos ? v.size() : v.find('=') + 1);
        if (std::any_of(std::begin(dropped), std::end(dropped), [&](std::string_view d) { return v.starts_with(d); }) ||
            std::any_of(env.begin(), env.end(), [&](const std::string& x) { return x.starts_with(name); }))
            continue;
        envs.emplace_back(v);
    }
    envs.push_back("LD_PRELOAD=" + flashsim_lib());
    envs.push_back("FLASHSIM_ROOT=" + sb.root);
    // The emulator is preloaded ahead of the sanitizer runtime in sanitizer builds.
    envs.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
    for (const std::string& e : env)
        envs.push_back(e);

    std::string path = program;
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    target_exec_wrap(&path, &words, &envs);
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    s.pid = fork();
    if (s.pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = fd >= 0 && target == 1 ? fd : open(s.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = fd >= 0 && target == 2 ? fd : open(s.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (fd > 2)
            close(fd);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return s;
}

}  // namespace

started run_start(const sandbox& sb, const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env)
{
    return start_with(sb, program, args, env, -1, 0);
}

run_result run_with_fd(const sandbox& sb, const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env, int fd, int target)
{
    return run_wait(start_with(sb, program, args, env, fd, target));
}

run_result run_on_terminal(const sandbox& sb, const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, int target)
{
    run_result r;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "pseudo-terminal: " << std::strerror(errno);
        return r;
    }
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) {
        ADD_FAILURE() << "pseudo-terminal: " << std::strerror(errno);
        close(master);
        return r;
    }
    cfmakeraw(&raw);   // the bytes as written: no "\r" added before each "\n"
    tcsetattr(slave, TCSANOW, &raw);
    const started s = start_with(sb, program, args, env, slave, target);
    close(slave);
    // Read until the last holder of the terminal has gone (EIO), so that the program never
    // blocks on a full terminal buffer.
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    close(master);
    r = run_wait(s);
    std::string& shown = target == 1 ? r.out : r.err;
    shown = text;
    target_exec_drop_report(&shown);
    return r;
}

std::string without_progress(const std::string& terminal, bool* clean)
{
    static constexpr std::string_view save = "\0337", back = "\0338\033[K", nowrap = "\033[?7l", wrap = "\033[?7h";
    std::string text;
    bool shown = false;
    *clean = true;
    for (size_t i = 0; i < terminal.size();) {
        const std::string_view rest = std::string_view(terminal).substr(i);
        if (rest.starts_with(save)) {
            shown = true;
            i += save.size();
        } else if (rest.starts_with(back)) {
            shown = false;
            i += back.size();
        } else if (rest.starts_with(nowrap)) {
            const size_t end = rest.find(wrap);
            if (end == std::string_view::npos) {
                *clean = false;
                return text;
            }
            shown = true;
            i += end + wrap.size();
        } else {
            if (shown)
                *clean = false;
            text += terminal[i++];
        }
    }
    if (shown)
        *clean = false;
    return text;
}

run_result run_wait(const started& s)
{
    run_result r;
    int status = 0;
    while (waitpid(s.pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_file(s.out_path);
    r.err = read_file(s.err_path);
    target_exec_drop_report(&r.err);
    unlink(s.out_path.c_str());
    unlink(s.err_path.c_str());
    return r;
}

run_result run(const sandbox& sb, const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env)
{
    return run_wait(run_start(sb, program, args, env));
}

run_result run_kru(const sandbox& sb, const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    return run(sb, kru_bin(), args, env);
}

pid_t wait_for_stall(const sandbox& sb, int timeout_ms, pid_t known)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (DIR* d = opendir(sb.root.c_str())) {
            pid_t found = -1;
            while (dirent* e = readdir(d)) {
                if (std::strncmp(e->d_name, "stall.", 6) == 0 && std::atoi(e->d_name + 6) != known) {
                    found = static_cast<pid_t>(std::atoi(e->d_name + 6));
                    break;
                }
            }
            closedir(d);
            if (found > 0)
                return found;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

void release_stall(const sandbox& sb, pid_t pid)
{
    unlink(sb.path("stall." + std::to_string(pid)).c_str());
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, std::string_view data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
