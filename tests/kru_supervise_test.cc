// Supervision of the kru binary: how the worker's end becomes the exit status, the logged
// signals, the lock between invocations and what may be locked, the terminal rule of the log,
// critical regions.
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/kru_run.h"

namespace {

const std::string stall_after_lock = "FLASHSIM_STALL=flock:*:1";
const std::string lock_message = "Could not acquire kru lock\n";

struct Supervision : testing::Test {
    sandbox sb;
    std::string usage = read_file(test_data("usage.txt"));

    // Starts `kru help` and waits until its worker holds the lock and stalls there.
    started start_stalled(pid_t* worker)
    {
        started s = run_start(sb, kru_bin(), {"help"}, {stall_after_lock});
        *worker = wait_for_stall(sb);
        EXPECT_GT(*worker, 0);
        return s;
    }
};

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
        EXPECT_EQ(lock_message, second.err);
        EXPECT_EQ("", second.out);
        release_stall(sb, worker);
        EXPECT_EQ(0, run_wait(first).status);
        EXPECT_FALSE(file_exists(sb.path("tmp/kru.lock")));
    }
    EXPECT_EQ(0, run_kru(sb, {"help"}).status);
}

// A holds the lock file open but has not locked it yet; B locks the same file, runs and
// removes it; C creates a new file and holds its lock. A's flock on the removed file then
// succeeds, yet A must not run: the file it locked is no longer the lock file.
TEST_F(Supervision, LockOnARemovedFileIsGivenUp)
{
    sb.make_mtd(5, 262144);   // no backup device: the primary alone
    ASSERT_EQ(0, run_kru(sb, {"initialize"}).status);
    auto partset = [](const char* name) { return std::vector<std::string>{"partset", "2", name}; };
    started a = run_start(sb, kru_bin(), partset("A"), {"FLASHSIM_STALL=preflock:*:1"});
    const pid_t a_worker = wait_for_stall(sb);
    ASSERT_GT(a_worker, 0);
    EXPECT_EQ(0, run_kru(sb, partset("B")).status);
    started c = run_start(sb, kru_bin(), partset("C"), {stall_after_lock});
    const pid_t c_worker = wait_for_stall(sb, 10000, a_worker);
    ASSERT_GT(c_worker, 0);

    release_stall(sb, a_worker);
    run_result ra = run_wait(a);
    release_stall(sb, c_worker);
    EXPECT_EQ(0, run_wait(c).status);
    EXPECT_EQ(1, ra.status);
    EXPECT_EQ(lock_message, ra.err);
    EXPECT_NE(std::string::npos, run_kru(sb, {"info"}).out.find("  2  C    "));
}

// Whatever is planted at the lock file's path that is not a regular file of the effective
// user is refused, and nothing is created or changed through it.
TEST_F(Supervision, OnlyARegularFileOfOurOwnIsLocked)
{
    const std::string lock = sb.path("tmp/kru.lock"), target = sb.path("target");
    const struct {
        const char* what;
        void (*plant)(const std::string& lock, const std::string& target);
        bool needs_root;
        bool refused;
    } cases[] = {
        {"nothing", [](const std::string&, const std::string&) {}, false, false},
        {"our own file", [](const std::string& l, const std::string&) { write_file(l, ""); }, false, false},
        {"link to an existing file", [](const std::string& l, const std::string& t) {
             write_file(t, "kept\n");
             std::filesystem::create_symlink(t, l);
         }, false, true},
        {"link to nothing", [](const std::string& l, const std::string& t) { std::filesystem::create_symlink(t, l); },
         false, true},
        {"another user's file", [](const std::string& l, const std::string&) {
             write_file(l, "");
             ASSERT_EQ(0, chown(l.c_str(), 65534, 65534));
         }, true, true},
        {"a FIFO", [](const std::string& l, const std::string&) { ASSERT_EQ(0, mkfifo(l.c_str(), 0600)); }, false, true},
        {"a directory", [](const std::string& l, const std::string&) { std::filesystem::create_directory(l); }, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && geteuid() != 0)
            continue;   // only root can give a file away
        std::filesystem::remove_all(lock);
        std::filesystem::remove(target);
        c.plant(lock, target);
        const bool had_target = file_exists(target);
        run_result r = run_kru(sb, {"help"});
        if (c.refused) {
            EXPECT_EQ(1, r.status);
            EXPECT_EQ(lock_message, r.err);
            EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(lock)));   // left where it was
        } else {
            EXPECT_EQ(0, r.status) << r.err;
            EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(lock)));   // removed after use
        }
        EXPECT_EQ(had_target, file_exists(target));
        if (had_target) {
            EXPECT_EQ("kept\n", read_file(target));
        }
    }
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
    run_result r = run_with_fd(sb, kru_bin(), {"help"}, {}, fds[1], 1);
    close(fds[1]);
    EXPECT_EQ(0, r.status);   // not 76, death by SIGPIPE
}

// What kru shows only on internal faults, through a probe over its libraries: a panic ends
// the worker by SIGABRT (69) with its text, cut at 79 characters, on the console; nested
// critical regions log only the outermost pair; a long message is cut in both copies.
TEST_F(Supervision, PanicsCriticalRegionsAndLongMessages)
{
    const std::string died = "child terminated by signal #6\n", x319(319, 'x');
    const struct { const char* mode; int status; std::string out, err, log; bool out_begins; } cases[] = {
        {"panic", 69, "Panic: *** ASSERT in kru at ", died, "2 KRU: " + died, true},   // and the line
        {"panic-long", 69, "Panic: " + std::string(79, 'p'), died, "2 KRU: " + died, false},
        {"critical", 0, "", "", "5 KRU: critical part start: outer\n5 KRU: critical part end: outer\n", false},
        {"log-long", 0, "", x319, "3 KRU: " + x319 + "\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        write_file(sb.path("syslog"), "");
        run_result r = run(sb, KRU_PROBE, {c.mode});
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.out, c.out_begins ? r.out.substr(0, c.out.size()) : r.out);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(c.log, sb.syslog());
    }
}

// With standard output on a terminal, kru_log messages stay off the system log; kru_log_err
// messages reach it all the same.
TEST_F(Supervision, TerminalOnStandardOutputKeepsOrdinaryMessagesOffTheLog)
{
    run_result r = run_on_terminal(sb, kru_bin(), {"frobnicate"}, {}, 1);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Unknown action\n", r.err);
    EXPECT_EQ("", sb.syslog());
    EXPECT_EQ(1, run_on_terminal(sb, kru_bin(), {"help"}, {"KRU_PLATFORM=12345678"}, 1).status);
    EXPECT_EQ("2 KRU: KRU_PLATFORM too long: 12345678\n", sb.syslog());
}

}  // namespace
