// Validation and finalizing of NEMF containers.
#include <gtest/gtest.h>
#include <zlib.h>

#include "nemf/nemf_validate.h"
#include "tests/nemf_test_image.h"

namespace {

uint32_t zcrc(const std::vector<uint8_t>& v, size_t off, size_t len)
{
    return static_cast<uint32_t>(crc32(0, v.data() + off, static_cast<uInt>(len)));
}

// Finalizing refuses a body too short for its last part, and a name of 17 characters (the CRC
// ranges are checked against zlib in nemftool's layout test).
TEST(NemfFinalize, RefusesWhatDoesNotFit)
{
    std::vector<uint8_t> img = make_image({{0x20, "a", {1, 2, 3, 4, 5}, {}}});
    EXPECT_EQ(-1, nemf_finalize_all(img, 36));   // the part would run past the body
    EXPECT_EQ(-1, nemf_part_write(img, 1, "seventeen-chars-x", {}, {}));
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

// Every header byte under the CRC is the hostconfig test's (it flips each byte of an image).
TEST(NemfContentHeader, MinimumLengthBodyCrcAndNames)
{
    const std::vector<uint8_t> good = make_part("sixteen-chars-ok", std::vector<uint8_t>(300, 0x5A));
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

}  // namespace
