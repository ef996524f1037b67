// Reading installed partitions back under the emulator: every layout, every way the device can
// disagree with the record, the chunks read, and the installed-content lookup.
#include <gtest/gtest.h>

#include "tests/meta_test_support.h"

namespace {

constexpr krul_version v123{1, 2, 3};

// The reads of /dev/mtd12 in the flash log, "offset length" each.
std::vector<std::string> reads(const sandbox& sb)
{
    std::vector<std::string> out;
    std::string log = sb.flash_log();
    char off[32], len[32];
    for (size_t at = log.find(" read mtd12 "); at != std::string::npos; at = log.find(" read mtd12 ", at + 1))
        if (std::sscanf(log.c_str() + at, " read mtd12 %31s %31s", off, len) == 2)
            out.push_back(std::string(off) + " " + len);
    return out;
}

TEST(CrcCheck, EachLayoutAndDisagreementHasItsCode)
{
    const struct { const char* what; int wts; void (*damage)(meta_device*); int want; } cases[] = {
        {"body only", 1, [](meta_device*) {}, KRUL_CRC_MATCH},
        {"body then trailer", 3, [](meta_device*) {}, KRUL_CRC_MATCH},
        {"header then body", 2, [](meta_device*) {}, KRUL_CRC_MATCH},
        {"nothing recorded, no device", 1, [](meta_device* d) {
             d->rec.pinfometa[3].hdr.body_length = 0; std::remove(d->sb.path("dev/mtd12").c_str()); },
         KRUL_CRC_NOT_RECORDED},
        {"no body_crc recorded", 2, [](meta_device* d) { d->rec.pinfometa[3].hdr.body_crc = 0; }, KRUL_CRC_NOT_RECORDED},
        {"device missing", 1, [](meta_device* d) { std::remove(d->sb.path("dev/mtd12").c_str()); }, KRUL_CRC_UNREADABLE},
        {"stored header differs", 2, [](meta_device* d) { d->rec.pinfometa[3].hdr.name[5] ^= 1; }, KRUL_CRC_UNREADABLE},
        {"device ends inside the header", 2, [](meta_device* d) { write_file(d->sb.path("dev/mtd12"), "0123"); },
         KRUL_CRC_UNREADABLE},
        {"CRC differs", 1, [](meta_device* d) { d->rec.pinfometa[3].hdr.body_crc ^= 1; }, KRUL_CRC_MISMATCH},
        {"device shorter than the body", 3, [](meta_device* d) {
             write_file(d->sb.path("dev/mtd12"), read_file(d->sb.path("dev/mtd12")).substr(0, 3000)); },
         KRUL_CRC_MISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        meta_device d;
        d.install(3, 12, "ROOT", software_part("rootfs", v123, 5000), c.wts);
        c.damage(&d);
        EXPECT_EQ(c.want, d.probe_result({"crc", "3", std::to_string(c.wts)}));
        // The one-pass check of both layouts agrees with the two single checks.
        std::string both = "layouts " + std::to_string(d.probe_result({"crc", "3", "1"})) + " " +
                           std::to_string(d.probe_result({"crc", "3", "2"})) + "\n";
        EXPECT_EQ(both + "result 0\n", d.probe({"layouts", "3"}).out);
    }
}

TEST(CrcCheck, ReadsInChunksOfAtMost4096Bytes)
{
    // wts 0: both layouts in one pass.
    const struct { uint32_t length; int wts; uint16_t type; std::vector<std::string> want; } cases[] = {
        {4096, 1, 4, {"0x0 0x1000"}},
        {4097, 3, 4, {"0x0 0x1000", "0x1000 0x1"}},
        {4097, 2, 4, {"0x0 0x20", "0x20 0x1000", "0x1020 0x1"}},
        {4097, 2, 9, {"0x0 0x20"}},   // a header mismatch stops before the body
        {4097, 0, 4, {"0x0 0x20", "0x20 0xfe1", "0x1001 0x20"}},   // header first: read once
        {4097, 0, 9, {"0x0 0x20", "0x20 0xfe1"}},   // not the header: the body's length only
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want.back());
        meta_device d;
        d.install(3, 12, "ROOT", software_part("rootfs", v123, c.length), c.wts == 0 ? 2 : c.wts);
        d.rec.pinfometa[3].hdr.type_id = c.type;
        if (c.wts == 0)
            EXPECT_EQ(c.type == 4 ? "layouts 4 0\nresult 0\n" : "layouts 4 3\nresult 0\n", d.probe({"layouts", "3"}).out);
        else
            EXPECT_EQ(c.type == 4 ? KRUL_CRC_MATCH : KRUL_CRC_UNREADABLE,
                      d.probe_result({"crc", "3", std::to_string(c.wts)}));
        EXPECT_EQ(c.want, reads(d.sb));
    }
}

TEST(InstalledLookup, FirstIntactEntryOfPoolAndVersionOrNoRead)
{
    meta_device d;
    std::vector<uint8_t> part = software_part("rootfs", v123, 3000);
    d.install(2, 10, "OTHER", part, 3);   // other pool
    d.install(4, 11, "ROOT", part, 3);    // damaged
    d.install(5, 12, "ROOT", part, 3);    // the one
    d.install(6, 13, "ROOT", part, 3);
    d.rec.pinfometa[4].hdr.body_crc ^= 1;
    EXPECT_EQ("action 2 idx 5\nresult 5\n", d.probe({"late", "ROOT", "3", "1", "2", "3"}).out);
    size_t before = d.sb.flash_log().size();
    EXPECT_EQ("action 1 idx 7\nresult -1\n", d.probe({"late", "ROOT", "3", "1", "2", "4"}).out);
    EXPECT_EQ(before, d.sb.flash_log().size());   // no device read for another version
}

}  // namespace
