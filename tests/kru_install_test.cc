// The install action through the kru binary on the emulated device, with images made by
// nemftool and signed with tests/pki: each partition's bytes in its layout, the saved record,
// every exit code with its message, the options, partial images, a failure in the middle of
// the write-out, the hostconfig rebuild and the hooks.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "krul/krul.h"
#include "tests/nemftool_test_support.h"

namespace {

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

constexpr size_t record_offset = 24 + 32;   // "KRU data" is the hostconfig's only part
constexpr size_t hostconfig_size = 5120;
const std::string certs = "mnt/misc/pki/tls/certs/";

// One payload per layout: the kernel's 4098-byte body leaves a 2-byte gap before its trailer,
// the rootfs' header and 4096-byte body spill into a second erase block.
struct payload {
    const char* name;
    const char* krum;   // the line's fields after the part and before the version
    int wts;
    size_t size;        // file bytes behind the 32-byte version block
    int set1, set2;     // partitions a fresh device gives sets 1 and 2
};
constexpr payload payloads[] = {
    {"kernel", "KERNEL,0,-,-,-", 3, 4066, 10, 11},
    {"rootfs", "ROOTFS,0,/,squashfs,-", 2, 4064, 12, 13},
    {"appl", "APPL,0,/mnt/appl,jffs2,-", 1, 2968, 14, 15},
};
std::string krum_line(const payload& p, const std::string& v)
{
    return "@" + std::string(p.name) + "," + p.krum + "," + v + "," + std::to_string(p.wts);
}

struct InstallTest : testing::Test {
    sandbox sb;
    std::map<std::string, std::string> provisioned;   // dev/ as provisioned
    std::string rel;                                  // release 2.1.0 with the three payloads

    void SetUp() override
    {
        run_result r = run(sb, "/bin/bash", {KRU_PROVISION_SCRIPT, sb.root, kru_bin(), flashsim_lib()});
        ASSERT_EQ(0, r.status) << r.err;
        for (const auto& e : fs::directory_iterator(sb.path("dev")))
            provisioned[e.path().filename()] = read_file(e.path());
        for (const payload& p : payloads) {
            std::string bytes(p.size, '\0');
            for (size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<char>((i * 7 + p.size) % 251);
            write_file(sb.path(std::string(p.name) + ".bin"), bytes);
        }
        rel = image("rel.nemf");
        reset();
    }
    // The provisioned device again, trust material in place, no files of earlier runs.
    void reset()
    {
        for (const char* d : {"dev", "tmp", "mnt"})
            fs::remove_all(sb.path(d));
        fs::create_directories(sb.path("dev"));
        fs::create_directories(sb.path("tmp"));
        fs::create_directories(sb.path(certs));
        for (const auto& [name, bytes] : provisioned)
            write_file(sb.path("dev/" + name), bytes);
        write_file(sb.path(certs + "ca.cert.pem"), read_file(pki("ca.cert.pem")));
        write_file(sb.path(certs + "crl.cert.pem"), read_file(pki("ca.crl.pem")));
        write_file(sb.path("flashsim.log"), "");
        write_file(sb.path("syslog"), "");
    }
    // A release image: header (unless `version` is empty), signature (unless `signer` is),
    // then the krum lines and parts given, by default those of the three payloads.
    std::string image(const std::string& name, strings krum = {}, strings parts = {}, const std::string& signer = "signer",
                      const std::string& version = "2.1.0")
    {
        strings a = {"create", "-o", sb.path(name)};
        if (!version.empty())
            a.insert(a.end(), {"--release", version, "--date", "1599000000", "--build-id", "R" + version, "--products",
                               "MODELA,MODELB"});
        if (!signer.empty())
            a.insert(a.end(), {"--sign-cert", pki(signer + ".cert.pem"), "--sign-key", pki(signer + ".key.pem")});
        const bool defaults = parts.empty();
        for (const payload& p : payloads)
            if (defaults) {
                krum.push_back(krum_line(p, version));
                parts.insert(parts.end(), {"--sw", sw(p.name, version)});
            }
        for (const std::string& line : krum)
            a.insert(a.end(), {"--krum-line", line});
        a.insert(a.end(), parts.begin(), parts.end());
        EXPECT_EQ(0, nemftool(sb, a).status);
        return sb.path(name);
    }
    // The --sw value of a payload file under a version.
    std::string sw(const std::string& name, const std::string& version = "2.1.0") const
    {
        return name + ":" + version + ":b:" + sb.path(name + ".bin");
    }
    // An image carrying only the kernel payload, under `krum` (no krum part when empty).
    std::string kernel_image(const strings& krum, const std::string& version = "2.1.0")
    {
        return image("k.nemf", krum, {"--sw", sw("kernel")}, "signer", version);
    }
    strings args(const strings& opts, const std::string& img = "", const char* set = "1") const
    {
        strings a = opts;
        a.insert(a.end(), {"install", img.empty() ? rel : img, set});
        return a;
    }
    std::string dev(int n) const { return read_file(sb.path("dev/mtd" + std::to_string(n))); }
    void set_dev(int n, const std::string& bytes) const { write_file(sb.path("dev/mtd" + std::to_string(n)), bytes); }
    void flip(int n, size_t at) const
    {
        std::string d = dev(n);
        d[at] ^= 1;
        set_dev(n, d);
    }
    krul_data record() const
    {
        krul_data rec{};
        std::memcpy(&rec, dev(5).data() + record_offset, krul_stored_size);
        return rec;
    }
    // Changes the stored record in both copies and reseals them.
    void change_record(void (*change)(krul_data*)) const
    {
        krul_data rec = record();
        change(&rec);
        for (int n : {5, 2}) {
            std::string d = dev(n), hc = d.substr(0, hostconfig_size);
            std::memcpy(hc.data() + record_offset, &rec, krul_stored_size);
            reseal(&hc);
            set_dev(n, d.replace(0, hostconfig_size, hc));
        }
    }
    void erase_hostconfigs() const
    {
        for (int n : {5, 2})
            set_dev(n, std::string(262144, '\xff'));
    }
    // Erases and writes that reached a partition (not a hostconfig device) since `from`.
    strings partition_changes(size_t from = 0) const
    {
        std::istringstream log(sb.flash_log().substr(from));
        strings ops;
        for (std::string pid, op, mtd, off, len; log >> pid >> op >> mtd >> off >> len;)
            if (op != "read" && mtd != "mtd5" && mtd != "mtd2")
                ops.push_back(op + " " + mtd + " " + off);
        return ops;
    }
    void install_ok(const strings& a) const
    {
        run_result r = run_kru(sb, a);
        ASSERT_EQ(0, r.status) << r.err;
    }
};

// Part `name` of `img` laid out as `wts` puts it on flash; with `meta`, what pinfometa records
// of it instead (its header and the first 32 bytes of its body).
std::string layout(const std::string& img, const std::string& name, int wts, bool meta = false)
{
    for (const image_part& p : image_parts(img)) {
        const std::string h = img.substr(p.offset, p.hdr_length), b = img.substr(p.body(), p.body_length);
        if (p.name != name)
            continue;
        if (meta)
            return h + b.substr(0, 32);
        return wts == 1 ? b : wts == 2 ? h + b : b + std::string(p.padded() - p.body_length, '\xff') + h;
    }
    ADD_FAILURE() << "no part " << name;
    return {};
}
std::string bytes_of(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

TEST_F(InstallTest, FreshDeviceTakesAReleaseIntoSet1ThenIntoTheAutodetectedSet2)
{
    const std::string rel2 = image("rel2.nemf", {}, {}, "signer", "2.2.0");   // same bytes, new content
    for (int set : {1, 2}) {
        SCOPED_TRACE(set);
        const std::string img = read_file(set == 1 ? rel : rel2);
        run_result r = run_kru(sb, set == 1 ? args({}) : args({"-test"}, rel2, "-1"));
        ASSERT_EQ(0, r.status) << r.err;
        const krul_data rec = record();
        for (size_t i = 0; i < std::size(payloads); ++i) {
            const payload& p = payloads[i];
            const int part = set == 1 ? p.set1 : p.set2;
            const std::string want = layout(img, p.name, p.wts), flash = dev(part);
            EXPECT_EQ(want, flash.substr(0, want.size())) << p.name;
            // The erase covered the whole layout: its last block is erased behind it.
            const size_t erased = (want.size() + 4095) / 4096 * 4096;
            EXPECT_EQ(std::string(erased - want.size(), '\xff'), flash.substr(want.size(), erased - want.size()));
            EXPECT_EQ(layout(img, p.name, 0, true), bytes_of(&rec.pinfometa[part], 64));
            EXPECT_EQ(part, rec.sets[set].refs[i]);
            EXPECT_NE(std::string::npos, r.out.find("Writing out " + std::to_string(p.size + 32) +
                                                    " bytes of data to /dev/mtd" + std::to_string(part) + "\n"));
        }
        EXPECT_EQ(-1, rec.sets[set].refs[3]);
        EXPECT_EQ("/mnt/appl", krul_name(rec.partinfo[set == 1 ? 14 : 15].mountpnt));
        EXPECT_EQ(img.substr(image_parts(img).at(0).body(), 44), bytes_of(&rec.rhdr[set], 44));
        EXPECT_EQ(set, rec.actset);
        EXPECT_EQ(dev(5).substr(0, hostconfig_size), dev(2).substr(0, hostconfig_size));
    }
    EXPECT_EQ("\xff\xfe", dev(5).substr(131070, 2));   // set 2 under test
    EXPECT_EQ(std::string(1, '\x01'), read_file(sb.path("tmp/kru.autoset")));
    EXPECT_EQ(std::string::npos, sb.flash_log().find("fault-unerased"));
}

TEST_F(InstallTest, AnInstalledReleaseIsWrittenAgainOnlyWithRewrite)
{
    install_ok(args({}));
    size_t before = sb.flash_log().size();
    install_ok(args({}));
    EXPECT_EQ(strings{}, partition_changes(before));
    before = sb.flash_log().size();
    run_result r = run_kru(sb, args({"-rewrite"}));
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(strings{}, partition_changes(before));   // every block already holds its bytes
    EXPECT_NE(std::string::npos, r.err.find("Mark partition 12 for rewrite\n"));
    EXPECT_NE(std::string::npos, r.out.find("Writing out 4096 bytes of data to /dev/mtd12\n"));
}

// The write-out compares each erase block with what it is to hold, and erases and programs
// only the blocks that differ: also one that reads erased, one a cut left half programmed, and
// one whose wts 3 gap or bytes behind the layout are not erased. The bytes end as a fresh
// install leaves them.
TEST_F(InstallTest, OnlyBlocksThatDifferAreErasedAndProgrammed)
{
    const struct {
        const char* what;
        int n;
        size_t at, len;   // the bytes of /dev/mtd<n> changed before the reinstall
        char fill;        // '\x5a': each byte's lowest bit flipped; else the byte itself
        strings changes;  // erases and writes of the reinstall
    } cases[] = {
        {"equal", 12, 0, 0, 0, {}},
        {"one byte differs", 12, 100, 1, '\x5a', {"erase mtd12 0x0", "write mtd12 0x0", "write mtd12 0x20"}},
        {"reads erased", 12, 4096, 32, '\xff', {"erase mtd12 0x1000", "write mtd12 0x1000"}},
        {"half programmed by a cut", 12, 2048, 2048, '\xff', {"erase mtd12 0x0", "write mtd12 0x0", "write mtd12 0x20"}},
        {"wts 3 gap programmed", 10, 4098, 2, '\0', {"erase mtd10 0x1000", "write mtd10 0x1000", "write mtd10 0x1004"}},
        {"byte behind the layout", 14, 3000, 1, '\0', {"erase mtd14 0x0", "write mtd14 0x0"}},
    };
    install_ok(args({}));
    std::map<int, std::string> installed;
    for (int n : {10, 12, 14})
        installed[n] = dev(n);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string d = installed[c.n];
        for (size_t i = c.at; i < c.at + c.len; ++i)
            d[i] = c.fill == '\x5a' ? static_cast<char>(d[i] ^ 1) : c.fill;
        set_dev(c.n, d);
        const size_t before = sb.flash_log().size();
        install_ok(args({"-rewrite"}));
        EXPECT_EQ(c.changes, partition_changes(before));
        for (const auto& [n, bytes] : installed)
            EXPECT_TRUE(bytes == dev(n)) << "mtd" << n << " differs from a fresh install";
    }
}

// Every partition that an install writes is recorded with what was written, and its
// read-back is checked against that, also when the element was first found installed and
// only later switched to writing (by -rewrite, or because its partition no longer checks out).
TEST_F(InstallTest, EveryWrittenPartitionGetsTheMetadataOfWhatWasWritten)
{
    std::string other(2968, '\0');
    for (size_t i = 0; i < other.size(); ++i)
        other[i] = static_cast<char>(i % 13);
    write_file(sb.path("appl2.bin"), other);
    const std::string appl2 = "appl:2.1.0:b:" + sb.path("appl2.bin");
    const struct {
        const char* what;
        bool installed;      // release 2.1.0 in set 1 first
        bool damage;         // then a byte of its appl partition flipped
        const char* line;    // the krum line of the new appl
        strings opts;
    } cases[] = {
        {"-rewrite, same version, other bytes", true, false, "@appl,APPL,0,/mnt/appl,jffs2,-,2.1.0,1", {"-rewrite"}},
        {"recorded content damaged", true, true, "@appl,APPL,0,/mnt/appl,jffs2,-,-1.-1.-1,1", {}},
        {"nothing recorded", false, false, "@appl,APPL,0,/mnt/appl,jffs2,-,-1.-1.-1,1", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        if (c.installed) {
            ASSERT_NO_FATAL_FAILURE(install_ok(args({})));
        }
        if (c.damage)
            flip(14, 100);
        const std::string img = image("a2.nemf", {c.line}, {"--sw", appl2});
        run_result r = run_kru(sb, args(c.opts, img));
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("WARNING: Could not verify write")) << r.err;
        const std::string bytes = read_file(img);
        EXPECT_EQ(layout(bytes, "appl", 1), dev(14).substr(0, other.size() + 32));
        const krul_data rec = record();
        EXPECT_EQ(layout(bytes, "appl", 0, true), bytes_of(&rec.pinfometa[14], 64));
        EXPECT_EQ("/mnt/appl", krul_name(rec.partinfo[14].mountpnt));
        run_result v = run_kru(sb, {"verify", "1"});
        EXPECT_EQ(0, v.status) << v.out;
    }
}

TEST_F(InstallTest, DryrunOnlymetaAndNoactivateChangeWhatTheySay)
{
    const struct {
        const char* option;
        bool written, saved;
        int actset;
        const char* activeset;   // the activeset file afterwards; it held "1" before
    } cases[] = {
        {"-dryrun", false, false, 0, "1"},
        {"-onlymeta", false, true, 2, "<none>"},
        {"-noactivate", true, true, 0, "2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        reset();
        write_file(sb.path("tmp/kru.activeset"), "1");
        if (std::string_view(c.option) == "-onlymeta")
            fs::remove_all(sb.path("mnt/misc"));   // the image is taken on trust
        run_result r = run_kru(sb, args({c.option}, "", "2"));
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("0: name=kernel action=1 nemf_cidx=3 partinfo_idx=10 wts=3\n"));
        EXPECT_EQ(c.written, !partition_changes().empty());
        const krul_data rec = record();
        EXPECT_EQ(c.saved ? 10 : -1, rec.sets[2].refs[0]);
        EXPECT_EQ(c.saved ? 4098u : 0u, rec.pinfometa[10].hdr.body_length);
        EXPECT_EQ(c.actset, rec.actset);
        const std::string activeset = sb.path("tmp/kru.activeset");
        EXPECT_EQ(c.activeset, file_exists(activeset) ? read_file(activeset) : "<none>");
    }
}

// The activeset and autoset files live in /tmp, where anyone may plant a link, also while the
// install replaces the activeset file: it never writes through one, and a failed write of the
// activeset file fails the install.
TEST_F(InstallTest, FilesInTmpAreNeverWrittenThroughALink)
{
    const std::string target = sb.path("precious");
    const std::string not_recorded = "install: could not record set 2 in /tmp/kru.activeset\n";
    const struct {
        const char* what;
        const char* link;     // planted at this path, to `target`; null: none
        const char* delay;    // plant the link while held here; null: before the start
        bool hard;            // a hard link instead of a symbolic one
        bool directory;       // a directory at the activeset path
        strings opts;
        const char* set;
        int status;
        std::string message;
        const char* activeset;   // the file afterwards
    } cases[] = {
        {"activeset link", "tmp/kru.activeset", nullptr, false, false, {"-noactivate"}, "2", 0, "", "2"},
        {"activeset link after the old file's removal", "tmp/kru.activeset", "after:unlink:1", false, false,
         {"-noactivate"}, "2", 0, "", "2"},
        {"activeset hard link before the writer's open", "tmp/kru.activeset", "after:unlink:2", true, false,
         {"-noactivate"}, "2", 1, not_recorded, "precious\n"},
        {"autoset link", "tmp/kru.autoset", nullptr, false, false, {}, "-1", 5,
         "Autodetected set installation has already been tried by KRU with or without success.\n", "<none>"},
        {"activeset not writable", nullptr, nullptr, false, true, {"-noactivate"}, "2", 1, not_recorded, "<directory>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        write_file(target, "precious\n");
        auto plant = [&] {
            if (c.hard)
                fs::create_hard_link(target, sb.path(c.link));
            else if (c.link != nullptr)
                fs::create_symlink(target, sb.path(c.link));
        };
        const std::string activeset = sb.path("tmp/kru.activeset");
        if (c.directory)
            fs::create_directories(activeset);
        run_result r;
        if (c.delay != nullptr) {
            started s = run_start(sb, kru_bin(), args(c.opts, "", c.set), {std::string("FLASHSIM_DELAY=") + c.delay});
            const pid_t held = wait_for_stall(sb);
            ASSERT_GT(held, 0);
            plant();
            release_stall(sb, held);
            r = run_wait(s);
        } else {
            plant();
            r = run_kru(sb, args(c.opts, "", c.set));
        }
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
        EXPECT_EQ("precious\n", read_file(target));
        EXPECT_EQ(c.activeset, fs::is_directory(activeset) ? "<directory>"
                               : fs::is_regular_file(fs::symlink_status(activeset)) ? read_file(activeset)
                                                                                    : "<none>");
        // Written and recorded all the same; only the activation is missing.
        EXPECT_EQ(c.status != 5, record().sets[2].refs[0] == 10);
        EXPECT_EQ(0, record().actset);
    }
}

struct exit_case {
    const char* what;
    strings (*setup)(InstallTest* t);   // the arguments, after preparing device and image
    int status;
    const char* message;                // part of standard error
    strings env = {};
    bool writes = false;                // partitions are written before the failure
};

// An image signed under the intermediate CA, with the root's `root_crl` and the intermediate's
// own list on the device (every certificate of the chain is checked).
strings intermediate_signed(InstallTest* t, const char* root_crl)
{
    write_file(t->sb.path(certs + "crl.cert.pem"), read_file(pki(root_crl)) + read_file(pki("intermediate-ca.crl.pem")));
    return t->args({}, t->image("x.nemf", {}, {}, "signer-intermediate"));
}

// Set 1 holds the release; set 2 gets a rootfs without a version, whose newest partition, 12
// of set 1, no longer checks out.
strings damaged_shared_rootfs(InstallTest* t)
{
    t->install_ok(t->args({}));
    t->flip(12, 100);
    return t->args({}, t->image("x.nemf", {"@rootfs,ROOTFS,0,/,squashfs,-,-1.-1.-1,2"},
                                {"--sw", t->sw("rootfs")}), "2");
}
// The release with a byte of the kernel's body changed; resealed, only the manifest can tell.
strings altered(InstallTest* t, bool resealed)
{
    std::string b = read_file(t->rel);
    b[image_parts(b).at(3).body() + 40] ^= 0x01;
    if (resealed)
        reseal(&b);
    write_file(t->sb.path("x.nemf"), b);
    return t->args({}, t->sb.path("x.nemf"));
}
strings file_image(InstallTest* t, const std::string& bytes)
{
    write_file(t->sb.path("x.nemf"), bytes);
    return t->args({}, t->sb.path("x.nemf"));
}
using T = InstallTest;

const exit_case exit_cases[] = {
    {"no set index", [](T* t) { return strings{"install", t->rel}; }, 1, "install: missing set idx?\n"},
    {"set index 3", [](T* t) { return t->args({}, "", "3"); }, 1, "install: invalid set idx?\n"},
    {"URL", [](T* t) { return t->args({}, "tftp://server/img"); }, 1, "curl was not enabled at compile time, sorry.\n"},
    {"no hostconfig, no default", [](T* t) { t->erase_hostconfigs(); return t->args({}); }, 1,
     "install: rebuild of hostcfg failed\n"},
    {"active set 3", [](T* t) { t->change_record([](krul_data* r) { r->actset = 3; }); return t->args({}, "", "-1"); },
     1, "install: could not autodetect Set to install into\n"},
    {"damaged shared partition, pool full",
     [](T* t) { t->change_record([](krul_data* r) { r->sets[0].refs[3] = 13; }); return damaged_shared_rootfs(t); },
     1, "No free partitions in pool\n"},
    {"damaged shared partition substituted", damaged_shared_rootfs, 0, "Use free partition 13 instead\n", {}, true},
    {"test mode not writable", [](T* t) { return t->args({"-test"}); }, 1, "cannot set test mode\n",
     {"FLASHSIM_FAIL=write:mtd5:1"}, true},
    {"no krum part", [](T* t) { return t->args({}, t->kernel_image({})); }, 2, "failed (-1), reason:\ninstall: no content\n"},
    {"element still undecided",
     [](T* t) {
         return t->args({}, t->image("x.nemf", {"@blob,KERNEL,0,-,-,-,-2.-2.-2,3"}, {"--raw", "48:blob:" + t->sb.path("kernel.bin")}));
     },
     2, "failed (-99), reason:\ninstall: fatal error\n"},
    {"21 references", [](T* t) { return t->args({}, t->kernel_image(strings(21, "-1,BOOT,0,-,-,-,-1.-1.-1,1"))); },
     2, "failed (-6), reason:\ninstall: partinfo krum match\n"},
    {"autoset file not creatable", [](T* t) { return t->args({"-autosetfile=/nonexistent/x"}, "", "-1"); },
     5, "install: could not CREATE|EXCL /nonexistent/x\n"},
    {"other model", [](T* t) { return t->args({"-product=MODELC"}); }, 6,
     "install: Release header does not contain model 'MODELC'\n"},
    {"other model, forced", [](T* t) { return t->args({"-product=MODELC", "-f"}); }, 0, "", {}, true},
    {"model without release header", [](T* t) { return t->args({"-product=MODELA"}, t->kernel_image({}, "")); },
     6, "Expected release header in NEMF when using -product\n"},
    {"older than minver, forced", [](T* t) { return t->args({"-f", "-minver=2.1.1"}); }, 7,
     "install: Version in release header lower than 2.1-1\n"},
    {"minver without release header", [](T* t) { return t->args({"-minver=1.0.0"}, t->kernel_image({}, "")); },
     7, "Expected release header in NEMF when using -minver\n"},
    {"no such image", [](T* t) { return t->args({}, t->sb.path("none")); }, 8, "install: could not open NEMF\n"},
    {"empty image", [](T* t) { return file_image(t, ""); }, 9, "install: empty NEMF\n"},
    {"image one byte too big", [](T* t) { return t->args({"-nemfsize=" + std::to_string(read_file(t->rel).size() - 1)}); },
     9, "install: NEMF too big\n"},
    {"image of exactly -nemfsize bytes",
     [](T* t) { return t->args({"-nemfsize=" + std::to_string(read_file(t->rel).size())}); },
     0, "", {}, true},
    {"truncated image", [](T* t) { return file_image(t, read_file(t->rel).substr(0, 3000)); }, 9, "install: incomplete NEMF\n"},
    {"body CRC error", [](T* t) { return altered(t, false); }, 9, "install: content part 3 not valid error\n"},
    {"hash differs from the manifest", [](T* t) { return altered(t, true); }, 9, "install: hashes check error: -14\n"},
    {"unsigned", [](T* t) { return t->args({}, t->image("x.nemf", {}, {}, "")); }, 9, "install: hashes check error: -11\n"},
    {"signer outside the pattern", [](T* t) { return t->args({}, t->image("x.nemf", {}, {}, "signer-lowercase")); },
     9, "install: manifest (1) load error: -56\n"},
    {"signer under an intermediate CA", [](T* t) { return intermediate_signed(t, "ca.crl.pem"); }, 0, "", {}, true},
    {"intermediate CA revoked by the root", [](T* t) { return intermediate_signed(t, "ca-intermediate-revoked.crl.pem"); },
     9, "install: manifest (1) load error: -128\n"},
    {"krum before release header", [](T* t) { return t->args({}, t->kernel_image({"@kernel,KERNEL,0,-,-,-,2.1.0,3"}, "")); },
     9, "install: KRUM before RH\n"},
    {"release header with an empty body",
     [](T* t) {
         write_file(t->sb.path("empty"), "");
         write_file(t->sb.path("k.txt"), "@kernel,KERNEL,0,-,-,-,2.1.0,3\n");
         return t->args({}, t->image("x.nemf", {}, {"--raw", "1:release:" + t->sb.path("empty"), "--krum", t->sb.path("k.txt"),
                                                    "--sw", t->sw("kernel")}, "signer", ""));
     },
     0, "0: name=kernel action=1 nemf_cidx=3", {}, true},
    {"krum without NUL",
     [](T* t) {
         write_file(t->sb.path("k.txt"), "0,KERNEL,0,-,-,-,2.1.0,3\n");
         return t->args({}, t->image("x.nemf", {}, {"--raw", "2:krum:" + t->sb.path("k.txt")}));
     },
     9, "install: Content Part Body should be 0-terminated for KRUM content\n"},
    {"krum of comments only", [](T* t) { return t->args({}, t->kernel_image({"#nothing"})); }, 9,
     "install: krul_parse_krumd failed: 0\n"},
    {"absent payload not installed", [](T* t) { return t->args({}, t->kernel_image({"-1,APPL,0,-,-,-,9.9.9,1"})); },
     9, "install: krul_meta_install_part1 failed: -2\n"},
    {"singleton without -f", [](T* t) { return t->args({}, t->kernel_image({"@kernel,BOOT,0,-,-,-,2.1.0,1"})); },
     9, "install: Can't install into singleton partitions without -f\n"},
    {"hostconfig not writable", [](T* t) { return t->args({}); }, 10, "KRU_EXIT_FATAL_ERR_HOSTCONFIG_WRITE\n",
     {"FLASHSIM_FAIL=erase:mtd5:1"}, true},
    {"no trust anchor", [](T* t) { fs::remove(t->sb.path(certs + "ca.cert.pem")); return t->args({}); }, 17,
     "load trust anchor error: "},
    {"no revocation list", [](T* t) { fs::remove(t->sb.path(certs + "crl.cert.pem")); return t->args({}); }, 18,
     "load crl (/mnt/misc/pki/tls/certs/crl.cert.pem) error: "},
};

TEST_F(InstallTest, EachExitCodeHasItsCauseAndMessage)
{
    for (const exit_case& c : exit_cases) {
        SCOPED_TRACE(c.what);
        reset();
        const strings a = c.setup(this);
        const size_t before = sb.flash_log().size();
        run_result r = run_kru(sb, a, c.env);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
        EXPECT_EQ(c.writes, !partition_changes(before).empty());
    }
}

TEST_F(InstallTest, PartialImageInstallsOnlyWhenTheAbsentPartitionsCheckOut)
{
    install_ok(args({}));
    const std::string partial =
        kernel_image({"-1,APPL,0,/mnt/appl,jffs2,-,-1.-1.-1,1", "@kernel,KERNEL,0,-,-,-,2.2.0,3"}, "2.2.0");
    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged);
        if (damaged)
            flip(14, 7);
        const size_t before = sb.flash_log().size();
        run_result r = run_kru(sb, args({}, partial, "2"));
        EXPECT_NE(std::string::npos, r.err.find("Handling partial NEMF\n"));
        EXPECT_EQ(damaged ? 14 : 0, r.status) << r.err;
        EXPECT_EQ(damaged, r.err.find("CRC32 validation of partition 14 failed. Only fixable with a non-partial NEMF.\n") !=
                               std::string::npos);
        EXPECT_EQ(damaged, partition_changes(before).empty());
        EXPECT_EQ(14, record().sets[2].refs[0]);
        EXPECT_EQ(11, record().sets[2].refs[1]);
    }
}

TEST_F(InstallTest, FailureInTheSecondOfThreePartitionsStopsTheWriteOut)
{
    const struct {
        const char* fail;
        int second, status;
    } cases[] = {
        {"FLASHSIM_FAIL=write:mtd12:1", 12, 1},
        {"FLASHSIM_FAIL=erase:mtd12:1", 12, 1},
        {"FLASHSIM_FAIL=read:mtd12:3", 12, 1},   // the read-back, after one compare per block
        {"FLASHSIM_WEAK=write:mtd12:1", 12, 1},  // a bit left unprogrammed, found by the read-back
        {"FLASHSIM_FAIL=write:mtd16:1", 16, 11},
    };
    const std::string singleton =
        image("s.nemf", {krum_line(payloads[0], "2.1.0"), "@rootfs,BOOT,0,-,-,-,2.1.0,2", krum_line(payloads[2], "2.1.0")},
              {"--sw", sw("kernel"), "--sw", sw("rootfs"), "--sw", sw("appl")});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fail);
        reset();
        const std::string img = c.second == 16 ? singleton : rel;
        run_result r = run_kru(sb, args({"-f"}, img, "-1"), {c.fail});
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_EQ(layout(read_file(rel), "kernel", 3), dev(10).substr(0, 4132));
        EXPECT_EQ(provisioned["mtd14"], dev(14));
        const krul_data rec = record();
        EXPECT_EQ(0u, rec.pinfometa[c.second].hdr.body_crc);   // invalidated, and saved
        EXPECT_EQ(4098u, rec.pinfometa[10].hdr.body_length);
        EXPECT_EQ(0, rec.actset);
        EXPECT_FALSE(file_exists(sb.path("tmp/kru.autoset")));
        EXPECT_EQ(c.status == 11, r.err.find("KRU_EXIT_FATAL_ERR_SINGLETON_WRITE") != std::string::npos);
    }
}

// On a terminal (but a dumb one) the install shows each partition's erase, write and
// read-back as a status line; the messages, the reports, the system log and the flash are
// those of a run whose standard error is a file, also when a step fails while the line is on
// the screen.
TEST_F(InstallTest, ProgressLineOnlyOnATerminalAndNothingElseChanges)
{
    for (const char* fail : {"", "write:mtd12:1", "read:mtd12:1"}) {
        SCOPED_TRACE(fail);
        const strings env = {std::string("FLASHSIM_FAIL=") + fail};
        reset();
        const run_result piped = run_kru(sb, args({"-f"}, rel, "-1"), env);
        const std::string piped_log = sb.syslog();
        std::map<int, std::string> piped_dev;
        for (int n : {2, 5, 10, 12, 14})
            piped_dev[n] = dev(n);
        EXPECT_EQ(std::string::npos, piped.err.find('\033'));

        // A dumb terminal gets no progress line at all.
        reset();
        strings tty_env = {env[0], "TERM=dumb"};
        const run_result dumb = run_on_terminal(sb, kru_bin(), args({"-f"}, rel, "-1"), tty_env);
        EXPECT_EQ(piped.out, dumb.out);
        EXPECT_EQ(piped.err, dumb.err);

        reset();
        tty_env[1] = "TERM=xterm";
        const run_result tty = run_on_terminal(sb, kru_bin(), args({"-f"}, rel, "-1"), tty_env);
        EXPECT_EQ(piped.status, tty.status);
        EXPECT_EQ(piped.out, tty.out);
        bool clean = false;
        EXPECT_EQ(piped.err, without_progress(tty.err, &clean));
        EXPECT_TRUE(clean) << tty.err;
        EXPECT_EQ(piped_log, sb.syslog());
        for (const auto& [n, bytes] : piped_dev)
            EXPECT_EQ(bytes, dev(n)) << n;
        strings phases = {"mtd10 erase", "mtd10 write", "mtd10 read-back", "mtd12 erase", "mtd12 write"};
        if (*fail == '\0')
            phases.insert(phases.end(), {"mtd12 read-back", "mtd14 erase", "mtd14 write", "mtd14 read-back"});
        for (const std::string& phase : phases)
            EXPECT_NE(std::string::npos, tty.err.find("\033[?7l" + phase + " ")) << phase << "\n" << tty.err;
    }
}

TEST_F(InstallTest, LostHostconfigIsRebuiltFromTheDefaultAndTheSafePartitions)
{
    // The default is the provisioned hostconfig; only the safe kernel partition holds a tsb.
    fs::create_directories(sb.path("mnt/appl"));
    write_file(sb.path("mnt/appl/hostcfg.default"), dev(5).substr(0, hostconfig_size));
    const std::string safe =
        read_file(image("safe.nemf", {}, {"--sw", "KNL-SAFE-1:1.0.0:b:" + sb.path("kernel.bin")}, "", "1.0.0"));
    const std::string tsb = layout(safe, "KNL-SAFE-1", 3);
    std::string d = dev(7);
    set_dev(7, d.replace(0, tsb.size(), tsb));
    erase_hostconfigs();
    run_result r = run_kru(sb, args({}));
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("install: hostcfg loading failed.\n"));
    EXPECT_NE(std::string::npos, r.err.find("rebuild_hostcfg: Using /mnt/appl/hostcfg.default as initial hostconfig\n"
                                            "rebuild_meta: Failed to locate tsb for ROOT-SAFE\n"
                                            "rebuild_hostcfg: tsb for ROOT-SAFE not found\n"
                                            "rebuild_meta: Failed to locate tsb for APPL-SAFE\n"
                                            "rebuild_hostcfg: tsb for APPL-SAFE not found\n"));
    const krul_data rec = record();
    EXPECT_EQ(tsb.substr(tsb.size() - 32) + d.substr(tsb.size(), 32), bytes_of(&rec.pinfometa[7], 64));
    EXPECT_EQ(12, rec.sets[1].refs[1]);
    EXPECT_EQ(dev(5).substr(0, hostconfig_size), dev(2).substr(0, hostconfig_size));
}

// The hook calls ("name(value)=result") and the critical region ("{", "}exitcode") in the
// order the system log got them.
std::string hook_trace(const sandbox& sb)
{
    std::istringstream log(sb.syslog());
    std::string trace;
    for (std::string line; std::getline(log, line);) {
        std::string msg = line.substr(line.find("KRU: ") + 5), word;
        if (msg.starts_with("hook "))
            word = msg.substr(5);
        else if (msg.starts_with("install: entering critical"))
            word = "{";
        else if (msg.starts_with("install: leaving critical region with exitcode="))
            word = "}" + msg.substr(msg.find('=') + 1);
        if (!word.empty())
            trace += (trace.empty() ? "" : " ") + word;
    }
    return trace;
}

TEST_F(InstallTest, HooksAreCalledAtTheirPointsAndTheirResultsCount)
{
    const std::string rcvd = "data_rcvd(" + std::to_string(read_file(rel).size()) + ")=0 pre_metainstall(1)=0 ";
    const struct {
        const char* hooks;   // KRU_TEST_HOOKS
        strings extra;       // options, or emulator rules
        int status;
        std::string trace;
        bool written, saved;
    } cases[] = {
        {"", {}, 0, rcvd + "pre_install(1)=0 { post_write_out(1)=0 post_activate(1)=0 }0", true, true},
        {"hcfg_fail=42", {"lost"}, 42, "hcfg_fail(0)=42", false, false},
        {"hcfg_fail=0", {"lost"}, 9, "hcfg_fail(0)=0 " + rcvd.substr(0, rcvd.find(' ')), false, false},
        {"data_rcvd=3", {}, 9, rcvd.substr(0, rcvd.find(')') + 1) + "=3", false, false},
        {"pre_metainstall=4", {}, 4, rcvd.substr(0, rcvd.size() - 3) + "=4", false, false},
        {"pre_install=21", {}, 21, rcvd + "pre_install(1)=21", false, false},
        // An exit status keeps 8 bits: what does not fit is 255, never 0 or 1 by truncation.
        {"pre_install=257", {}, 255, rcvd + "pre_install(1)=257", false, false},
        {"post_activate=256", {}, 255, rcvd + "pre_install(1)=0 { post_write_out(1)=0 post_activate(1)=256 }256 on_failure(256)=0",
         true, true},
        {"post_write_out=22", {}, 22, rcvd + "pre_install(1)=0 { post_write_out(1)=22 }22 on_failure(22)=0", true, false},
        {"post_activate=23", {"-dryrun"}, 23,
         rcvd + "pre_install(1)=0 post_write_out(1)=0 post_activate(0)=23 on_failure(23)=0", false, false},
        {"on_failure=99", {"FLASHSIM_FAIL=write:mtd10:1"}, 1,
         rcvd + "pre_install(1)=0 { post_write_out(1)=0 }1 on_failure(1)=99", false, true},
        {"on_failure=99", {"-minver=3.0.0"}, 7, rcvd.substr(0, rcvd.find(' ')), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.hooks) + " " + (c.extra.empty() ? "" : c.extra[0]));
        reset();
        strings opts, env = {std::string("KRU_TEST_HOOKS=") + c.hooks};
        for (const std::string& e : c.extra)
            if (e == "lost")
                erase_hostconfigs();
            else
                (e.starts_with("-") ? opts : env).push_back(e);
        const std::string hostconfig = dev(5).substr(0, hostconfig_size);
        run_result r = run(sb, KRU_TESTHOOKS_BIN, args(opts), env);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_EQ(c.trace, hook_trace(sb));
        EXPECT_EQ(c.written, dev(14) != provisioned["mtd14"]);
        EXPECT_EQ(c.saved, hostconfig != dev(5).substr(0, hostconfig_size));
    }
}

TEST_F(InstallTest, OnlyTheTestBuildLinksHooks)
{
    for (const std::string& bin : {kru_bin(), std::string(KRU_TESTHOOKS_BIN)}) {
        SCOPED_TRACE(bin);
        run_result r = run(sb, "/usr/bin/nm", {bin});
        ASSERT_EQ(0, r.status) << r.err;
        for (const char* hook : {"hcfg_fail", "data_rcvd", "pre_metainstall", "pre_install", "post_write_out",
                                 "post_activate", "on_failure"}) {
            const std::string name = std::string("kru_install_hook_") + hook + "\n";
            const bool defined = r.out.find(" T " + name) != std::string::npos || r.out.find(" W " + name) != std::string::npos;
            EXPECT_EQ(bin != kru_bin(), defined) << name;
            EXPECT_EQ(bin == kru_bin(), r.out.find(" w " + name) != std::string::npos) << name;
        }
    }
}

}  // namespace
