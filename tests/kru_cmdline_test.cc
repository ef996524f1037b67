// The command line of the kru binary: messages, results and the settings each word leaves.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/kru_run.h"

namespace {

struct Cmdline : testing::Test {
    sandbox sb;
    std::string usage = read_file(test_data("usage.txt"));

    // The first line of the verbose echo for `args` (with -v and help added).
    std::string echo(std::vector<std::string> args, const std::vector<std::string>& env = {})
    {
        args.insert(args.begin(), "-v");
        args.push_back("help");
        run_result r = run_kru(sb, args, env);
        EXPECT_EQ(0, r.status) << r.err;
        return r.out.substr(0, r.out.find('\n'));
    }
};

// "help" prints the same usage text (the supervision tests check it).
TEST_F(Cmdline, UsageTextIsPrintedByteForByte)
{
    ASSERT_FALSE(usage.empty());
    run_result r = run_kru(sb, {});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(usage, r.out);
    EXPECT_EQ("Syntax error, argc < 2\n", r.err);
    EXPECT_EQ("3 KRU: Syntax error, argc < 2\n", sb.syslog());
}

// Action arguments that look like options stay positional words, up to nineteen of them.
TEST_F(Cmdline, VerboseHelpEchoesThreeLinesThenUsage)
{
    const std::vector<std::string> words = {"x", "-1", "-refs=1,2", "-pif=ab", "-all", "-product=", "-platform=",
                                            "8", "9", "10", "11", "12", "13", "14", "15", "16", "17", "18"};
    std::vector<std::string> args = {"-v", "help"};
    args.insert(args.end(), words.begin(), words.end());
    run_result r = run_kru(sb, args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("action: help hostcfg: /dev/mtd5 (backup: /dev/mtd2) -r: 0 -dryrun: 0 -v: 1 -f: 0 -meta: 0.0.0 "
              "-nemfsize=16777216 -rewrite=0\n"
              "-minver: 0.0.0 -lockfile: /tmp/kru.lock -autosetfile: /tmp/kru.autoset "
              "-activesetfile: /tmp/kru.activeset\n"
              "other: x -1 -refs=1,2 -pif=ab -all -product= -platform= 8 9 10 11 12 13 14 15 16 17 18 \n" +
                  usage,
              r.out);
}

TEST_F(Cmdline, EveryFailingWordHasItsMessage)
{
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"-v"}, "ACTION is missing.\n"},
        {{"-meta=x", "help"}, "-meta syntax failure.\n"},
        {{"-nemfsize=x", "help"}, "-nemfsize syntax failure.\n"},
        {{"-nemfsize", "help"}, "-nemfsize syntax failure.\n"},
        {{"-cfgbak", "help"}, "-cfgbak syntax failure.\n"},
        {{"-cfg", "help"}, "-cfg syntax failure.\n"},
        {{"-cfgx=/a", "help"}, "-cfg syntax failure.\n"},
        {{"-minver=1.2", "help"}, "-minver syntax failure.\n"},
        {{"-iptos=x", "help"}, "-iptos syntax failure.\n"},
        {{"-plugin=x", "help"}, "plugin support not enabled.\n"},
        {{"help", "-plugin=libx.so"}, "plugin support not enabled.\n"},
        {{"-lock=x", "help"}, "-lock syntax failure.\n"},
        {{"-locale", "help"}, "-lock syntax failure.\n"},
        {{"-autoset", "help"}, "-autosetfile syntax failure.\n"},
        {{"-activate", "help"}, "-activesetfile syntax failure.\n"},
        {{"frobnicate"}, "Unknown action\n"},
        // Processing stops at the first failing word.
        {{"-meta=x", "-cfg", "help"}, "-meta syntax failure.\n"},
        // Twenty words are one too many (the options do not count).
        {{"-v", "help", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w", "w"},
         "Too many arguments: at most 19 words besides the options.\n"},
        // Values that would not fit their fields are refused, not cut.
        {{"-cfg=/" + std::string(99, 'c'), "help"}, "-cfg syntax failure.\n"},
        {{"-lockfile=/" + std::string(120, 'l'), "help"}, "-lock syntax failure.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        run_result r = run_kru(sb, c.args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.message, r.err);
        EXPECT_EQ("", r.out);
    }
}

TEST_F(Cmdline, WordsSetTheirFieldsByTheTableOrder)
{
    const struct {
        std::vector<std::string> args;
        std::string want;   // a piece of the first echo line
    } cases[] = {
        {{"-rewrites"}, "-rewrite=1"},
        {{"-meta=1.2.3"}, "-meta: 1.2.3"},
        {{"-meta=01020003"}, "-meta: 1.2.3"},
        {{"-meta=0x2.010.3"}, "-meta: 2.8.3"},
        {{"-nemfsize=4096"}, "-nemfsize=4096"},
        {{"-r", "-dryrun", "-f"}, "-r: 1 -dryrun: 1 -v: 1 -f: 1"},
        {{"-cfg=/tmp/h"}, "hostcfg: /tmp/h (backup: )"},
        {{"-cfgbak=/tmp/b"}, "hostcfg: /dev/mtd5 (backup: /tmp/b)"},
        {{"-cfgbak=/tmp/b", "-cfg=/tmp/h"}, "hostcfg: /tmp/h (backup: /tmp/b)"},
        {{"-cfg=/" + std::string(98, 'c')}, "hostcfg: /" + std::string(98, 'c') + " (backup: )"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        EXPECT_NE(std::string::npos, echo(c.args).find(c.want)) << echo(c.args);
    }
}

TEST_F(Cmdline, EnvironmentLimitsAreStricterThanTheOptions)
{
    const std::string p15(15, 'p'), p16(16, 'p'), p19(19, 'p');
    const struct {
        std::vector<std::string> args, env;
        int status;
        std::string err;
    } cases[] = {
        {{"help"}, {"KRU_PRODUCT=" + p15}, 0, ""},
        {{"help"}, {"KRU_PRODUCT=" + p16}, 1, "KRU_PRODUCT too long: " + p16 + "\n"},
        {{"-product=" + p19, "help"}, {}, 0, ""},
        {{"help"}, {"KRU_PLATFORM=1234567"}, 0, ""},
        {{"help"}, {"KRU_PLATFORM=12345678"}, 1, "KRU_PLATFORM too long: 12345678\n"},
        {{"-platform=123456789", "help"}, {}, 0, ""},
        {{"help"}, {"KRU_PRODUCT="}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.env.empty() ? "" : " " + c.env.front()));
        run_result r = run_kru(sb, c.args, c.env);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
    }
    // A too long environment value is a hard failure: it reaches the system log at priority 2.
    sandbox fresh;
    run_kru(fresh, {"help"}, {"KRU_PRODUCT=" + p16});
    EXPECT_EQ("2 KRU: KRU_PRODUCT too long: " + p16 + "\n", fresh.syslog());
}

TEST_F(Cmdline, SyntaxErrorsNeverTouchTheLockFile)
{
    run_kru(sb, {"-meta=x", "help"});
    EXPECT_FALSE(file_exists(sb.path("tmp/kru.lock")));
    EXPECT_EQ(0, run_kru(sb, {"-lockfile=/tmp/kru.other", "help"}).status);
    EXPECT_FALSE(file_exists(sb.path("tmp/kru.other")));
}

}  // namespace
