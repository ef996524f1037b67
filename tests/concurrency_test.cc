// Many invocations on one device at once: the lock lets exactly one action run at a time,
// every other invocation ends at once with "Could not acquire kru lock" and 1, and the
// hostconfig afterwards holds the record of an action that ran.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

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

// Free for all: each invocation either ran to success or was refused for the lock, and the
// record is what the last writer to run intended (every writer rewrites the same set whole).
TEST_F(Concurrency, RacingInvocationsRunOrAreRefused)
{
    commands.erase(commands.begin() + 3);   // the install: its record is not a rewrite of set 2
    intended.erase(intended.begin() + 3);
    std::vector<started> procs = start_all({});
    int ran = 0;
    std::vector<bool> succeeded(procs.size());
    for (size_t i = 0; i < procs.size(); ++i) {
        run_result r = run_wait(procs[i]);
        succeeded[i] = r.status == 0;
        if (succeeded[i]) {
            ++ran;
            continue;
        }
        EXPECT_EQ(1, r.status) << commands[i][0] << ": " << r.err;
        EXPECT_EQ(lock_message, r.err) << commands[i][0];
    }
    EXPECT_GE(ran, 1);
    std::printf("concurrency: %d of %zu racing invocations ran, the others were refused the lock\n", ran, procs.size());

    krul_data rec;
    ASSERT_TRUE(flash_record(device, &rec));
    bool matches = false;
    for (size_t i = 0; i < procs.size() && !matches; ++i)
        matches = succeeded[i] && commands[i][0] == "partset" && same_record(rec, intended[i]);
    // No writer ran: the record is the provisioned one, which every reader leaves as it is.
    if (!matches)
        matches = same_record(rec, intended[0]);
    EXPECT_TRUE(matches) << ran << " invocations ran; the record is none of their records";
}

}  // namespace
