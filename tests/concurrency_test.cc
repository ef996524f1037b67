// The lock file between invocations on one device: a lock taken on a file that is no longer
// the lock file guards nothing, and nothing but a regular file of our own is locked.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/robustness_device.h"

namespace {

using namespace robustness;

constexpr const char* lock_message = "Could not acquire kru lock\n";

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
    const pid_t c_worker = wait_for_stall(device, 10000, a_worker);
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
