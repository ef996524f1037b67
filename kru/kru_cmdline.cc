#include "kru/kru_cmdline.h"
#include "kru/kru_exit.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <syslog.h>

#include "platform/log.h"
#include "platform/qz.h"

const char kru_usage_text[] = R"KRU(
Usage: kru [ ... ] ACTION [ ... ]
where ACTION usage must be one of the following:
  help
  initialize
  info
  partset SETIDX [SETNAME] [-refs=PARTREFS]
  activate [SETIDX|SETNAME]
  partinfo PARTIDX [ POOLNAME SIZE [-offset=OFFSET] [-mount=MOUNT]
                                   [-pn=PNUMBER] [-fstype=FSTYPE] ]
  install NEMF SETIDX
  verify [SETIDX|SETNAME]
  upgrade [activate|validate|test]
  mount [SETIDX|SETNAME]
  getpartset [SETIDX|active] [name] [-pif=PIF]
  getrh [SETIDX|SETNAME|active] [-pif=PIF]
  nemfinfo NEMF [-all]
COMMON OPTIONS can be located anywhere as long
as they do not break the syntax of an ACTION:
  -dryrun       do not alter hostconfig
  -test         when activating set, mark it for test
  -onlymeta     do only operate on hostconfig
  -v            show verbose information
  -f            force an action
  -meta=major,minor,buildnumber
  -nemfsize     max NEMF size
  -rewrite      force rewrite even if installed
  -cfg=HOSTCFG  use another hostconfig than the default one
  -cfgbak=HOSTCFG  use another hostconfig backup than the default one
  -noactivate   do not update active set after install
  -product=MODEL only install if release header contains this model
                 can also be set from the environment KRU_PRODUCT
  -platform=PLF match platform in krum, defaults to product
                 can also be set from the environment KRU_PLATFORM
  -minver=major.minor.buildnumber mimimum release version to install
  -iptos=TOS    set type of service (TOS) for IP communication
HOSTCFG:
  For this system default hostconfig (HOSTCFG) is located at:
    /dev/mtd5 (backup located at /dev/mtd2)
SETIDX and install action:
  If -1 is given as SETIDX at install time KRU will try to
  autoselect a SETIDX suitable for installation.
PARTIDX and partinfo action:
  PARTIDX is the index to an element in the hostconfig partition info
  table. As default the PARTIDX number is the same as the partition
  number the entry covers. However the partition number can be set to
  something else with the -pn=NUMBER option. Example:
    $ kru partinfo 4 TESTPOOL 0x100 -pn=22
  In this example PARTIDX 4 covers partition 22 and not partition 4
  as it would have if the -pn option was not given.
NEMF is a valid NEMF file. Can be fetched either from
  the file system, tftp or by CURL (if CURL is enabled).
FSTYPE:
  can be e.g. squashfs, ext2, ex3, ext4, jffs2, virtuals.
)KRU";

void kru_print_usage()
{
    // Skip the newline that opens the raw literal.
    std::fputs(kru_usage_text + 1, stdout);
    std::fflush(stdout);
}

namespace {

// What a row does with its word. Rows are tried in table order; the first that matches
// decides (a later row never sees the word).
enum kru_opt_match { KRU_OPT_EXACT, KRU_OPT_PREFIX, KRU_OPT_SCAN };

// Results of applying a word to the settings.
enum : int {
    KRU_OPT_NOT_THIS = -1,   // a scan row whose scan did not succeed: the word is not this row's
    KRU_OPT_TAKEN = 0,
    KRU_OPT_MALFORMED = 1,   // the row's scan failed: its message is printed
    KRU_OPT_REFUSED = 2,     // refused after a message of its own
};
using kru_opt_fn = int (*)(kru_settings* s, const char* word);

struct kru_opt_row {
    kru_opt_match match;
    std::string_view text;      // exact word, or the prefix that selects the row
    kru_opt_fn apply;
    const char* fail_message;   // printed when apply returns KRU_OPT_MALFORMED
};

// Reads "%s" behind `prefix` into dst[N] the way scanf would (leading white space skipped,
// the value ends at white space). A value longer than `width` characters is cut to `width`
// when `cut` (a scan with a field width), else refused, so nothing runs past the field.
// 0 on success, -1 when the word does not scan or the value is refused.
template <size_t N>
int kru_scan_string(const char* word, std::string_view prefix, char (&dst)[N], size_t width = N - 1,
                    bool cut = false)
{
    static_assert(N > 1);
    if (width > N - 1)
        width = N - 1;
    if (std::strncmp(word, prefix.data(), prefix.size()) != 0)
        return -1;
    const char* p = word + prefix.size();
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    size_t len = 0;
    while (p[len] != '\0' && !std::isspace(static_cast<unsigned char>(p[len])))
        ++len;
    if (len == 0)
        return -1;
    if (len > width) {
        if (!cut)
            return -1;
        len = width;
    }
    std::memcpy(dst, p, len);
    std::memset(dst + len, 0, N - len);
    return 0;
}

int opt_meta(kru_settings* s, const char* word)
{
    int major, minor, build;
    if (std::sscanf(word, "-meta=%i.%i.%i", &major, &minor, &build) == 3) {
        s->meta_major = major;
        s->meta_minor = minor;
        s->meta_build = build;
        return KRU_OPT_TAKEN;
    }
    unsigned v;
    if (std::sscanf(word, "-meta=%X", &v) == 1) {
        s->meta_major = static_cast<int>((v >> 24) & 0xFFu);
        s->meta_minor = static_cast<int>((v >> 16) & 0xFFu);
        s->meta_build = static_cast<int>(v & 0xFFFFu);
        return KRU_OPT_TAKEN;
    }
    return KRU_OPT_MALFORMED;
}

int opt_nemfsize(kru_settings* s, const char* word)
{
    unsigned v;
    if (std::sscanf(word, "-nemfsize=%u", &v) != 1)
        return KRU_OPT_MALFORMED;
    s->nemfsize = v;
    return KRU_OPT_TAKEN;
}

int opt_minver(kru_settings* s, const char* word)
{
    unsigned a, b, c;
    if (std::sscanf(word, "-minver=%u.%u.%u", &a, &b, &c) != 3)
        return KRU_OPT_MALFORMED;
    s->minver_major = a;
    s->minver_minor = b;
    s->minver_build = c;
    s->minver_set = 1;
    return KRU_OPT_TAKEN;
}

int opt_iptos(kru_settings* s, const char* word)
{
    int v;
    if (std::sscanf(word, "-iptos=%i", &v) != 1)
        return KRU_OPT_MALFORMED;
    s->iptos = v;
    s->iptos_set = 1;
    return KRU_OPT_TAKEN;
}

// "-product=%15s" and "-platform=%7s": a row only when the scan succeeds; the value is cut.
int opt_product(kru_settings* s, const char* word)
{
    if (kru_scan_string(word, "-product=", s->product, 15, true) != 0)
        return KRU_OPT_NOT_THIS;
    s->product_set = 1;
    return KRU_OPT_TAKEN;
}

int opt_platform(kru_settings* s, const char* word)
{
    if (kru_scan_string(word, "-platform=", s->platform, 7, true) != 0)
        return KRU_OPT_NOT_THIS;
    s->platform_set = 1;
    return KRU_OPT_TAKEN;
}

int opt_plugin(kru_settings* s, const char* word)
{
    if (kru_scan_string(word, "-plugin=", s->plugin, sizeof s->plugin - 1, true) != 0)
        return KRU_OPT_NOT_THIS;
    kru_log(LOG_ERR, "plugin support not enabled.\n");
    return KRU_OPT_REFUSED;
}

#define KRU_FLAG(field) [](kru_settings* s, const char*) { s->field = 1; return int{KRU_OPT_TAKEN}; }
#define KRU_PATH(field, prefix)                                          \
    [](kru_settings* s, const char* w) {                                 \
        const bool ok = kru_scan_string(w, prefix, s->field) == 0;       \
        return ok ? int{KRU_OPT_TAKEN} : int{KRU_OPT_MALFORMED};         \
    }

constexpr kru_opt_row kru_opt_rows[] = {
    {KRU_OPT_EXACT,  "-r",          KRU_FLAG(r), nullptr},
    {KRU_OPT_EXACT,  "-dryrun",     KRU_FLAG(dryrun), nullptr},
    {KRU_OPT_EXACT,  "-test",       KRU_FLAG(test), nullptr},
    {KRU_OPT_EXACT,  "-v",          KRU_FLAG(verbose), nullptr},
    {KRU_OPT_EXACT,  "-f",          KRU_FLAG(force), nullptr},
    {KRU_OPT_PREFIX, "-meta=",      opt_meta, "-meta syntax failure.\n"},
    {KRU_OPT_PREFIX, "-nemfsize",   opt_nemfsize, "-nemfsize syntax failure.\n"},
    {KRU_OPT_PREFIX, "-rewrite",    KRU_FLAG(rewrite), nullptr},
    {KRU_OPT_PREFIX, "-cfgbak",     KRU_PATH(hostcfg_backup, "-cfgbak="), "-cfgbak syntax failure.\n"},
    {KRU_OPT_PREFIX, "-cfg",        KRU_PATH(hostcfg, "-cfg="), "-cfg syntax failure.\n"},
    {KRU_OPT_PREFIX, "-onlymeta",   KRU_FLAG(onlymeta), nullptr},
    {KRU_OPT_EXACT,  "-noactivate", KRU_FLAG(noactivate), nullptr},
    {KRU_OPT_SCAN,   "-product=",   opt_product, nullptr},
    {KRU_OPT_SCAN,   "-platform=",  opt_platform, nullptr},
    {KRU_OPT_PREFIX, "-minver=",    opt_minver, "-minver syntax failure.\n"},
    {KRU_OPT_PREFIX, "-iptos",      opt_iptos, "-iptos syntax failure.\n"},
    {KRU_OPT_SCAN,   "-plugin=",    opt_plugin, nullptr},
    {KRU_OPT_PREFIX, "-loc",        KRU_PATH(lockfile, "-lockfile="), "-lock syntax failure.\n"},
    {KRU_OPT_PREFIX, "-aut",        KRU_PATH(autosetfile, "-autosetfile="), "-autosetfile syntax failure.\n"},
    {KRU_OPT_PREFIX, "-act",        KRU_PATH(activesetfile, "-activesetfile="), "-activesetfile syntax failure.\n"},
};

#undef KRU_FLAG
#undef KRU_PATH

// The environment variable into a field of N bytes; 0, or -1 after its message.
template <size_t N>
int kru_apply_env(const char* name, char (&field)[N], int* set)
{
    const char* v = std::getenv(name);
    if (v == nullptr)
        return 0;
    if (std::strlen(v) > N - 1) {
        kru_log_err(LOG_CRIT, "%s too long: %s\n", name, v);
        return -1;
    }
    std::memset(field, 0, N);
    std::memcpy(field, v, std::strlen(v));
    *set = 1;
    return 0;
}

template <size_t N>
void kru_set_default(char (&field)[N], const char* value)
{
    std::memset(field, 0, N);
    std::memcpy(field, value, std::strlen(value));
}

}  // namespace

int kru_parse_args(int argc, char** argv, kru_settings* s)
{
    std::memset(s, 0, sizeof *s);
    kru_set_default(s->lockfile, kru_default_lockfile);
    kru_set_default(s->autosetfile, kru_default_autosetfile);
    kru_set_default(s->activesetfile, kru_default_activesetfile);
    s->nemfsize = kru_default_nemfsize;

    if (kru_apply_env("KRU_PRODUCT", s->product, &s->product_set) != 0)
        return KRU_EXIT_FAILURE;
    if (kru_apply_env("KRU_PLATFORM", s->platform, &s->platform_set) != 0)
        return KRU_EXIT_FAILURE;

    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        std::string_view w(word);
        bool taken = false;
        for (const kru_opt_row& row : kru_opt_rows) {
            if (row.match == KRU_OPT_EXACT && w != row.text)
                continue;
            if (row.match == KRU_OPT_PREFIX && !w.starts_with(row.text))
                continue;
            int r = row.apply(s, word);
            if (row.match == KRU_OPT_SCAN && r == KRU_OPT_NOT_THIS)
                continue;
            if (r == KRU_OPT_MALFORMED && row.fail_message != nullptr) {
                kru_log(LOG_ERR, "%s", row.fail_message);
                return KRU_EXIT_FAILURE;
            }
            if (r != KRU_OPT_TAKEN)
                return KRU_EXIT_FAILURE;
            taken = true;
            break;
        }
        if (taken)
            continue;
        if (s->argc >= kru_max_args - 1) {
            kru_log(LOG_ERR, "Too many arguments: at most %d words besides the options.\n", kru_max_args - 1);
            return KRU_EXIT_FAILURE;
        }
        s->args[s->argc++] = word;
    }
    s->args[s->argc] = nullptr;
    s->action = s->args[0];
    if (s->action == nullptr) {
        kru_log(LOG_ERR, "ACTION is missing.\n");
        return KRU_EXIT_FAILURE;
    }
    if (s->hostcfg[0] == '\0') {
        kru_set_default(s->hostcfg, kru_default_hostcfg);
        if (s->hostcfg_backup[0] == '\0')
            kru_set_default(s->hostcfg_backup, kru_default_hostcfg_backup);
    }
    return kru_parse_ok;
}

void kru_print_settings(const kru_settings* s)
{
    qz_printf("action: %s hostcfg: %s (backup: %s) -r: %i -dryrun: %i -v: %i -f: %i -meta: %i.%i.%i "
              "-nemfsize=%u -rewrite=%i\n",
              s->action, s->hostcfg, s->hostcfg_backup, s->r, s->dryrun, s->verbose, s->force,
              s->meta_major, s->meta_minor, s->meta_build, s->nemfsize, s->rewrite);
    qz_printf("-minver: %u.%u.%u -lockfile: %s -autosetfile: %s -activesetfile: %s\n", s->minver_major,
              s->minver_minor, s->minver_build, s->lockfile, s->autosetfile, s->activesetfile);
    qz_printf("other: ");
    for (int i = 1; i < s->argc; ++i)
        qz_printf("%s ", s->args[i]);
    qz_printf("\n");
}
