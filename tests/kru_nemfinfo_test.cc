// kru nemfinfo through the binary under the device emulator, with images from nemftool and the
// trust material of tests/pki at its device paths.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/nemftool_test_support.h"

namespace {

const std::string rule = std::string(55, '-') + "\n";
const std::string anchor_path = "/mnt/misc/pki/tls/certs/ca.cert.pem";
const std::string crl_path = "/mnt/misc/pki/tls/certs/crl.cert.pem";
const std::string trust_log = "loading trust anchor (" + anchor_path + ")\nloading crl file (" + crl_path + ")\n";

std::string part_lines(int i, int type, const std::string& name, int valid, int signature)
{
    return rule + "Content Part: " + std::to_string(i) + ", type " + std::to_string(type) + ", name " + name +
           "\nvalid...................: " + std::to_string(valid) +
           "\ncovered_by_signature....: " + std::to_string(signature) +
           "\nvalidated_by_signature..: " + std::to_string(signature) + "\n";
}

const std::string release_lines = "release_version_major..: 3\nrelease_version_minor..: 0\n"
                                  "release_build_number...: 12\nrelease_date...........: 1599000000\n"
                                  "release_build_id.......: R3.0.12\n";
const std::string kernel_lines = "sw_version_major..: 3\nsw_version_minor..: 0\nsw_build_number...: 12\n"
                                 "sw_build_id.......: k-3.0.12\n";

struct NemfinfoTest : testing::Test {
    sandbox sb;

    void SetUp() override
    {
        write_file(sb.path("kernel.bin"), std::string(3000, 'k'));
        std::filesystem::create_directories(sb.path("mnt/misc/pki/tls/certs"));
        write_file(sb.path("mnt" + anchor_path.substr(4)), read_file(pki("ca.cert.pem")));
        write_file(sb.path("mnt" + crl_path.substr(4)), read_file(pki("ca.crl.pem")));
    }

    // Release header, [signature,] krum, kernel (3000 bytes) and a small raw part.
    std::string image(const std::string& name, const std::string& signer = "")
    {
        std::vector<std::string> a = {"create", "-o", sb.path(name), "--release", "3.0.12", "--date", "1599000000",
                                      "--build-id", "R3.0.12"};
        if (!signer.empty())
            a.insert(a.end(), {"--sign-cert", pki(signer + ".cert.pem"), "--sign-key", pki(signer + ".key.pem")});
        a.insert(a.end(), {"--krum-line", "@kernel,KERNEL,0,-,-,-,3.0.12,3", "--sw",
                           "kernel:3.0.12:k-3.0.12:" + sb.path("kernel.bin"), "--raw", "48:blob:" + sb.path("kernel.bin")});
        run_result r = nemftool(sb, a);
        EXPECT_EQ(0, r.status) << r.err;
        return sb.path(name);
    }

    // The bytes of an image after `change`, written back; CRCs resealed when asked.
    std::string altered(const std::string& path, void (*change)(std::string*, const std::vector<image_part>&),
                        bool resealed)
    {
        std::string bytes = read_file(path);
        change(&bytes, image_parts(bytes));
        if (resealed)
            reseal(&bytes);
        write_file(path, bytes);
        return path;
    }
};

// Without -all only the first part is shown and nothing is verified; a first part that does
// not end within the first 1024 bytes shows its header only. With -all (or -allparts) a signed
// image is verified first; a body CRC error lowers the number of parts shown.
TEST_F(NemfinfoTest, ListingsWithAndWithoutAll)
{
    const std::string signed_parts = "verifying signature .. OK\n\n" + part_lines(0, 1, "release", 1, 1) + release_lines +
                                     part_lines(1, 11, "signature", 1, 1) + part_lines(2, 2, "krum", 1, 1) +
                                     part_lines(3, 4, "kernel", 1, 1) + kernel_lines + part_lines(4, 48, "blob", 1, 1);
    const std::string plain_head = part_lines(0, 1, "release", 1, 0) + release_lines;
    const struct {
        const char* what;
        std::string (*image)(NemfinfoTest* t);
        const char* word;   // null: none
        std::string out, err;
    } cases[] = {
        {"first part only", [](NemfinfoTest* t) { return t->image("s.nemf", "signer"); }, nullptr, plain_head, ""},
        {"first part longer than the chunk", [](NemfinfoTest* t) {
             const std::string path = t->sb.path("big.nemf");
             EXPECT_EQ(0, nemftool(t->sb, {"create", "-o", path, "--sw", "kernel:3.0.12:k-3.0.12:" + t->sb.path("kernel.bin")}).status);
             return path;
         }, nullptr, part_lines(0, 4, "kernel", 0, 0) + "WARNING: CONTENT PART IS NULL! Skipping.\n", ""},
        {"unsigned", [](NemfinfoTest* t) { return t->image("p.nemf"); }, "-all",
         plain_head + part_lines(1, 2, "krum", 1, 0) + part_lines(2, 4, "kernel", 1, 0) + kernel_lines +
             part_lines(3, 48, "blob", 1, 0), ""},
        // signer-lowercase: no Common Name test here
        {"signed", [](NemfinfoTest* t) { return t->image("s.nemf", "signer-lowercase"); }, "-all", signed_parts, trust_log},
        {"signed, -allparts", [](NemfinfoTest* t) { return t->image("s.nemf", "signer-lowercase"); }, "-allparts",
         signed_parts, trust_log},
        {"body CRC error", [](NemfinfoTest* t) {
             return t->altered(t->image("p.nemf"), [](std::string* b, const std::vector<image_part>& p) {
                 (*b)[p.at(1).body()] ^= 0x01;   // krum
             }, false);
         }, "-all", plain_head + part_lines(1, 2, "krum", -1, 0) + part_lines(2, 4, "kernel", 1, 0) + kernel_lines, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"nemfinfo", c.image(this)};
        if (c.word != nullptr)
            args.push_back(c.word);
        run_result r = run_kru(sb, args);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, r.err);
    }
}

TEST_F(NemfinfoTest, EachFailureHasItsStatusAndMessages)
{
    const std::string nemfinfo_failed = "nemfinfo: loading NEMF failed.\n";
    const std::string trust_failed = "ERROR: LOAD TRUST ANCHOR AND REVOCATION LISTS FAILED\n";
    const struct {
        const char* what;
        std::vector<std::string> (*setup)(NemfinfoTest* t);
        int status;
        std::string out, err;
    } cases[] = {
        {"no image argument", [](NemfinfoTest*) { return std::vector<std::string>{"nemfinfo"}; },
         1, "", "nemfinfo: NEMF is missing.\n"},
        {"no such file", [](NemfinfoTest* t) { return std::vector<std::string>{"nemfinfo", t->sb.path("none")}; },
         8, "", "nemfinfo: could not open NEMF\n"},
        {"empty file", [](NemfinfoTest* t) {
             write_file(t->sb.path("empty"), "");
             return std::vector<std::string>{"nemfinfo", t->sb.path("empty")};
         }, 9, "", "nemfinfo: empty NEMF\n"},
        {"identification words exchanged", [](NemfinfoTest* t) {
             return std::vector<std::string>{"nemfinfo", t->altered(t->image("a.nemf"), [](std::string* b, const auto&) {
                 b->replace(0, 8, "NEMFFMEN");
             }, false), "-all"};
         }, 9, "", "nemfinfo: no header\n" + nemfinfo_failed},
        {"shorter than a file header", [](NemfinfoTest* t) {
             write_file(t->sb.path("short"), read_file(t->image("a.nemf")).substr(0, 24));
             return std::vector<std::string>{"nemfinfo", t->sb.path("short"), "-all"};
         }, 9, "", "nemfinfo: no header\n" + nemfinfo_failed},
        {"content header CRC", [](NemfinfoTest* t) {
             return std::vector<std::string>{"nemfinfo", t->altered(t->image("a.nemf"), [](std::string* b, const auto& p) {
                 (*b)[p.at(2).offset + 12] ^= 0x20;   // kernel's name
             }, false), "-all"};
         }, 9, "", nemfinfo_failed},
        {"trust anchor missing", [](NemfinfoTest* t) {
             std::filesystem::remove(t->sb.path("mnt" + anchor_path.substr(4)));
             return std::vector<std::string>{"nemfinfo", t->image("s.nemf", "signer"), "-all"};
         }, 17, trust_failed, "loading trust anchor (" + anchor_path + ")\nload trust anchor error: -126\n"},
        {"revocation list missing", [](NemfinfoTest* t) {
             std::filesystem::remove(t->sb.path("mnt" + crl_path.substr(4)));
             return std::vector<std::string>{"nemfinfo", t->image("s.nemf", "signer"), "-all"};
         }, 18, trust_failed, trust_log + "load crl (" + crl_path + ") error: -2\n"},
        {"revocation list holds no list", [](NemfinfoTest* t) {
             write_file(t->sb.path("mnt" + crl_path.substr(4)), read_file(pki("ca.cert.pem")));
             return std::vector<std::string>{"nemfinfo", t->image("s.nemf", "signer"), "-all"};
         }, 18, trust_failed, trust_log + "load crl (" + crl_path + ") error: -126\n"},
        {"revoked signer", [](NemfinfoTest* t) {
             return std::vector<std::string>{"nemfinfo", t->image("s.nemf", "signer-revoked"), "-all"};
         }, 9, "ERROR: LOAD MANIFEST FAILED\n", trust_log},
        {"tampered part, CRCs resealed", [](NemfinfoTest* t) {
             return std::vector<std::string>{"nemfinfo", t->altered(t->image("s.nemf", "signer"), [](std::string* b, const auto& p) {
                 (*b)[p.at(3).body() + 100] ^= 0x01;   // kernel payload
             }, true), "-all"};
         }, 9, "verifying signature .. ERROR\n\n", trust_log},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        run_result r = run_kru(sb, c.setup(this));
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.out, c.status == 0 ? r.out.substr(0, c.out.size()) : r.out);   // a listing, or all of it
        EXPECT_EQ(c.err, r.err);
    }
    // Failure messages are errors in the system log too.
    EXPECT_NE(std::string::npos, sb.syslog().find("3 KRU: nemfinfo: no header")) << sb.syslog();
}

}  // namespace
