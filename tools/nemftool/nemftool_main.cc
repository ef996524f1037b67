// nemftool: builds, shows and verifies NEMF images on the host.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "nemf/nemf_manifest.h"
#include "tools/nemftool/nemftool_build.h"
#include "tools/nemftool/nemftool_delta.h"
#include "tools/nemftool/nemftool_report.h"

namespace {

constexpr char nemftool_usage[] =
    "Usage: nemftool create -o IMAGE [RELEASE] [SIGNING] PART...\n"
    "       nemftool info IMAGE\n"
    "       nemftool verify IMAGE --ca PEM --crl PEM [--crl PEM]... [--cn PATTERN]\n"
    "                       [--attime SECONDS]\n"
    "       nemftool delta --from OLD --to NEW -o DELTA\n"
    "       nemftool expand --base OLD DELTA -o FULL\n"
    "       nemftool help\n"
    "\n"
    "create writes an image: the release header first (with --release), then the content\n"
    "signature (with --sign-cert), then every PART in the order given. The same inputs give\n"
    "the same image, byte for byte.\n"
    "RELEASE:\n"
    "  --release MAJOR.MINOR.BUILD  release version (at most 255.255.65535)\n"
    "  --date SECONDS               release date, seconds since 1970 UTC (default:\n"
    "                               SOURCE_DATE_EPOCH from the environment, else 0)\n"
    "  --build-id TEXT              release build id, at most 35 characters\n"
    "  --text TEXT                  text after the fixed fields (repeatable, joined)\n"
    "  --products LIST              adds the line \"products=LIST\" to the text\n"
    "SIGNING:\n"
    "  --sign-cert PEM --sign-key PEM\n"
    "                               sign a manifest that lists every other part\n"
    "  --hash sha256|sha512         manifest hash and signature digest (default sha256)\n"
    "PART:\n"
    "  --sw NAME:MAJOR.MINOR.BUILD:BUILDID:FILE\n"
    "                               content software part (type 4): the version block,\n"
    "                               then FILE; BUILDID at most 27 characters\n"
    "  --krum FILE                  release metadata part \"krum\" from a text file\n"
    "  --krum-line LINE             one release metadata line; all of them form one\n"
    "                               \"krum\" part, placed where the first one is given\n"
    "  --raw TYPE:NAME:FILE         a part of any type with FILE as its body\n"
    "Part names have 1 to 16 characters. In metadata, a line whose first field is @NAME\n"
    "gets the index of the part called NAME instead.\n"
    "\n"
    "info shows every part of an image and checks its CRCs.\n"
    "verify checks the CRCs, the signatures against the trust anchor and revocation lists\n"
    "at the verification time (default 1599479985, 2020-09-07 11:59:45 UTC), the signer's\n"
    "Common Name when a pattern is given, and every part against the signed manifest.\n"
    "delta writes the delta image of NEW against OLD: each payload part of NEW that has a\n"
    "namesake in OLD becomes a delta part when that is smaller; the release header, the\n"
    "metadata and the signature stay NEW's own. The same inputs give the same bytes.\n"
    "expand rebuilds the full image from a delta image and the image it was made against.\n"
    "\n"
    "Exit status: 0 success, 1 bad input or failed check, 2 wrong command line.\n";

// The message and a pointer to the help; the usage exit status.
__attribute__((format(printf, 1, 2))) int usage_error(const char* fmt, ...)
{
    std::fputs("nemftool: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputs("\nTry 'nemftool help'.\n", stderr);
    return NEMFTOOL_USAGE;
}

// A decimal number up to `max`, the whole word. 0, or -1.
int parse_u32(const char* s, uint32_t max, uint32_t* out)
{
    if (*s < '0' || *s > '9')
        return -1;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

int check_name(std::string_view name, std::string* why)
{
    if (name.empty() || name.size() > NEMF_NAME_SIZE) {
        *why = "part name \"" + std::string(name) + "\" must have 1 to 16 characters";
        return -1;
    }
    return 0;
}

// ---- create: one row per option; each takes the next word as its value ----

struct create_state {
    nemftool_plan plan;
    int krum_lines_part = -1;   // index in plan.parts of the part --krum-line fills
    bool release_fields = false;
};

using create_fn = int (*)(create_state* st, const char* value, std::string* why);
struct create_row {
    std::string_view option;
    create_fn apply;
};

int opt_sw(create_state* st, const char* value, std::string* why)
{
    // NAME:MAJOR.MINOR.BUILD:BUILDID:FILE; the file name may hold further colons.
    std::string_view v(value);
    size_t c1 = v.find(':');
    size_t c2 = c1 == v.npos ? v.npos : v.find(':', c1 + 1);
    size_t c3 = c2 == v.npos ? v.npos : v.find(':', c2 + 1);
    if (c3 == v.npos) {
        *why = "--sw wants NAME:MAJOR.MINOR.BUILD:BUILDID:FILE, not \"" + std::string(v) + "\"";
        return -1;
    }
    nemftool_part p;
    p.type_id = NEMF_TYPE_CONTENT_SOFTWARE;
    p.name = v.substr(0, c1);
    std::string version(v.substr(c1 + 1, c2 - c1 - 1));
    std::string build_id(v.substr(c2 + 1, c3 - c2 - 1));
    std::string file(v.substr(c3 + 1));
    nemftool_version ver;
    std::vector<uint8_t> payload;
    if (check_name(p.name, why) != 0)
        return -1;
    if (nemftool_parse_version(version.c_str(), &ver) != 0) {
        *why = "--sw " + p.name + ": bad version \"" + version + "\" (MAJOR.MINOR.BUILD)";
        return -1;
    }
    if (nemftool_read_file(file, &payload, why) != 0)
        return -1;
    if (nemftool_software_body(ver, build_id, payload, &p.body) != 0) {
        *why = "--sw " + p.name + ": build id \"" + build_id + "\" is longer than 27 characters";
        return -1;
    }
    st->plan.parts.push_back(std::move(p));
    return 0;
}

int opt_raw(create_state* st, const char* value, std::string* why)
{
    std::string_view v(value);
    size_t c1 = v.find(':');
    size_t c2 = c1 == v.npos ? v.npos : v.find(':', c1 + 1);
    uint32_t type = 0;
    if (c2 == v.npos || parse_u32(std::string(v.substr(0, c1)).c_str(), UINT16_MAX, &type) != 0) {
        *why = "--raw wants TYPE:NAME:FILE with TYPE 0..65535, not \"" + std::string(v) + "\"";
        return -1;
    }
    nemftool_part p;
    p.type_id = static_cast<uint16_t>(type);
    p.name = v.substr(c1 + 1, c2 - c1 - 1);
    if (check_name(p.name, why) != 0 || nemftool_read_file(std::string(v.substr(c2 + 1)), &p.body, why) != 0)
        return -1;
    st->plan.parts.push_back(std::move(p));
    return 0;
}

int opt_krum(create_state* st, const char* value, std::string* why)
{
    nemftool_part p;
    p.type_id = NEMFTOOL_KRUM_TYPE;
    p.name = NEMFTOOL_KRUM_NAME;
    p.krum_text = true;
    if (nemftool_read_file(value, &p.body, why) != 0)
        return -1;
    st->plan.parts.push_back(std::move(p));
    return 0;
}

int opt_krum_line(create_state* st, const char* value, std::string* why)
{
    if (std::strchr(value, '\n') != nullptr || *value == '\0') {
        *why = "--krum-line wants one non-empty line";
        return -1;
    }
    if (st->krum_lines_part < 0) {
        nemftool_part p;
        p.type_id = NEMFTOOL_KRUM_TYPE;
        p.name = NEMFTOOL_KRUM_NAME;
        p.krum_text = true;
        std::string_view comment(NEMFTOOL_KRUM_COMMENT);
        p.body.assign(comment.begin(), comment.end());
        st->krum_lines_part = static_cast<int>(st->plan.parts.size());
        st->plan.parts.push_back(std::move(p));
    }
    std::vector<uint8_t>& body = st->plan.parts[st->krum_lines_part].body;
    body.insert(body.end(), value, value + std::strlen(value));
    body.push_back('\n');
    return 0;
}

constexpr create_row create_rows[] = {
    {"-o", [](create_state* st, const char* v, std::string*) { st->plan.output = v; return 0; }},
    {"--release",
     [](create_state* st, const char* v, std::string* why) {
         st->plan.release = true;
         if (nemftool_parse_version(v, &st->plan.release_version) == 0)
             return 0;
         *why = "--release wants MAJOR.MINOR.BUILD (at most 255.255.65535), not \"" + std::string(v) + "\"";
         return -1;
     }},
    {"--date",
     [](create_state* st, const char* v, std::string* why) {
         st->release_fields = true;
         if (parse_u32(v, UINT32_MAX, &st->plan.release_date) == 0)
             return 0;
         *why = "--date wants seconds since 1970 (0..4294967295), not \"" + std::string(v) + "\"";
         return -1;
     }},
    {"--build-id",
     [](create_state* st, const char* v, std::string* why) {
         st->release_fields = true;
         st->plan.release_build_id = v;
         if (st->plan.release_build_id.size() < sizeof(nemf_release_header::release_build_id))
             return 0;
         *why = "--build-id \"" + std::string(v) + "\" is longer than 35 characters";
         return -1;
     }},
    {"--text", [](create_state* st, const char* v, std::string*) { st->release_fields = true; st->plan.release_text += v; return 0; }},
    {"--products",
     [](create_state* st, const char* v, std::string*) {
         st->release_fields = true;
         st->plan.release_text += std::string("products=") + v + "\n";
         return 0;
     }},
    {"--sign-cert", [](create_state* st, const char* v, std::string*) { st->plan.sign_cert = v; return 0; }},
    {"--sign-key", [](create_state* st, const char* v, std::string*) { st->plan.sign_key = v; return 0; }},
    {"--hash",
     [](create_state* st, const char* v, std::string* why) {
         std::string_view h(v);
         if (h == "sha256" || h == "sha512") {
             st->plan.hash_type = h == "sha256" ? NEMF_HASH_SHA256 : NEMF_HASH_SHA512;
             return 0;
         }
         *why = "--hash wants sha256 or sha512, not \"" + std::string(h) + "\"";
         return -1;
     }},
    {"--sw", opt_sw},
    {"--krum", opt_krum},
    {"--krum-line", opt_krum_line},
    {"--raw", opt_raw},
};

int cmd_create(int argc, char** argv)
{
    create_state st;
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != '\0') {
        if (parse_u32(epoch, UINT32_MAX, &st.plan.release_date) != 0)
            return usage_error("SOURCE_DATE_EPOCH \"%s\" is not a number of seconds", epoch);
    }
    for (int i = 2; i < argc; ++i) {
        const create_row* row = nullptr;
        for (const create_row& r : create_rows)
            if (r.option == argv[i])
                row = &r;
        if (row == nullptr)
            return usage_error("create: unknown option \"%s\"", argv[i]);
        if (i + 1 >= argc)
            return usage_error("create: %s needs a value", argv[i]);
        std::string why;
        if (row->apply(&st, argv[++i], &why) != 0) {
            std::fprintf(stderr, "nemftool: %s\n", why.c_str());
            return NEMFTOOL_FAILED;
        }
    }
    const nemftool_plan& plan = st.plan;
    if (plan.output.empty())
        return usage_error("create: %s", "the output image is missing (-o IMAGE)");
    if (plan.sign_cert.empty() != plan.sign_key.empty())
        return usage_error("create: %s", "--sign-cert and --sign-key go together");
    if (st.release_fields && !plan.release)
        return usage_error("create: %s", "--date, --build-id, --text and --products need --release");
    if (!plan.release && plan.parts.empty())
        return usage_error("create: %s", "the image would have no parts");

    std::vector<uint8_t> image;
    std::string why;
    if (nemftool_build(plan, &image, &why) != 0 || nemftool_write_file(plan.output, image, &why) != 0) {
        std::fprintf(stderr, "nemftool: %s\n", why.c_str());
        return NEMFTOOL_FAILED;
    }
    return NEMFTOOL_OK;
}

int cmd_info(int argc, char** argv)
{
    if (argc != 3)
        return usage_error("info: %s", "wants exactly one IMAGE");
    return nemftool_info(argv[2]);
}

int cmd_verify(int argc, char** argv)
{
    nemftool_verify_opts o;
    o.attime = NEMF_MANIFEST_VERIFICATION_TIME;
    for (int i = 2; i < argc; ++i) {
        std::string_view w(argv[i]);
        if (!w.starts_with("--")) {
            if (!o.image.empty())
                return usage_error("verify: a second IMAGE \"%s\"", argv[i]);
            o.image = argv[i];
            continue;
        }
        if (i + 1 >= argc)
            return usage_error("verify: %s needs a value", argv[i]);
        const char* v = argv[++i];
        uint32_t t = 0;
        if (w == "--ca")
            o.ca = v;
        else if (w == "--crl")
            o.crls.push_back(v);
        else if (w == "--cn")
            o.cn_pattern = v;
        else if (w == "--attime" && parse_u32(v, UINT32_MAX, &t) == 0)
            o.attime = static_cast<time_t>(t);
        else if (w == "--attime")
            return usage_error("verify: --attime wants seconds since 1970, not \"%s\"", v);
        else
            return usage_error("verify: unknown option \"%s\"", argv[i - 1]);
    }
    if (o.image.empty() || o.ca.empty() || o.crls.empty())
        return usage_error("verify: %s", "IMAGE, --ca and --crl are required");
    return nemftool_verify(o);
}

// Reads the words of `argv` from index 2: "--name VALUE" pairs into `named` (by the order of
// `names`) and at most one plain word into `plain`. 0, or the usage exit status.
int read_words(const char* command, int argc, char** argv, std::span<const std::string_view> names,
               std::span<std::string> named, std::string* plain)
{
    for (int i = 2; i < argc; ++i) {
        std::string_view w(argv[i]);
        size_t k = 0;
        while (k < names.size() && names[k] != w)
            ++k;
        if (k == names.size() && !w.starts_with("-") && plain != nullptr && plain->empty()) {
            *plain = w;
            continue;
        }
        if (k == names.size())
            return usage_error("%s: unexpected \"%s\"", command, argv[i]);
        if (i + 1 >= argc)
            return usage_error("%s: %s needs a value", command, argv[i]);
        named[k] = argv[++i];
    }
    return 0;
}

int read_image(const std::string& path, std::vector<uint8_t>* out)
{
    std::string why;
    if (nemftool_read_file(path, out, &why) == 0)
        return 0;
    std::fprintf(stderr, "nemftool: %s\n", why.c_str());
    return -1;
}

int write_image(const std::string& path, const std::vector<uint8_t>& image)
{
    std::string why;
    if (nemftool_write_file(path, image, &why) == 0)
        return 0;
    std::fprintf(stderr, "nemftool: %s\n", why.c_str());
    return -1;
}

int cmd_delta(int argc, char** argv)
{
    constexpr std::string_view names[] = {"--from", "--to", "-o"};
    std::string v[3];
    if (int r = read_words("delta", argc, argv, names, v, nullptr); r != 0)
        return r;
    if (v[0].empty() || v[1].empty() || v[2].empty())
        return usage_error("delta: %s", "--from OLD, --to NEW and -o DELTA are required");
    std::vector<uint8_t> old_image, new_image, out;
    std::vector<nemftool_delta_note> notes;
    std::string why;
    if (read_image(v[0], &old_image) != 0 || read_image(v[1], &new_image) != 0)
        return NEMFTOOL_FAILED;
    if (nemftool_delta_image(old_image, new_image, &out, &notes, &why) != 0) {
        std::fprintf(stderr, "nemftool: %s\n", why.c_str());
        return NEMFTOOL_FAILED;
    }
    if (write_image(v[2], out) != 0)
        return NEMFTOOL_FAILED;
    for (const nemftool_delta_note& n : notes) {
        if (n.delta_size != 0 && n.delta_size < n.full_size)
            std::printf("part %d \"%s\": delta, %llu bytes instead of %llu\n", n.index, n.name.c_str(),
                        static_cast<unsigned long long>(n.delta_size), static_cast<unsigned long long>(n.full_size));
        else
            std::printf("part %d \"%s\": whole, %s\n", n.index, n.name.c_str(), n.outcome);
    }
    std::printf("%s: %zu bytes; %s: %zu bytes\n", v[1].c_str(), new_image.size(), v[2].c_str(), out.size());
    return NEMFTOOL_OK;
}

int cmd_expand(int argc, char** argv)
{
    constexpr std::string_view names[] = {"--base", "-o"};
    std::string v[2], delta;
    if (int r = read_words("expand", argc, argv, names, v, &delta); r != 0)
        return r;
    if (v[0].empty() || v[1].empty() || delta.empty())
        return usage_error("expand: %s", "--base OLD, DELTA and -o FULL are required");
    std::vector<uint8_t> base, image, out;
    std::string why;
    if (read_image(v[0], &base) != 0 || read_image(delta, &image) != 0)
        return NEMFTOOL_FAILED;
    if (nemftool_expand_image(base, image, &out, &why) != 0) {
        std::fprintf(stderr, "nemftool: %s: %s\n", delta.c_str(), why.c_str());
        return NEMFTOOL_FAILED;
    }
    return write_image(v[1], out) == 0 ? NEMFTOOL_OK : NEMFTOOL_FAILED;
}

struct command_row {
    std::string_view word;
    int (*run)(int argc, char** argv);
};

constexpr command_row command_rows[] = {
    {"create", cmd_create},
    {"info", cmd_info},
    {"verify", cmd_verify},
    {"delta", cmd_delta},
    {"expand", cmd_expand},
    {"help", [](int, char**) { std::fputs(nemftool_usage, stdout); return int{NEMFTOOL_OK}; }},
    {"--help", [](int, char**) { std::fputs(nemftool_usage, stdout); return int{NEMFTOOL_OK}; }},
    {"-h", [](int, char**) { std::fputs(nemftool_usage, stdout); return int{NEMFTOOL_OK}; }},
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs(nemftool_usage, stderr);
        return NEMFTOOL_USAGE;
    }
    for (const command_row& row : command_rows)
        if (row.word == argv[1])
            return row.run(argc, argv);
    return usage_error("unknown command \"%s\"", argv[1]);
}
