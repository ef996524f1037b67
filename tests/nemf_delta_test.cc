// Delta images: nemftool delta then expand gives the full image back, byte for byte and the
// same every time; and the expander's bounds on frames made by hand.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zstd.h>

#include "nemf/nemf_delta.h"
#include "nemf/nemf_validate.h"
#include "platform/crc32.h"
#include "tests/nemftool_test_support.h"

namespace {

std::string program_like(size_t n, uint32_t shift)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)   // "instructions" whose address fields move with `shift`
        s[i] = static_cast<char>(i % 16 == 3 ? (i / 64 + shift) : i * 13 / 7);
    return s;
}

TEST(NemfDeltaImage, RoundTripIsExactAndReproducibleAndKeepsPartsWhole)
{
    sandbox sb;
    std::string kernel_new = program_like(20000, 3);
    kernel_new.insert(5000, "a few new bytes");
    write_file(sb.path("k1"), program_like(20000, 0));
    write_file(sb.path("k2"), kernel_new);
    write_file(sb.path("r1"), "root 1");   // too small for a delta to pay
    write_file(sb.path("r2"), "root 2");
    auto release = [&](const std::string& v, const std::string& k, const std::string& r, bool extra) {
        std::vector<std::string> a = {"create", "-o", sb.path(v + ".nemf"), "--release", v, "--sign-cert",
                                      pki("signer.cert.pem"), "--sign-key", pki("signer.key.pem"),
                                      "--krum-line", "@kernel,KERNEL,0,-,-,-," + v + ",3",
                                      "--sw", "kernel:" + v + ":k:" + sb.path(k), "--sw", "rootfs:" + v + ":r:" + sb.path(r)};
        if (extra)
            a.insert(a.end(), {"--raw", "9:extra:" + sb.path(r)});
        ASSERT_EQ(0, nemftool(sb, a).status);
    };
    release("1.0.0", "k1", "r1", false);
    release("1.1.0", "k2", "r2", true);
    auto delta = [&](const std::string& out) {
        run_result r = nemftool(sb, {"delta", "--from", sb.path("1.0.0.nemf"), "--to", sb.path("1.1.0.nemf"), "-o", sb.path(out)});
        EXPECT_EQ(0, r.status) << r.err;
        return read_file(sb.path(out));
    };
    const std::string full = read_file(sb.path("1.1.0.nemf"));
    const std::string d = delta("d.nemf");
    EXPECT_EQ(d, delta("d2.nemf"));

    // Release header, signature and metadata as they are; kernel a delta; rootfs (not smaller)
    // and extra (no namesake) whole.
    const std::vector<image_part> dp = image_parts(d), fp = image_parts(full);
    ASSERT_EQ(6u, dp.size());
    for (size_t i : {0, 1, 2, 4, 5})
        EXPECT_EQ(fp[i].bytes(full), dp[i].bytes(d)) << "part " << i;
    EXPECT_EQ(NEMF_TYPE_DELTA, dp[3].type);
    EXPECT_EQ("kernel", dp[3].name);
    EXPECT_LT(dp[3].body_length * 20, fp[3].body_length);

    run_result info = nemftool(sb, {"info", sb.path("d.nemf")});
    EXPECT_EQ(0, info.status);
    EXPECT_NE(std::string::npos, info.out.find("delta of \"kernel\": type 4")) << info.out;
    EXPECT_NE(std::string::npos, info.out.find("source \"kernel\" 1.0-0, body_length 20032")) << info.out;

    run_result ex = nemftool(sb, {"expand", "--base", sb.path("1.0.0.nemf"), sb.path("d.nemf"), "-o", sb.path("f.nemf")});
    EXPECT_EQ(0, ex.status) << ex.err;
    EXPECT_EQ(full, read_file(sb.path("f.nemf")));
    // Against an image that lacks the source the part is named, and nothing is written.
    ex = nemftool(sb, {"expand", "--base", sb.path("1.1.0.nemf"), sb.path("d.nemf"), "-o", sb.path("g.nemf")});
    EXPECT_EQ(1, ex.status);
    EXPECT_NE(std::string::npos, ex.err.find("part 3: its source is not in the base image")) << ex.err;
    EXPECT_FALSE(file_exists(sb.path("g.nemf")));
}

// ---- the expander on frames made by hand ----

std::vector<uint8_t> zstd_of(const std::vector<uint8_t>& raw)
{
    std::vector<uint8_t> z(ZSTD_compressBound(raw.size()));
    z.resize(ZSTD_compress(z.data(), z.size(), raw.data(), raw.size(), 3));
    return z;
}

struct frame_case {
    const char* what;
    std::vector<nemf_delta_control> controls;
    std::string copies;        // copy_length is always 2
    std::vector<uint8_t> gaps;
    int frame_cut;             // bytes cut from the end of the frame, frame_length following
    int source_change;         // 1: a source byte differs; 2: the source is a byte short
    int expected;
};

// Source "0123456789", target "0123456789XY4568": add 10, copy "XY", add 4 from 4 with the
// difference +1 after 13 equal bytes.
const std::vector<nemf_delta_control> good = {{0, 10, 2}, {-6, 4, 0}};
const frame_case frame_cases[] = {
    {"good", good, "XY", {13}, 0, 0, NEMF_DELTA_OK},
    {"frame truncated", good, "XY", {13}, 5, 0, NEMF_DELTA_ERR_FRAME},
    {"copies longer than stated", good, "XYZ", {13}, 0, 0, NEMF_DELTA_ERR_FRAME},
    {"copies shorter than stated", good, "X", {13}, 0, 0, NEMF_DELTA_ERR_FRAME},
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

void PrintTo(const frame_case& c, std::ostream* os) { *os << c.what; }

class NemfDeltaFrame : public testing::TestWithParam<frame_case> {};

TEST_P(NemfDeltaFrame, ExpandsOrRefuses)
{
    const frame_case& c = GetParam();
    const std::string src_text = "0123456789", tgt_text = "0123456789XY4568";
    std::vector<uint8_t> source(src_text.begin(), src_text.end()), target(tgt_text.begin(), tgt_text.end());
    std::vector<uint8_t> ctrl(c.controls.size() * sizeof(nemf_delta_control));
    std::memcpy(ctrl.data(), c.controls.data(), ctrl.size());
    const std::vector<uint8_t> z[4] = {zstd_of(ctrl), zstd_of(c.gaps), zstd_of({1}),
                                       zstd_of({c.copies.begin(), c.copies.end()})};
    nemf_delta_frame_head fh{2, static_cast<uint32_t>(z[0].size()), static_cast<uint32_t>(z[1].size()),
                             static_cast<uint32_t>(z[2].size()), static_cast<uint32_t>(z[3].size() - c.frame_cut)};

    std::vector<uint8_t> target_part(64);
    ASSERT_GT(nemf_part_write(target_part, 4, "k", {}, target), 0);
    nemf_delta_head head{NEMF_DELTA_MAGIC, NEMF_DELTA_VERSION, NEMF_DELTA_METHOD_ADDCOPY, 32, {}, 0, 0};
    head.source.body_length = 10;
    head.source.body_crc = crc32_calc(0, source.data(), 10);
    head.frame_length = sizeof fh + fh.ctrl_zlength + fh.gap_zlength + fh.value_zlength + fh.copy_zlength;
    std::vector<uint8_t> body(sizeof head + 32 + sizeof fh);
    std::memcpy(body.data(), &head, sizeof head);
    std::memcpy(body.data() + sizeof head, target_part.data(), 32);
    std::memcpy(body.data() + sizeof head + 32, &fh, sizeof fh);
    for (const std::vector<uint8_t>& stream : z)
        body.insert(body.end(), stream.begin(), stream.end());
    body.resize(body.size() - c.frame_cut);

    nemf_delta_view d;
    EXPECT_EQ(NEMF_DELTA_ERR_FORMAT, nemf_delta_parse(std::span(body).first(body.size() - 1), &d));
    ASSERT_EQ(NEMF_DELTA_OK, nemf_delta_parse(body, &d));
    if (c.source_change == 1)
        source[3] ^= 1;
    if (c.source_change == 2)
        source.pop_back();
    std::vector<uint8_t> out(target.size() + 8, 0xEE);
    EXPECT_EQ(c.expected, nemf_delta_expand(d, source, out)) << c.what;
    EXPECT_EQ(0xEE, out[target.size()]) << c.what;   // nothing written past the target
    if (c.expected == NEMF_DELTA_OK) {
        EXPECT_TRUE(std::equal(target.begin(), target.end(), out.begin()));
    }
    EXPECT_EQ(NEMF_DELTA_ERR_SPACE, nemf_delta_expand(d, source, std::span(out).first(target.size() - 1)));
}

INSTANTIATE_TEST_SUITE_P(Cases, NemfDeltaFrame, testing::ValuesIn(frame_cases));

}  // namespace
