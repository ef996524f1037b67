// Supervision of the kru binary: how the worker's end becomes the exit status, the logged
// signals, the lock between invocations, the terminal rule of the log, critical regions.
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/kru_run.h"
#include "tests/support/target_exec.h"

namespace {

const std::string stall_after_lock = "FLASHSIM_STALL=flock:*:1";

struct Supervision : testing::Test {
    sandbox sb;
    std::string usage = read_file(test_data("usage.txt"));

    // In a forked child: replaces it with kru under the emulator, standard streams as they are.
    [[noreturn]] void exec_kru(std::vector<std::string> args, std::vector<std::string> env)
    {
        env.push_back("FLASHSIM_ROOT=" + sb.root);
        env.push_back("LD_PRELOAD=" + flashsim_lib());
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
        std::string bin = kru_bin();
        args.insert(args.begin(), bin);
        target_exec_wrap(&bin, &args, &env);
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(bin.c_str(), argv.data(), envp.data());
        _exit(127);
    }

    // Starts `kru help` and waits until its worker holds the lock and stalls there.
    started start_stalled(pid_t* worker)
    {
        started s = run_start(sb, kru_bin(), {"help"}, {stall_after_lock});
        *worker = wait_for_stall(sb);
        EXPECT_GT(*worker, 0);
        return s;
    }
};

TEST_F(Supervision, KilledWorkerGives63PlusTheSignal)
{
    pid_t worker;
    started s = start_stalled(&worker);
    ASSERT_GT(worker, 0);
    EXPECT_NE(s.pid, worker);
    kill(worker, SIGKILL);
    run_result r = run_wait(s);
    EXPECT_EQ(72, r.status);
    EXPECT_EQ("child terminated by signal #9\n", r.err);
    EXPECT_NE(std::string::npos, sb.syslog().find("2 KRU: child terminated by signal #9\n"));
}

TEST_F(Supervision, CaughtSignalsAreLoggedAndTheActionResultStands)
{
    pid_t worker;
    started s = start_stalled(&worker);
    ASSERT_GT(worker, 0);
    kill(worker, SIGTERM);
    kill(s.pid, SIGINT);
    // Let both signals be handled before the worker goes on.
    for (int i = 0; i < 200 && sb.syslog().find("parent: Got signal #2") == std::string::npos; ++i)
        usleep(10000);
    release_stall(sb, worker);
    run_result r = run_wait(s);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(usage, r.out);
    EXPECT_NE(std::string::npos, r.err.find("child: Got signal #15\n")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("parent: Got signal #2\n")) << r.err;
    std::string log = sb.syslog();
    EXPECT_NE(std::string::npos, log.find("6 KRU: child: Got signal #15\n")) << log;
    EXPECT_NE(std::string::npos, log.find("6 KRU: parent: Got signal #2\n")) << log;
}

// The lock guards the action and the release alike: while the first invocation holds it, and
// until its lock file is gone, a second one is refused at once.
TEST_F(Supervision, SecondInvocationFailsAtOnceWhileTheLockIsHeld)
{
    for (const char* held_at : {stall_after_lock.c_str(), "FLASHSIM_DELAY=before:unlink:1"}) {
        SCOPED_TRACE(held_at);
        started first = run_start(sb, kru_bin(), {"help"}, {held_at});
        pid_t worker = wait_for_stall(sb);
        ASSERT_GT(worker, 0);
        EXPECT_TRUE(file_exists(sb.path("tmp/kru.lock")));
        run_result second = run_kru(sb, {"help"});
        EXPECT_EQ(1, second.status);
        EXPECT_EQ("Could not acquire kru lock\n", second.err);
        EXPECT_EQ("", second.out);
        release_stall(sb, worker);
        EXPECT_EQ(0, run_wait(first).status);
        EXPECT_FALSE(file_exists(sb.path("tmp/kru.lock")));
    }
    EXPECT_EQ(0, run_kru(sb, {"help"}).status);
}

// A signal that arrives before the fork waits until a process knows its role: the parent
// reports it, and no handler runs while the role is still unknown.
TEST_F(Supervision, SignalBeforeTheForkIsReportedByTheParent)
{
    started s = run_start(sb, kru_bin(), {"help"}, {"FLASHSIM_DELAY=before:fork:1"});
    pid_t held = wait_for_stall(sb);
    ASSERT_GT(held, 0);
    kill(held, SIGTERM);
    release_stall(sb, held);
    run_result r = run_wait(s);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("parent: Got signal #15\n", r.err);
}

TEST_F(Supervision, WritingToAClosedPipeIsAnErrorNotDeath)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[0]);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        exec_kru({"help"}, {});
    }
    close(fds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));   // not 76, death by SIGPIPE
}

TEST_F(Supervision, PanicGives69AndItsTextOnTheConsole)
{
    run_result r = run(sb, KRU_PROBE, {"panic"});
    EXPECT_EQ(69, r.status);
    EXPECT_EQ(0u, r.out.find("Panic: *** ASSERT in kru at ")) << r.out;
    EXPECT_EQ("child terminated by signal #6\n", r.err);

    r = run(sb, KRU_PROBE, {"panic-long"});
    EXPECT_EQ(69, r.status);
    EXPECT_EQ("Panic: " + std::string(79, 'p'), r.out);
}

TEST_F(Supervision, CriticalRegionsLogOnlyTheOutermostPair)
{
    run_result r = run(sb, KRU_PROBE, {"critical"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("5 KRU: critical part start: outer\n5 KRU: critical part end: outer\n", sb.syslog());
}

TEST_F(Supervision, LongMessagesAreCutInBothCopies)
{
    run_result r = run(sb, KRU_PROBE, {"log-long"});
    EXPECT_EQ(std::string(319, 'x'), r.err);
    EXPECT_EQ("3 KRU: " + std::string(319, 'x') + "\n", sb.syslog());
}

// With standard output on a terminal, kru_log messages stay off the system log; kru_log_err
// messages reach it all the same.
TEST_F(Supervision, TerminalOnStandardOutputKeepsOrdinaryMessagesOffTheLog)
{
    std::string err_path = sb.path("tty.err");
    auto run_on_tty = [&](std::vector<std::string> args, std::vector<std::string> env) {
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            exec_kru(args, env);
        }
        char buf[4096];
        while (read(master, buf, sizeof buf) > 0) {
        }
        int status = 0;
        waitpid(pid, &status, 0);
        close(master);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(1, run_on_tty({"frobnicate"}, {}));
    EXPECT_EQ("Unknown action\n", read_file(err_path));
    EXPECT_EQ("", sb.syslog());
    EXPECT_EQ(1, run_on_tty({"help"}, {"KRU_PLATFORM=12345678"}));
    EXPECT_EQ("2 KRU: KRU_PLATFORM too long: 12345678\n", sb.syslog());
}

}  // namespace
