// flashsim_probe STEP [ARGS]... [STEP [ARGS]...]: performs file, device, system-log and
// lock operations in order, for the emulator's tests. Each step prints one line: its name
// and its result (a number, hex bytes, text, or the errno name when it failed).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

extern "C" void __syslog_chk(int pri, int flag, const char* fmt, ...);

namespace {

int fd = -1;
volatile sig_atomic_t got_usr1 = 0;

long num(const char* s) { return std::strtol(s, nullptr, 0); }

std::string hex(const unsigned char* p, ssize_t n)
{
    std::string s;
    char b[3];
    for (ssize_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::vector<unsigned char> unhex(const char* s)
{
    std::vector<unsigned char> v;
    for (size_t i = 0; s[i] != '\0' && s[i + 1] != '\0'; i += 2)
        v.push_back(static_cast<unsigned char>(std::stoul(std::string(s + i, 2), nullptr, 16)));
    return v;
}

void say(const char* step, const std::string& what) { std::printf("%s %s\n", step, what.c_str()); }
// A result: the value, or the errno name when it is negative.
void result(const char* step, long r) { say(step, r < 0 ? strerrorname_np(errno) : std::to_string(r)); }

void data(const char* step, const unsigned char* p, ssize_t n)
{
    if (n < 0)
        result(step, n);
    else
        say(step, hex(p, n));
}

int open_flags(std::string_view m)
{
    return m == "r" ? O_RDONLY : m == "w" ? O_WRONLY : m == "rw" ? O_RDWR : O_WRONLY | O_CREAT | O_TRUNC;
}

using step_fn = void (*)(const char* step, char** a);
struct step_row {
    std::string_view name;
    int args;
    step_fn run;
};

constexpr step_row steps[] = {
    {"open", 2, [](const char* s, char** a) { fd = open(a[0], open_flags(a[1]), 0644); result(s, fd < 0 ? -1 : 0); }},
    {"close", 0, [](const char* s, char**) { result(s, close(fd)); }},
    {"info", 0, [](const char* s, char**) {
         mtd_info_user i{};
         if (ioctl(fd, MEMGETINFO, &i) < 0)
             return result(s, -1);
         char b[160];
         std::snprintf(b, sizeof b, "size=0x%x erasesize=0x%x type=%u flags=0x%x writesize=%u oobsize=%u", i.size,
                       i.erasesize, i.type, i.flags, i.writesize, i.oobsize);
         say(s, b);
     }},
    {"erase", 2, [](const char* s, char** a) {
         erase_info_user e{static_cast<uint32_t>(num(a[0])), static_cast<uint32_t>(num(a[1]))};
         result(s, ioctl(fd, MEMERASE, &e));
     }},
    {"islocked", 2, [](const char* s, char** a) {
         erase_info_user e{static_cast<uint32_t>(num(a[0])), static_cast<uint32_t>(num(a[1]))};
         result(s, ioctl(fd, MEMISLOCKED, &e));
     }},
    {"lock", 2, [](const char* s, char** a) {
         erase_info_user e{static_cast<uint32_t>(num(a[0])), static_cast<uint32_t>(num(a[1]))};
         result(s, ioctl(fd, MEMLOCK, &e));
     }},
    {"unlock", 2, [](const char* s, char** a) {
         erase_info_user e{static_cast<uint32_t>(num(a[0])), static_cast<uint32_t>(num(a[1]))};
         result(s, ioctl(fd, MEMUNLOCK, &e));
     }},
    {"seek", 1, [](const char* s, char** a) { result(s, lseek(fd, num(a[0]), SEEK_SET)); }},
    {"write", 1, [](const char* s, char** a) {
         auto v = unhex(a[0]);
         result(s, write(fd, v.data(), v.size()));
     }},
    {"pwrite", 2, [](const char* s, char** a) {
         auto v = unhex(a[1]);
         result(s, pwrite(fd, v.data(), v.size(), num(a[0])));
     }},
    {"read", 1, [](const char* s, char** a) {
         std::vector<unsigned char> v(static_cast<size_t>(num(a[0])));
         data(s, v.data(), read(fd, v.data(), v.size()));
     }},
    {"pread", 2, [](const char* s, char** a) {
         std::vector<unsigned char> v(static_cast<size_t>(num(a[1])));
         data(s, v.data(), pread(fd, v.data(), v.size(), num(a[0])));
     }},
    {"cat", 1, [](const char* s, char** a) {   // the first line of a text file, through stdio
         FILE* f = fopen(a[0], "r");
         char line[4096] = "";
         if (f == nullptr)
             return result(s, -1);
         if (fgets(line, sizeof line, f) != nullptr)
             line[strcspn(line, "\n")] = '\0';
         fclose(f);
         say(s, line);
     }},
    {"put", 2, [](const char* s, char** a) {
         int f = open(a[0], O_WRONLY | O_CREAT | O_TRUNC, 0644);
         if (f < 0)
             return result(s, -1);
         ssize_t n = write(f, a[1], strlen(a[1]));
         close(f);
         result(s, n);
     }},
    {"stat", 1, [](const char* s, char** a) {
         struct stat st;
         if (stat(a[0], &st) < 0)
             return result(s, -1);
         say(s, "size=" + std::to_string(st.st_size));
     }},
    {"access", 1, [](const char* s, char** a) { result(s, access(a[0], F_OK)); }},
    {"unlink", 1, [](const char* s, char** a) { result(s, unlink(a[0])); }},
    {"mkdir", 1, [](const char* s, char** a) { result(s, mkdir(a[0], 0755)); }},
    {"opendir", 1, [](const char* s, char** a) {
         DIR* d = opendir(a[0]);
         result(s, d ? 0 : -1);
         if (d)
             closedir(d);
     }},
    {"realpath", 1, [](const char* s, char** a) {
         char* r = realpath(a[0], nullptr);
         if (r == nullptr)
             return result(s, -1);
         say(s, r);
         free(r);
     }},
    {"openlog", 1, [](const char* s, char** a) {
         openlog(std::strcmp(a[0], "-") == 0 ? nullptr : a[0], LOG_NDELAY, LOG_USER);
         result(s, 0);
     }},
    {"closelog", 0, [](const char* s, char**) { closelog(); result(s, 0); }},
    {"setlogmask", 1, [](const char* s, char** a) { result(s, setlogmask(static_cast<int>(num(a[0])))); }},
    {"syslog", 2, [](const char* s, char** a) { syslog(static_cast<int>(num(a[0])), "%s", a[1]); result(s, 0); }},
    {"syslogm", 2, [](const char* s, char** a) {
         errno = ENOENT;
         syslog(static_cast<int>(num(a[0])), "%s: %m", a[1]);
         result(s, 0);
     }},
    {"syslogchk", 2, [](const char* s, char** a) {
         __syslog_chk(static_cast<int>(num(a[0])), 1, "%s", a[1]);
         result(s, 0);
     }},
    {"flock", 1, [](const char* s, char** a) {
         int f = open(a[0], O_RDWR | O_CREAT, 0644);
         result(s, f < 0 ? -1 : flock(f, LOCK_EX | LOCK_NB));
     }},
    {"onusr1", 0, [](const char* s, char**) {
         struct sigaction sa {};
         sa.sa_handler = [](int) { got_usr1 = 1; };
         result(s, sigaction(SIGUSR1, &sa, nullptr));
     }},
    {"usr1", 0, [](const char* s, char**) { result(s, got_usr1); }},
    {"fork", 0, [](const char* s, char**) {   // the child runs the remaining steps
         std::fflush(stdout);
         pid_t child = fork();
         if (child != 0) {
             int st = 0;
             waitpid(child, &st, 0);
             result(s, WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
             std::exit(0);
         }
     }},
};

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc;) {
        const step_row* row = nullptr;
        for (const step_row& r : steps)
            if (r.name == argv[i])
                row = &r;
        if (row == nullptr || i + row->args >= argc) {
            std::fprintf(stderr, "flashsim_probe: bad step at \"%s\"\n", argv[i]);
            return 2;
        }
        row->run(argv[i], argv + i + 1);
        std::fflush(stdout);
        i += 1 + row->args;
    }
    return 0;
}
