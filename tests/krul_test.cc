// The upgrade data record: its stored bytes, lookups and pools, and set arguments.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kru/kru_hostcfg.h"

namespace {

using bytes = std::vector<uint8_t>;

uint32_t get_u32(const uint8_t* b, size_t off) { uint32_t v; std::memcpy(&v, b + off, 4); return v; }
std::string get_str(const uint8_t* b, size_t off, size_t n)
{
    const char* p = reinterpret_cast<const char*>(b + off);
    return std::string(p, strnlen(p, n));
}

struct KrulTest : testing::Test {
    krul_data rec;
    void SetUp() override { krul_init(&rec); }
    void set(int i, const char* name, std::initializer_list<int> refs)
    {
        std::memset(&rec.sets[i], 0, sizeof rec.sets[i]);
        std::memcpy(rec.sets[i].name, name, std::strlen(name));
        std::memset(rec.sets[i].refs, -1, sizeof rec.sets[i].refs);
        int n = 0;
        for (int r : refs)
            rec.sets[i].refs[n++] = static_cast<int8_t>(r);
    }
    void pool(int i, const char* name) { std::memcpy(rec.partinfo[i].poolname, name, std::strlen(name) + 1); }
};

// Offsets from the documented layout: sets at 1 + 36*i (name +1, refs +16), partinfo at
// 112 + 72*i (pn +16, offset +20, mountpnt +28, fstype +60), rhdr at 1552 + 44*i (date +4,
// build id +8), pinfometa at 1684 + 64*i (body_crc +28, sw_version_major +32).
TEST_F(KrulTest, ExportedBodyDecodesIndependently)
{
    rec.actset = 2;
    set(1, "SET1", {4, 5});
    pool(19, "rootfs");
    rec.partinfo[19].pn = 23;
    rec.partinfo[19].offset = 0x11223344;
    std::memcpy(rec.partinfo[19].mountpnt, "/mnt/a", 6);
    std::memcpy(rec.partinfo[19].fstype, "jffs2", 5);
    rec.rhdr[2] = {3, 4, 0x0506, 0x0708090A, "build-x"};
    rec.pinfometa[7].hdr.body_crc = 0xDEADBEEF;
    rec.pinfometa[7].sw.sw_version_major = 9;
    krul_partpool_generate(&rec);   // run-time tail: stays out of the body

    hostconfig hc;
    hostconfig_new(&hc, hostconfig_max_size);
    ASSERT_EQ(1, krul_hostconfig_export(&rec, &hc));
    uint32_t len = 0;
    const uint8_t* b = hostconfig_get_body(&hc, "KRU data", &len);
    ASSERT_NE(nullptr, b);
    ASSERT_EQ(2964u, len);
    EXPECT_EQ(2, b[0]);
    EXPECT_EQ("SET1", get_str(b, 37 + 1, 15));
    EXPECT_EQ(bytes({4, 5, 0xFF}), bytes(b + 37 + 16, b + 37 + 19));
    EXPECT_EQ("rootfs", get_str(b, 1480, 16));
    EXPECT_EQ(23, b[1480 + 16]);
    EXPECT_EQ(0x11223344u, get_u32(b, 1480 + 20));
    EXPECT_EQ("/mnt/a", get_str(b, 1480 + 28, 32));
    EXPECT_EQ("jffs2", get_str(b, 1480 + 60, 10));
    EXPECT_EQ(0x0708090Au, get_u32(b, 1640 + 4));
    EXPECT_EQ("build-x", get_str(b, 1640 + 8, 36));
    EXPECT_EQ(0xDEADBEEFu, get_u32(b, 2132 + 28));
    EXPECT_EQ(9, b[2132 + 32]);

    krul_data back;
    krul_init(&back);
    back.pool_count = 77;
    ASSERT_EQ(1, krul_hostconfig_import(&back, &hc));
    EXPECT_EQ(0, std::memcmp(&rec, &back, krul_stored_size));
    EXPECT_EQ(77u, back.pool_count);   // the run-time tail is left alone
}

TEST_F(KrulTest, SetLookupAndSharing)
{
    set(1, "SET1", {4, -1, 7});
    set(2, "abcdefghijklmn", {4});
    EXPECT_EQ(-2, krul_getsetidx(&rec, ""));
    EXPECT_EQ(-1, krul_getsetidx(&rec, "SET"));
    EXPECT_EQ(2, krul_getsetidx(&rec, "abcdefghijklmn"));
    EXPECT_EQ(-1, krul_getsetidx(&rec, "abcdefghijklmnX"));
    EXPECT_EQ(1, krul_partinfo_owned_by_set(&rec, 4, 1));   // set 2 has it
    EXPECT_EQ(0, krul_partinfo_owned_by_set(&rec, 7, 1));   // only the set left out
    EXPECT_EQ(1, krul_partinfo_owned_by_set(&rec, 7, 2));   // behind set 1's -1 slot
}

TEST_F(KrulTest, PoolsFromTheTable)
{
    uint8_t items[20];
    pool(0, "A");
    pool(1, "B");
    pool(2, "A");
    EXPECT_EQ(-1, krul_partpool_items_count(&rec, "A"));   // not generated yet
    krul_partpool_generate(&rec);
    EXPECT_EQ(2u, rec.pool_count);
    EXPECT_EQ(2, krul_partpool_items(&rec, "A", items));
    EXPECT_EQ(bytes({0, 2, 0}), bytes(items, items + 3));
    EXPECT_EQ(0, krul_partpool_items_count(&rec, ""));      // the first free slot
    EXPECT_EQ(-1, krul_partpool_items_count(&rec, "C"));

    for (int i = 0; i < 20; ++i)   // more than a pool holds: the last entry stays out
        pool(i, "X");
    krul_partpool_generate(&rec);
    EXPECT_EQ(19, krul_partpool_items(&rec, "X", items));
    EXPECT_EQ(0, items[19]);
}

TEST_F(KrulTest, UnusedPartitionOfAPool)
{
    pool(4, "X");
    pool(5, "X");
    set(0, "SAFE", {1});
    set(1, "SET1", {4});
    set(2, "SET2", {5});
    EXPECT_EQ(4, krul_get_unused_partinfo(&rec, "X", 1));
    EXPECT_EQ(5, krul_get_unused_partinfo(&rec, "X", 2));
    EXPECT_EQ(-1, krul_get_unused_partinfo(&rec, "X", 0));
    EXPECT_EQ(-1, krul_get_unused_partinfo(&rec, "X", 7));   // no set left out
    set(1, "SET1", {-1, 4, 20, 100});                        // behind the -1; out of range
    EXPECT_EQ(4, krul_get_unused_partinfo(&rec, "X", 2));
}

TEST_F(KrulTest, ParseSetidx)
{
    set(2, "SET1", {});
    const struct { const char* word; int want; } cases[] = {
        {"1", 1}, {"0x2", 2}, {"3", -1}, {"-1", -1}, {"08", 0}, {"SET1", 2},
        {"SET9", -1}, {"", -1}, {nullptr, -1}, {"99999999999999999999", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word ? c.word : "(none)");
        EXPECT_EQ(c.want, kru_parse_setidx(&rec, c.word));
    }
}

}  // namespace
