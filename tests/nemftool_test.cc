// nemftool: images checked against zlib, which shares no code with it (kru itself checks their
// signatures and hashes in the install tests); bad input; reproducibility.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/nemftool_test_support.h"

namespace {

struct NemftoolTest : testing::Test {
    sandbox sb;

    void SetUp() override
    {
        std::string kernel(1001, '\0');
        for (size_t i = 0; i < kernel.size(); ++i)
            kernel[i] = static_cast<char>(i * 7);
        write_file(sb.path("kernel.bin"), kernel);
        write_file(sb.path("rootfs.bin"), "rootfs");   // 6 bytes: the part needs padding
        write_file(sb.path("blob.bin"), "opaque payload");
    }

    // Release header, signature, krum lines, two software parts and a raw part.
    std::vector<std::string> args(const std::string& out, const std::string& signer = "signer",
                                  const std::string& hash = "sha256") const
    {
        return {"create", "-o", sb.path(out), "--release", "2.1.7", "--date", "1599000000", "--build-id", "R2.1.7",
                "--products", "MODELA,MODELB", "--sign-cert", pki(signer + ".cert.pem"), "--sign-key",
                pki(signer + ".key.pem"), "--hash", hash, "--krum-line", "@kernel,KERNEL,0,-,-,-,2.1.7,3",
                "--krum-line", "@rootfs,ROOTFS,0,/,squashfs,-,-2.-2.-2,3",
                "--sw", "kernel:2.1.7:k-2.1.7:" + sb.path("kernel.bin"),
                "--sw", "rootfs:1.0.3:r-1.0.3:" + sb.path("rootfs.bin"), "--raw", "48:blob:" + sb.path("blob.bin")};
    }

    std::string build(const std::vector<std::string>& a, const std::vector<std::string>& env = {})
    {
        run_result r = nemftool(sb, a, env);
        EXPECT_EQ(0, r.status) << r.err;
        return read_file(a[2]);
    }
};

TEST_F(NemftoolTest, LayoutAndEveryCrcAgreeWithZlib)
{
    std::string image = build(args("a.nemf"));
    ASSERT_GE(image.size(), 24u);
    EXPECT_EQ("FMENNEMF", image.substr(0, 8));
    EXPECT_EQ(1, image[12]);
    EXPECT_EQ(16, le16(image, 14));
    EXPECT_EQ(image.size() - 24, le32(image, 16));
    EXPECT_EQ(zcrc(image, 24, image.size() - 24), le32(image, 20));
    EXPECT_EQ(zcrc(image, 12, 12), le32(image, 8));

    const std::vector<image_part> parts = image_parts(image);
    const struct { uint16_t type; uint16_t hdr_length; const char* name; } want[] = {
        {1, 32, "release"}, {11, 36, "signature"}, {2, 32, "krum"}, {4, 32, "kernel"}, {4, 32, "rootfs"}, {48, 32, "blob"},
    };
    ASSERT_EQ(std::size(want), parts.size());
    EXPECT_EQ(image.size(), parts.back().body() + parts.back().padded());
    for (size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(parts[i].name);
        EXPECT_EQ(want[i].type, parts[i].type);
        EXPECT_EQ(want[i].hdr_length, parts[i].hdr_length);
        EXPECT_EQ(want[i].name, parts[i].name);
        EXPECT_EQ(zcrc(image, parts[i].body(), parts[i].body_length), le32(image, parts[i].offset + 28));
        EXPECT_EQ(zcrc(image, parts[i].offset + 4, parts[i].hdr_length - 4), le32(image, parts[i].offset));
        EXPECT_EQ(std::string(parts[i].padded() - parts[i].body_length, '\0'),
                  image.substr(parts[i].body() + parts[i].body_length, parts[i].padded() - parts[i].body_length));
    }
    EXPECT_EQ(1, image[parts[1].offset + 32]);   // signature algorithm: S/MIME

    const std::string rh = image.substr(parts[0].body(), parts[0].body_length);
    EXPECT_EQ(std::string("\x02\x01\x07\x00", 4), rh.substr(0, 4));
    EXPECT_EQ(1599000000u, le32(rh, 4));
    EXPECT_EQ(std::string("R2.1.7") + std::string(30, '\0'), rh.substr(8, 36));
    EXPECT_EQ(std::string("products=MODELA,MODELB\n") + '\0', rh.substr(44));
    const char krum[] = "#cidx,pool,aux,mount,fstype,platform,version,wts\n"
                        "3,KERNEL,0,-,-,-,2.1.7,3\n4,ROOTFS,0,/,squashfs,-,-2.-2.-2,3\n";   // and its NUL
    EXPECT_EQ(std::string(krum, sizeof krum), image.substr(parts[2].body(), parts[2].body_length));
    const std::string sw = image.substr(parts[4].body(), parts[4].body_length);
    EXPECT_EQ(std::string("\x01\x00\x03\x00r-1.0.3", 11) + std::string(21, '\0') + "rootfs", sw);
}

TEST_F(NemftoolTest, SameInputsGiveTheSameBytes)
{
    std::string first = build(args("a.nemf"));
    std::string second = build(args("b.nemf"));
    EXPECT_EQ(first, second);

    std::vector<std::string> no_date = {"create", "-o", sb.path("d.nemf"), "--release", "1.0.0",
                                        "--sw", "k:1.0.0:b:" + sb.path("kernel.bin")};
    std::string dated = build(no_date, {"SOURCE_DATE_EPOCH=1234567890"});
    EXPECT_EQ(1234567890u, le32(dated, image_parts(dated).at(0).body() + 4));
    EXPECT_EQ(0u, le32(build(no_date), image_parts(dated).at(0).body() + 4));
}

TEST_F(NemftoolTest, BadInputFailsWithAMessageAndNoImage)
{
    const std::string k = sb.path("kernel.bin");
    const std::string cert = pki("signer.cert.pem");
    const struct { std::vector<std::string> args; int status; const char* message; } cases[] = {
        {{"create", "--sw", "k:1.0.0:b:" + k}, 2, "output image is missing"},
        {{"create", "-o", "OUT", "--sw", "k:1.0.0:b:" + sb.path("none")}, 1, "cannot open"},
        {{"create", "-o", "OUT", "--sw", "k:1.0:b:" + k}, 1, "bad version"},
        {{"create", "-o", "OUT", "--sw", "k-1.0.0-b-" + k}, 1, "--sw wants"},
        {{"create", "-o", "OUT", "--sw", "seventeen-chars-x:1.0.0:b:" + k}, 1, "1 to 16 characters"},
        {{"create", "-o", "OUT", "--sw", "k:1.0.0:" + std::string(28, 'b') + ":" + k}, 1, "longer than 27"},
        {{"create", "-o", "OUT", "--release", "1.0.0", "--build-id", std::string(36, 'x')}, 1, "longer than 35"},
        {{"create", "-o", "OUT", "--release", "1.0"}, 1, "--release wants"},
        {{"create", "-o", "OUT", "--date", "5", "--sw", "k:1.0.0:b:" + k}, 2, "need --release"},
        {{"create", "-o", "OUT", "--krum-line", "@nothere,P,0,-,-,-,1.0.0,1"}, 1, "\"nothere\""},
        {{"create", "-o", "OUT", "--hash", "md5", "--sw", "k:1.0.0:b:" + k}, 1, "sha256 or sha512"},
        {{"create", "-o", "OUT", "--sign-cert", cert, "--sw", "k:1.0.0:b:" + k}, 2, "go together"},
        {{"create", "-o", "OUT", "--sign-cert", cert, "--sign-key", pki("signer-revoked.key.pem"), "--sw",
          "k:1.0.0:b:" + k}, 1, "does not belong"},
        {{"create", "-o", "OUT", "--sign-cert", k, "--sign-key", pki("signer.key.pem"), "--sw", "k:1.0.0:b:" + k},
         1, "no PEM certificate"},
        {{"create", "-o", "OUT", "--bogus", "1"}, 2, "unknown option"},
        {{"create", "-o", "OUT"}, 2, "no parts"},
        {{"create", "-o", sb.path("no/such/dir/x.nemf"), "--sw", "k:1.0.0:b:" + k}, 1, "cannot create"},
        {{"info", k}, 1, "not a NEMF image"},
        {{"verify", k, "--ca", cert}, 2, "required"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> a = c.args;
        for (std::string& w : a)
            if (w == "OUT")
                w = sb.path("out.nemf");
        SCOPED_TRACE(a.size() > 3 ? a[3] + " " + a.back() : a[0]);
        run_result r = nemftool(sb, a);
        EXPECT_EQ(c.status, r.status);
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
        EXPECT_FALSE(file_exists(sb.path("out.nemf")));
        EXPECT_FALSE(file_exists(sb.path("out.nemf.tmp")));
    }
    std::vector<std::string> too_many = {"create", "-o", sb.path("out.nemf")};
    for (int i = 0; i < 21; ++i)
        too_many.insert(too_many.end(), {"--raw", "48:p" + std::to_string(i) + ":" + k});
    run_result r = nemftool(sb, too_many);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("at most 20 parts")) << r.err;
}

TEST_F(NemftoolTest, InfoAndVerifyReportWhatIsWrong)
{
    std::string good = build(args("good.nemf"));
    const image_part kernel = image_parts(good).at(3);
    std::string flipped = good;
    flipped[kernel.body() + 40] ^= 0x01;
    std::string tampered = flipped;
    reseal(&tampered);
    write_file(sb.path("flipped.nemf"), flipped);
    write_file(sb.path("tampered.nemf"), tampered);
    build(args("lower.nemf", "signer-lowercase"));
    build(args("sha512.nemf", "signer", "sha512"));

    const std::string pattern = "Dravik SATCOM VSAT Terminal *";
    const struct { std::vector<std::string> args; int status; const char* says; } cases[] = {
        {{"info", "good.nemf"}, 0, "  software 2.1-7, build id \"k-2.1.7\", payload 1001 bytes\n"},
        {{"info", "good.nemf"}, 0, "  signer: O = Dravik, OU = Terminals, CN = Dravik SATCOM VSAT Terminal 0001\n"},
        {{"info", "flipped.nemf"}, 1, "body_crc 0x"},
        {{"info", "flipped.nemf"}, 1, " BAD body CRC\n  software 2.1-7"},
        {{"verify", "good.nemf", "--cn", pattern}, 0, "signature in part 1: good (0)\nhashes: good (0)\nOK\n"},
        {{"verify", "sha512.nemf", "--cn", pattern}, 0, "hashes: good (0)\nOK\n"},
        {{"verify", "flipped.nemf"}, 1, "container: BAD body CRC"},
        {{"verify", "tampered.nemf"}, 1, "hashes: a part's name or hash differs from its manifest entry (-14)\n"},
        {{"verify", "lower.nemf"}, 0, "OK\n"},
        {{"verify", "lower.nemf", "--cn", pattern}, 1, "no signer Common Name matches the pattern (-56)\n"},
        {{"verify", "good.nemf", "--attime", "1900000000"}, 1, "signature does not verify (-74)\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> a = c.args;
        a[1] = sb.path(a[1]);
        if (a[0] == "verify")
            a.insert(a.end(), {"--ca", pki("ca.cert.pem"), "--crl", pki("ca.crl.pem")});
        SCOPED_TRACE(a[0] + " " + c.args[1] + " " + c.says);
        run_result r = nemftool(sb, a);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.out.find(c.says)) << r.out;
    }
}

}  // namespace
