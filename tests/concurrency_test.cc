// Many invocations on one device at once: the lock lets exactly one action run at a time,
// every other invocation ends at once with "Could not acquire kru lock" and 1, and the
// hostconfig afterwards holds the record of an action that ran.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/robustness_device.h"

namespace {

using namespace robustness;

constexpr int invocations = 32;
constexpr const char* lock_message = "Could not acquire kru lock\n";
// How long the refused invocations may take together; far beyond what they need even under
// the sanitizers or an emulator, and below the test's own timeout.
constexpr auto refused_deadline = std::chrono::seconds(120);

struct Concurrency : testing::Test {
    sandbox device;
    std::string image;
    std::vector<strings> commands;      // command i is started as invocation i
    std::vector<krul_data> intended;    // the record command i leaves when it runs alone

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(provision(device));
        write_file(device.path("proc/cmdline"), "KRUSET=SET1\n");
        image = release_image(device, "release.nemf", false);
        // A mix of readers and writers; each writer leaves a record of its own.
        for (int i = 0; i < invocations; ++i) {
            switch (i % 4) {
            case 0: commands.push_back({"info"}); break;
            case 1: commands.push_back({"partset", "2", "SET2-" + std::to_string(i), "-refs=11,13,15"}); break;
            case 2: commands.push_back({"upgrade", "validate"}); break;
            default:
                commands.push_back(i == 3 ? strings{"install", image, "2"} : strings{"getpartset", "1"});
                break;
            }
        }
        std::map<strings, krul_data> alone_records;
        for (const strings& c : commands) {
            if (!alone_records.count(c)) {
                sandbox alone;
                clone(device, alone);
                run_result r = run_kru(alone, c);
                ASSERT_EQ(0, r.status) << c[0] << ": " << r.err;
                ASSERT_TRUE(flash_record(alone, &alone_records[c]));
            }
            intended.push_back(alone_records[c]);
        }
    }

    // The parent of a process (/proc/PID/stat field 4), -1 if it is gone.
    static pid_t parent_of(pid_t pid)
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
            return -1;
        char state = 0;
        int ppid = -1;
        std::sscanf(line.c_str() + line.rfind(')') + 1, " %c %d", &state, &ppid);
        return ppid;
    }

    // Whether `p` ends before `deadline`; it is not reaped, run_wait collects it.
    static bool ends_before(const started& p, std::chrono::steady_clock::time_point deadline)
    {
        for (;;) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(p.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Lets every stalled process in the device go on.
    void release_every_stall() const
    {
        DIR* d = opendir(device.root.c_str());
        if (d == nullptr)
            return;
        std::vector<pid_t> stalled;
        while (dirent* e = readdir(d))
            if (std::strncmp(e->d_name, "stall.", 6) == 0)
                stalled.push_back(static_cast<pid_t>(std::atoi(e->d_name + 6)));
        closedir(d);
        for (pid_t pid : stalled)
            release_stall(device, pid);
    }

    std::vector<started> start_all(const std::vector<std::string>& env) const
    {
        std::vector<started> procs;
        for (const strings& c : commands)
            procs.push_back(run_start(device, kru_bin(), c, env));
        return procs;
    }
};

// The first invocation to take the lock is held right behind it until every other one has
// ended: exactly one runs, the rest are refused, and the record is the one it intended.
TEST_F(Concurrency, WhileOneHoldsTheLockEveryOtherIsRefused)
{
    std::vector<started> procs = start_all({"FLASHSIM_STALL=flock:*:1"});
    pid_t holder = wait_for_stall(device);
    ASSERT_GT(holder, 0);
    std::vector<run_result> results(procs.size());
    int holder_index = -1;
    const auto deadline = std::chrono::steady_clock::now() + refused_deadline;
    for (size_t i = 0; i < procs.size(); ++i) {
        // The holder is the worker, a child of the invocation's own process.
        if (holder_index < 0 && parent_of(holder) == procs[i].pid) {
            holder_index = static_cast<int>(i);
            continue;
        }
        // One that got the lock as well stalls behind it and would never end on its own.
        if (!ends_before(procs[i], deadline)) {
            ADD_FAILURE() << "invocation " << i << " (" << commands[i][0] << ") has not ended "
                          << refused_deadline.count() << " s after the start: it took the lock while "
                          << holder << " held it and is stalled behind it";
            release_every_stall();
        }
        results[i] = run_wait(procs[i]);
    }
    ASSERT_GE(holder_index, 0);
    release_stall(device, holder);
    results[holder_index] = run_wait(procs[holder_index]);

    for (size_t i = 0; i < procs.size(); ++i) {
        if (static_cast<int>(i) == holder_index) {
            EXPECT_EQ(0, results[i].status) << commands[i][0] << ": " << results[i].err;
            continue;
        }
        EXPECT_EQ(1, results[i].status) << commands[i][0];
        EXPECT_EQ(lock_message, results[i].err) << commands[i][0];
    }
    krul_data rec;
    ASSERT_TRUE(flash_record(device, &rec));
    EXPECT_TRUE(same_record(rec, intended[holder_index])) << "the record is not that of " << commands[holder_index][0];
}

// The lock file itself, between invocations that partset set 2 (a read of the hostconfig at
// the start of the action, its save at the end), on a device of their own.
struct LockRace : testing::Test {
    sandbox device;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(provision(device));
        write_file(device.path("flashsim.log"), "");   // only the invocations of the test
    }

    static strings partset(int i) { return {"partset", "2", "SET2-" + std::to_string(i), "-refs=11,13,15"}; }

    // The pid of a stalled process other than `known`; -1 when none shows up (bounded as
    // wait_for_stall).
    pid_t wait_for_another_stall(pid_t known) const
    {
        for (int round = 0; round < 2000; ++round) {
            for (const auto& e : std::filesystem::directory_iterator(device.root)) {
                const std::string name = e.path().filename().string();
                if (name.rfind("stall.", 0) == 0 && std::atoi(name.c_str() + 6) != known)
                    return std::atoi(name.c_str() + 6);
            }
            usleep(5000);
        }
        return -1;
    }

    // What each worker did in the emulator's log, as the span of lines from its first to its
    // last; a stall before a flock is not part of an action. Fails the test when two spans
    // overlap. Returns the pids that did something, in the order they started.
    std::vector<pid_t> actions_without_overlap() const
    {
        std::istringstream log(device.flash_log());
        std::vector<pid_t> order;
        std::map<pid_t, std::pair<int, int>> span;
        int n = 0;
        for (std::string line; std::getline(log, line); ++n) {
            std::istringstream words(line);
            std::string op, dev, off, len, what;
            pid_t pid = -1;
            words >> pid >> op >> dev >> off >> len >> what;
            if (op == "stall" && what == "preflock")
                continue;
            if (!span.count(pid)) {
                span[pid] = {n, n};
                order.push_back(pid);
            }
            span[pid].second = n;
        }
        for (size_t i = 1; i < order.size(); ++i)
            EXPECT_LT(span[order[i - 1]].second, span[order[i]].first)
                << "the action of " << order[i] << " started before that of " << order[i - 1] << " ended";
        return order;
    }
};

// A holds the lock file open but has not locked it yet; B locks the same file, runs and
// removes it; C creates a new file and holds its lock. A's flock on the removed file then
// succeeds, yet A must not run: the file it locked is no longer the lock file.
TEST_F(LockRace, LockOnARemovedFileIsGivenUp)
{
    started a = run_start(device, kru_bin(), partset(1), {"FLASHSIM_STALL=preflock:*:1"});
    const pid_t a_worker = wait_for_stall(device);
    ASSERT_GT(a_worker, 0);

    run_result b = run_kru(device, partset(2));
    EXPECT_EQ(0, b.status) << b.err;

    started c = run_start(device, kru_bin(), partset(3), {"FLASHSIM_STALL=flock:*:1"});
    const pid_t c_worker = wait_for_another_stall(a_worker);
    ASSERT_GT(c_worker, 0);

    release_stall(device, a_worker);
    run_result ra = run_wait(a);
    release_stall(device, c_worker);
    run_result rc = run_wait(c);

    EXPECT_EQ(1, ra.status) << ra.err;
    EXPECT_EQ(lock_message, ra.err);
    EXPECT_EQ(0, rc.status) << rc.err;
    const std::vector<pid_t> acted = actions_without_overlap();
    EXPECT_EQ(2u, acted.size());
    EXPECT_EQ(acted.end(), std::find(acted.begin(), acted.end(), a_worker));
    krul_data rec;
    ASSERT_TRUE(flash_record(device, &rec));
    EXPECT_EQ("SET2-3", krul_name(rec.sets[2].name));
    EXPECT_FALSE(file_exists(device.path("tmp/kru.lock")));
}

// 64 invocations started at once: the actions that ran never overlap, every other invocation
// was refused the lock.
TEST_F(LockRace, SixtyFourAtOnceRunOneAfterAnother)
{
    constexpr int count = 64;
    std::vector<started> procs;
    for (int i = 0; i < count; ++i)
        procs.push_back(run_start(device, kru_bin(), partset(i)));
    int ran = 0;
    for (started& p : procs) {
        run_result r = run_wait(p);
        if (r.status == 0) {
            ++ran;
            continue;
        }
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_EQ(lock_message, r.err);
    }
    EXPECT_GE(ran, 1);
    EXPECT_EQ(static_cast<size_t>(ran), actions_without_overlap().size());
    std::printf("lock race: %d of %d invocations ran, one after another\n", ran, count);
}

// Whatever is planted at the lock file's path that is not a regular file of the effective
// user is refused, and nothing is created or changed through it.
TEST(LockFile, OnlyARegularFileOfOurOwnIsLocked)
{
    sandbox sb;
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

}  // namespace
