// The rebuild of a lost hostconfig: the search for a safe partition's content header (tsb)
// under the emulator (the whole rebuild is in the install test).
#include <gtest/gtest.h>

#include "kru/kru_rebuild.h"
#include "tests/meta_test_support.h"

namespace {

// A body at the partition's start and its header named `name` behind it (wts 3), or before it
// (wts 2); with `early`, the body carries "KNL-SAFE" at offset 5, where no header fits before.
std::string tsb_layout(const char* name, int wts = KRUM_WTS_BODY_TRAILER, bool early = false)
{
    std::string body(1000, 'b');
    if (early)
        body.replace(5, 8, "KNL-SAFE");
    std::vector<uint8_t> part = make_part(test_part{NEMF_TYPE_CONTENT_SOFTWARE, name, bytes_of(body), {}});
    std::string hdr(part.begin(), part.begin() + 32);
    return wts == KRUM_WTS_HEADER_BODY ? hdr + body : body + hdr + std::string(32, 'x');
}

TEST(Rebuild, SearchTakesOnlyAHeaderDescribingThePartitionStart)
{
    const struct { const char* what; std::string data; uint32_t size; int want; } cases[] = {
        {"trailer behind a 1000-byte body", tsb_layout("KNL-SAFE"), 4096, 1},
        {"longer name", tsb_layout("KNL-SAFE-2"), 4096, 1},
        {"other name", tsb_layout("KNL-SAF"), 4096, 0},
        {"name at offset 5, tsb behind it", tsb_layout("KNL-SAFE", 3, true), 4096, 1},
        {"body not at the start", tsb_layout("KNL-SAFE", KRUM_WTS_HEADER_BODY), 4096, 0},
        {"name 52 bytes before the end", tsb_layout("KNL-SAFE"), 1000 + 12 + 52, 0},
        {"name 53 bytes before the end", tsb_layout("KNL-SAFE"), 1000 + 12 + 53, 1},
        {"nothing read", tsb_layout("KNL-SAFE"), 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        meta_device d;
        d.device(7, 65536, c.data);
        EXPECT_EQ(c.want, d.probe_result({"rebuild-meta", "KNL-SAFE", "7", std::to_string(c.size)}));
        if (c.want == 1)
            EXPECT_EQ(0, std::memcmp(&d.rec.pinfometa[7], c.data.data() + 1000, 64));
        else
            EXPECT_NE(std::string::npos, d.sb.syslog().find("5 KRU: rebuild_meta: Failed to locate tsb for KNL-SAFE"));
    }
    meta_device d;
    d.device(7, 65536, tsb_layout("KNL-SAFE"));
    EXPECT_EQ(0, d.probe_result({"rebuild-meta", "KNL-SAFE", "7", "4096"}, {"FLASHSIM_FAIL=read:mtd7:1"}));
    EXPECT_NE(std::string::npos, d.sb.syslog().find("3 KRU: rebuild_meta: Could not load sw header for KNL-SAFE"));
}

}  // namespace
