// The release metadata: the krum parser, the release header checks, the decision for each
// element over a table of pool situations, and what the meta install records.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "tests/meta_test_support.h"

namespace {

using namespace std::literals;

// An element as "cidx pool meta major.minor.build wts mount fstype platform".
std::string show(const krum_element& e)
{
    char buf[200];
    std::snprintf(buf, sizeof buf, "%d %s %u %u.%u.%u %u [%s] [%s] %s", e.cidx, e.poolname, e.meta_valid,
                  e.software.sw_version_major, e.software.sw_version_minor, e.software.sw_build_number, e.wts,
                  e.mountpnt, e.fstype, e.platform);
    return buf;
}

struct KrumParse : testing::Test {
    krum_element el[krum_max_elements];
    std::string out;
    int parse(std::string_view text)
    {
        testing::internal::CaptureStdout();
        int n = krul_parse_krumd(el, text);
        out = testing::internal::GetCapturedStdout();
        return n;
    }
};

TEST_F(KrumParse, BothFormsAndTheirFields)
{
    const struct { const char* line; const char* want; } cases[] = {
        {"2,POOLA,0,-,-,-,1.4.220,3", "2 POOLA 1 1.4.220 3 [] [] -"},
        {"3,POOLB,0,/,squashfs,-,-2.-2.-2,3", "3 POOLB 2 0.0.0 3 [/] [squashfs] -"},
        {"1,POOL,0,-,-,-,0x01020003,2", "1 POOL 1 1.2.3 2 [] [] -"},
        {"1,POOL,0,-,-,-,1.-1.0,2", "1 POOL 0 0.0.0 2 [] [] -"},
        {"1,POOL,0,-,-,-,1.2.-2,2", "1 POOL 2 0.0.0 2 [] [] -"},
        {"-1,P,0,-/data,-x,AB,-1.2.-2,0x103", "-1 P 0 0.0.0 3 [] [] AB"},
        {"0x1ff,P,0,/d,jffs2,-,258.2.65537,010", "-1 P 1 2.2.1 8 [/d] [jffs2] -"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(1, parse(std::string(c.line) + "\n")) << c.line;
        EXPECT_EQ(c.want, show(el[0])) << c.line;
    }
}

TEST_F(KrumParse, CommentsBadLinesBlankLineAndTheEnd)
{
    std::string p17(17, 'P'), q21(21, 'Q');
    std::string text = "#cidx,pool\ngarbage\n1,POOL,0,-,-,-,1.2,2\n1," + p17 + ",0,-,-," + q21 + ",1.2.3,1\n1," + p17 +
                       "X,0,-,-,-,1.2.3,1\n1,P,0,/" + std::string(31, 'm') + ",-,-,1.2.3,1\n1,P,0,-,fffffffff0,-,1.2.3,1\n" +
                       "1,P,0," + std::string(2100, 'm') + ",-,-,1.2.3,1\n2,P,0,-,-,-,1.2.3,1\n\n3,AFTER,0,-,-,-,1.2.3,1\n";
    EXPECT_EQ(2, parse(text));
    EXPECT_EQ("1 " + p17 + " 1 1.2.3 1 [] [] " + q21, show(el[0]));
    EXPECT_EQ(0, el[2].used);
    EXPECT_EQ(0u, out.find("Wrong syntax, skip (r=0)\n\ngarbage\nWrong syntax, skip (r=7)\n\n1,POOL,0,-,-,-,1.2,2\n"));
    EXPECT_EQ(6, std::count(out.begin(), out.end(), 'W')) << out;   // fields too long: skipped, not cut
    EXPECT_EQ(1, parse("1,P,0,-,-,-,1.2.3,1\0" "2,P,0,-,-,-,1.2.3,1\n"sv));
    EXPECT_EQ(1, parse("1,P,0,-,-,-,1.2.3,1"));
    EXPECT_EQ(0, parse("# only\n#comments\n"));
}

TEST_F(KrumParse, CapacityOfFortyElements)
{
    std::string forty;
    for (int i = 0; i < 40; ++i)
        forty += std::to_string(i) + ",POOL,0,-,-,-,1.2.3,1\n#comment\n";
    EXPECT_EQ(40, parse(forty + "\nafter,a,blank\n"));
    EXPECT_EQ(-1, parse(forty + "malformed\n"));
    EXPECT_EQ("Wups, too many KRUM elements, abort.\n", out);
    EXPECT_EQ(39, el[39].cidx);
}

TEST(ReleaseChecks, MinimumVersionAndModel)
{
    nemf_release_header rh{2, 0, 5, 0, "b"};
    EXPECT_EQ(1, krul_check_minver(rh, 1, 9, 99));
    EXPECT_EQ(1, krul_check_minver(rh, 2, 0, 5));
    EXPECT_EQ(0, krul_check_minver(rh, 2, 0, 6));
    EXPECT_EQ(0, krul_check_minver(rh, 0xFFFFFFFF, 0, 0));   // unsigned, not a byte
    EXPECT_EQ(1, krul_check_minver(rh, 1, 0xFFFFFFFF, 0));

    const struct { std::string_view text; const char* model; int want; } cases[] = {
        {"products=AB,ABC\n", "ABC", 1}, {"products=AB,ABC\n", "AB", 1}, {"products=AB,ABC\n", "A", 0},
        {"products=AB,ABC\n", "ABCD", 0}, {"products=AB", "AB", 0}, {"x\nproducts=XY,\nrest", "XY", 1},
        {"products=\n", "AB", 0}, {"products=ab,\n", "AB", 0}, {"a\0products=AB,\n"sv, "AB", 0},
        {"products=AB\nCD,\n", "CD", 0},
    };
    auto part = [](std::string_view text) {
        std::vector<uint8_t> body(44);
        body.insert(body.end(), text.begin(), text.end());
        return make_part(test_part{NEMF_TYPE_RELEASE_HEADER, "rhdr", body, {}});
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, krul_match_model(part(c.text), c.model)) << c.text << " / " << c.model;
    std::vector<uint8_t> cut = part("products=AB,ABC\n");
    put<uint32_t>(cut, 8, 44 + 15);   // the body ends before the newline behind ABC
    EXPECT_EQ(0, krul_match_model(cut, "ABC"));
}

// Partitions: KNL singleton 0; ROOT 1, 2 (2 holds the newer release); APPL 3 (set 0), 4 (set 2).
// Nothing recorded has a CRC, so no lookup reads a device.
struct MetaDecision : testing::Test {
    krul_data rec{};
    krum_element el[krum_max_elements];
    void SetUp() override
    {
        const char* pools[] = {"KNL", "ROOT", "ROOT", "APPL", "APPL"};
        for (int i = 0; i < 5; ++i)
            std::snprintf(rec.partinfo[i].poolname, 16, "%s", pools[i]);
        rec.pinfometa[1].sw = {1, 9, 500, ""};
        rec.pinfometa[2].sw = {2, 0, 1, ""};
        std::memset(rec.sets, 0xFF, sizeof rec.sets);
        rec.sets[0].refs[0] = 3;
        rec.sets[2].refs[0] = 4;
        krul_partpool_generate(&rec);
    }
    // "result action idx" of the first element.
    std::string decide(const std::string& krum, int setidx, const char* platform, int force)
    {
        krul_parse_krumd(el, krum);
        int r = krul_meta_install_part1(&rec, setidx, nemf_release_header{}, el, platform, force);
        return std::to_string(r) + " " + std::to_string(el[0].action) + " " + std::to_string(el[0].partinfo_idx);
    }
};

TEST_F(MetaDecision, EachPoolSituationHasItsDecision)
{
    const struct { const char* what; const char* krum; int setidx, force; const char* platform, *want; } cases[] = {
        {"singleton, no version", "1,KNL,0,-,-,-,-1.0.0,1", 1, 0, "", "1 2 0"},
        {"multi, no version: newest", "1,ROOT,0,-,-,-,-1.0.0,1", 1, 0, "", "1 2 2"},
        {"no version, unknown pool", "1,NONE,0,-,-,-,-1.0.0,1", 1, 0, "", "-99 0 -1"},
        {"new version into multi pool", "1,ROOT,0,-,-,-,3.0.0,1", 1, 0, "", "1 1 1"},
        {"version from the part", "1,ROOT,0,-,-,-,-2.0.0,1", 1, 0, "", "1 3 1"},
        {"not in image, not installed", "-1,ROOT,0,-,-,-,3.0.0,1", 1, 0, "", "-2 0 -1"},
        {"singleton without force", "1,KNL,0,-,-,-,3.0.0,1", 1, 0, "", "-3 1 -1"},
        {"singleton with force", "1,KNL,0,-,-,-,3.0.0,1", 1, 1, "", "1 1 0"},
        {"pool without partitions", "1,NONE,0,-,-,-,3.0.0,1", 1, 0, "", "-4 1 -1"},
        {"pool used by the other sets", "1,APPL,0,-,-,-,3.0.0,1", 1, 0, "", "-5 1 -1"},
        {"own set's partition is reused", "1,APPL,0,-,-,-,3.0.0,1", 2, 0, "", "1 1 4"},
        {"other platform", "1,NONE,0,-,-,AB,3.0.0,1", 1, 0, "XY", "1 0 -1"},
        {"platform of the element", "1,ROOT,0,-,-,AB,3.0.0,1", 1, 0, "AB", "1 1 1"},
        {"any platform", "1,ROOT,0,-,-,-,3.0.0,1", 1, 0, "XY", "1 1 1"},
        {"no platform given", "1,ROOT,0,-,-,AB,3.0.0,1", 1, 0, "", "1 1 1"},
        {"no element", "#nothing", 1, 0, "", "-1 0 0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, decide(std::string(c.krum) + "\n", c.setidx, c.platform, c.force)) << c.what;
    EXPECT_EQ("-4 1 -1", decide("1,NONE,0,-,-,-,3.0.0,1\n1,KNL,0,-,-,-,-1.0.0,1\n", 1, "", 0));
    EXPECT_EQ(KRUM_ACTION_NONE, el[1].action);   // the decision ends at the failing element
}

TEST_F(MetaDecision, InstalledContentIsKeptInItsOwnLayoutOnly)
{
    meta_device d;
    d.rec = rec;
    d.install(1, 12, "ROOT", software_part("rootfs", {1, 9, 500}, 100), 2);
    d.rec.sets[2].refs[1] = 1;
    write_file(d.sb.path("krum"), "1,ROOT,0,-,-,-,1.9.500,2\n2,ROOT,0,-,-,-,1.9.500,1\n");
    EXPECT_EQ("action 2 idx 1\naction 1 idx 2\nresult 1\n", d.probe({"decide", d.sb.path("krum"), "1"}).out);
}

TEST_F(MetaDecision, InstallRecordsTheSetOrLeavesItAlone)
{
    ASSERT_EQ("1 2 0", decide("1,KNL,0,-,-,-,-1.0.0,1\n2,ROOT,0,/r,squashfs,-,3.0.0,3\n5,X,0,-,-,XY,1.1.1,1\n", 1, "AB", 0));
    std::vector<uint8_t> part = software_part("rootfs", {3, 0, 0}, 20);
    const uint8_t* parts[20] = {};
    nemf_release_header rh{3, 0, 0, 1234, "rel"};
    EXPECT_EQ(-99, krul_meta_install(&rec, 1, rh, el, parts, "AB", 0));   // part 2 missing
    EXPECT_EQ(-1, rec.sets[1].refs[0]);
    parts[2] = part.data();
    ASSERT_EQ(1, krul_meta_install(&rec, 1, rh, el, parts, "AB", 0));
    EXPECT_EQ(0, std::memcmp(rec.sets[1].refs, "\x00\x01\xff", 3));
    EXPECT_EQ(1234u, rec.rhdr[1].release_date);
    EXPECT_EQ(0, std::memcmp(&rec.pinfometa[1], part.data(), 52));
    EXPECT_EQ(0, rec.pinfometa[1].sw.sw_build_id[16]);   // behind the 20-byte body: zeros
    EXPECT_EQ("/r squashfs", std::string(rec.partinfo[1].mountpnt) + " " + std::string(krul_name(rec.partinfo[1].fstype)));

    krum_element none[krum_max_elements] = {};
    EXPECT_EQ(-1, krul_meta_install(&rec, 2, rh, none, parts, "", 0));
    el[1].action = KRUM_ACTION_LATE;
    EXPECT_EQ(-99, krul_meta_install(&rec, 2, rh, el, parts, "AB", 0));
    el[1] = {1, 2, "ROOT", 0, "", "", "-", 1, 1, {}, KRUM_ACTION_WRITE, -1};
    EXPECT_EQ(-6, krul_meta_install(&rec, 2, rh, el, parts, "AB", 0));
    for (krum_element& e : el)
        e = {1, 0, "KNL", 0, "", "", "-", 0, 1, {}, KRUM_ACTION_INSTALLED, 0};
    EXPECT_EQ(-6, krul_meta_install(&rec, 2, rh, el, parts, "", 0));   // 40 refs do not fit 20
    EXPECT_EQ(4, rec.sets[2].refs[0]);   // failures leave the set alone
}

}  // namespace
