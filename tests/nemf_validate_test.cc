// Validation, finalizing and printing of NEMF containers.
#include <gtest/gtest.h>
#include <zlib.h>

#include "nemf/nemf_print.h"
#include "nemf/nemf_stream_parser.h"
#include "tests/nemf_test_image.h"

namespace {

uint32_t zcrc(const std::vector<uint8_t>& v, size_t off, size_t len)
{
    return static_cast<uint32_t>(crc32(0, v.data() + off, static_cast<uInt>(len)));
}

// Each CRC covers the range the format defines (checked with an independent CRC-32), and
// finalizing from zeroed CRCs rebuilds the same bytes: the order of the CRCs is right.
TEST(NemfFinalize, CrcsCoverTheirRanges)
{
    std::vector<uint8_t> img = make_image({{0x20, "a", {1, 2, 3, 4, 5}, {}},
                                           {NEMF_TYPE_CONTENT_SIGNATURE, "sig", bytes_of("xy"), {1, 0, 0, 0}}});
    ASSERT_EQ(24u + 40 + 40, img.size());
    EXPECT_EQ(0, std::memcmp(img.data(), "FMENNEMF", 8));
    EXPECT_EQ(0, std::memcmp(&img[12], "\1\0\x10\0\x50\0\0\0", 8));  // version, 16, body_length 80
    EXPECT_EQ(zcrc(img, 24, 80), get<uint32_t>(img, 20));
    EXPECT_EQ(zcrc(img, 12, 12), get<uint32_t>(img, 8));
    EXPECT_EQ(zcrc(img, 56, 5), get<uint32_t>(img, 52));   // body without its padding
    EXPECT_EQ(zcrc(img, 28, 28), get<uint32_t>(img, 24));
    EXPECT_EQ(zcrc(img, 100, 2), get<uint32_t>(img, 92));  // second part at 64, 36-byte header
    EXPECT_EQ(zcrc(img, 68, 32), get<uint32_t>(img, 64));

    std::vector<uint8_t> again = img;
    for (size_t off : {8, 20, 24, 52, 64, 92})
        put<uint32_t>(again, off, 0);
    EXPECT_EQ(104, nemf_finalize_all(again, 80));
    EXPECT_EQ(img, again);
    EXPECT_EQ(-1, nemf_finalize_all(again, 76));  // the last part would run past the body
    EXPECT_EQ(-1, nemf_part_write(again, 1, "seventeen-chars-x", {}, {}));
}

struct FileHeaderTest : testing::Test {
    std::vector<uint8_t> img_ = make_image({{0x20, "rootfs", {9, 8, 7}, {}}});
    std::span<const uint8_t> hdr() const { return std::span(img_).subspan(8); }
    void reseal() { put<uint32_t>(img_, 8, zcrc(img_, 12, get<uint16_t>(img_, 14) - 4)); }
};

TEST_F(FileHeaderTest, EachDamageHasItsOwnResult)
{
    const struct {
        const char* what;
        void (*damage)(FileHeaderTest*);
        int want;
    } cases[] = {
        {"intact", [](FileHeaderTest*) {}, NEMF_VALID},
        {"version 2, resealed", [](FileHeaderTest* t) { t->img_[12] = 2; t->reseal(); }, NEMF_ERR_VERSION},
        {"version 0, hdr_length 3", [](FileHeaderTest* t) { t->img_[12] = 0; put<uint16_t>(t->img_, 14, 3); },
         NEMF_ERR_VERSION},
        {"hdr_length 15, resealed", [](FileHeaderTest* t) { put<uint16_t>(t->img_, 14, 15); t->reseal(); },
         NEMF_ERR_HDR_LENGTH},
        {"reserved byte", [](FileHeaderTest* t) { t->img_[13] = 1; }, NEMF_ERR_HDR_CRC},
        {"body_crc", [](FileHeaderTest* t) { t->img_[20] ^= 1; }, NEMF_ERR_HDR_CRC},
        {"hdr_crc", [](FileHeaderTest* t) { t->img_[11] ^= 0x80; }, NEMF_ERR_HDR_CRC},
        {"hdr_length 20, resealed", [](FileHeaderTest* t) { put<uint16_t>(t->img_, 14, 20); t->reseal(); },
         NEMF_VALID},
        {"hdr_length past the bytes", [](FileHeaderTest* t) { put<uint16_t>(t->img_, 14, 4000); },
         NEMF_ERR_TRUNCATED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        img_ = make_image({{0x20, "rootfs", {9, 8, 7}, {}}});
        c.damage(this);
        EXPECT_EQ(c.want, nemf_validate_header(hdr()));
    }
}

TEST_F(FileHeaderTest, BodyAndContainer)
{
    std::span<const uint8_t> body = hdr().subspan(16);
    EXPECT_EQ(NEMF_VALID, nemf_validate_container(img_, nullptr));
    EXPECT_EQ(NEMF_ERR_TRUNCATED, nemf_validate_body(hdr(), body.first(body.size() - 1)));
    img_.back() ^= 1;  // padding of the last part: not in its body_crc, in the file's
    EXPECT_EQ(NEMF_VALID, nemf_validate_content_part_from_hdr(body));
    EXPECT_EQ(NEMF_ERR_BODY_CRC, nemf_validate_body(hdr(), body));
    EXPECT_EQ(NEMF_ERR_BODY_CRC, nemf_validate_container(img_, nullptr));

    img_ = make_image({{0x20, "a", {1}, {}}, {0x20, "b", {}, {}}});
    img_.insert(img_.end(), 4, 0);  // the body now ends inside a third part's header
    nemf_finalize_file(img_, static_cast<uint32_t>(img_.size() - 24));
    int parts = 0;
    EXPECT_EQ(NEMF_ERR_TRUNCATED, nemf_validate_container(img_, &parts));
    EXPECT_EQ(2, parts);
}

TEST(NemfContentHeader, EveryByteUnderTheCrcAndTheMinimumLength)
{
    // A long body, so that whatever hdr_length a flipped bit makes still lies inside the part.
    const std::vector<uint8_t> good = make_part("sixteen-chars-ok", std::vector<uint8_t>(300, 0x5A));
    for (size_t off = 0; off < 32; ++off) {
        std::vector<uint8_t> part = good;
        part[off] ^= 0x01;
        EXPECT_EQ(NEMF_ERR_HDR_CRC, nemf_validate_content_header(part)) << off;
    }
    std::vector<uint8_t> part = good;
    put<uint16_t>(part, 6, 31);
    EXPECT_EQ(NEMF_ERR_HDR_LENGTH, nemf_validate_content_part_from_hdr(part));
    part[40] ^= 1;
    put<uint16_t>(part, 6, 32);
    EXPECT_EQ(NEMF_ERR_BODY_CRC, nemf_validate_content_part(good, std::span(part).subspan(32)));
    EXPECT_EQ(NEMF_VALID, nemf_validate_content_part_from_hdr(make_part("e", {})));  // empty body, CRC 0

    nemf_content_header h;
    ASSERT_EQ(0, nemf_copy_content_header(good, &h));
    char other[16];
    ASSERT_EQ(0, nemf_name_set(other, "sixteen-chars-ok"));
    EXPECT_TRUE(nemf_name_equal(h.name, other));
    EXPECT_EQ(-1, nemf_name_set(other, "seventeen-chars-x"));
}

// Blocks are read from what the part holds: a short body prints zeros for the rest, a build
// id without NUL ends at its field.
TEST(NemfPrint, ShortBodiesAndUnterminatedText)
{
    std::vector<uint8_t> sw_body(32, 'Z');
    std::vector<uint8_t> img = make_image({{NEMF_TYPE_RELEASE_HEADER, "short", {1, 2, 3}, {}},
                                           {NEMF_TYPE_CONTENT_SOFTWARE, "app", sw_body, {}}});
    nemf_stream_parser sp;
    nemf_stream_parser_init(&sp, img.data());
    ASSERT_EQ(NEMF_SP_DONE, nemf_stream_parser_feed(&sp, static_cast<uint32_t>(img.size())));
    testing::internal::CaptureStdout();
    nemf_release_header_print(&sp, 0);
    nemf_content_software_print(&sp, 1);
    EXPECT_EQ("release_version_major..: 1\nrelease_version_minor..: 2\nrelease_build_number...: 3\n"
              "release_date...........: 0\nrelease_build_id.......: \n"
              "sw_version_major..: 90\nsw_version_minor..: 90\nsw_build_number...: 23130\n"
              "sw_build_id.......: " + std::string(28, 'Z') + "\n",
              testing::internal::GetCapturedStdout());
}

}  // namespace
