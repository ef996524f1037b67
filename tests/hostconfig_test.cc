// The hostconfig container and the load-and-save cycle on regular files; devices are in
// mtd_test. Images are built and checked here with zlib's CRC and offsets written by hand.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "hostconfig/hostconfig.h"
#include "kru/kru_hostcfg.h"
#include "tests/support/kru_run.h"

namespace {

using bytes = std::vector<uint8_t>;

uint32_t zcrc(const uint8_t* p, size_t n) { return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n))); }
uint32_t get_u32(const bytes& b, size_t off) { uint32_t v; std::memcpy(&v, &b[off], 4); return v; }
void put_u32(bytes& b, size_t off, uint32_t v) { std::memcpy(&b[off], &v, 4); }

// File header at 8: hdr_crc 8, version 12, hdr_length 14, body_length 16, body_crc 20.
void reseal_file(bytes& img)
{
    put_u32(img, 20, zcrc(&img[24], get_u32(img, 16)));
    put_u32(img, 8, zcrc(&img[12], 12));
}

// Content part of type 3: hdr_crc 0, type 4, hdr_length 6, body_length 8, name 12, body_crc 28.
bytes make_part(const char* name, const bytes& body)
{
    bytes p(32 + ((body.size() + 3) & ~size_t{3}), 0);
    p[4] = 3;
    p[6] = 32;
    put_u32(p, 8, static_cast<uint32_t>(body.size()));
    std::memcpy(&p[12], name, std::strlen(name));
    std::copy(body.begin(), body.end(), p.begin() + 32);
    put_u32(p, 28, zcrc(body.data(), body.size()));
    put_u32(p, 0, zcrc(&p[4], 28));
    return p;
}

bytes make_image(const std::vector<bytes>& parts)
{
    bytes img(24, 0);
    std::memcpy(img.data(), "FMENNEMF", 8);
    img[12] = 1;    // version
    img[14] = 16;   // hdr_length
    for (const bytes& p : parts)
        img.insert(img.end(), p.begin(), p.end());
    put_u32(img, 16, static_cast<uint32_t>(img.size() - 24));
    reseal_file(img);
    return img;
}

struct HostconfigTest : testing::Test {
    sandbox sb;   // a scratch directory only: no emulator in this process
    hostconfig hc;
    std::string primary = sb.path("primary"), backup = sb.path("backup");
    void SetUp() override { hostconfig_new(&hc, hostconfig_max_size); }
    int load_from(const bytes& img, const char* bak = nullptr)
    {
        write_file(primary, std::string(img.begin(), img.end()));
        hostconfig_new(&hc, hostconfig_max_size);
        return hostconfig_load(&hc, primary.c_str(), bak);
    }
};

TEST_F(HostconfigTest, CapacityAndPartLimits)
{
    EXPECT_EQ(0, hostconfig_new(&hc, 5121));
    ASSERT_EQ(1, hostconfig_new(&hc, 5120));
    static const uint8_t big[5065] = {};
    EXPECT_EQ(-1, hostconfig_add_body(&hc, big, 5065, "big"));
    EXPECT_EQ(1, hostconfig_add_body(&hc, big, 5064, "big"));
    EXPECT_EQ(5120u, hc.used);

    const bytes part = make_part("p", {1});
    for (int by_add = 0; by_add < 2; ++by_add) {   // the 21st part, either way of adding it
        hostconfig_new(&hc, hostconfig_max_size);
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(1, by_add ? hostconfig_add(&hc, part) : hostconfig_add_body(&hc, "x", 1, "p"));
        EXPECT_EQ(-1, hostconfig_add(&hc, part));
        EXPECT_EQ(-1, hostconfig_add_body(&hc, nullptr, 0, "p"));
    }
    EXPECT_EQ(24u + 20 * 36, hc.used);   // 1-byte bodies padded to 4
}

TEST_F(HostconfigTest, LoadResults)
{
    const bytes good = make_image({make_part("KRU data", bytes(2964, 7))});
    write_file(backup, std::string(good.begin(), good.end()));
    auto edit = [](bytes b, auto change) { change(b); return b; };
    auto trailing = [](size_t n) { return [n](bytes& b) { b.resize(b.size() + n); put_u32(b, 16, get_u32(b, 16) + n); reseal_file(b); }; };
    const struct { const char* what; bytes img; bool with_backup; int want; } cases[] = {
        {"good", good, true, 1},
        {"23 bytes", bytes(good.begin(), good.begin() + 23), false, -1},
        {"5121 bytes", edit(good, [](bytes& b) { b.resize(5121); }), false, -1},
        {"corrupt, backup", edit(good, [](bytes& b) { b[100] ^= 1; }), true, 2},
        {"bad part CRC only", edit(good, [](bytes& b) { b[100] ^= 1; reseal_file(b); }), true, -1},
        {"body_length past the bytes", edit(good, [](bytes& b) { put_u32(b, 16, 6000); put_u32(b, 8, zcrc(&b[12], 12)); }), false, -1},
        {"32 trailing bytes", edit(good, trailing(32)), false, 1},
        {"33 trailing bytes", edit(good, trailing(33)), false, -1},
        {"21 parts", make_image(std::vector<bytes>(21, make_part("p", {1}))), false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.want, load_from(c.img, c.with_backup ? backup.c_str() : nullptr));
    }
}

// The identification is the only part of an image that no CRC covers.
TEST_F(HostconfigTest, EveryFlippedByteOutsideTheIdentificationFailsTheLoad)
{
    const bytes good = make_image({make_part("KRU data", bytes(100, 7))});
    for (size_t i = 0; i < good.size(); ++i) {
        SCOPED_TRACE(i);
        bytes b = good;
        b[i] ^= 0x10;
        EXPECT_EQ(i < 8 ? 1 : -1, load_from(b));
    }
}

// The saved image checked against the CRCs computed by zlib, and an empty part (which the save
// does not finalize) still loads.
TEST_F(HostconfigTest, SavedImageChecksIndependently)
{
    ASSERT_EQ(1, hostconfig_add_body(&hc, nullptr, 0, "empty"));
    ASSERT_EQ(1, hostconfig_add_body(&hc, "abcde", 5, "five"));
    ASSERT_EQ(1, hostconfig_save(&hc, primary.c_str(), backup.c_str()));
    EXPECT_EQ(read_file(primary), read_file(backup));
    std::string s = read_file(primary);
    const bytes img(s.begin(), s.end());
    EXPECT_EQ(make_image({make_part("empty", {}), make_part("five", {'a', 'b', 'c', 'd', 'e'})}), img);
    EXPECT_EQ(1, load_from(img));
    EXPECT_EQ(2, hc.count);
}

// load and kru_hostconfig_save on a regular file (-cfg=).
TEST_F(HostconfigTest, OtherPartsKeptInOrderRecordLast)
{
    kru_settings s{};
    std::snprintf(s.hostcfg, sizeof s.hostcfg, "%s", primary.c_str());
    krul_data rec;
    krul_init(&rec);
    rec.actset = 2;
    const bytes record = make_part("KRU data", bytes(reinterpret_cast<uint8_t*>(&rec), reinterpret_cast<uint8_t*>(&rec) + 2964));
    const bytes a = make_part("A", {1}), b = make_part("B", {2, 3});
    load_from(make_image({a, record, b}));
    ASSERT_EQ(1, load(&s, &rec, &hc));
    EXPECT_EQ(2, rec.actset);
    rec.actset = 1;
    ASSERT_EQ(1, kru_hostconfig_save(&s, &rec, &hc, "partset"));
    std::string saved = read_file(primary);
    ASSERT_EQ(24 + a.size() + b.size() + record.size(), saved.size());
    EXPECT_EQ(std::string(a.begin(), a.end()) + std::string(b.begin(), b.end()), saved.substr(24, a.size() + b.size()));
    EXPECT_EQ(std::string("KRU data"), saved.substr(24 + a.size() + b.size() + 12, 8));
    ASSERT_EQ(1, load(&s, &rec, &hc));
    EXPECT_EQ(1, rec.actset);
}

}  // namespace
