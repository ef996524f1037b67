// tests/trial_device.h: a provisioned device with content installed in the safe set and set 1,
// for the tests of verify, activate, upgrade and mount.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/kru_run.h"

// Pools kernel, rootfs and appl have one partition per set; misc (entry 15 on /dev/mtd6) is a
// singleton all three sets share, boot (entry 16) a singleton of the safe set only. Sets 0 and
// 1 hold content written as an install writes it (write type 1); set 2 holds nothing.
struct TrialDevice : testing::Test {
    sandbox sb_;

    void SetUp() override
    {
        sb_.make_mtd(5, 262144);
        sb_.make_mtd(2, 262144);
        for (int n : {6, 7, 8, 9, 10, 11, 12, 13, 14, 16})
            sb_.make_mtd(n, 65536);
        const std::vector<std::string> steps[] = {
            {"initialize"},
            {"partinfo", "7", "kernel", "0x10000"},
            {"partinfo", "8", "rootfs", "0x10000", "-fstype=squashfs", "-mount=/"},
            {"partinfo", "9", "kernel", "0x10000"},
            {"partinfo", "10", "rootfs", "0x10000", "-fstype=squashfs", "-mount=/"},
            {"partinfo", "11", "kernel", "0x10000"},
            {"partinfo", "12", "rootfs", "0x10000", "-fstype=squashfs", "-mount=/"},
            {"partinfo", "13", "appl", "0x10000", "-fstype=jffs2", "-mount=/mnt/appl"},
            {"partinfo", "14", "appl", "0x10000", "-fstype=jffs2", "-mount=/mnt/appl"},
            {"partinfo", "15", "misc", "0x10000", "-pn=6", "-fstype=jffs2", "-mount=/mnt/misc"},
            {"partinfo", "16", "boot", "0x10000"},
            {"partset", "0", "SAFESET", "-refs=7,8,16,15"},
            {"partset", "1", "SET1", "-refs=9,10,13,15"},
            {"partset", "2", "SET2", "-refs=11,12,14,15"},
        };
        for (const std::vector<std::string>& args : steps)
            ASSERT_EQ(0, run_kru(sb_, args).status) << args[0] << " " << args[1];
        for (int p : {7, 8, 9, 10, 13, 15, 16})
            content(p, "c" + std::to_string(p), 1, "content of entry " + std::to_string(p));
    }

    // Records TEXT as the content of entry `p` and writes it in layout `wts`.
    void content(int p, const std::string& name, int wts, const std::string& text)
    {
        run_result r = run(sb_, TRIAL_PROBE, {"content", std::to_string(p), name, std::to_string(wts), text});
        ASSERT_EQ("result 1\n", r.out) << r.err;
    }
    void set_ref(int set, int slot, int value)
    {
        run_result r = run(sb_, TRIAL_PROBE, {"ref", std::to_string(set), std::to_string(slot), std::to_string(value)});
        ASSERT_EQ("result 1\n", r.out) << r.err;
    }
    // Changes one byte of a partition behind the tool's back.
    void damage(int pn, long offset = 0)
    {
        std::fstream f(sb_.path("dev/mtd" + std::to_string(pn)), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(offset);
        f.put('X');
    }
    // The stored flag bytes of sets 1 and 2 (0xFF VALID, 0xFE TEST, 0xFC BOOT).
    void set_flags(int set1, int set2)
    {
        std::fstream f(sb_.path("dev/mtd5"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(131070);
        f.put(static_cast<char>(set1));
        f.put(static_cast<char>(set2));
    }
    std::string flags()
    {
        std::string mtd5 = read_file(sb_.path("dev/mtd5"));
        auto name = [](unsigned char b) {
            unsigned w = ~b & 0xffu;
            return std::string(!(w & 1) ? "VALID" : (w & 2) ? "BOOT" : "TEST");
        };
        return mtd5.size() < 131072 ? "missing" : name(mtd5[131070]) + " " + name(mtd5[131071]);
    }
    void boot_from(const std::string& cmdline) { write_file(sb_.path("proc/cmdline"), cmdline + "\n"); }
};
