// MTD access on devices, through the probe program
// (tests/meta_probe.cc) run under the device emulator.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/kru_run.h"

namespace {

using lines = std::vector<std::string>;

struct MtdTest : testing::Test {
    sandbox sb;
    run_result probe(const lines& args) { return run(sb, META_PROBE, args); }
    int result(const lines& args)
    {
        std::string out = probe(args).out;
        size_t at = out.rfind("result ");
        return at == std::string::npos ? -999 : std::stoi(out.substr(at + 7));
    }
    // Flash operations other than reads, "op mtdN off len", in order.
    lines changes() const
    {
        lines out;
        std::istringstream in(sb.flash_log());
        for (std::string line; std::getline(in, line);)
            if (line.find(" read ") == std::string::npos)
                out.push_back(line.substr(line.find(' ') + 1));
        return out;
    }
};

TEST_F(MtdTest, EraseRanges)
{
    const struct { uint32_t start, length; int want; lines erased; } cases[] = {
        {0, 0, 0, {"0x0", "0x10000", "0x20000", "0x30000"}},
        {100, 0, -2, {}},
        {0, 1, 0, {"0x0"}},
        {65536, 196609, -3, {}},                                    // one byte past the end
        {65536, 196608, 0, {"0x10000", "0x20000", "0x30000"}},      // ends at the end
        {262144, 0, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + "+" + std::to_string(c.length));
        sb.make_mtd(3, 262144);
        write_file(sb.path("flashsim.log"), "");
        EXPECT_EQ(c.want, result({"erase", "/dev/mtd3", std::to_string(c.start), std::to_string(c.length)}));
        lines want;
        for (const std::string& off : c.erased)
            want.push_back("erase mtd3 " + off + " 0x10000");
        EXPECT_EQ(want, changes());
    }
    sb.make_mtd(4, 262144, 0);
    EXPECT_EQ(-1, result({"erase", "/dev/mtd4", "0", "0"}));   // no erase-block size
}

TEST_F(MtdTest, LockQuery)
{
    sb.make_mtd(2, 65536);
    EXPECT_EQ(0, result({"locked", "/dev/mtd2"}));
    EXPECT_EQ(-1, result({"locked", "/dev/mtd7"}));
    EXPECT_EQ("", sb.syslog());   // a failed open is not logged
    write_file(sb.path("dev/mtd2.locked"), "");
    EXPECT_GT(result({"locked", "/dev/mtd2"}), 0);
    write_file(sb.path("plain"), "x");   // a regular file: MEMGETINFO fails
    EXPECT_EQ(-1, result({"locked", sb.path("plain")}));
    EXPECT_NE(std::string::npos, sb.syslog().find("3 KRU: _mtd_get_info: GetInfo failed(-1)"));
}

}  // namespace
