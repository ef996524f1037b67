// The partition-table actions and the hostconfig they save, end to end on the emulated device:
// what lands in the stored record, the order of erases and writes, the backup copy, the flag
// bytes, and the arguments that are refused without writing anything.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "krul/krul.h"
#include "tests/support/kru_run.h"

namespace {

constexpr size_t record_offset = 24 + 32;   // the only part's body, behind both headers
constexpr size_t saved_size = 3020;
constexpr size_t flags_offset = 131070;

struct FlashDevice : testing::Test {
    sandbox sb_;
    void SetUp() override
    {
        sb_.make_mtd(5, 262144, 65536);
        sb_.make_mtd(2, 262144, 65536);
    }
    std::string dev(const char* name) const { return read_file(sb_.path(name)); }
    void poke(const char* name, size_t off, std::string_view bytes) const
    {
        std::string d = dev(name);
        d.replace(off, bytes.size(), bytes);
        write_file(sb_.path(name), d);
    }
    krul_data record() const
    {
        krul_data rec{};
        std::memcpy(&rec, dev("dev/mtd5").data() + record_offset, krul_stored_size);
        return rec;
    }
    // The erases and writes of the flash log from byte `from` on, "op mtdN offset length" each,
    // a run of erases on one device as one "erase mtdN".
    std::vector<std::string> changes(size_t from = 0) const
    {
        std::istringstream log(sb_.flash_log().substr(from));
        std::vector<std::string> ops;
        for (std::string pid, op, mtd, off, len; log >> pid >> op >> mtd >> off >> len;) {
            std::string entry = op == "erase" ? op + " " + mtd : op + " " + mtd + " " + off + " " + len;
            if (op != "read" && (ops.empty() || ops.back() != entry))
                ops.push_back(entry);
        }
        return ops;
    }
    void kru_ok(const std::vector<std::string>& args) const
    {
        run_result r = run_kru(sb_, args);
        ASSERT_EQ(0, r.status) << args[0] << ": " << r.err;
    }
};

// The copy that is the only one that loads is erased last. A copy torn by an earlier power cut
// (its first half written, the rest erased) does not load. A worn cell in the copy written
// first (the write reports success, one bit stays 1) fails its read-back, and the save stops
// before the other copy, the only good one left, is erased.
TEST_F(FlashDevice, SaveWritesTheCopyThatDoesNotLoadFirst)
{
    using ops = std::vector<std::string>;
    const ops backup_first = {"erase mtd2", "write mtd2 0x0 0xbcc", "erase mtd5", "write mtd5 0x0 0xbcc"};
    const ops primary_first = {"erase mtd5", "write mtd5 0x0 0xbcc", "erase mtd2", "write mtd2 0x0 0xbcc"};
    const struct {
        const char* torn;   // null: both copies load
        const char* worn;   // a FLASHSIM_WEAK rule, or null
        const ops order;
        const char* logged;
    } cases[] = {
        {nullptr, nullptr, backup_first, "primary loads, backup loads: backup first"},
        {"dev/mtd5", nullptr, primary_first, "primary does not load, backup loads: primary first"},
        {"dev/mtd2", nullptr, backup_first, "primary loads, backup does not load: backup first"},
        {nullptr, "FLASHSIM_WEAK=write:mtd2:1", {"erase mtd2", "write mtd2 0x0 0xbcc", "fault-weak mtd2 0x0 0x1"},
         "primary loads, backup loads: backup first"},
        {"dev/mtd5", "FLASHSIM_WEAK=write:mtd5:1", {"erase mtd5", "write mtd5 0x0 0xbcc", "fault-weak mtd5 0x0 0x1"},
         "primary does not load, backup loads: primary first"},
    };
    run_result r = run_kru(sb_, {"initialize"});
    EXPECT_EQ("initialize: OK\n", r.err);
    EXPECT_NE(std::string::npos, sb_.syslog().find("6 KRU: initialize: OK\n"));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.torn != nullptr ? c.torn : "both load") + (c.worn != nullptr ? ", worn" : ""));
        kru_ok({"initialize"});
        if (c.torn != nullptr)
            poke(c.torn, saved_size / 2, std::string(saved_size / 2, '\xff'));
        const char* loading = c.torn != nullptr ? "dev/mtd2" : "dev/mtd5";
        const std::string kept = dev(loading);
        write_file(sb_.path("flashsim.log"), "");
        write_file(sb_.path("syslog"), "");
        r = run_kru(sb_, {"partset", "1", "MAIN"}, c.worn != nullptr ? ops{c.worn} : ops{});
        EXPECT_EQ(c.order, changes());
        EXPECT_NE(std::string::npos, sb_.syslog().find(std::string("7 KRU: hostconfig_save: ") + c.logged + "\n"));
        if (c.worn != nullptr) {
            EXPECT_EQ(1, r.status);
            EXPECT_NE(std::string::npos, r.err.find("hostconfig_save failed.\n")) << r.err;
            EXPECT_EQ(kept, dev(loading));
            continue;
        }
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(dev("dev/mtd5").substr(0, saved_size), dev("dev/mtd2").substr(0, saved_size));
        EXPECT_EQ(std::string::npos, dev("dev/mtd5").find_first_not_of('\xff', saved_size));
    }
}

TEST_F(FlashDevice, SaveLeavesBothFlagWordsValid)
{
    kru_ok({"initialize"});
    poke("dev/mtd5", flags_offset, "\xfe\xfc");
    run_result r = run_kru(sb_, {"info"});
    EXPECT_NE(std::string::npos, r.out.find("set 1: TEST(1)\nKRU Data Upgrade set 2: BOOT(2)\n"));
    kru_ok({"partset", "1", "MAIN"});
    EXPECT_EQ("\xff\xff", dev("dev/mtd5").substr(flags_offset, 2));
    r = run_kru(sb_, {"info"});
    EXPECT_NE(std::string::npos, r.out.find("set 1: VALID(0)\nKRU Data Upgrade set 2: VALID(0)\n"));
}

// A device without lock support (the lock query fails with EOPNOTSUPP) locks nothing.
TEST_F(FlashDevice, BackupIsUsedOnlyWhenItIsAnUnlockedDevice)
{
    const struct {
        const char* what;
        std::vector<std::string> opts;
        const char* marker;   // file that makes the backup device locked or lock-less
        bool backup_usable;
    } cases[] = {
        {"default backup", {}, nullptr, true},
        {"locked backup", {}, "dev/mtd2.locked", false},
        {"backup without lock support", {}, "dev/mtd2.nolock", true},
        {"regular file as backup", {"-cfgbak=" + sb_.path("bak")}, nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sb_.make_mtd(5, 262144, 65536);
        sb_.make_mtd(2, 262144, 65536);
        std::remove(sb_.path("dev/mtd2.locked").c_str());
        std::remove(sb_.path("dev/mtd2.nolock").c_str());
        if (c.marker != nullptr)
            write_file(sb_.path(c.marker), "");
        write_file(sb_.path("bak"), "not a hostconfig");
        write_file(sb_.path("flashsim.log"), "");
        std::vector<std::string> args = c.opts;
        args.push_back("initialize");
        kru_ok(args);
        poke("dev/mtd5", 40, std::string_view("\0", 1));   // the primary fails its body CRC
        args.back() = "info";
        run_result r = run_kru(sb_, args);
        if (c.backup_usable) {
            EXPECT_EQ(0, r.status);
            EXPECT_EQ("hostconfig_load failed; loaded backup (/dev/mtd2) successfully.\n", r.err);
            continue;
        }
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("hostconfig_load failed.\ninfo action: loading hostcfg failed.\n", r.err);
        EXPECT_EQ(std::string::npos, sb_.flash_log().find("mtd2"));
        EXPECT_EQ(std::string::npos, dev("dev/mtd2").find_first_not_of('\xff'));
        EXPECT_EQ("not a hostconfig", read_file(sb_.path("bak")));
    }
}

// What the dump does not show: set names taken as they come and cut, 16-character pools and
// cut mount points, and the content record that outlives its cleared entry.
TEST_F(FlashDevice, ActionsStoreWhatTheirArgumentsSay)
{
    const struct {
        std::vector<std::string> args;
        bool (*check)(const krul_data& r);
    } cases[] = {
        {{"partset", "1", "-refs=0,1"}, [](const krul_data& r) { return krul_name(r.sets[1].name) == "-refs=0,1" && r.sets[1].refs[0] == -1; }},
        {{"partset", "1", "ABCDEFGHIJKLMNOPQRST"}, [](const krul_data& r) { return krul_name(r.sets[1].name) == "ABCDEFGHIJKLMN"; }},
        {{"partset", "1"}, [](const krul_data& r) { return r.sets[1].name[0] == '\0' && r.sets[1].refs[0] == -1; }},
        {{"partinfo", "4", "POOLNAME16CHARSX", "100", "-offset=100", "-pn=255", "-mount=/mnt/" + std::string(40, 'm'),
          "-metalength=5", "-metacrc=9"},
         [](const krul_data& r) {
             const partinfo& p = r.partinfo[4];
             return p.size == 100 && p.offset == 256 && p.pn == 255 && krul_name(p.poolname) == "POOLNAME16CHARSX" &&
                    krul_name(p.mountpnt) == "/mnt/" + std::string(27, 'm') && r.pinfometa[4].hdr.body_crc == 9;
         }},
        {{"partinfo", "4"}, [](const krul_data& r) {
             const partinfo zero{};
             return std::memcmp(&zero, &r.partinfo[4], sizeof zero) == 0 && r.pinfometa[4].hdr.body_length == 5;
         }},
    };
    kru_ok({"initialize"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        kru_ok(c.args);
        EXPECT_TRUE(c.check(record()));
    }
}

TEST_F(FlashDevice, RefusedArgumentsWriteNothing)
{
    kru_ok({"initialize"});
    const struct {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"partset"}, "partset action: SETIDX is missing.\n"},
        {{"partset", "3", "X"}, "partset action: SETIDX is illegal.\n"},
        {{"partset", "1", "X", "-refs=0,20"}, "partset action: PARTREFS holds an index outside 0..19.\n"},
        {{"partset", "1", "X", "-refs=0,,1"}, "partset action: PARTREFS is illegal.\n"},
        {{"partset", "1", "X", "-refs=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,0"},
         "partset action: PARTREFS holds more than 20 indexes.\n"},
        {{"partinfo"}, "partinfo action: wrong syntax.\n"},
        {{"partinfo", "4", "POOL"}, "partinfo action: wrong syntax.\n"},
        {{"partinfo", "20", "POOL", "1"}, "partinfo action: PARTIDX is illegal.\n"},
        {{"partinfo", "4", "POOL", "1", "-pn=256"}, "partinfo action: pn invalid.\n"},
        {{"partinfo", "4", "POOL", "size"}, "partinfo action: SIZE is illegal.\n"},
        {{"partinfo", "4", "POOLNAME17CHARSXX", "1"}, "partinfo action: POOLNAME is longer than 16 characters.\n"},
        {{"partinfo", "4", "P", "1", "-mount=/" + std::string(99, 'm')}, "partinfo action: MOUNT is longer than 99 characters.\n"},
        {{"partinfo", "4", "P", "1", "-fstype=squashfs4x"}, "partinfo action: FSTYPE is longer than 9 characters.\n"},
        {{"partinfo", "4", "P", "1", "-offset=100000000"}, "partinfo action: OFFSET is illegal.\n"},
    };
    const size_t before = sb_.flash_log().size();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        run_result r = run_kru(sb_, c.args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.err, r.err);
    }
    // Dry runs are no refusal, but write nothing either; -v shows the record they would save.
    run_result r = run_kru(sb_, {"partset", "1", "MAIN", "-dryrun", "-v"});
    EXPECT_NE(std::string::npos, r.out.find("  1  MAIN             0          0.00 0     \n"));
    EXPECT_EQ(std::vector<std::string>{}, changes(before));
}

}  // namespace
