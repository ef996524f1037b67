// Delta images: nemftool delta then expand gives the full image back, byte for byte and the
// same every time; and the expander's bounds on frames made by hand.
#include <gtest/gtest.h>
#include <zstd.h>

#include "nemf/nemf_delta.h"
#include "nemf/nemf_validate.h"
#include "platform/crc32.h"
#include "tests/nemftool_test_support.h"

namespace {

TEST(NemfDeltaImage, RoundTripIsExactAndReproducibleAndKeepsPartsWhole)
{
    sandbox sb;
    std::string k[2] = {std::string(20000, '\0'), std::string(20000, '\0')};   // "instructions" whose
    for (size_t i = 0; i < 20000; ++i)   // address fields moved by 3, then an insertion
        k[0][i] = static_cast<char>(i % 16 == 3 ? i / 64 : i * 13 / 7), k[1][i] = k[0][i] + 3 * (i % 16 == 3);
    k[1].insert(5000, "a few new bytes");
    for (const std::string v : {"0", "1"}) {   // release 1.0.0 and 1.1.0; only 1.1.0 has "extra"
        write_file(sb.path("k" + v), k[v == "1"]);
        write_file(sb.path("r" + v), "root " + v);   // too small for a delta to pay
        std::vector<std::string> a = {"create", "-o", sb.path(v + ".nemf"), "--release", "1." + v + ".0", "--sign-cert",
                                      pki("signer.cert.pem"), "--sign-key", pki("signer.key.pem"), "--krum-line",
                                      "@kernel,KERNEL,0,-,-,-,1.0.0,3", "--sw", "kernel:1." + v + ".0:k:" + sb.path("k" + v),
                                      "--sw", "rootfs:1.0.0:r:" + sb.path("r" + v), "--raw", "9:extra:" + sb.path("r0")};
        ASSERT_EQ(0, nemftool(sb, std::vector<std::string>(a.begin(), a.end() - (v == "0" ? 2 : 0))).status);
    }
    auto tool = [&](std::vector<std::string> args, const std::string& out, int status) {
        args.insert(args.end(), {"-o", sb.path(out)});
        const run_result r = nemftool(sb, args);
        EXPECT_EQ(status, r.status) << r.err;
        return status == 0 ? read_file(sb.path(out)) : r.err;
    };
    const std::string full = read_file(sb.path("1.nemf"));
    const std::string d = tool({"delta", "--from", sb.path("0.nemf"), "--to", sb.path("1.nemf")}, "d.nemf", 0);
    EXPECT_EQ(d, tool({"delta", "--from", sb.path("0.nemf"), "--to", sb.path("1.nemf")}, "d2.nemf", 0));

    // Release header, signature and metadata as they are; kernel a delta; rootfs (not smaller)
    // and extra (no namesake) whole.
    const std::vector<image_part> dp = image_parts(d), fp = image_parts(full);
    for (size_t i : {0, 1, 2, 4, 5})
        EXPECT_EQ(fp.at(i).bytes(full), dp.at(i).bytes(d)) << "part " << i;
    EXPECT_TRUE(dp[3].type == NEMF_TYPE_DELTA && dp[3].body_length * 20 < fp[3].body_length);
    const std::string info = nemftool(sb, {"info", sb.path("d.nemf")}).out;
    EXPECT_TRUE(info.find("delta of \"kernel\": type 4") != info.npos &&
                info.find("source \"kernel\" 1.0-0, body_length 20032") != info.npos) << info;
    EXPECT_EQ(full, tool({"expand", "--base", sb.path("0.nemf"), sb.path("d.nemf")}, "f.nemf", 0));
    // Against an image that lacks the source the part is named, and nothing is written.
    EXPECT_NE(std::string::npos, tool({"expand", "--base", sb.path("1.nemf"), sb.path("d.nemf")}, "g.nemf", 1)
                                     .find("part 3: its source is not in the base image"));
    EXPECT_FALSE(file_exists(sb.path("g.nemf")));
}

std::vector<uint8_t> zstd_of(const std::vector<uint8_t>& raw)
{
    std::vector<uint8_t> z(ZSTD_compressBound(raw.size()));
    return z.resize(ZSTD_compress(z.data(), z.size(), raw.data(), raw.size(), 3)), z;
}

struct frame_case {
    const char* what;
    std::vector<nemf_delta_control> controls;
    std::string copies;          // copy_length is always 2
    std::vector<uint8_t> gaps;   // the value is always 1
    int frame_cut, source_change, expected;   // source_change 1: a byte differs, 2: a byte short
};
void PrintTo(const frame_case& c, std::ostream* os) { *os << c.what; }

// Source "0123456789", target "0123456789XY4568": add 10, copy "XY", add 4 from 4 with the
// difference +1 after 13 equal bytes.
const std::vector<nemf_delta_control> good = {{0, 10, 2}, {-6, 4, 0}};
const frame_case frame_cases[] = {
    {"good", good, "XY", {13}, 0, 0, NEMF_DELTA_OK},
    {"frame truncated", good, "XY", {13}, 5, 0, NEMF_DELTA_ERR_FRAME},
    {"copies not of the length stated", good, "XYZ", {13}, 0, 0, NEMF_DELTA_ERR_FRAME},
    {"a difference beyond the add runs", good, "XY", {14}, 0, 0, NEMF_DELTA_ERR_FRAME},
    {"a gap without its value", good, "XY", {13, 0}, 0, 0, NEMF_DELTA_ERR_FRAME},
    {"controls cover less than the target", {{0, 10, 2}, {-6, 3, 0}}, "XY", {12}, 0, 0, NEMF_DELTA_ERR_FRAME},
    {"controls run past the copies", {{0, 10, 2}, {-6, 4, 1}}, "XY", {13}, 0, 0, NEMF_DELTA_ERR_FRAME},
    {"seek before the source", {{0, 10, 2}, {-11, 4, 0}}, "XY", {13}, 0, 0, NEMF_DELTA_ERR_FRAME},
    {"add run past the source", {{0, 10, 2}, {-1, 4, 0}}, "XY", {13}, 0, 0, NEMF_DELTA_ERR_FRAME},
    {"an entry that covers nothing", {{0, 0, 0}, {0, 10, 2}, {-6, 4, 0}}, "XY", {13}, 0, 0, NEMF_DELTA_ERR_FRAME},
    {"source damaged", good, "XY", {13}, 0, 1, NEMF_DELTA_ERR_SOURCE},
    {"source of another length", good, "XY", {13}, 0, 2, NEMF_DELTA_ERR_SOURCE},
};

class NemfDeltaFrame : public testing::TestWithParam<frame_case> {};

TEST_P(NemfDeltaFrame, ExpandsOrRefuses)
{
    const frame_case& c = GetParam();
    std::vector<uint8_t> source(10), target = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'X', 'Y', '4', '5', '6', '8'};
    std::copy(target.begin(), target.begin() + 10, source.begin());
    std::vector<uint8_t> ctrl(reinterpret_cast<const uint8_t*>(c.controls.data()),
                              reinterpret_cast<const uint8_t*>(c.controls.data() + c.controls.size()));
    const std::vector<uint8_t> z[4] = {zstd_of(ctrl), zstd_of(c.gaps), zstd_of({1}), zstd_of({c.copies.begin(), c.copies.end()})};
    const nemf_delta_frame_head fh{2, static_cast<uint32_t>(z[0].size()), static_cast<uint32_t>(z[1].size()),
                                   static_cast<uint32_t>(z[2].size()), static_cast<uint32_t>(z[3].size() - c.frame_cut)};
    const nemf_delta_head head{NEMF_DELTA_MAGIC, NEMF_DELTA_VERSION, NEMF_DELTA_METHOD_ADDCOPY, 32,
                               {{}, 0, 0, 0, 10, crc32_calc(0, source.data(), 10)},
                               static_cast<uint32_t>(sizeof fh + fh.ctrl_zlength + fh.gap_zlength + fh.value_zlength + fh.copy_zlength), 0};
    uint8_t target_part[48];
    ASSERT_EQ(48, nemf_part_write(target_part, 4, "k", {}, target));
    std::vector<uint8_t> body;
    auto put = [&](const void* p, size_t n) { body.insert(body.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n); };
    put(&head, sizeof head), put(target_part, 32), put(&fh, sizeof fh);
    for (const std::vector<uint8_t>& stream : z)
        put(stream.data(), stream.size());
    body.resize(body.size() - c.frame_cut);

    nemf_delta_view d;
    EXPECT_EQ(NEMF_DELTA_ERR_FORMAT, nemf_delta_parse(std::span(body).first(body.size() - 1), &d));
    ASSERT_EQ(NEMF_DELTA_OK, nemf_delta_parse(body, &d));
    source[3] ^= c.source_change == 1;
    source.resize(source.size() - (c.source_change == 2));
    std::vector<uint8_t> out(target.size() + 8, 0xEE);
    EXPECT_EQ(c.expected, nemf_delta_expand(d, source, out)) << c.what;
    EXPECT_EQ(0xEE, out[target.size()]) << c.what;   // nothing written past the target
    EXPECT_TRUE(c.expected != NEMF_DELTA_OK || std::equal(target.begin(), target.end(), out.begin()));
    EXPECT_EQ(NEMF_DELTA_ERR_SPACE, nemf_delta_expand(d, source, std::span(out).first(target.size() - 1)));
}

INSTANTIATE_TEST_SUITE_P(Cases, NemfDeltaFrame, testing::ValuesIn(frame_cases));

}  // namespace
