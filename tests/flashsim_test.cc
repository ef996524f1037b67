// The device emulator seen from outside: flashsim_probe (and flashcp) run under it as
// processes, each test in a fresh sandbox; results are the probe's lines, the sandbox files
// and the emulator's logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/kru_run.h"
#include "tests/support/target_exec.h"

namespace {

using lines = std::vector<std::string>;

lines split(const std::string& text)
{
    lines v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

struct proc_result {
    int status = -1;   // exit status, or 128 + signal
    lines out;         // standard output, a line each
};
proc_result lines_of(const run_result& r) { return {r.status, split(r.out)}; }

struct FlashsimTest : testing::Test {
    sandbox sb;

    std::string at(std::string_view rel) const { return sb.path(rel); }
    std::string dev(int n) const { return at("dev/mtd" + std::to_string(n)); }

    // Through the helper that scripts use too.
    void mkdev(int n, const char* size, const char* erasesize = nullptr, char fill = '\xff')
    {
        std::vector<std::string> args = {sb.root, std::to_string(n), size};
        if (erasesize != nullptr)
            args.push_back(erasesize);
        ASSERT_EQ(0, run(sb, FLASHSIM_TEST_MKDEV, args).status);
        if (fill != '\xff')
            write_file(dev(n), std::string(read_file(dev(n)).size(), fill));
    }

    // Zeroes [off, off + len) of device n, as a program that has run there would.
    void program_block(int n, size_t off, size_t len)
    {
        std::string flash = read_file(dev(n));
        std::fill_n(flash.begin() + static_cast<long>(off), len, '\0');
        write_file(dev(n), flash);
    }

    // flashsim.log without the pid field.
    lines ops() const
    {
        lines v = split(sb.flash_log());
        for (std::string& l : v)
            l.erase(0, l.find(' ') + 1);
        return v;
    }

    proc_result probe(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
    {
        return lines_of(run(sb, FLASHSIM_TEST_PROBE, args, env));
    }
};

TEST_F(FlashsimTest, EraseChecksRangeAndAlignmentLikeTheKernel) {
    const struct { const char* what; const char* start; const char* len; const char* want; } cases[] = {
        {"first block",                 "0",       "0x10000", "erase 0"},
        {"whole device",                "0",       "0x40000", "erase 0"},
        {"last block, ends at the end", "0x30000", "0x10000", "erase 0"},
        {"empty range",                 "0x10000", "0",       "erase 0"},
        {"start inside a block",        "0x8000",  "0x10000", "erase EINVAL"},
        {"length not whole blocks",     "0",       "0x8000",  "erase EINVAL"},
        {"one block past the end",      "0x30000", "0x20000", "erase EINVAL"},
        {"starts at the end",           "0x40000", "0x10000", "erase EINVAL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mkdev(0, "0x40000", "65536", '\0');
        proc_result r = probe({"open", "/dev/mtd0", "rw", "erase", c.start, c.len});
        EXPECT_EQ((lines{"open 0", c.want}), r.out);

        std::string want(0x40000, '\0');
        if (std::string_view(c.want) == "erase 0")
            std::fill_n(want.begin() + std::stoul(c.start, nullptr, 0), std::stoul(c.len, nullptr, 0), '\xff');
        EXPECT_TRUE(read_file(dev(0)) == want) << "device bytes differ";
    }
}

TEST_F(FlashsimTest, GeometryComesFromTheEraseSizeFileTheEnvironmentOrTheDefault) {
    const struct { const char* what; const char* file; const char* env; const char* want; } cases[] = {
        {"file, decimal",            "8192\n", nullptr,                        "erasesize=0x2000"},
        {"file wins, hexadecimal",   "0x4000", "FLASHSIM_ERASESIZE=4096",      "erasesize=0x4000"},
        {"environment",              nullptr,  "FLASHSIM_ERASESIZE=0x1000",    "erasesize=0x1000"},
        {"default",                  nullptr,  nullptr,                        "erasesize=0x10000"},
        {"unreadable file: default", "lots",   nullptr,                        "erasesize=0x10000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mkdev(2, "0x20000");
        std::filesystem::remove(dev(2) + ".erasesize");
        if (c.file != nullptr)
            write_file(dev(2) + ".erasesize", c.file);
        std::vector<std::string> env;
        if (c.env != nullptr)
            env.push_back(c.env);
        proc_result r = probe({"open", "/dev/mtd2", "r", "info"}, env);
        EXPECT_EQ((lines{"open 0", "info size=0x20000 " + std::string(c.want) +
                                       " type=3 flags=0xc00 writesize=1 oobsize=0"}),
                  r.out);
    }
}

TEST_F(FlashsimTest, WritesOnlyClearBitsAndLogTheFirstByteThatNeededErasing) {
    mkdev(0, "0x10000", "4096");
    proc_result r = probe({"open", "/dev/mtd0", "rw", "pwrite", "0x10", "f00f", "pwrite", "0x10", "f0f0", "seek",
                           "0x10", "read", "2", "write", "00", "pread", "0x12", "1"});
    EXPECT_EQ((lines{"open 0", "pwrite 2", "pwrite 2", "seek 16", "read f000", "write 1", "pread 00"}), r.out);
    EXPECT_EQ((lines{"write mtd0 0x10 0x2", "write mtd0 0x10 0x2", "fault-unerased mtd0 0x11 0x2",
                     "read mtd0 0x10 0x2", "write mtd0 0x12 0x1", "read mtd0 0x12 0x1"}),
              ops());
}

TEST_F(FlashsimTest, RequestsThatCannotReachFlashFailAsOnTheDevice) {
    const struct { const char* what; bool locked; std::vector<std::string> steps; const char* want; size_t cleared; }
        cases[] = {
            {"write, locked",           true,  {"rw", "pwrite", "0", "00"},           "pwrite EROFS", 0},
            {"erase, locked",           true,  {"rw", "erase", "0", "0x1000"},        "erase EROFS",  0},
            {"write, read-only",        false, {"r", "pwrite", "0", "00"},            "pwrite EBADF", 0},
            {"erase, read-only",        false, {"r", "erase", "0", "0x1000"},         "erase EPERM",  0},
            {"write at the end",        false, {"rw", "pwrite", "0x10000", "00"},     "pwrite ENOSPC", 0},
            {"write across the end",    false, {"rw", "pwrite", "0xfffe", "000000"},  "pwrite 2",     2},
        };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mkdev(0, "0x10000", "4096");
        std::filesystem::remove(dev(0) + ".locked");
        if (c.locked)
            write_file(dev(0) + ".locked", "");
        std::vector<std::string> args = {"open", "/dev/mtd0"};
        args.insert(args.end(), c.steps.begin(), c.steps.end());
        proc_result r = probe(args);
        ASSERT_EQ(2u, r.out.size());
        EXPECT_EQ(c.want, r.out[1]);
        std::string want(0x10000, '\xff');
        std::fill_n(want.end() - static_cast<long>(c.cleared), c.cleared, '\0');
        EXPECT_TRUE(read_file(dev(0)) == want) << "device bytes differ";
    }
}

TEST_F(FlashsimTest, MappedPathsLandInTheSandbox) {
    // An ioctl on a plain file reaches the kernel, which refuses it with ENOTTY; qemu-user
    // refuses the MTD requests, which it does not know, itself with ENOSYS.
    const char* not_tty_ioctl = target_exec_cross() ? "info ENOSYS" : "info ENOTTY";
    write_file(at("proc/cmdline"), "console=ttyS0 KRUSET=SET1\n");
    mkdev(3, "4096");
    proc_result r = probe({"cat", "/proc/cmdline", "mkdir", "/mnt/appl", "put", "/mnt/appl/hostcfg.default", "hello",
                           "cat", "/mnt/appl/hostcfg.default", "realpath", "/mnt/appl/hostcfg.default", "opendir",
                           "/mnt/appl", "put", "/tmp/kru.lock", "1", "stat", "/tmp/kru.lock", "stat", "/dev/mtd3",
                           "open", "/tmp/kru.lock", "rw", "info", "open", "/dev/mtd7", "r", "open", "/dev/mtd03", "r",
                           "open", "/dev/mtd3x", "r", "unlink", "/tmp/kru.lock", "access", "/tmp/kru.lock"});
    EXPECT_EQ((lines{"cat console=ttyS0 KRUSET=SET1", "mkdir 0", "put 5", "cat hello",
                     "realpath /mnt/appl/hostcfg.default", "opendir 0", "put 1", "stat size=1", "stat size=4096",
                     "open 0", not_tty_ioctl, "open ENOENT", "open ENOENT", "open ENOENT", "unlink 0",
                     "access ENOENT"}),
              r.out);
    EXPECT_EQ("hello", read_file(at("mnt/appl/hostcfg.default")));
}

TEST_F(FlashsimTest, ClosedDeviceDescriptorIsOrdinaryAgain) {
    mkdev(0, "4096");
    // The file reuses the device's descriptor number; overwriting must not AND the bytes.
    proc_result r = probe({"open", "/dev/mtd0", "rw", "close", "open", "/tmp/kru.x", "creat", "write", "0f", "seek",
                           "0", "write", "f0"});
    EXPECT_EQ((lines{"open 0", "close 0", "open 0", "write 1", "seek 0", "write 1"}), r.out);
    EXPECT_EQ("\xf0", read_file(at("tmp/kru.x")));
}

TEST_F(FlashsimTest, SystemLogLinesCarryPriorityIdentAndOneLineMessage) {
    proc_result r = probe({"syslog", "6", "before openlog", "openlog", "KRU", "syslog", "3", "one\n", "syslog", "5",
                           "two\nlines", "syslogm", "2", "open x", "syslogchk", "7", "fortified", "setlogmask", "0x0f",
                           "syslog", "6", "masked", "syslog", "11", "with facility", "closelog", "syslog", "3",
                           "after close"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ((lines{"6 -: before openlog", "3 KRU: one", "5 KRU: two lines", "2 KRU: open x: No such file or directory",
                     "7 KRU: fortified", "3 KRU: with facility", "3 -: after close"}),
              split(read_file(at("syslog"))));
}

TEST_F(FlashsimTest, InjectedFailuresHitTheNthOperation) {
    const struct { const char* rule; std::vector<std::string> steps; lines want; const char* logged; } cases[] = {
        {"FLASHSIM_FAIL=erase:mtd0:2",
         {"erase", "0", "0x1000", "erase", "0x1000", "0x1000", "erase", "0x2000", "0x1000", "pread", "0x1000", "1"},
         {"erase 0", "erase EIO", "erase 0", "pread 00"}, "fail mtd0 0x1000 0x1000 erase"},
        {"FLASHSIM_FAIL=write:*:1", {"pwrite", "0", "00", "pwrite", "1", "00", "pread", "0", "2"},
         {"pwrite EIO", "pwrite 1", "pread ff00"}, "fail mtd0 0x0 0x1 write"},
        {"FLASHSIM_FAIL=read:mtd0:2", {"pread", "0", "1", "pread", "0", "1", "pread", "0", "1"},
         {"pread ff", "pread EIO", "pread ff"}, "fail mtd0 0x0 0x1 read"},
        {"FLASHSIM_FAIL=write:mtd1:1", {"pwrite", "0", "0f", "pread", "0", "1"}, {"pwrite 1", "pread 0f"}, nullptr},
        // A worn cell: the write succeeds, one bit of its first programming byte stays 1.
        {"FLASHSIM_WEAK=write:mtd0:2", {"pwrite", "0", "00", "pwrite", "1", "ff0a3c", "pread", "0", "4"},
         {"pwrite 1", "pwrite 3", "pread 00ff0b3c"}, "fault-weak mtd0 0x2 0x1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        mkdev(0, "0x4000", "4096");
        program_block(0, 0x1000, 0x1000);
        write_file(at("flashsim.log"), "");
        std::vector<std::string> args = {"open", "/dev/mtd0", "rw"};
        args.insert(args.end(), c.steps.begin(), c.steps.end());
        proc_result r = probe(args, {c.rule});
        lines want = c.want;
        want.insert(want.begin(), "open 0");
        EXPECT_EQ(want, r.out);
        lines log = ops();
        EXPECT_EQ(c.logged != nullptr, std::find(log.begin(), log.end(), c.logged ? c.logged : "") != log.end());
    }
}

TEST_F(FlashsimTest, PowerCutAfterNOperationsKeepsWhatCameBefore) {
    mkdev(0, "0x2000", "4096");
    program_block(0, 0x1000, 0x1000);
    proc_result r = probe({"open", "/dev/mtd0", "rw", "erase", "0x1000", "0x1000", "pwrite", "0", "01", "pwrite", "1",
                           "02", "pwrite", "2", "03"},
                          {"FLASHSIM_CUT_OPS=3"});
    EXPECT_EQ(128 + SIGKILL, r.status);
    EXPECT_EQ((lines{"open 0", "erase 0", "pwrite 1"}), r.out);   // the third operation never returned
    std::string flash = read_file(dev(0));
    EXPECT_EQ("\x01\x02\xff", flash.substr(0, 3));
    EXPECT_EQ(std::string(0x1000, '\xff'), flash.substr(0x1000));
    EXPECT_EQ("cut mtd0 0x1 0x1 write", ops().back());
}

TEST_F(FlashsimTest, PowerCutAfterNBytesStopsInsideTheWrite) {
    for (int n = 1; n <= 8; ++n) {   // every byte of the second write
        SCOPED_TRACE(n);
        mkdev(0, "4096", "4096");
        write_file(at("flashsim.log"), "");
        proc_result r = probe({"open", "/dev/mtd0", "rw", "pwrite", "0", "00000000", "pwrite", "4", "0000000000000000",
                               "pwrite", "12", "00"},
                              {"FLASHSIM_CUT_BYTES=" + std::to_string(4 + n)});
        EXPECT_EQ(128 + SIGKILL, r.status);
        EXPECT_EQ((lines{"open 0", "pwrite 4"}), r.out);
        std::string flash = read_file(dev(0)).substr(0, 16);
        EXPECT_EQ(std::string(4 + static_cast<size_t>(n), '\0') + std::string(12 - static_cast<size_t>(n), '\xff'), flash);
        EXPECT_EQ("cut mtd0 0x4 0x" + std::to_string(n) + " write", ops().back());
    }
}

TEST_F(FlashsimTest, StalledProcessWaitsForTheTestAndKeepsHandlingSignals) {
    const struct { const char* rule; std::vector<std::string> steps; lines want; const char* logged; } cases[] = {
        {"write:mtd0:2", {"pwrite", "0", "00", "pwrite", "1", "00"}, {"pwrite 1", "pwrite 1"},
         "stall mtd0 0x1 0x1 write"},
        {"flock:*:1", {"flock", "/tmp/kru.lock", "pwrite", "1", "00"}, {"flock 0", "pwrite 1"},
         "stall - 0x0 0x0 flock"},
        {"preflock:*:1", {"flock", "/tmp/kru.lock", "pwrite", "1", "00"}, {"flock 0", "pwrite 1"},
         "stall - 0x0 0x0 preflock"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        mkdev(0, "4096");
        write_file(at("flashsim.log"), "");
        std::vector<std::string> args = {"onusr1", "open", "/dev/mtd0", "rw"};
        args.insert(args.end(), c.steps.begin(), c.steps.end());
        args.push_back("usr1");
        started s = run_start(sb, FLASHSIM_TEST_PROBE, args, {std::string("FLASHSIM_STALL=") + c.rule});
        ASSERT_EQ(s.pid, wait_for_stall(sb));
        EXPECT_EQ(std::to_string(s.pid) + "\n", read_file(at("stall." + std::to_string(s.pid))));
        EXPECT_EQ('\xff', read_file(dev(0))[1]);   // the stalled write has not happened
        kill(s.pid, SIGUSR1);
        std::filesystem::remove(at("stall." + std::to_string(s.pid)));
        proc_result r = lines_of(run_wait(s));
        lines want = c.want;
        want.insert(want.begin(), {"onusr1 0", "open 0"});
        want.push_back("usr1 1");
        EXPECT_EQ(want, r.out);
        EXPECT_EQ('\0', read_file(dev(0))[1]);
        lines log = ops();
        EXPECT_NE(log.end(), std::find(log.begin(), log.end(), c.logged));
    }
}

// The board's flash time is summed from the NOR timing table, never slept: a page touched by a
// write costs a whole page program.
TEST_F(FlashsimTest, ModelledFlashTimeIsLoggedPerProcess) {
    const struct { const char* what; std::vector<std::string> env; const char* want; } cases[] = {
        {"not asked for", {}, nullptr},
        {"datasheet defaults", {"FLASHSIM_TIME_LOG=1"},
         "time - 0x0 0xf4501 modelled flash time 1.000705 s: erased 2 blocks, programmed 2 bytes in 2 pages, read 640 bytes"},
        {"overrides", {"FLASHSIM_TIME_LOG=1", "FLASHSIM_TIMING=erase=1000,page=256,program=100,read=1000000"},
         "time - 0x0 0xb18 modelled flash time 0.002840 s: erased 2 blocks, programmed 2 bytes in 2 pages, read 640 bytes"},
        {"cut", {"FLASHSIM_TIME_LOG=1", "FLASHSIM_CUT_OPS=2"},
         "time - 0x0 0xf44f2 modelled flash time 1.000690 s: erased 2 blocks, programmed 2 bytes in 2 pages, read 256 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mkdev(0, "0x4000", "4096");
        write_file(at("flashsim.log"), "");
        probe({"open", "/dev/mtd0", "rw", "pread", "0", "0x100", "erase", "0", "0x2000", "pwrite", "0x1ff", "0000",
               "pread", "0", "0x180"},
              c.env);
        const lines log = ops();
        EXPECT_EQ(c.want != nullptr ? c.want : "", log.back().starts_with("time") ? log.back() : "");
    }
}

TEST_F(FlashsimTest, ForkedChildCountsFromZero) {
    mkdev(0, "4096");
    proc_result r = probe({"open", "/dev/mtd0", "rw", "pwrite", "0", "00", "fork", "pwrite", "0", "00"},
                          {"FLASHSIM_FAIL=write:mtd0:1"});
    EXPECT_EQ((lines{"open 0", "pwrite EIO", "pwrite EIO", "fork 0"}), r.out);
}

TEST_F(FlashsimTest, FlashcpCopiesAFileOntoAnEmulatedDevice) {
    if (access("/usr/sbin/flashcp", X_OK) != 0)
        GTEST_SKIP() << "flashcp (mtd-utils) is not installed";
    if (target_exec_cross())
        GTEST_SKIP() << "flashcp is a program of the build machine; the emulator library is built for the target";
    mkdev(3, "0x40000", "65536");
    std::string image;
    for (int i = 0; i < 100000; ++i)
        image += static_cast<char>((i * 7 + i / 251) & 0xFF);
    write_file(at("image.bin"), image);
    proc_result r = lines_of(run(sb, "/usr/sbin/flashcp", {at("image.bin"), "/dev/mtd3"}));
    EXPECT_EQ(0, r.status);
    std::string flash = read_file(dev(3));
    EXPECT_TRUE(flash.substr(0, image.size()) == image) << "copied bytes differ";
    EXPECT_EQ(std::string(0x40000 - image.size(), '\xff'), flash.substr(image.size()));
    lines erases, faults;
    for (const std::string& l : ops()) {
        if (l.starts_with("erase"))
            erases.push_back(l);
        if (l.starts_with("fault"))
            faults.push_back(l);
    }
    EXPECT_EQ((lines{"erase mtd3 0x0 0x20000"}), erases);   // the blocks the image needs, in one request
    EXPECT_EQ(lines{}, faults);
}

}  // namespace
