// CRC-32 against zlib, the whole-file helpers and the console formatting.
#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

#include <gtest/gtest.h>

#include "platform/crc32.h"
#include "platform/fnutil.h"
#include "platform/qz.h"
#include "tests/support/kru_run.h"

namespace {

uint32_t zlib_crc(const std::vector<uint8_t>& v, size_t from, size_t n)
{
    return static_cast<uint32_t>(crc32(0, v.data() + from, static_cast<uInt>(n)));
}

TEST(Crc32, CheckValueOfTheNineDigits)
{
    EXPECT_EQ(0xCBF43926u, crc32_calc(0, "123456789", 9));
}

TEST(Crc32, EqualsZlibOnRandomBuffersOfManySizes)
{
    std::mt19937 rng(20200907);
    for (size_t n : {0, 1, 2, 3, 4, 7, 8, 15, 16, 31, 63, 64, 255, 256, 1000, 4095, 4096, 4097, 65536, 1 << 20}) {
        std::vector<uint8_t> buf(n);
        for (auto& b : buf)
            b = static_cast<uint8_t>(rng());
        SCOPED_TRACE(n);
        EXPECT_EQ(zlib_crc(buf, 0, n), crc32_calc(0, buf.data(), static_cast<uint32_t>(n)));
    }
}

TEST(Crc32, EverySplitOfAChainedComputationGivesTheWhole)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> buf(300);
    for (auto& b : buf)
        b = static_cast<uint8_t>(rng());
    uint32_t whole = zlib_crc(buf, 0, buf.size());
    for (size_t cut = 0; cut <= buf.size(); ++cut) {
        uint32_t first = crc32_calc(0, buf.data(), static_cast<uint32_t>(cut));
        EXPECT_EQ(whole, crc32_calc(first, buf.data() + cut, static_cast<uint32_t>(buf.size() - cut))) << cut;
    }
    for (uint32_t running : {0u, 1u, 0xFFFFFFFFu, 0xCBF43926u})
        EXPECT_EQ(running, crc32_calc(running, buf.data(), 0));
}

struct FileHelpers : testing::Test {
    sandbox sb;
};

TEST_F(FileHelpers, ResultsFollowTheFileNotTheRequest)
{
    std::string ten = sb.path("ten"), empty = sb.path("empty"), missing = sb.path("missing");
    write_file(ten, "0123456789");
    write_file(empty, "");
    std::vector<char> buf(5120);
    EXPECT_EQ(10, fnread(ten.c_str(), buf.data(), 5120));
    EXPECT_EQ(-1, fnread(missing.c_str(), buf.data(), 5120));
    EXPECT_EQ(10, fnsize(ten.c_str()));
    EXPECT_EQ(0, fnsize(empty.c_str()));
    EXPECT_EQ(-1, fnsize(missing.c_str()));

    EXPECT_EQ(3, fnwrite(ten.c_str(), "abc", 3));
    EXPECT_EQ("abc", read_file(ten));

    EXPECT_EQ(1, fnprintf(ten.c_str(), "%d", 2));
    int v = -1;
    EXPECT_EQ(1, fnscanf(ten.c_str(), "%d", &v));
    EXPECT_EQ(2, v);
    EXPECT_EQ(-1, fnscanf(empty.c_str(), "%d", &v));   // input failed before the first conversion
    EXPECT_EQ(-1, fnscanf(missing.c_str(), "%d", &v));
    EXPECT_EQ(-1, fnwrite(sb.path("no/such/dir").c_str(), "x", 1));
}

int format(char* buf, size_t size, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = qz_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return r;
}

TEST(QzVsnprintf, CountsWhatWasStored)
{
    char buf[10];
    EXPECT_EQ(9, format(buf, sizeof buf, "%s", "01234567890123456789"));
    EXPECT_STREQ("012345678", buf);
    EXPECT_EQ(5, format(buf, sizeof buf, "%d", 12345));
    EXPECT_STREQ("12345", buf);
    EXPECT_EQ(0, format(buf, sizeof buf, "%s", ""));
}

}  // namespace
