// The activate, upgrade and mount actions through the kru binary on the emulated device: the
// active set, the upgrade states left in the flag bytes, what was saved, and the exact texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/trial_device.h"

namespace {

struct TrialTest : TrialDevice {
    // The active set as getpartset reports it, with the hostconfig options of `cfg`.
    std::string actset(const std::vector<std::string>& cfg = {})
    {
        std::vector<std::string> args = {"getpartset", "active"};
        args.insert(args.end(), cfg.begin(), cfg.end());
        std::string out = run_kru(sb_, args).out;
        size_t at = out.find("Set: ");
        return at == std::string::npos ? "?" : out.substr(at + 5, 1);
    }
    bool saved() { return sb_.flash_log().find(" erase mtd") != std::string::npos; }
    void forget_flash_log() { write_file(sb_.path("flashsim.log"), ""); }
};

constexpr int VALID = 0xFF, TEST = 0xFE, BOOT = 0xFC;

TEST_F(TrialTest, ActivateChecksTheSetUnlessForced)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char* err;
        const char* actset;
        const char* flags;   // after the action; both sets start in TEST
    } cases[] = {
        {{"activate", "1"}, 0, "", "1", "VALID VALID"},
        {{"activate", "SET1", "-dryrun"}, 0, "", "0", "TEST TEST"},
        {{"activate", "2"}, 1, "activate: set 2 validation err=2\n", "0", "TEST TEST"},
        {{"activate", "2", "-f"}, 0, "", "2", "VALID VALID"},
        {{"activate", "9"}, 1, "activate: invalid set id: 9\n", "0", "TEST TEST"},
        {{"activate"}, 1, "activate: invalid set id: (none)\n", "0", "TEST TEST"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] + " " + c.args.back() : "no set");
        ASSERT_EQ(0, run_kru(sb_, {"activate", "0"}).status);
        set_flags(TEST, TEST);
        forget_flash_log();
        run_result r = run_kru(sb_, c.args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(c.flags, flags());
        EXPECT_EQ(std::string(c.flags) == "VALID VALID", saved());
        EXPECT_EQ(c.actset, actset());
    }
    set_ref(2, 0, -1);
    run_result r = run_kru(sb_, {"activate", "2"});
    EXPECT_EQ("activate: set 2 validation err=1\n", r.err);
}

// The hook runs last, only after a successful activate (also a dry run), and its result is
// not the tool's.
TEST_F(TrialTest, ActivateHookSeesTheActivatedRecord)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char* out;
    } cases[] = {
        {{"activate", "2", "-f", "-dryrun"}, 0, "activate hook: actset 2\n"},
        {{"activate", "2"}, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args.back());
        run_result r = run(sb_, KRU_TRIALHOOKS_BIN, c.args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.out, r.out);
    }
}

// Every upgrade word against the boot sets and states of the trial.
TEST_F(TrialTest, UpgradeMovesTheTrialOfTheBootSet)
{
    const struct {
        const char* what;
        const char* cmdline;
        int flag1, flag2;
        const char* activeset;   // null: no activeset file
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
        const char* flags;   // after the action; "missing" without /dev/mtd5
        const char* actset;
        bool saved;
    } cases[] = {
        {"no KRUSET word", "console=ttyS0", TEST, TEST, nullptr, {"validate"}, 0, "Already validated\n", "", "TEST TEST", "0", false},
        {"set 1 in TEST", "a KRUSET=SET1", TEST, TEST, nullptr, {"validate"}, 0, "", "", "VALID VALID", "0", true},
        {"set 2 in BOOT", "KRUSET=SET2", TEST, BOOT, nullptr, {"validate"}, 0, "", "", "VALID VALID", "0", true},
        {"set 2 VALID", "KRUSET=SET2", TEST, VALID, nullptr, {"validate"}, 0, "Already validated\n", "", "TEST VALID", "0", false},
        {"no flag words", "KRUSET=SET1", VALID, VALID, nullptr, {"validate", "-cfg=/dev/mtd2"}, 1, "Upgrade state is invalid\n", "", "missing", "0", false},
        {"BOOT to TEST", "KRUSET=SET2", VALID, BOOT, nullptr, {"test"}, 0, "", "", "VALID TEST", "0", true},
        {"TEST stays", "KRUSET=SET2", VALID, TEST, nullptr, {"test"}, 0, "", "", "VALID TEST", "0", false},
        {"VALID stays", "KRUSET=SET1", VALID, BOOT, nullptr, {"test"}, 0, "", "", "VALID BOOT", "0", false},
        {"safe set stays", "KRUSET=SAFESET", BOOT, BOOT, nullptr, {"test"}, 0, "", "", "BOOT BOOT", "0", false},
        {"dry run", "KRUSET=SET2", VALID, BOOT, nullptr, {"test", "-dryrun"}, 0, "", "", "VALID BOOT", "0", false},
        {"activate on trial", "KRUSET=SET1", VALID, VALID, "2", {"activate", "-test"}, 0, "", "", "VALID TEST", "2", true},
        {"activate, no -test", "KRUSET=SET1", TEST, BOOT, "2", {"activate"}, 0, "", "", "VALID VALID", "2", true},
        {"activate from safe set", "KRUSET=SAFESET", VALID, VALID, "2", {"activate", "-test"}, 0, "", "", "VALID VALID", "2", true},
        {"already active", "KRUSET=SET1", VALID, TEST, "0", {"activate", "-test"}, 0, "", "", "VALID TEST", "0", false},
        {"no activeset file", "KRUSET=SET1", VALID, VALID, nullptr, {"activate"}, 1, "", "", "VALID VALID", "0", false},
        {"no such set", "KRUSET=SET1", VALID, VALID, "7", {"activate"}, 1, "", "upgrade: invalid set id: 7\n", "VALID VALID", "0", false},
        {"no word", "KRUSET=SET1", VALID, VALID, nullptr, {}, 1, "", "upgrade: Missing argument\n", "VALID VALID", "0", false},
        {"other word", "KRUSET=SET1", VALID, VALID, nullptr, {"start"}, 1, "", "upgrade: unknown command.\n", "VALID VALID", "0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, run_kru(sb_, {"activate", "0"}).status);
        boot_from(c.cmdline);
        set_flags(c.flag1, c.flag2);
        std::remove(sb_.path("tmp/kru.activeset").c_str());
        if (c.activeset != nullptr)
            write_file(sb_.path("tmp/kru.activeset"), c.activeset);
        std::vector<std::string> args = {"upgrade"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        bool elsewhere = args.back() == "-cfg=/dev/mtd2";
        bool no_mtd5 = std::string(c.flags) == "missing";
        std::string mtd5 = read_file(sb_.path("dev/mtd5"));
        if (no_mtd5)
            std::remove(sb_.path("dev/mtd5").c_str());
        forget_flash_log();
        run_result r = run_kru(sb_, args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(c.flags, flags());
        EXPECT_EQ(c.saved, saved());
        EXPECT_EQ(c.actset, actset(elsewhere ? std::vector<std::string>{"-cfg=/dev/mtd2"} : std::vector<std::string>{}));
        if (no_mtd5)
            write_file(sb_.path("dev/mtd5"), mtd5);
    }
}

// A trial started with the save is marked before the new record can load: the flag word is
// programmed in its own erase block before anything else is written, or, where it shares the
// container's block, right after that block's erase, the primary going first while the backup
// holds the old record. When it cannot be programmed, the old hostconfig stays.
TEST_F(TrialTest, TrialIsMarkedBeforeTheNewRecordCanLoad)
{
    const std::vector<std::string> backup = {"erase mtd2 0x0 0x10000", "erase mtd2 0x10000 0x10000",
                                             "erase mtd2 0x20000 0x10000", "erase mtd2 0x30000 0x10000",
                                             "write mtd2 0x0 0xbcc"};
    auto then = [&](std::vector<std::string> first, const std::vector<std::string>& rest) {
        first.insert(first.end(), backup.begin(), backup.end());
        first.insert(first.end(), rest.begin(), rest.end());
        return first;
    };
    const struct {
        const char* what;
        const char* mtd5_erasesize;
        const char* fail;
        int status;
        const char* err;
        const char* flags;
        const char* actset;
        std::vector<std::string> changes;   // erases and writes, in order
        bool torn_backup = false;           // an earlier cut left the backup half written
    } cases[] = {
        {"own block", "65536", nullptr, 0, "", "VALID TEST", "2",
         then({"erase mtd5 0x10000 0x10000", "write mtd5 0x1fffe 0x2"},
              {"erase mtd5 0x0 0x10000", "erase mtd5 0x20000 0x10000", "erase mtd5 0x30000 0x10000",
               "write mtd5 0x0 0xbcc"})},
        {"shared block", "262144", nullptr, 0, "", "VALID TEST", "2",
         then({"erase mtd5 0x0 0x40000", "write mtd5 0x1fffe 0x2", "write mtd5 0x0 0xbcc"}, {})},
        // The backup is first made whole again with the record from before.
        {"shared block, backup torn", "262144", nullptr, 0, "", "VALID TEST", "2",
         then({}, then({"erase mtd5 0x0 0x40000", "write mtd5 0x1fffe 0x2", "write mtd5 0x0 0xbcc"}, {})), true},
        {"flag word not programmable", "65536", "FLASHSIM_FAIL=write:mtd5:1", 1, "failed to set upgrade state\n",
         "VALID VALID", "0", {"erase mtd5 0x10000 0x10000"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, run_kru(sb_, {"activate", "0"}).status);
        if (c.torn_backup) {
            std::string d = read_file(sb_.path("dev/mtd2"));
            std::fill(d.begin() + 1510, d.begin() + 5120, '\xff');
            write_file(sb_.path("dev/mtd2"), d);
        }
        write_file(sb_.path("dev/mtd5.erasesize"), c.mtd5_erasesize);
        boot_from("KRUSET=SET1");
        write_file(sb_.path("tmp/kru.activeset"), "2");
        forget_flash_log();
        std::vector<std::string> env;
        if (c.fail != nullptr)
            env.push_back(c.fail);
        run_result r = run_kru(sb_, {"upgrade", "activate", "-test"}, env);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
        std::vector<std::string> changes;
        std::istringstream log(sb_.flash_log());
        for (std::string pid, op, rest; log >> pid >> op && std::getline(log, rest);)
            if (op == "erase" || op == "write")
                changes.push_back(op + rest);
        EXPECT_EQ(c.changes, changes);
        EXPECT_EQ(c.flags, flags());
        EXPECT_EQ(c.actset, actset());
    }
}

// NOR cannot turn a 0 bit back into 1 without an erase: with the hostconfig elsewhere, the
// save does not erase the flag words, and VALID written over TEST fails the action.
TEST_F(TrialTest, StateThatFlashCannotTakeFailsTheAction)
{
    const struct {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"upgrade", "validate", "-cfg=/dev/mtd2"}, "failed to set upgrade state\n"},
        {{"activate", "1", "-cfg=/dev/mtd2"}, "cannot set normal mode\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        boot_from("KRUSET=SET1");
        set_flags(TEST, TEST);
        run_result r = run_kru(sb_, c.args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ("TEST TEST", flags());
    }
}

// The activeset file is believed only when the install could have left it: a regular file of
// the effective user that nobody else may write. Anything else reads as no file at all.
TEST_F(TrialTest, UpgradeActivateBelievesOnlyAPrivateActivesetFile)
{
    const std::string path = sb_.path("tmp/kru.activeset"), target = sb_.path("planted");
    const bool root = geteuid() == 0;
    const struct {
        const char* what;
        void (*plant)(const std::string& path, const std::string& target);
        bool needs_root;
        int status;
    } cases[] = {
        {"regular file", [](const std::string& p, const std::string&) { write_file(p, "2"); }, false, 0},
        {"link to a file holding 2",
         [](const std::string& p, const std::string& t) { std::filesystem::create_symlink(t, p); }, false, 1},
        {"another user's", [](const std::string& p, const std::string&) {
             write_file(p, "2");
             ASSERT_EQ(0, chown(p.c_str(), 65534, 65534));
         }, true, 1},
        {"writable by others", [](const std::string& p, const std::string&) {
             write_file(p, "2");
             chmod(p.c_str(), 0646);
         }, false, 1},
        {"writable by the group", [](const std::string& p, const std::string&) {
             write_file(p, "2");
             chmod(p.c_str(), 0620);
         }, false, 1},
        {"a FIFO", [](const std::string& p, const std::string&) { ASSERT_EQ(0, mkfifo(p.c_str(), 0600)); }, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && !root)
            continue;   // only root can give a file away
        ASSERT_EQ(0, run_kru(sb_, {"activate", "0"}).status);
        boot_from("KRUSET=SET1");
        std::filesystem::remove(path);
        write_file(target, "2");
        c.plant(path, target);
        run_result r = run_kru(sb_, {"upgrade", "activate"});
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_EQ(c.status == 0 ? "2" : "0", actset());
        EXPECT_EQ("2", read_file(target));
    }
}

TEST_F(TrialTest, MountReportsEachPartitionAndAlwaysSucceeds)
{
    const struct {
        std::vector<std::string> args;
        const char* fail;   // mount.fail of the emulator
        int status;
        const char* out;
        const char* err;
        const char* mounts;
    } cases[] = {
        {{"mount", "1", "-dryrun"}, "", 0,
         "KRU: Mounting /dev/mtd13 on /mnt/appl as jffs2... DRYRUN\n"
         "KRU: Mounting /dev/mtd6 on /mnt/misc as jffs2... DRYRUN\n",
         "", ""},
        {{"mount", "SET1"}, "/mnt/misc 16\n* 19\n", 0,
         "KRU: Mounting /dev/mtd13 on /mnt/appl as jffs2... FAILED: No such device\n"
         "KRU: Mounting /dev/mtd6 on /mnt/misc as jffs2... PASS: Already mounted or in use (EBUSY)\n",
         "", "mount /dev/mtd13 /mnt/appl jffs2 0x0\nmount /dev/mtd6 /mnt/misc jffs2 0x0\n"},
        {{"mount", "0"}, "", 0, "KRU: Mounting /dev/mtd6 on /mnt/misc as jffs2... OK\n", "",
         "mount /dev/mtd6 /mnt/misc jffs2 0x0\n"},
        {{"mount"}, "", 1, "", "mount: missing set idx?\n", ""},
        {{"mount", "SET9"}, "", 1, "", "mount: invalid set idx?\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        write_file(sb_.path("mount.fail"), c.fail);
        write_file(sb_.path("mount.log"), "");
        run_result r = run_kru(sb_, c.args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(c.mounts, read_file(sb_.path("mount.log")));
    }
}

}  // namespace
