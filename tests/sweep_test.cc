// The power-cut sweep: every action that writes flash is run once to completion, to learn its
// flash operations, and then once more for each of them with the power cut right after that
// operation (and once in the middle of each write). After every cut a fresh kru must load a
// hostconfig whose record is the one from before the action or the one after it, and the set
// that was active before must still verify. An action that rewrites a partition the active
// set shares (a singleton pool with -f) may break that set's check: such cut points are
// counted apart, not failed.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/robustness_device.h"

namespace {

using namespace robustness;

struct sweep_case {
    const char* name;
    strings args;                              // "IMAGE" stands for the case's image
    void (*prepare)(const sandbox&) = nullptr;  // beyond the provisioned device
    bool boot_image = false;                    // the image carries the singleton pool BOOT
    bool singleton_write = false;               // the action rewrites a shared singleton
};

// Test names and failure messages show the case by its name.
void PrintTo(const sweep_case& c, std::ostream* os) { *os << c.name; }

void boot_cmdline(const sandbox& sb, const char* word) { write_file(sb.path("proc/cmdline"), word); }
// Flag word of set 2 (stored complemented) at the end of /dev/mtd5.
void set2_flags(const sandbox& sb, uint8_t flags)
{
    std::string d = read_file(sb.path("dev/mtd5"));
    d[131071] = static_cast<char>(~flags);
    write_file(sb.path("dev/mtd5"), d);
}

const sweep_case sweep_cases[] = {
    {"partset", {"partset", "2", "SET2NEW", "-refs=11,13,15", "-meta=3.0.1"}},
    {"partinfo", {"partinfo", "11", "KERNEL", "0x4000", "-metalength=10", "-metacrc=99"}},
    {"activate", {"activate", "2"}},
    {"upgrade_activate", {"upgrade", "activate", "-test"},
     [](const sandbox& sb) {
         boot_cmdline(sb, "console=ttyS0 KRUSET=SET1\n");
         write_file(sb.path("tmp/kru.activeset"), "2\n");
     }},
    {"upgrade_validate", {"upgrade", "validate"},
     [](const sandbox& sb) {
         boot_cmdline(sb, "KRUSET=SET2\n");
         set2_flags(sb, 0x01);
     }},
    {"upgrade_test", {"upgrade", "test"},
     [](const sandbox& sb) {
         boot_cmdline(sb, "KRUSET=SET2\n");
         set2_flags(sb, 0x03);
     }},
    {"install_test", {"install", "IMAGE", "2", "-test"}},
    {"install_autodetect", {"install", "IMAGE", "-1"}},
    {"install_singleton_f", {"install", "IMAGE", "2", "-f"}, nullptr, true, true},
};

// One flash operation of the completed run: what CUT_OPS and CUT_BYTES count.
struct flash_op {
    bool write;
    uint64_t length;
};

std::vector<flash_op> flash_ops(const std::string& log)
{
    std::vector<flash_op> ops;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        char op[32] = {};
        unsigned long long off = 0, len = 0;
        if (std::sscanf(line.c_str(), "%*d %31s mtd%*d %llx %llx", op, &off, &len) != 3)
            continue;
        if (std::string(op) == "erase" || std::string(op) == "write")
            ops.push_back({std::string(op) == "write", len});
    }
    return ops;
}

struct tally {
    int cuts = 0, torn = 0;
    int old_record = 0, new_record = 0, no_hostconfig = 0, other_record = 0;
    int verify_failed = 0;
    std::string verify_failed_at;   // the cut points, for the singleton report
};

bool action_available(const char* word)
{
    sandbox sb;
    run_result r = run_kru(sb, {word});
    return r.err.find("Unknown action") == std::string::npos;
}

struct PowerCut : testing::TestWithParam<sweep_case> {
    sandbox device;   // the device before the action
    strings args;
    krul_data before{}, after{};
    std::string active;   // the set active before the action

    void SetUp() override
    {
        const sweep_case& c = GetParam();
        if (!action_available(c.args[0].c_str()))
            GTEST_SKIP() << c.args[0] << " is not in this build";
        ASSERT_NO_FATAL_FAILURE(provision(device));
        if (c.prepare)
            c.prepare(device);
        args = c.args;
        for (std::string& a : args)
            if (a == "IMAGE")
                a = release_image(device, "release.nemf", c.boot_image);
        ASSERT_TRUE(flash_record(device, &before));
        active = std::to_string(before.actset);
        ASSERT_EQ(0, run_kru(device, {"verify", active}).status);
    }

    // Runs the action on a copy of the device with `env`; then judges the flash it left.
    // Returns false when the power was not cut (the action ended before the cut point).
    bool cut_run(const std::vector<std::string>& env, tally* t) const
    {
        sandbox sb;
        clone(device, sb);
        run_result r = run_kru(sb, args, env);
        if (sb.flash_log().find(" cut ") == std::string::npos) {
            EXPECT_EQ(0, r.status) << r.err;
            return false;
        }
        EXPECT_EQ(72, r.status) << "killed worker: 63 + SIGKILL";
        std::string where = GetParam().name + std::string(" with ") + env[0];
        krul_data rec;
        run_result info = run_kru(sb, {"info"});
        if (!flash_record(sb, &rec)) {
            ++t->no_hostconfig;
            ADD_FAILURE() << where << ": no hostconfig loads";
        } else if (same_record(rec, before)) {
            ++t->old_record;
        } else if (same_record(rec, after)) {
            ++t->new_record;
        } else {
            ++t->other_record;
            ADD_FAILURE() << where << ": the record is neither the old nor the new one";
        }
        EXPECT_EQ(0, info.status) << where << ": " << info.err;
        run_result v = run_kru(sb, {"verify", active});
        if (v.status != 0) {
            ++t->verify_failed;
            t->verify_failed_at += " " + env[0].substr(env[0].find("CUT_") + 4);
            if (!GetParam().singleton_write)
                ADD_FAILURE() << where << ": set " << active << " no longer verifies: " << v.out;
        }
        return true;
    }
};

TEST_P(PowerCut, EveryCutPointLeavesTheOldOrTheNewRecord)
{
    const sweep_case& c = GetParam();
    sandbox done;
    clone(device, done);
    run_result r = run_kru(done, args);
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_TRUE(flash_record(done, &after));
    std::vector<flash_op> ops = flash_ops(done.flash_log());
    ASSERT_FALSE(ops.empty()) << "the action wrote nothing";

    tally t;
    // After each operation in turn, until one is past the last.
    for (size_t n = 1; n <= ops.size() + 1; ++n) {
        if (!cut_run({"FLASHSIM_CUT_OPS=" + std::to_string(n)}, &t))
            break;
        ++t.cuts;
    }
    EXPECT_EQ(ops.size(), static_cast<size_t>(t.cuts)) << "cut points differ from the operations logged";
    // In the middle of each write of more than one byte.
    uint64_t stored = 0;
    for (const flash_op& op : ops) {
        if (op.write && op.length > 1 && cut_run({"FLASHSIM_CUT_BYTES=" + std::to_string(stored + op.length / 2)}, &t))
            ++t.torn;
        if (op.write)
            stored += op.length;
    }

    std::printf("power-cut sweep | %-20s | ops %3zu | cuts %3d | torn writes %3d | old %3d | new %3d | "
                "no hostconfig %d | other %d | set %s fails verify %d%s%s\n",
                c.name, ops.size(), t.cuts, t.torn, t.old_record, t.new_record, t.no_hostconfig, t.other_record,
                active.c_str(), t.verify_failed, c.singleton_write ? " (singleton written with -f)" : "",
                same_record(before, after) ? " (record unchanged: counted old)" : "");
    if (c.singleton_write && t.verify_failed > 0)
        std::printf("power-cut sweep | %-20s | set %s fails verify after:%s\n", c.name, active.c_str(),
                    t.verify_failed_at.c_str());
    EXPECT_EQ(0, t.no_hostconfig + t.other_record);
}

INSTANTIATE_TEST_SUITE_P(Actions, PowerCut, testing::ValuesIn(sweep_cases),
                         [](const testing::TestParamInfo<sweep_case>& info) { return std::string(info.param.name); });

}  // namespace
