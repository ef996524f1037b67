// Delta images through the kru binary on the emulated device: release 2.1.0 is installed in
// set 1, release 2.2.0 reaches the device whole or as a delta made from 2.1.0 by nemftool.
// The delta leaves the flash exactly as the full image does; every refusal has its own exit
// status, names the part, and writes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/nemftool_test_support.h"

namespace {

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

// The three payloads, one per write type; the new release changes a few bytes of each.
struct payload {
    const char* name;
    const char* line;   // krum line without its version and write type
    int wts;
    size_t size;
};
constexpr payload payloads[] = {
    {"kernel", "@kernel,KERNEL,0,-,-,-", 3, 5000},
    {"rootfs", "@rootfs,ROOTFS,0,/,squashfs,-", 2, 4064},
    {"appl", "@appl,APPL,0,/mnt/appl,jffs2,-", 1, 9000},
};
constexpr int first_payload = 3;   // parts: release header, signature, krum, payloads

std::string payload_bytes(const payload& p, int edit)
{
    std::string b(p.size, '\0');
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<char>((i * 7 + i / 61 + p.size) % 251);
    for (size_t at = 100; edit != 0 && at < b.size(); at += 1500)
        b[at] = static_cast<char>(b[at] + edit);
    return b;
}

using device = std::map<std::string, std::string>;   // dev/ file name -> bytes

struct DeltaTest : testing::Test {
    sandbox sb;
    device provisioned, base;   // base: 2.1.0 installed in set 1
    std::string old_img, new_img, delta;

    void SetUp() override
    {
        run_result r = run(sb, "/bin/bash", {KRU_PROVISION_SCRIPT, sb.root, kru_bin(), flashsim_lib()});
        ASSERT_EQ(0, r.status) << r.err;
        const std::string certs = "mnt/misc/pki/tls/certs/";
        fs::create_directories(sb.path(certs));
        write_file(sb.path(certs + "ca.cert.pem"), read_file(pki("ca.cert.pem")));
        write_file(sb.path(certs + "crl.cert.pem"), read_file(pki("ca.crl.pem")));
        provisioned = snapshot();
        old_img = image("old.nemf", "2.1.0", 0);
        new_img = image("new.nemf", "2.2.0", 1);
        delta = make_delta(old_img, new_img, "delta.nemf");
        r = run_kru(sb, {"install", old_img, "1"});
        ASSERT_EQ(0, r.status) << r.err;
        base = snapshot();
    }
    device snapshot() const
    {
        device d;
        for (const auto& e : fs::directory_iterator(sb.path("dev")))
            d[e.path().filename()] = read_file(e.path());
        return d;
    }
    void restore(const device& d) const
    {
        fs::remove_all(sb.path("dev"));
        fs::create_directories(sb.path("dev"));
        for (const auto& [name, bytes] : d)
            write_file(sb.path("dev/" + name), bytes);
        fs::remove_all(sb.path("tmp"));
        fs::create_directories(sb.path("tmp"));
        write_file(sb.path("flashsim.log"), "");
    }
    // A signed release whose payloads carry `edit` and the version `v`.
    std::string image(const std::string& name, const std::string& v, int edit) const
    {
        strings a = {"create", "-o", sb.path(name), "--release", v, "--date", "1599000000", "--build-id", "R" + v,
                     "--sign-cert", pki("signer.cert.pem"), "--sign-key", pki("signer.key.pem")};
        for (const payload& p : payloads)
            a.insert(a.end(), {"--krum-line", std::string(p.line) + "," + v + "," + std::to_string(p.wts)});
        for (const payload& p : payloads) {
            const std::string file = sb.path(name + "." + p.name);
            write_file(file, payload_bytes(p, edit));
            a.insert(a.end(), {"--sw", std::string(p.name) + ":" + v + ":" + p.name + "-" + v + ":" + file});
        }
        run_result r = nemftool(sb, a);
        EXPECT_EQ(0, r.status) << r.err;
        return sb.path(name);
    }
    std::string make_delta(const std::string& from, const std::string& to, const std::string& name) const
    {
        run_result r = nemftool(sb, {"delta", "--from", from, "--to", to, "-o", sb.path(name)});
        EXPECT_EQ(0, r.status) << r.err;
        return sb.path(name);
    }
    bool wrote_nothing() const
    {
        const std::string log = sb.flash_log();
        return log.find(" erase ") == std::string::npos && log.find(" write ") == std::string::npos;
    }
};

// The image `img` with content part `index` replaced by `part` (header and body), resealed.
std::string with_part(const std::string& img, size_t index, const std::string& part)
{
    std::string out = img.substr(0, 24);
    const std::vector<image_part> parts = image_parts(img);
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string bytes = i == index ? part : parts[i].bytes(img);
        out += bytes + std::string((4 - bytes.size() % 4) % 4, '\0');
    }
    put32(&out, 16, static_cast<uint32_t>(out.size() - 24));
    reseal(&out);
    return out;
}

constexpr size_t delta_head = 44;   // the delta body's head: frame_length at 36

TEST_F(DeltaTest, ADeltaInstallLeavesTheFlashOfTheFullImage)
{
    const std::vector<image_part> parts = image_parts(read_file(delta));
    ASSERT_EQ(first_payload + std::size(payloads), parts.size());
    for (size_t i = first_payload; i < parts.size(); ++i)
        EXPECT_EQ(12, parts[i].type) << parts[i].name;
    EXPECT_LT(read_file(delta).size() * 2, read_file(new_img).size());

    restore(base);
    run_result full = run_kru(sb, {"install", new_img, "2", "-test"});
    ASSERT_EQ(0, full.status) << full.err;
    const device want = snapshot();
    restore(base);
    run_result r = run_kru(sb, {"install", delta, "2", "-test"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(want == snapshot());
    EXPECT_EQ(full.out, r.out);

    restore(base);
    r = run_kru(sb, {"install", delta, "2", "-dryrun"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(wrote_nothing());
    EXPECT_TRUE(base == snapshot());

    r = run_kru(sb, {"nemfinfo", delta, "-all"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("verifying signature .. OK\nnot checked without their installed "
                                            "sources: the hashes of delta parts 3 4 5\n\n"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("delta_source............: rootfs 2.1-0, 4096 bytes, crc 0x")) << r.out;
}

TEST_F(DeltaTest, EveryRefusalHasItsStatusNamesThePartAndWritesNothing)
{
    const std::string d = read_file(delta);
    const std::vector<image_part> parts = image_parts(d);
    const image_part& kernel = parts.at(first_payload);
    // The kernel's delta part with its frame cut short by 8 bytes, and with one frame byte flipped.
    std::string cut = kernel.bytes(d);
    cut.resize(cut.size() - 8);
    put32(&cut, 8, kernel.body_length - 8);
    put32(&cut, kernel.hdr_length + 36, le32(cut, kernel.hdr_length + 36) - 8);
    std::string flipped = kernel.bytes(d);
    flipped[flipped.size() - 20] ^= 0x10;
    std::string unsealed = d;   // the same byte flipped, the part's CRC left as it was
    unsealed[kernel.offset + kernel.hdr_length + kernel.body_length - 20] ^= 0x10;
    // The kernel's delta part of a release whose kernel differs from the signed one's.
    const std::string other = read_file(make_delta(old_img, image("other.nemf", "2.2.0", 2), "other-delta.nemf"));
    const std::string foreign = image_parts(other).at(first_payload).bytes(other);
    // A delta made against a 2.0.9 that holds the same bytes as the installed 2.1.0.
    const std::string wrong_version = make_delta(image("v209.nemf", "2.0.9", 0), new_img, "v209-delta.nemf");

    const struct {
        const char* what;
        std::string image;          // bytes of the delta image to install
        const device* start;
        int damaged_mtd;            // a byte of this partition flipped first; 0: none
        strings opts;
        int status;
        const char* message;
    } cases[] = {
        {"source not installed", d, &provisioned, 0, {}, 19, "delta part 3 (kernel): its source kernel 2.1-0"},
        {"source damaged (header first)", d, &base, 12, {}, 19, "delta part 4 (rootfs): its source rootfs 2.1-0"},
        {"source damaged, dry run", d, &base, 10, {"-dryrun"}, 19, "delta part 3 (kernel): its source"},
        {"wrong source version", read_file(wrong_version), &base, 0, {}, 19,
         "delta part 3 (kernel): its source kernel 2.0-9"},
        {"frame truncated", with_part(d, first_payload, cut), &base, 0, {}, 20,
         "delta part 3 (kernel) does not expand to its stated length"},
        {"hash not the manifest's", with_part(d, first_payload, foreign), &base, 0, {}, 21,
         "delta part 3 (kernel) expands to a part whose hash is not the manifest's"},
        {"delta part tampered", with_part(d, first_payload, flipped), &base, 0, {}, 20,
         "delta part 3 (kernel) does not expand"},
        {"delta part damaged", unsealed, &base, 0, {}, 9, "delta part 3 (kernel) is malformed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        restore(*c.start);
        if (c.damaged_mtd != 0) {
            const std::string path = sb.path("dev/mtd" + std::to_string(c.damaged_mtd));
            std::string bytes = read_file(path);
            bytes[200] ^= 1;
            write_file(path, bytes);
        }
        const device before = snapshot();
        write_file(sb.path("case.nemf"), c.image);
        strings a = c.opts;
        a.insert(a.end(), {"install", sb.path("case.nemf"), "2"});
        run_result r = run_kru(sb, a);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(std::string("install: ") + c.message)) << r.err;
        EXPECT_TRUE(wrote_nothing()) << sb.flash_log();
        EXPECT_TRUE(before == snapshot());
    }
}

}  // namespace
