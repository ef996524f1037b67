// CRC-32 against zlib, the whole-file helpers and the console formatting.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

#include <gtest/gtest.h>

#include "platform/crc32.h"
#include "platform/fnutil.h"
#include "platform/imgbuf.h"
#include "platform/qz.h"
#include "tests/support/kru_run.h"

namespace {

uint32_t zlib_crc(const std::vector<uint8_t>& v, size_t from, size_t n)
{
    return static_cast<uint32_t>(crc32(0, v.data() + from, static_cast<uInt>(n)));
}

// Both paths: the one this processor takes, and the tables the board runs on.
const struct {
    const char* name;
    uint32_t (*calc)(uint32_t, const void*, uint32_t);
} crc32_paths[] = {{"crc32_calc", crc32_calc}, {"crc32_calc_tables", crc32_calc_tables}};

// A CRC chained over pieces is the partition check's, in 4096-byte reads (krul_check_test), on
// this processor's path here and on the tables in the armhf suite.
TEST(Crc32, EqualsZlibOnRandomBuffersOfManySizesAndAlignments)
{
    std::mt19937 rng(20200907);
    std::vector<uint8_t> buf((1 << 20) + 16);
    for (auto& b : buf)
        b = static_cast<uint8_t>(rng());
    // Sizes around the words and the braid blocks of the tables (two blocks are the least
    // braided), the 64-byte folds of the hardware path and the chunk of the partition check.
    std::vector<size_t> sizes = {0,   1,   2,   3,   4,   7,   8,   15,  16,   17,   19,   20,   21,   39,   40,    41,
                                 63,  64,  65,  79,  80,  81,  119, 120, 121,  127,  128,  129,  143,  191,  192,   255,
                                 256, 1000, 4095, 4096, 4097, 65536, 1 << 20};
    for (int i = 0; i < 200; ++i)
        sizes.push_back(rng() % 3000);
    for (const auto& path : crc32_paths)
        for (size_t n : sizes) {
            size_t from = rng() % 16;
            SCOPED_TRACE(std::string(path.name) + " size " + std::to_string(n) + " at " + std::to_string(from));
            EXPECT_EQ(zlib_crc(buf, from, n), path.calc(0, buf.data() + from, static_cast<uint32_t>(n)));
        }
}

// The image buffer: zero-filled and writable to its last byte on both sides of the size at
// which it becomes a mapping of its own, which the trimmed over-allocation must not cut short.
TEST(ImageBuffer, EverySizeIsZeroFilledAndWritableToItsEnd)
{
    EXPECT_EQ(nullptr, imgbuf_alloc(0));
    for (uint32_t n : {1u, 1024u, (2u << 20) - 1, 2u << 20, (2u << 20) + 1, (16u << 20) + 3}) {
        SCOPED_TRACE(n);
        imgbuf_ptr buf(imgbuf_alloc(n), imgbuf_deleter{n});
        ASSERT_NE(nullptr, buf);
        const uint8_t* p = buf.get();
        EXPECT_TRUE(std::all_of(p, p + n, [](uint8_t b) { return b == 0; }));
        buf.get()[0] = 1;
        buf.get()[n - 1] = 1;
    }
}

TEST(FileHelpers, ResultsFollowTheFileNotTheRequest)
{
    sandbox sb;
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
