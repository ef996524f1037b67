// The power-cut sweep: every action that writes flash is run once to completion, to learn its
// flash operations, and then once more for each of them with the power cut right after that
// operation, and once in the middle of each partition write. Inside the writes of the
// hostconfig copies and the flag words the cut falls after every single byte: those flash
// states are built from the states around the write (a NOR write stores its bytes in order,
// each old & new), and real cuts at the first, middle and last byte check that model.
//
// Each action starts from three devices: both copies good, the primary torn by an earlier cut
// (the backup good), and the backup torn (the primary good); and on three geometries: erase
// blocks of 64 KiB (the flag words in a block of their own), 128 KiB and 256 KiB (the flag
// words in the container's block) on every device. A cut point is unsafe when no hostconfig
// loads, when the record that loads is neither the one from before the action nor the one
// after it, when the set that was active before no longer verifies, or when a trial is lost:
// the record that loads names the set that an action with -test switches to, while that set's
// flag word does not read TEST (the boot loader would boot it untested). An action that
// rewrites a partition the active set shares (a singleton pool with -f) may break that set's
// check: such cut points are counted apart, not failed.
//
// An action is a row of sweep_cases; a geometry a row of sweep_geometries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "tests/robustness_device.h"
#include "tests/support/target_exec.h"

namespace {

using namespace robustness;

struct sweep_case {
    const char* name;
    strings args;                               // "IMAGE" stands for the case's image
    void (*prepare)(const sandbox&) = nullptr;  // beyond the provisioned device
    bool boot_image = false;                    // the image carries the singleton pool BOOT
    bool singleton_write = false;               // the action rewrites a shared singleton
    bool trial = false;                         // the action puts the set it activates on trial
};

// Test names and failure messages show the case by its name.
void PrintTo(const sweep_case& c, std::ostream* os) { *os << c.name; }

void boot_cmdline(const sandbox& sb, const char* word) { write_file(sb.path("proc/cmdline"), word); }

constexpr size_t flags_at = 131070;   // flag word of set 1, set 2 behind it; stored complemented

// Flag word of set 2 at the end of /dev/mtd5.
void set2_flags(const sandbox& sb, uint8_t flags)
{
    std::string d = read_file(sb.path("dev/mtd5"));
    d[flags_at + 1] = static_cast<char>(~flags);
    write_file(sb.path("dev/mtd5"), d);
}

// Release 2.0.0 in set 2 (set 1 stays active), and delta.nemf: release 2.1.0, one byte of
// each payload changed, as a delta made from 2.0.0. Its install overwrites its own sources.
void delta_device(const sandbox& sb)
{
    const std::string old_img = release_image(sb, "old.nemf", false);
    ASSERT_NO_FATAL_FAILURE(kru_ok(sb, {"install", old_img, "2", "-noactivate"}));
    strings a = {"create", "-o", sb.path("new.nemf"), "--release", "2.1.0", "--date", "1599000000", "--build-id",
                 "R2.1.0", "--sign-cert", pki("signer.cert.pem"), "--sign-key", pki("signer.key.pem"),
                 "--krum-line", "@kernel,KERNEL,0,-,-,-,2.1.0,3", "--krum-line",
                 "@rootfs,ROOTFS,0,/,squashfs,-,2.1.0,2", "--krum-line", "@appl,APPL,0,/mnt/appl,jffs2,-,2.1.0,1"};
    for (const std::string p : {"kernel", "rootfs", "appl"}) {
        std::string bytes = read_file(sb.path(p + ".bin"));
        bytes[bytes.size() / 2] ^= 0x5a;
        write_file(sb.path(p + "-2.1.0.bin"), bytes);
        a.insert(a.end(), {"--sw", p + ":2.1.0:" + p + "-2.1.0:" + sb.path(p + "-2.1.0.bin")});
    }
    ASSERT_EQ(0, nemftool(sb, a).status);
    ASSERT_EQ(0, nemftool(sb, {"delta", "--from", old_img, "--to", sb.path("new.nemf"), "-o", sb.path("delta.nemf")})
                     .status);
}

const sweep_case sweep_cases[] = {
    {.name = "partset", .args = {"partset", "2", "SET2NEW", "-refs=11,13,15", "-meta=3.0.1"}},
    {.name = "partinfo", .args = {"partinfo", "11", "KERNEL", "0x4000", "-metalength=10", "-metacrc=99"}},
    {.name = "activate", .args = {"activate", "2"}},
    {.name = "upgrade_activate",
     .args = {"upgrade", "activate", "-test"},
     .prepare =
         [](const sandbox& sb) {
             boot_cmdline(sb, "console=ttyS0 KRUSET=SET1\n");
             write_file(sb.path("tmp/kru.activeset"), "2\n");
         },
     .trial = true},
    {.name = "upgrade_validate",
     .args = {"upgrade", "validate"},
     .prepare =
         [](const sandbox& sb) {
             boot_cmdline(sb, "KRUSET=SET2\n");
             set2_flags(sb, 0x01);
         }},
    {.name = "upgrade_test",
     .args = {"upgrade", "test"},
     .prepare =
         [](const sandbox& sb) {
             boot_cmdline(sb, "KRUSET=SET2\n");
             set2_flags(sb, 0x03);
         }},
    {.name = "install_test", .args = {"install", "IMAGE", "2", "-test"}, .trial = true},
    {.name = "install_autodetect", .args = {"install", "IMAGE", "-1"}},
    {.name = "install_singleton_f", .args = {"install", "IMAGE", "2", "-f"}, .boot_image = true, .singleton_write = true},
    {.name = "install_delta", .args = {"install", "DELTA", "2"}, .prepare = delta_device},
};

// Erase-block size of every device, hostconfig and content partitions alike.
struct sweep_geometry {
    const char* name;
    uint32_t block;
};
constexpr sweep_geometry sweep_geometries[] = {{"64k", 64 * 1024}, {"128k", 128 * 1024}, {"256k", 256 * 1024}};
void PrintTo(const sweep_geometry& g, std::ostream* os) { *os << g.name; }

// The normal build sweeps every geometry. The sanitizer build, and the cross build whose every
// program start goes through the emulator, sweep the board's 256 KiB only.
std::vector<sweep_geometry> swept_geometries()
{
#if defined(__SANITIZE_ADDRESS__)
    const bool reduced = true;
#else
    const bool reduced = target_exec_cross();
#endif
    if (reduced)
        return {sweep_geometries[2]};
    return {std::begin(sweep_geometries), std::end(sweep_geometries)};
}

// Sandboxes on a memory file system when there is one: the sweep creates and removes tens of
// thousands of small files.
std::string sweep_base() { return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"; }

enum start_state { START_NORMAL, START_PRIMARY_TORN, START_BACKUP_TORN };
constexpr const char* start_names[] = {"normal", "primary_torn", "backup_torn"};

// What an earlier cut in the middle of writing a copy leaves: its first half, then erased.
void tear_copy(const sandbox& sb, const char* dev)
{
    std::string d = read_file(sb.path(dev));
    std::fill(d.begin() + 1510, d.begin() + hostconfig_max_size, '\xff');
    write_file(sb.path(dev), d);
}

using sweep_param = std::tuple<sweep_case, start_state, sweep_geometry>;

// One erase or write of the completed run: what CUT_OPS and CUT_BYTES count.
struct flash_op {
    bool write;
    int dev;
    uint64_t offset, length;
};

std::vector<flash_op> flash_ops(const std::string& log)
{
    std::vector<flash_op> ops;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        char op[32] = {};
        int dev = -1;
        unsigned long long off = 0, len = 0;
        if (std::sscanf(line.c_str(), "%*d %31s mtd%d %llx %llx", op, &dev, &off, &len) != 4)
            continue;
        if (std::string(op) == "erase" || std::string(op) == "write")
            ops.push_back({std::string(op) == "write", dev, off, len});
    }
    return ops;
}

bool hostconfig_device(int dev) { return dev == 5 || dev == 2; }

// What a load sees of the two hostconfig devices: the first 5120 bytes of each and the two
// flag bytes (stored, complemented).
struct flash_state {
    std::string mtd5, mtd2;
    uint8_t flags[2];
    // Byte `at` of device `dev` as it is in `other` (only the bytes a load looks at count).
    void take(int dev, uint64_t at, const flash_state& other)
    {
        if (at < hostconfig_max_size)
            (dev == 5 ? mtd5 : mtd2)[at] = (dev == 5 ? other.mtd5 : other.mtd2)[at];
        else if (dev == 5 && at >= flags_at && at < flags_at + 2)
            flags[at - flags_at] = other.flags[at - flags_at];
    }
    bool operator==(const flash_state&) const = default;
};

flash_state read_state(const sandbox& sb)
{
    const std::string mtd5 = read_file(sb.path("dev/mtd5"));
    return {mtd5.substr(0, hostconfig_max_size), read_file(sb.path("dev/mtd2")).substr(0, hostconfig_max_size),
            {static_cast<uint8_t>(mtd5[flags_at]), static_cast<uint8_t>(mtd5[flags_at + 1])}};
}

struct tally {
    int op_cuts = 0, byte_cuts = 0, torn_writes = 0;
    int old_record = 0, new_record = 0;
    int no_hostconfig = 0, other_record = 0, lost_trial = 0, verify_failed = 0;
    std::string verify_failed_at;   // the cut points, for the singleton report
    int unsafe(bool singleton) const
    {
        return no_hostconfig + other_record + lost_trial + (singleton ? 0 : verify_failed);
    }
};

bool action_available(const char* word)
{
    sandbox sb;
    run_result r = run_kru(sb, {word});
    return r.err.find("Unknown action") == std::string::npos;
}

struct PowerCut : testing::TestWithParam<sweep_param> {
    sandbox device{sweep_base()};   // the device before the action
    sandbox scratch{sweep_base()};  // where modelled flash states are loaded from
    strings args;
    krul_data before{}, after{};
    std::string active;   // the set active before the action
    const sweep_case& c = std::get<0>(GetParam());
    const sweep_geometry& geo = std::get<2>(GetParam());

    void SetUp() override
    {
        if (!action_available(c.args[0].c_str()))
            GTEST_SKIP() << c.args[0] << " is not in this build";
        ASSERT_NO_FATAL_FAILURE(provision(device, {geo.block, geo.block}));
        if (c.prepare)
            c.prepare(device);
        if (std::get<1>(GetParam()) == START_PRIMARY_TORN)
            tear_copy(device, "dev/mtd5");
        if (std::get<1>(GetParam()) == START_BACKUP_TORN)
            tear_copy(device, "dev/mtd2");
        args = c.args;
        for (std::string& a : args)
            if (a == "IMAGE")
                a = release_image(device, "release.nemf", c.boot_image);
            else if (a == "DELTA")
                a = device.path("delta.nemf");
        ASSERT_TRUE(flash_record(device, &before));
        active = std::to_string(before.actset);
        ASSERT_EQ(0, run_kru(device, {"verify", active}).status);
    }

    std::string where(const std::string& cut) const
    {
        return c.name + std::string(" from ") + start_names[std::get<1>(GetParam())] + " on " + geo.name + " with " +
               cut;
    }

    // Judges the hostconfig devices in `state` (the partitions are judged apart). Failure
    // messages name the first few cut points of each kind.
    void judge(const flash_state& state, const std::string& cut, tally* t) const
    {
        krul_data rec;
        if (!flash_record_of(state.mtd5, state.mtd2, scratch.root, &rec)) {
            if (++t->no_hostconfig <= 3)
                ADD_FAILURE() << where(cut) << ": no hostconfig loads";
            return;
        }
        if (same_record(rec, before)) {
            ++t->old_record;
        } else if (same_record(rec, after)) {
            ++t->new_record;
        } else if (++t->other_record <= 3) {
            ADD_FAILURE() << where(cut) << ": the record is neither the old nor the new one";
        }
        if (c.trial && rec.actset != before.actset && rec.actset == after.actset) {
            const uint8_t word = static_cast<uint8_t>(~state.flags[rec.actset - 1]);
            if ((word & 3) != 1 && ++t->lost_trial <= 3)
                ADD_FAILURE() << where(cut) << ": set " << int(rec.actset) << " is active without its trial";
        }
    }

    // Runs the action on a copy of the device with the power cut `cut`; with `whole`, judges
    // what it left, partitions included. The hostconfig devices as the run left them; `*was_cut`
    // is false when the action ended before the cut point.
    flash_state cut_run(const std::string& cut, bool whole, tally* t, bool* was_cut) const
    {
        sandbox sb(sweep_base());
        clone(device, sb);
        run_result r = run_kru(sb, args, {cut});
        *was_cut = sb.flash_log().find(" cut ") != std::string::npos;
        flash_state state = read_state(sb);
        if (!*was_cut) {
            EXPECT_EQ(0, r.status) << r.err;
            return state;
        }
        EXPECT_EQ(72, r.status) << "killed worker: 63 + SIGKILL";
        if (!whole)
            return state;
        judge(state, cut, t);
        run_result info = run_kru(sb, {"info"});
        EXPECT_EQ(0, info.status) << where(cut) << ": " << info.err;
        run_result v = run_kru(sb, {"verify", active});
        if (v.status != 0) {
            ++t->verify_failed;
            t->verify_failed_at += " " + cut.substr(cut.find("CUT_") + 4);
            if (!c.singleton_write)
                ADD_FAILURE() << where(cut) << ": set " << active << " no longer verifies: " << v.out;
        }
        return state;
    }
};

TEST_P(PowerCut, NoCutPointIsUnsafe)
{
    sandbox done(sweep_base());
    clone(device, done);
    run_result r = run_kru(done, args);
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_TRUE(flash_record(done, &after));
    const std::vector<flash_op> ops = flash_ops(done.flash_log());
    ASSERT_FALSE(ops.empty()) << "the action wrote nothing";

    tally t;
    // After each operation in turn, until one is past the last. states[n]: after operation n.
    std::vector<flash_state> states = {read_state(device)};
    for (size_t n = 1; n <= ops.size() + 1; ++n) {
        bool was_cut = false;
        flash_state s = cut_run("FLASHSIM_CUT_OPS=" + std::to_string(n), true, &t, &was_cut);
        if (!was_cut)
            break;
        states.push_back(s);
        ++t.op_cuts;
    }
    ASSERT_EQ(ops.size(), static_cast<size_t>(t.op_cuts)) << "cut points differ from the operations logged";

    uint64_t stored = 0;   // bytes stored before the write at hand, as CUT_BYTES counts them
    for (size_t n = 1; n <= ops.size(); ++n) {
        const flash_op& op = ops[n - 1];
        if (!op.write)
            continue;
        bool was_cut = false;
        if (!hostconfig_device(op.dev)) {   // a partition write, cut in its middle
            if (op.length > 1) {
                cut_run("FLASHSIM_CUT_BYTES=" + std::to_string(stored + op.length / 2), true, &t, &was_cut);
                t.torn_writes += was_cut;
            }
            stored += op.length;
            continue;
        }
        // A hostconfig or flag write, cut after each of its bytes but the last (which is the
        // cut after the operation): the state before it with its first k bytes as after it.
        flash_state s = states[n - 1];
        for (uint64_t k = 1; k < op.length; ++k) {
            s.take(op.dev, op.offset + k - 1, states[n]);
            judge(s, "the cut after byte " + std::to_string(k) + " of operation " + std::to_string(n), &t);
            ++t.byte_cuts;
            if (k == 1 || k == op.length / 2 || k == op.length - 1) {
                const std::string cut = "FLASHSIM_CUT_BYTES=" + std::to_string(stored + k);
                EXPECT_TRUE(cut_run(cut, false, &t, &was_cut) == s) << where(cut) << ": not the modelled flash";
                EXPECT_TRUE(was_cut) << where(cut);
            }
        }
        stored += op.length;
    }

    const start_state start = std::get<1>(GetParam());
    const unsigned kib = geo.block / 1024;
    const int broken = c.singleton_write ? 0 : t.verify_failed;
    std::printf("power-cut sweep | %-19s | %-12s | %3u KiB | ops %3zu | op cuts %3d | byte cuts %5d | torn %2d | "
                "old %5d | new %5d | unsafe %d (no hostconfig %d, lost trial %d, set %s broken %d, other %d)\n",
                c.name, start_names[start], kib, ops.size(), t.op_cuts, t.byte_cuts, t.torn_writes, t.old_record,
                t.new_record, t.unsafe(c.singleton_write), t.no_hostconfig, t.lost_trial, active.c_str(), broken,
                t.other_record);
    if (c.singleton_write && t.verify_failed > 0)
        std::printf("power-cut sweep | %-19s | %-12s | %3u KiB | singleton written with -f: set %s fails verify "
                    "after:%s\n",
                    c.name, start_names[start], kib, active.c_str(), t.verify_failed_at.c_str());
    EXPECT_EQ(0, t.unsafe(c.singleton_write));
}

// A retry after a power cut in the write-out (right after an erase, before its block is
// programmed; after a write; inside a write) ends with the bytes of a run that was never cut:
// the blocks done before the cut are kept, the one it hit is erased and programmed again. The
// cut restarted the device, so /tmp starts empty.
struct PowerCutRetry : PowerCut {};

TEST_P(PowerCutRetry, AfterACutInTheWriteOutEndsWithTheFinalBytes)
{
    sandbox done;
    clone(device, done);
    ASSERT_EQ(0, run_kru(done, args).status);
    std::vector<std::string> cuts;
    uint64_t stored = 0;
    const std::vector<flash_op> ops = flash_ops(done.flash_log());
    for (size_t n = 1; n <= ops.size(); ++n) {
        const flash_op& op = ops[n - 1];
        if (!hostconfig_device(op.dev)) {
            cuts.push_back("FLASHSIM_CUT_OPS=" + std::to_string(n));
            if (op.write && op.length > 1)
                cuts.push_back("FLASHSIM_CUT_BYTES=" + std::to_string(stored + op.length / 2));
        }
        stored += op.write ? op.length : 0;
    }
    int final_bytes = 0;
    for (const std::string& cut : cuts) {
        sandbox sb;
        clone(device, sb);
        run_kru(sb, args, {cut});
        ASSERT_NE(std::string::npos, sb.flash_log().find(" cut ")) << where(cut);
        std::filesystem::remove_all(sb.path("tmp"));
        std::filesystem::create_directory(sb.path("tmp"));
        run_result r = run_kru(sb, args);
        // A delta whose sources the cut had begun to overwrite is refused, writing nothing;
        // the terminal then takes the full image.
        if (std::string_view(c.name) == "install_delta" && r.status == 19) {
            strings full = args;
            full[1] = device.path("new.nemf");
            r = run_kru(sb, full);
        }
        EXPECT_EQ(0, r.status) << where(cut) << ", retried: " << r.err;
        bool same = true;
        for (const auto& f : std::filesystem::directory_iterator(done.path("dev")))
            same = same && read_file(f.path()) == read_file(sb.path("dev/" + f.path().filename().string()));
        EXPECT_TRUE(same) << where(cut) << ", retried: the devices differ from an uncut run";
        final_bytes += same;
    }
    std::printf("power-cut sweep | %-19s | retry        | %3u KiB | cuts in the write-out %3zu | retried to the final "
                "bytes %3d\n",
                c.name, geo.block / 1024, cuts.size(), final_bytes);
}

INSTANTIATE_TEST_SUITE_P(Actions, PowerCut,
                         testing::Combine(testing::ValuesIn(sweep_cases),
                                          testing::Values(START_NORMAL, START_PRIMARY_TORN, START_BACKUP_TORN),
                                          testing::ValuesIn(swept_geometries())),
                         [](const testing::TestParamInfo<sweep_param>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    start_names[std::get<1>(info.param)] + "_" + std::get<2>(info.param).name;
                         });

// The installs, from a normal start: the hostconfig's start states do not change the write-out.
INSTANTIATE_TEST_SUITE_P(Installs, PowerCutRetry,
                         testing::Combine(testing::ValuesIn([] {
                                              std::vector<sweep_case> v;
                                              for (const sweep_case& c : sweep_cases)
                                                  if (c.args[0] == "install")
                                                      v.push_back(c);
                                              return v;
                                          }()),
                                          testing::Values(START_NORMAL), testing::Values(swept_geometries()[0])),
                         [](const testing::TestParamInfo<sweep_param>& info) { return std::string(std::get<0>(info.param).name); });

}  // namespace
