#include "kru/kru_exit.h"
#include "kru/kru_supervise.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/log.h"
#include "platform/qz.h"

volatile int kru_role = -1;
int kru_critical_depth = 0;

namespace {

// The signals that are caught only to be logged, in the order of installation.
constexpr int kru_caught_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};

const char* kru_role_name(int role)
{
    if (role == 0)
        return "parent";
    if (role == 1)
        return "child";
    return "yet unknown if child";
}

// Appends src to buf[pos..n-1]; async-signal-safe.
size_t kru_append(char* buf, size_t pos, size_t n, const char* src)
{
    while (*src != '\0' && pos + 1 < n)
        buf[pos++] = *src++;
    buf[pos] = '\0';
    return pos;
}

// Runs in signal context: formats "%s: Got signal #%i\n" by hand and hands it to the
// async-safe log path (standard error now, the system log from the main flow).
void kru_signal_handler(int sig)
{
    char digits[12];
    int d = 0;
    unsigned v = static_cast<unsigned>(sig);
    do {
        digits[d++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && d < 11);
    char num[12];
    for (int i = 0; i < d; ++i)
        num[i] = digits[d - 1 - i];
    num[d] = '\0';

    char msg[64];
    size_t pos = kru_append(msg, 0, sizeof msg, kru_role_name(kru_role));
    pos = kru_append(msg, pos, sizeof msg, ": Got signal #");
    pos = kru_append(msg, pos, sizeof msg, num);
    kru_append(msg, pos, sizeof msg, "\n");
    kru_log_async(LOG_INFO, msg);
}

// The parent: waits for the worker and turns its end into the tool's exit status. The caught
// signals, still blocked from before the fork, are taken synchronously here, so their
// messages are written from normal context.
[[noreturn]] void kru_parent(pid_t worker, const sigset_t& caught)
{
    kru_role = 0;
    sigset_t waitset = caught;
    sigaddset(&waitset, SIGCHLD);

    int status = 0;
    for (;;) {
        pid_t r = waitpid(worker, &status, WNOHANG);
        if (r == worker)
            break;
        if (r < 0) {
            kru_log_err(LOG_CRIT, "wait() did not succeed\n");
            std::exit(KRU_EXIT_WAIT_FAILED);
        }
        int sig = sigwaitinfo(&waitset, nullptr);
        if (sig < 0 || sig == SIGCHLD)
            continue;
        kru_log(LOG_INFO, "%s: Got signal #%i\n", kru_role_name(kru_role), sig);
    }

    int code;
    if (WIFEXITED(status)) {
        code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        int s = WTERMSIG(status);
        if (s >= 1 && s <= 64) {
            kru_log_err(LOG_CRIT, "child terminated by signal #%i\n", s);
            code = KRU_EXIT_SIGNAL_BASE + s;
        } else {
            kru_log_err(LOG_CRIT, "child terminated by unknown signal #%i\n", s);
            code = KRU_EXIT_SIGNAL_BASE;
        }
    } else {
        kru_log_err(LOG_CRIT, "child terminated for some unknown reason\n");
        code = KRU_EXIT_WORKER_LOST;
    }
    kru_log_flush();
    std::exit(code);
}

void kru_critical_log(const char* fmt, va_list ap)
{
    char msg[kru_log_max];
    qz_vsnprintf(msg, sizeof msg, fmt, ap);
    kru_log_syslog(LOG_NOTICE, "%s", msg);
}

}  // namespace

int kru_supervise()
{
    kru_role = -1;
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);

    sigset_t caught;
    sigemptyset(&caught);
    for (int sig : kru_caught_signals) {
        struct sigaction sa = {};
        sa.sa_handler = kru_signal_handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        if (sigaction(sig, &sa, nullptr) != 0) {
            kru_log(LOG_ERR, "Could not catch signal #%d\n", sig);
            kru_log_flush();
            std::exit(KRU_EXIT_SIGNAL_SETUP);
        }
        sigaddset(&caught, sig);
    }

    // The caught signals stay blocked across the fork: one that arrives before a process
    // knows its role waits for it, and is then reported under the right name.
    pid_t pid = fork();
    if (pid < 0) {
        kru_log(LOG_ERR, "Fork failed\n");
        kru_log_flush();
        std::exit(KRU_EXIT_FAILURE);
    }
    if (pid > 0)
        kru_parent(pid, caught);

    kru_role = 1;
    sigprocmask(SIG_UNBLOCK, &caught, nullptr);
    pid_t group = getpgrp();
    if (group < 0) {
        kru_log(LOG_ERR, "getpgrp() failed\n");
        return KRU_EXIT_NO_PROCESS_GROUP;
    }
    if (setpgid(0, 0) != 0) {
        kru_log(LOG_ERR, "setpgid() failed\n");
        return KRU_EXIT_NO_PROCESS_GROUP;
    }
    if (getpgrp() == group) {
        kru_log(LOG_ERR, "No new process group created?\n");
        return KRU_EXIT_NO_PROCESS_GROUP;
    }
    return 0;
}

void kru_critical_enter(const char* fmt, ...)
{
    ++kru_critical_depth;
    if (kru_critical_depth <= 1) {
        va_list ap;
        va_start(ap, fmt);
        kru_critical_log(fmt, ap);
        va_end(ap);
    }
}

void kru_critical_leave(const char* fmt, ...)
{
    if (kru_critical_depth == 1) {
        va_list ap;
        va_start(ap, fmt);
        kru_critical_log(fmt, ap);
        va_end(ap);
    }
    --kru_critical_depth;
}
