// tests/robustness_device.h: the device that the power-cut sweep works on, and how it reads
// what a fresh kru would load from its flash.
//
// The safe set 0 over 7, 8, 19; set 1 (active) over 10, 12, 14 and the singleton pool BOOT on
// 16; set 2 over 11, 13, 15 and 16. Every partition holds content whose length and CRC the
// record carries, so that every set passes `kru verify` and `kru activate`. Releases made by
// release_image() fill the pools KERNEL, ROOTFS and APPL (and BOOT on request).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "hostconfig/hostconfig.h"
#include "krul/krul.h"
#include "platform/crc32.h"
#include "tests/nemftool_test_support.h"

namespace robustness {

using strings = std::vector<std::string>;

struct partition {
    int idx;
    const char* pool;
    const char* mount;    // "" = none
    const char* fstype;   // "" = none
};
inline constexpr partition partitions[] = {
    {7, "KNL-SAFE", "", ""},  {8, "ROOT-SAFE", "", ""},  {19, "APPL-SAFE", "", ""},
    {10, "KERNEL", "", ""},   {11, "KERNEL", "", ""},    {12, "ROOTFS", "/", "squashfs"},
    {13, "ROOTFS", "/", "squashfs"}, {14, "APPL", "/mnt/appl", "jffs2"}, {15, "APPL", "/mnt/appl", "jffs2"},
    {16, "BOOT", "", ""},
};
inline constexpr uint32_t partition_size = 16384;   // at least; one erase block when that is larger
inline constexpr uint32_t content_size = 3000;

// Erase-block sizes: the hostconfig devices' (256 KiB each, the flag words at 128 KiB) and the
// content partitions'.
struct geometry {
    uint32_t hostconfig_block = 65536;
    uint32_t partition_block = 4096;
};
inline const std::string certs = "mnt/misc/pki/tls/certs/";

inline void kru_ok(const sandbox& sb, const strings& args)
{
    run_result r = run_kru(sb, args);
    ASSERT_EQ(0, r.status) << args[0] << ": " << r.err;
}

// Devices, contents, partition table, sets, trust material; set 1 active.
inline void provision(const sandbox& sb, geometry g = {})
{
    sb.make_mtd(5, 262144, g.hostconfig_block);
    sb.make_mtd(2, 262144, g.hostconfig_block);
    crc32_init();
    ASSERT_NO_FATAL_FAILURE(kru_ok(sb, {"initialize"}));
    const uint32_t size = std::max(partition_size, g.partition_block);
    char size_word[16];
    std::snprintf(size_word, sizeof size_word, "0x%x", size);
    for (const partition& p : partitions) {
        sb.make_mtd(p.idx, size, g.partition_block);
        std::string bytes(size, '\xff');
        for (uint32_t i = 0; i < content_size; ++i)
            bytes[i] = static_cast<char>((i * 13 + p.idx) % 253);
        write_file(sb.path("dev/mtd" + std::to_string(p.idx)), bytes);
        uint32_t crc = crc32_calc(0, bytes.data(), content_size);
        strings a = {"partinfo", std::to_string(p.idx), p.pool, size_word, "-meta=1.0.0",
                     "-metalength=" + std::to_string(content_size), "-metacrc=" + std::to_string(crc)};
        if (*p.mount)
            a.insert(a.end(), {std::string("-mount=") + p.mount, std::string("-fstype=") + p.fstype});
        ASSERT_NO_FATAL_FAILURE(kru_ok(sb, a));
    }
    ASSERT_NO_FATAL_FAILURE(kru_ok(sb, {"partset", "0", "SAFESET", "-refs=7,8,19", "-meta=1.0.0"}));
    ASSERT_NO_FATAL_FAILURE(kru_ok(sb, {"partset", "1", "SET1", "-refs=10,12,14,16", "-meta=1.0.0"}));
    ASSERT_NO_FATAL_FAILURE(kru_ok(sb, {"partset", "2", "SET2", "-refs=11,13,15,16", "-meta=1.0.0"}));
    ASSERT_NO_FATAL_FAILURE(kru_ok(sb, {"activate", "1"}));
    std::filesystem::create_directories(sb.path(certs));
    write_file(sb.path(certs + "ca.cert.pem"), read_file(pki("ca.cert.pem")));
    write_file(sb.path(certs + "crl.cert.pem"), read_file(pki("ca.crl.pem")));
}

// A signed release 2.0.0 for the pools KERNEL, ROOTFS and APPL (and BOOT with `boot`), each
// payload in another write type; the image lands in the sandbox under `name`.
inline std::string release_image(const sandbox& sb, const std::string& name, bool boot)
{
    struct payload {
        const char* part;
        const char* line;
        size_t size;
    };
    const payload payloads[] = {
        {"kernel", "@kernel,KERNEL,0,-,-,-,2.0.0,3", 5000},
        {"rootfs", "@rootfs,ROOTFS,0,/,squashfs,-,2.0.0,2", 4064},
        {"appl", "@appl,APPL,0,/mnt/appl,jffs2,-,2.0.0,1", 9000},
        {"boot", "@boot,BOOT,0,-,-,-,2.0.0,1", 2000},
    };
    strings a = {"create", "-o", sb.path(name), "--release", "2.0.0", "--date", "1599000000", "--build-id",
                 "R2.0.0", "--sign-cert", pki("signer.cert.pem"), "--sign-key", pki("signer.key.pem")};
    for (const payload& p : payloads)
        if (boot || std::string(p.part) != "boot")
            a.insert(a.end(), {"--krum-line", p.line});
    for (const payload& p : payloads) {
        if (!boot && std::string(p.part) == "boot")
            continue;
        std::string file = sb.path(std::string(p.part) + ".bin"), bytes(p.size, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 7 + p.size) % 251);
        write_file(file, bytes);
        a.insert(a.end(), {"--sw", std::string(p.part) + ":2.0.0:" + p.part + "-2.0.0:" + file});
    }
    run_result r = nemftool(sb, a);
    EXPECT_EQ(0, r.status) << r.err;
    return sb.path(name);
}

// What a fresh load would find on flash holding these two devices' bytes, as kru reads it:
// 5120 bytes of the primary (/dev/mtd5), else of the backup (/dev/mtd2). False when neither
// copy loads. The copies go through files in `dir`.
inline bool flash_record_of(const std::string& mtd5, const std::string& mtd2, const std::string& dir, krul_data* rec)
{
    const std::string primary = dir + "/hc.primary", backup = dir + "/hc.backup";
    write_file(primary, mtd5.substr(0, hostconfig_max_size));
    write_file(backup, mtd2.substr(0, hostconfig_max_size));
    static hostconfig hc;
    hostconfig_new(&hc, hostconfig_max_size);
    krul_init(rec);
    return hostconfig_load(&hc, primary.c_str(), backup.c_str()) > 0 && krul_hostconfig_import(rec, &hc) == 1;
}

inline bool flash_record(const sandbox& sb, krul_data* rec)
{
    return flash_record_of(read_file(sb.path("dev/mtd5")), read_file(sb.path("dev/mtd2")), sb.root, rec);
}

inline bool same_record(const krul_data& a, const krul_data& b)
{
    return std::memcmp(&a, &b, krul_stored_size) == 0;
}

// A copy of `from` (devices, files, trust material) with empty logs.
inline void clone(const sandbox& from, const sandbox& to)
{
    namespace fs = std::filesystem;
    fs::copy(from.root, to.root, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    write_file(to.path("flashsim.log"), "");
    write_file(to.path("syslog"), "");
}

}  // namespace robustness
