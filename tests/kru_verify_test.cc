// The verify action through the kru binary: the overview of the partition table with every
// line form and both warnings, and the check of one set, silent or with its details.
#include <gtest/gtest.h>

#include "tests/trial_device.h"

namespace {

using VerifyTest = TrialDevice;

TEST(VerifyBlank, MissingHostconfig)
{
    sandbox sb;
    sb.make_mtd(5, 262144);
    run_result r = run_kru(sb, {"verify"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(r.err.ends_with("verify action: loading hostcfg failed.\n")) << r.err;
}

TEST_F(VerifyTest, OverviewShowsEveryLineFormAndBothWarnings)
{
    content(8, "c8", 2, "rootfs behind its header");
    ASSERT_EQ(0, run_kru(sb_, {"partinfo", "12", "rootfs", "0x10000", "-fstype=squashfs", "-mount=/", "-metalength=10"})
                     .status);
    damage(9);    // kernel, multi
    damage(13);   // appl, multi
    damage(6);    // misc, a singleton the active safe set refers to
    run_result r = run_kru(sb_, {"verify"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Verifying partitions:\n"
              "  0  Not handled by KRU\n"
              "  1  Not handled by KRU\n"
              "  2  Not handled by KRU\n"
              "  3  Not handled by KRU\n"
              "  4  Not handled by KRU\n"
              "  5  Not handled by KRU\n"
              "  6  Not handled by KRU\n"
              "  7  Belongs to pool kernel           CRC32 content check: OK\n"
              "  8  Belongs to pool rootfs           CRC32 content check: OK (wts=2)\n"
              "  9  Belongs to pool kernel           CRC32 content check: DISPARITY\n"
              " 10  Belongs to pool rootfs           CRC32 content check: OK\n"
              " 11  Nothing installed\n"
              " 12  Belongs to pool rootfs           CRC32 content check: UNKNOWN\n"
              " 13  Belongs to pool appl             CRC32 content check: DISPARITY\n"
              " 14  Nothing installed\n"
              " 15  Belongs to pool misc             CRC32 content check: DISPARITY\n"
              " 16  Belongs to pool boot             CRC32 content check: OK\n"
              " 17  Not handled by KRU\n"
              " 18  Not handled by KRU\n"
              " 19  Not handled by KRU\n"
              "             AT LEAST ONE OF THESE SINGLETONS IS PART OF THE ACTIVE SET\n"
              "             DO NOT REBOOT UNTIL THIS ISSUE HAS BEEN FIXED!\n",
              r.out);
    EXPECT_EQ("WARNING: 2/3 multi pools have a disparity between\n"
              "             calculated and hostconfig recorded\n"
              "             CRC32 values.\n"
              "WARNING: 1/2 singleton pools have a disparity between\n"
              "             calculated and hostconfig recorded \n"
              "             CRC32 values.\n",
              r.err);
    EXPECT_NE(std::string::npos, sb_.syslog().find("3 KRU: WARNING: 1/2 singleton pools"));
}

// The reboot warning depends on whether the active set refers to the damaged singleton, in any
// of its 20 slots.
TEST_F(VerifyTest, RebootWarningFollowsTheActiveSet)
{
    damage(16);   // boot: only the safe set has it
    const struct {
        const char* what;
        std::vector<std::string> step;   // a kru command; empty: set 1 gets entry 16 behind a -1
        bool warned;
    } cases[] = {
        {"safe set active", {"info"}, true},
        {"set 1 active", {"activate", "1"}, false},
        {"set 1 refers to it behind a -1", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.step.empty())
            set_ref(1, 6, 16);
        else
            ASSERT_EQ(0, run_kru(sb_, c.step).status);
        run_result r = run_kru(sb_, {"verify"});
        EXPECT_EQ(0, r.status);
        EXPECT_NE(std::string::npos, r.err.find("WARNING: 1/2 singleton pools"));
        EXPECT_EQ(c.warned, r.out.find("DO NOT REBOOT UNTIL") != std::string::npos);
    }
}

TEST_F(VerifyTest, OneSetIsSilentUnlessVerboseOrInvalid)
{
    const std::string set1 =
        "verify_set: Set 1: SET1\n"
        "verify_set:   ref  9: kernel       c9          : ok\n"
        "verify_set:   ref 10: rootfs       c10         : ok\n"
        "verify_set:   ref 13: appl         c13         : ok\n"
        "verify_set:   ref 15: misc         c15         : ok\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;   // from the first "verify_sets:" on
    } cases[] = {
        {{"verify", "1"}, 0, ""},
        {{"verify", "2"}, 1, ""},
        {{"verify", "SET1", "-v"}, 0, "verify_sets: Checking set 1\n" + set1},
        {{"verify", "7"},
         1,
         "verify_sets: Checking set -1\n"
         "verify_set: Set 0: SAFESET\n"
         "verify_set:   ref  7: kernel       c7          : ok\n"
         "verify_set:   ref  8: rootfs       c8          : ok\n"
         "verify_set:   ref 16: boot         c16         : ok\n"
         "verify_set:   ref 15: misc         c15         : ok\n" +
             set1 +
             "verify_set: Set 2: SET2\n"
             "verify_set:   ref 11: kernel                   : empty\n"
             "verify_set:   ref 12: rootfs                   : empty\n"
             "verify_set:   ref 14: appl                     : empty\n"
             "verify_set:   ref 15: misc         c15         : ok\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        run_result r = run_kru(sb_, c.args);
        EXPECT_EQ(c.status, r.status);
        size_t from = r.out.find("verify_sets:");
        EXPECT_EQ(c.out, from == std::string::npos ? r.out : r.out.substr(from));
        EXPECT_EQ("", r.err);
    }
    set_ref(2, 0, -1);
    run_result r = run_kru(sb_, {"verify", "2", "-v"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("verify_set: Set 2: SET2\nverify_set:   no refs\n"));
}

// On a terminal each partition's CRC read shows a status line, drawn behind the half printed
// overview line (a dumb one shows none); the reports and messages are those of a run whose
// standard error is a file.
TEST_F(VerifyTest, ProgressLineOnlyOnATerminal)
{
    damage(9);
    const struct {
        std::vector<std::string> args;
        std::vector<int> read;   // devices whose reads are shown
    } cases[] = {
        {{"verify"}, {6, 7, 8, 9, 10, 13, 16}},
        {{"verify", "1", "-v"}, {9, 10, 13, 6}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size());
        const run_result piped = run_kru(sb_, c.args);
        const run_result dumb = run_on_terminal(sb_, kru_bin(), c.args, {"TERM=dumb"});
        EXPECT_EQ(piped.out + piped.err, dumb.out + dumb.err) << "a dumb terminal gets no progress line";
        const run_result tty = run_on_terminal(sb_, kru_bin(), c.args, {"TERM=xterm"});
        EXPECT_EQ(std::string::npos, piped.err.find('\033'));
        EXPECT_EQ(piped.status, tty.status);
        EXPECT_EQ(piped.out, tty.out);
        bool clean = false;
        EXPECT_EQ(piped.err, without_progress(tty.err, &clean));
        EXPECT_TRUE(clean) << tty.err;
        for (int pn : c.read)
            EXPECT_NE(std::string::npos, tty.err.find("\033[?7lmtd" + std::to_string(pn) + " verify ")) << pn;
    }
    EXPECT_EQ(std::string::npos, sb_.syslog().find("verify "));
}

// Content behind its header passes the overview but not the set check, so activating its set
// needs -f.
TEST_F(VerifyTest, HeaderFirstContentFailsTheSetCheck)
{
    content(10, "c10", 2, "rootfs behind its header");
    run_result r = run_kru(sb_, {"verify", "1", "-v"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("ref 10: rootfs       c10         : bad\n"));
    r = run_kru(sb_, {"activate", "1"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("activate: set 1 validation err=4\n", r.err);
    EXPECT_EQ(0, run_kru(sb_, {"activate", "1", "-f"}).status);
}

}  // namespace
