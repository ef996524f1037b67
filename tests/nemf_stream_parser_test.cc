// The incremental parser: chunking independence, failures, skip and the manifest comparison.
#include <array>
#include <random>

#include <gtest/gtest.h>

#include "nemf/nemf_stream_parser.h"
#include "tests/nemf_test_image.h"

namespace {

// What a parse left behind; part positions as file offsets, so runs over different buffers
// compare.
struct outcome {
    int result = 0, status = 0, headers = 0, found = 0, valid = 0, invalid = 0;
    std::array<long, NEMF_MAX_CONTENT_PARTS> parts{};
    std::array<int8_t, NEMF_MAX_CONTENT_PARTS> valid_flags{};
    bool operator==(const outcome&) const = default;
};

// Delivers `image` in chunks of the given sizes the way the callers do, into a buffer whose
// undelivered bytes are garbage, so a parser that looks ahead gets a different answer.
// `results` receives every answer of feed; a further feed must repeat the last one.
outcome feed(const std::vector<uint8_t>& image, const std::vector<size_t>& chunks, std::vector<int>* results = nullptr)
{
    std::vector<uint8_t> buf(image.size() + 64, 0xA5);
    nemf_stream_parser sp;
    nemf_stream_parser_init(&sp, buf.data());
    size_t have = 0;
    int r = NEMF_SP_MORE;
    for (size_t c : chunks) {
        if (r != NEMF_SP_MORE)
            break;
        c = std::min(c, image.size() - have);
        std::memcpy(&buf[have], &image[have], c);
        have += c;
        r = nemf_stream_parser_feed(&sp, static_cast<uint32_t>(have));
        if (results)
            results->push_back(r);
    }
    EXPECT_EQ(r, nemf_stream_parser_feed(&sp, static_cast<uint32_t>(have)));
    outcome o{r, sp.status, sp.found_headers, sp.found_parts, sp.valid_parts, sp.invalid_parts, {}, {}};
    for (int i = 0; i < NEMF_MAX_CONTENT_PARTS; ++i) {
        o.parts[i] = sp.content_parts[i] ? sp.content_parts[i] - buf.data() : -1;
        o.valid_flags[i] = sp.info[i].valid;
    }
    return o;
}

outcome feed_whole(const std::vector<uint8_t>& image) { return feed(image, {image.size()}); }

// A random image: 1..8 parts (or 21) of assorted types, header extensions (some not a
// multiple of 4) and bodies, then at most one kind of damage.
std::vector<uint8_t> random_image(std::mt19937& rng)
{
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<test_part> parts(pick(10) == 0 ? 21 : pick(8) + 1);
    for (test_part& tp : parts) {
        tp = {std::array<uint16_t, 5>{1, 3, 4, 11, 0x20}[pick(5)], std::string(pick(17), 'n'), {}, {}};
        tp.ext.resize(std::array{0, 0, 4, 1, 3}[pick(5)]);
        tp.body.resize(pick(70));
        for (uint8_t& b : tp.body)
            b = static_cast<uint8_t>(rng());
    }
    std::vector<uint8_t> img = make_image(parts);
    size_t victim = 24;
    for (int n = pick(static_cast<int>(parts.size())); n > 0; --n)
        victim += nemf_part_size(get<uint16_t>(img, victim + 6), get<uint32_t>(img, victim + 8));
    uint32_t body_length = static_cast<uint32_t>(img.size() - 24);
    switch (pick(9)) {
    case 0: break;
    case 1: img[victim + get<uint16_t>(img, victim + 6)] ^= 1; break;          // a body byte
    case 2: img[victim + 4 + pick(28)] ^= 0x10; break;                          // a header byte
    case 3: put<uint16_t>(img, victim + 6, static_cast<uint16_t>(pick(32))); break;
    case 4: img.resize(victim + pick(40)); break;
    case 5: nemf_finalize_file(img, body_length - 4); break;                    // body ends early
    case 6: img.resize(img.size() + 4); nemf_finalize_file(img, body_length + 4); break;
    case 7: img[12] = 2; break;
    case 8: img[pick(8)] ^= 0x20; break;
    }
    return img;
}

// Property: the tables and the status do not depend on how the image is cut into chunks.
TEST(NemfStreamParserProperty, ChunkingDoesNotChangeTheResult)
{
    std::mt19937 rng(20200907);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        std::vector<uint8_t> img = random_image(rng);
        outcome whole = feed_whole(img);
        std::vector<int> results;
        EXPECT_EQ(whole, feed(img, std::vector<size_t>(img.size(), 1), &results));
        for (size_t i = 0; i + 1 < results.size(); ++i)  // byte by byte every call but the last asks for more
            EXPECT_EQ(NEMF_SP_MORE, results[i]) << "call " << i;
        std::vector<size_t> chunks;
        for (size_t n = 0; n < img.size(); n += chunks.back())
            chunks.push_back(1 + rng() % 97);
        EXPECT_EQ(whole, feed(img, chunks));
    }
}

TEST(NemfStreamParser, ResultsAndTables)
{
    const std::vector<test_part> three = {{0x20, "a", {1, 2}, {}}, {0x20, "b", {3}, {}}, {0x20, "c", {}, {}}};
    const struct {
        const char* what;
        void (*damage)(std::vector<uint8_t>&);
        int result, status, found, valid;
    } cases[] = {
        {"intact", [](std::vector<uint8_t>&) {}, NEMF_SP_DONE, 3, 3, 3},
        {"file CRCs are not tested", [](std::vector<uint8_t>& v) { v[8] ^= 1; v[20] ^= 1; }, NEMF_SP_DONE, 3, 3, 3},
        {"bad body CRC, parsing goes on", [](std::vector<uint8_t>& v) { v[24 + 32] ^= 1; }, NEMF_SP_DONE, 3, 3, 2},
        {"words exchanged", [](std::vector<uint8_t>& v) { std::memcpy(v.data(), "NEMFFMEN", 8); },
         NEMF_SP_ERR_IDENTIFICATION, -1, 0, 0},
        {"version 2", [](std::vector<uint8_t>& v) { v[12] = 2; }, NEMF_SP_ERR_VERSION, -1, 0, 0},
        {"hdr_length 31", [](std::vector<uint8_t>& v) { put<uint16_t>(v, 60 + 6, 31); }, NEMF_SP_ERR_HDR_LENGTH, -1, 1, 1},
        {"header CRC", [](std::vector<uint8_t>& v) { v[60 + 12] ^= 1; }, NEMF_SP_ERR_HDR_CRC, -1, 1, 1},
        {"last part runs past end", [](std::vector<uint8_t>& v) { nemf_finalize_file(v, 100); },
         NEMF_SP_ERR_PAST_END, -1, 3, 3},
        {"parts end 4 bytes before end",
         [](std::vector<uint8_t>& v) { v.resize(132); nemf_finalize_file(v, 108); }, NEMF_SP_MORE, 2, 3, 3},
        {"last padding byte missing", [](std::vector<uint8_t>& v) { v = make_image({{0x20, "a", {1}, {}}}); v.pop_back(); },
         NEMF_SP_MORE, 2, 0, 0},
        {"21 parts", [](std::vector<uint8_t>& v) { v = make_image(std::vector<test_part>(21, {0x20, "x", {}, {}})); },
         NEMF_SP_ERR_PART_COUNT, -1, 20, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> img = make_image(three);
        c.damage(img);
        outcome o = feed_whole(img);
        EXPECT_EQ(c.result, o.result);
        EXPECT_EQ(c.status, o.status);
        EXPECT_EQ(c.found, o.found);
        EXPECT_EQ(c.valid, o.valid);
        EXPECT_EQ(c.found - c.valid, o.invalid);
        EXPECT_EQ(c.found ? 24 : -1, o.parts[0]);
    }
}

// A 20-byte file header puts the first part at 28 (the file CRCs are not looked at).
TEST(NemfStreamParser, LongFileHeaderMovesTheFirstPart)
{
    std::vector<uint8_t> img = make_image({{0x20, "a", {1, 2, 3, 4}, {}}});
    img.insert(img.begin() + 24, 4, 0);
    put<uint16_t>(img, 14, 20);
    outcome o = feed(img, std::vector<size_t>(img.size(), 1));
    EXPECT_EQ(NEMF_SP_DONE, o.result);
    EXPECT_EQ(28, o.parts[0]);
}

TEST(NemfStreamParser, SkipResumesBehindThePart)
{
    std::vector<uint8_t> img = make_image({{0x20, "a", {1, 2}, {}}, {0x20, "b", {3, 4, 5}, {}}, {0x20, "c", {8}, {}}});
    nemf_stream_parser sp;
    nemf_stream_parser_init(&sp, img.data());
    ASSERT_EQ(NEMF_SP_MORE, nemf_stream_parser_feed(&sp, 24 + 36 + 35));  // b lacks one byte
    EXPECT_EQ(24u + 36 + 36, nemf_stream_parser_skip(&sp));
    // c lies in the buffer already but counts only once it is reported present.
    EXPECT_EQ(NEMF_SP_MORE, nemf_stream_parser_feed(&sp, 24 + 36 + 36));
    EXPECT_EQ(NEMF_SP_MORE, nemf_stream_parser_feed(&sp, 24 + 36 + 36 + 35));
    EXPECT_EQ(NEMF_SP_DONE, nemf_stream_parser_feed(&sp, 24 + 36 + 36 + 36));
    EXPECT_EQ(nullptr, sp.content_parts[1]);
    EXPECT_EQ(0, nemf_stream_parser_content_part_is_valid(&sp, 1));
    EXPECT_EQ(3, sp.found_parts);
    EXPECT_EQ(1, sp.invalid_parts);

    nemf_stream_parser_init(&sp, img.data());  // skipping the last part completes the image
    ASSERT_EQ(NEMF_SP_MORE, nemf_stream_parser_feed(&sp, 24 + 72 + 32));
    EXPECT_EQ(img.size(), nemf_stream_parser_skip(&sp));
    EXPECT_EQ(NEMF_SP_STATUS_DONE, sp.status);
}

// ---- comparison with the manifest ----

TEST(NemfStreamParser, ManifestComparison)
{
    const struct {
        const char* what;
        size_t flip;            // image byte to damage, 0 for none
        const char* manifest;   // %0 and %1 stand for the hashes of parts 0 and 1
        int want;
    } cases[] = {
        {"all listed", 0, "0,kernel,sha256,%0\n1,rootfs,sha512,%1\n", 0},
        {"no manifest", 0, "", NEMF_MANIFEST_ERR_NO_ENTRY},
        {"part 1 unlisted", 0, "0,kernel,sha256,%0\n", NEMF_MANIFEST_ERR_NO_ENTRY},
        {"upper-case digest", 0, "0,kernel,sha256,%0\n1,rootfs,sha512,%U\n", NEMF_MANIFEST_ERR_MISMATCH},
        {"name differs, before unlisted", 0, "0,kernal,sha256,%0\n", NEMF_MANIFEST_ERR_MISMATCH},
        {"entry for an absent part", 0, "0,kernel,sha256,%0\n1,rootfs,sha512,%1\n7,x,sha256,00\n",
         NEMF_MANIFEST_ERR_MISSING_PART},
        {"a name alone is an entry", 0, "0,kernel,sha256,%0\n1,rootfs,sha512,%1\n9,ghost\n",
         NEMF_MANIFEST_ERR_MISSING_PART},
        {"entry for a bad body", 24 + 36 + 32, "0,kernel,sha256,%0\n1,rootfs,sha512,%1\n",
         NEMF_MANIFEST_ERR_MISSING_PART},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> img = make_image({{0x20, "kernel", {1, 2, 3}, {}}, {0x20, "rootfs", {4, 5}, {}},
                                               {NEMF_TYPE_CONTENT_SIGNATURE, "sig", {1}, {1, 0, 0, 0}}});
        img[c.flip] ^= c.flip ? 1 : 0;
        nemf_stream_parser sp;
        nemf_stream_parser_init(&sp, img.data());
        ASSERT_EQ(NEMF_SP_DONE, nemf_stream_parser_feed(&sp, static_cast<uint32_t>(img.size())));
        std::string text = c.manifest;
        char hex[2][NEMF_DIGEST_SIZE];
        nemf_manifest_calculate_hash(nemf_stream_parser_part(&sp, 0), NEMF_HASH_SHA256, hex[0]);
        nemf_manifest_calculate_hash(nemf_stream_parser_part(&sp, 1), NEMF_HASH_SHA512, hex[1]);
        for (size_t at; (at = text.find('%')) != std::string::npos;) {
            std::string h = hex[text[at + 1] == '0' ? 0 : 1];
            for (char& ch : h)
                ch = text[at + 1] == 'U' ? static_cast<char>(std::toupper(ch)) : ch;
            text.replace(at, 2, h);
        }
        nemf_manifest_parse(&sp.manifest, text);
        EXPECT_EQ(c.want, nemf_stream_parser_check_manifest_hashes(&sp));
        // Part 1 is validated when listed with its right hash and intact; the signature part,
        // never loaded, is left alone.
        bool listed = std::strstr(c.manifest, "%1") != nullptr && c.flip == 0;
        EXPECT_EQ(listed, sp.info[1].validated_by_signature == 1);
        EXPECT_EQ(0, sp.info[2].covered_by_signature);
    }
}

}  // namespace
