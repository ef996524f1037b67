#include "tools/nemftool/nemftool_report.h"

#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "nemf/nemf_delta.h"
#include "nemf/nemf_manifest.h"
#include "nemf/nemf_stream_parser.h"
#include "nemf/nemf_validate.h"
#include "tools/nemftool/nemftool_build.h"
#include "tools/nemftool/nemftool_sign.h"

namespace {

struct code_text {
    int code;
    const char* text;
};

constexpr code_text validate_texts[] = {
    {NEMF_VALID, "good"},
    {NEMF_ERR_TRUNCATED, "truncated"},
    {NEMF_ERR_IDENTIFICATION, "not a NEMF identification"},
    {NEMF_ERR_VERSION, "unsupported version"},
    {NEMF_ERR_HDR_LENGTH, "header too short"},
    {NEMF_ERR_HDR_CRC, "BAD header CRC"},
    {NEMF_ERR_BODY_CRC, "BAD body CRC"},
};

constexpr code_text manifest_texts[] = {
    {NEMF_MANIFEST_OK, "good"},
    {NEMF_MANIFEST_ERR_NOENT, "file does not exist"},
    {NEMF_MANIFEST_ERR_IO, "S/MIME message unreadable"},
    {NEMF_MANIFEST_ERR_NO_ENTRY, "a part is not listed in any manifest"},
    {NEMF_MANIFEST_ERR_MISMATCH, "a part's name or hash differs from its manifest entry"},
    {NEMF_MANIFEST_ERR_INVALID, "invalid argument"},
    {NEMF_MANIFEST_ERR_CN, "no signer Common Name matches the pattern"},
    {NEMF_MANIFEST_ERR_DUPLICATE, "a manifest line repeats an index"},
    {NEMF_MANIFEST_ERR_MISSING_PART, "the manifest lists a part the image lacks"},
    {NEMF_MANIFEST_ERR_SYNTAX, "malformed manifest line"},
    {NEMF_MANIFEST_ERR_SIGNATURE, "signature does not verify"},
    {NEMF_MANIFEST_ERR_HDR_LENGTH, "signature part header is not 36 bytes"},
    {NEMF_MANIFEST_ERR_ALGORITHM, "unknown signature algorithm"},
    {NEMF_MANIFEST_ERR_NOKEY, "no usable certificate or revocation list"},
    {NEMF_MANIFEST_ERR_REVOKED, "a certificate is revoked"},
};

template <size_t N>
const char* text_of(const code_text (&table)[N], int code)
{
    for (const code_text& row : table)
        if (row.code == code)
            return row.text;
    return "unknown result";
}

const char* type_text(uint16_t type_id)
{
    switch (type_id) {
    case NEMF_TYPE_RELEASE_HEADER: return " (release header)";
    case NEMF_TYPE_DATA_RECORD: return " (data record)";
    case NEMF_TYPE_CONTENT_SOFTWARE: return " (content software)";
    case NEMF_TYPE_CONTENT_SIGNATURE: return " (content signature)";
    case NEMF_TYPE_DELTA: return " (delta)";
    default: return "";
    }
}

// Text up to its first NUL, with line ends, quotes and unprintable bytes escaped.
std::string escaped(std::span<const uint8_t> bytes)
{
    std::string out;
    for (uint8_t c : bytes) {
        if (c == 0)
            break;
        if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            out += {'\\', static_cast<char>(c)};
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

// Prints each line of `text` behind `prefix`.
void print_lines(std::string_view text, const char* prefix)
{
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        std::printf("%s%.*s\n", prefix, static_cast<int>(line.size()), line.data());
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
}

std::string date_text(uint32_t t)
{
    time_t tt = t;
    tm utc;
    char text[32];
    if (gmtime_r(&tt, &utc) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc) == 0)
        return "?";
    return text;
}

void print_part_details(const nemf_content_header& h, std::span<const uint8_t> part, std::span<const uint8_t> body)
{
    if (h.type_id == NEMF_TYPE_RELEASE_HEADER) {
        nemf_release_header rh;
        if (nemf_copy_in(body, &rh) != 0) {
            std::printf("  release header body too short (%zu bytes)\n", body.size());
            return;
        }
        std::printf("  release %u.%u-%u, date %u (%s), build id \"%s\"\n", rh.release_version_major,
                    rh.release_version_minor, rh.release_build_number, rh.release_date,
                    date_text(rh.release_date).c_str(),
                    escaped(std::span(reinterpret_cast<const uint8_t*>(rh.release_build_id), sizeof rh.release_build_id))
                        .c_str());
        if (body.size() > sizeof rh)
            std::printf("  text \"%s\"\n", escaped(body.subspan(sizeof rh)).c_str());
    } else if (h.type_id == NEMF_TYPE_CONTENT_SOFTWARE) {
        nemf_content_software sw;
        if (nemf_copy_in(body, &sw) != 0) {
            std::printf("  software block too short (%zu bytes)\n", body.size());
            return;
        }
        std::printf("  software %u.%u-%u, build id \"%s\", payload %zu bytes\n", sw.sw_version_major,
                    sw.sw_version_minor, sw.sw_build_number,
                    escaped(std::span(reinterpret_cast<const uint8_t*>(sw.sw_build_id), sizeof sw.sw_build_id)).c_str(),
                    body.size() - sizeof sw);
    } else if (h.type_id == NEMF_TYPE_CONTENT_SIGNATURE) {
        unsigned alg = part.size() > NEMF_SIGNATURE_ALG_OFFSET ? part[NEMF_SIGNATURE_ALG_OFFSET] : 0;
        std::printf("  signature algorithm %u%s\n", alg, alg == NEMF_SIGNATURE_ALG_SMIME ? " (S/MIME)" : "");
        std::string_view smime(reinterpret_cast<const char*>(body.data()), body.size());
        while (!smime.empty() && smime.back() == '\0')
            smime.remove_suffix(1);
        std::string content, signers;
        if (nemftool_smime_peek(smime, &content, &signers) != 0) {
            std::printf("  S/MIME message unreadable\n");
            return;
        }
        print_lines(signers, "  signer: ");
        std::printf("  manifest (not verified here):\n");
        print_lines(content, "    ");
    } else if (h.type_id == NEMF_TYPE_DELTA) {
        nemf_delta_view d;
        if (nemf_delta_parse(body, &d) != NEMF_DELTA_OK) {
            std::printf("  delta body malformed\n");
            return;
        }
        nemf_content_header th;
        nemf_copy_content_header(d.target_header, &th);
        const nemf_delta_source& s = d.head.source;
        std::printf("  delta of \"%s\": type %u%s, hdr_length %u, body_length %u, body_crc 0x%08x\n",
                    escaped(std::span(reinterpret_cast<const uint8_t*>(th.name), sizeof th.name)).c_str(), th.type_id,
                    type_text(th.type_id), th.hdr_length, th.body_length, th.body_crc);
        std::printf("  source \"%s\" %u.%u-%u, body_length %u, body_crc 0x%08x; frame %zu bytes\n",
                    escaped(std::span(reinterpret_cast<const uint8_t*>(s.name), sizeof s.name)).c_str(),
                    s.sw_version_major, s.sw_version_minor, s.sw_build_number, s.body_length, s.body_crc,
                    d.frame.size());
    } else if (nemf_name(h.name) == NEMFTOOL_KRUM_NAME) {
        std::string_view text(reinterpret_cast<const char*>(body.data()), strnlen(reinterpret_cast<const char*>(body.data()), body.size()));
        print_lines(text, "  | ");
    }
}

// The trust material, the signatures and the hashes, on a parser over the whole image.
int verify_signed(nemf_stream_parser* p, const nemftool_verify_opts& o, uint32_t size)
{
    int r = nemf_stream_parser_load_trust_anchor(p, o.ca.c_str());
    if (r != 0) {
        std::printf("trust anchor %s: %s (%d)\n", o.ca.c_str(), text_of(manifest_texts, r), r);
        return NEMFTOOL_FAILED;
    }
    for (const std::string& crl : o.crls) {
        r = nemf_stream_parser_load_crl(p, crl.c_str());
        if (r != 0) {
            std::printf("revocation list %s: %s (%d)\n", crl.c_str(), text_of(manifest_texts, r), r);
            return NEMFTOOL_FAILED;
        }
    }
    if (nemf_stream_parser_feed(p, size) != NEMF_SP_DONE) {
        std::printf("container: the stream parser does not accept it\n");
        return NEMFTOOL_FAILED;
    }
    int signatures = 0;
    for (int i = 0; i < NEMF_MAX_CONTENT_PARTS; ++i) {
        nemf_content_header h;
        if (nemf_copy_content_header(nemf_stream_parser_part(p, i), &h) != 0 ||
            h.type_id != NEMF_TYPE_CONTENT_SIGNATURE)
            continue;
        ++signatures;
        r = nemf_stream_parser_load_manifest(p, i, o.cn_pattern.c_str());
        std::printf("signature in part %d: %s (%d)\n", i, text_of(manifest_texts, r), r);
        if (r != 0)
            return NEMFTOOL_FAILED;
    }
    if (signatures == 0) {
        std::printf("signature: the image is not signed\n");
        return NEMFTOOL_FAILED;
    }
    r = nemf_stream_parser_check_manifest_hashes(p);
    std::printf("hashes: %s (%d)\n", text_of(manifest_texts, r), r);
    if (r != 0)
        return NEMFTOOL_FAILED;
    std::printf("OK\n");
    return NEMFTOOL_OK;
}

}  // namespace

int nemftool_info(const std::string& path)
{
    std::vector<uint8_t> image;
    std::string why;
    if (nemftool_read_file(path, &image, &why) != 0) {
        std::fprintf(stderr, "nemftool: %s\n", why.c_str());
        return NEMFTOOL_FAILED;
    }
    std::span<const uint8_t> file(image);
    if (image.empty() || nemf_validate_identification(file) != NEMF_VALID) {
        std::fprintf(stderr, "nemftool: %s is not a NEMF image\n", path.c_str());
        return NEMFTOOL_FAILED;
    }
    std::span<const uint8_t> hdr = file.subspan(NEMF_ID_SIZE);
    nemf_header fh;
    if (nemf_copy_header(hdr, &fh) != 0) {
        std::fprintf(stderr, "nemftool: %s ends inside its file header\n", path.c_str());
        return NEMFTOOL_FAILED;
    }
    bool good = true;
    int hv = nemf_validate_header(hdr);
    std::printf("%s: %zu bytes\n", path.c_str(), image.size());
    std::printf("file header: version %u, hdr_length %u, body_length %u, hdr_crc 0x%08x %s\n", fh.version,
                fh.hdr_length, fh.body_length, fh.hdr_crc, text_of(validate_texts, hv));
    good = good && hv == NEMF_VALID;
    if (hv == NEMF_ERR_HDR_LENGTH || NEMF_ID_SIZE + uint64_t{fh.hdr_length} > image.size())
        return NEMFTOOL_FAILED;
    std::span<const uint8_t> body = file.subspan(NEMF_ID_SIZE + fh.hdr_length);
    int bv = nemf_validate_body(hdr, body);
    std::printf("file body: %zu bytes present, body_crc 0x%08x %s\n", body.size(), fh.body_crc,
                text_of(validate_texts, bv));
    good = good && bv == NEMF_VALID;
    if (body.size() > fh.body_length)
        body = body.first(fh.body_length);

    uint64_t off = 0;
    for (int i = 0; off < body.size(); ++i) {
        std::span<const uint8_t> part = body.subspan(off);
        nemf_content_header h;
        if (nemf_copy_content_header(part, &h) != 0) {
            std::printf("part %d at %llu: truncated header\n", i, static_cast<unsigned long long>(off));
            return NEMFTOOL_FAILED;
        }
        std::printf("part %d at %llu: type %u%s, name \"%s\", hdr_length %u, body_length %u\n", i,
                    static_cast<unsigned long long>(NEMF_ID_SIZE + fh.hdr_length + off), h.type_id,
                    type_text(h.type_id), escaped(std::span(reinterpret_cast<const uint8_t*>(h.name), sizeof h.name)).c_str(),
                    h.hdr_length, h.body_length);
        if (i >= NEMF_MAX_CONTENT_PARTS) {
            std::printf("  more than %d parts\n", NEMF_MAX_CONTENT_PARTS);
            return NEMFTOOL_FAILED;
        }
        int ch = nemf_validate_content_header(part);
        std::span<const uint8_t> whole = nemf_content_part_bytes(part);
        if (ch == NEMF_ERR_HDR_LENGTH || whole.empty()) {
            std::printf("  %s\n", whole.empty() && ch != NEMF_ERR_HDR_LENGTH ? "truncated" : "header too short");
            return NEMFTOOL_FAILED;
        }
        std::span<const uint8_t> part_body = whole.subspan(h.hdr_length);
        int cb = nemf_validate_content_body(part, part_body);
        std::printf("  hdr_crc 0x%08x %s, body_crc 0x%08x %s\n", h.hdr_crc, text_of(validate_texts, ch), h.body_crc,
                    text_of(validate_texts, cb));
        good = good && ch == NEMF_VALID && cb == NEMF_VALID;
        print_part_details(h, whole, part_body);
        off += nemf_part_size(h.hdr_length, h.body_length);
    }
    if (off != body.size()) {
        std::printf("the last part runs past the end of the file body\n");
        good = false;
    }
    std::fflush(stdout);
    return good ? NEMFTOOL_OK : NEMFTOOL_FAILED;
}

int nemftool_verify(const nemftool_verify_opts& o)
{
    std::vector<uint8_t> image;
    std::string why;
    if (nemftool_read_file(o.image, &image, &why) != 0) {
        std::fprintf(stderr, "nemftool: %s\n", why.c_str());
        return NEMFTOOL_FAILED;
    }
    int parts = 0;
    int cv = image.empty() ? NEMF_ERR_TRUNCATED : nemf_validate_container(std::span<const uint8_t>(image), &parts);
    if (cv != NEMF_VALID) {
        std::printf("container: %s (after %d parts)\n", text_of(validate_texts, cv), parts);
        return NEMFTOOL_FAILED;
    }
    std::printf("container: good, %d parts\n", parts);

    nemf_stream_parser* p = nemf_stream_parser_init(nullptr, image.data());
    if (p == nullptr) {
        std::fprintf(stderr, "nemftool: out of memory\n");
        return NEMFTOOL_FAILED;
    }
    nemf_manifest_init(&p->manifest, o.attime);
    int result = verify_signed(p, o, static_cast<uint32_t>(image.size()));
    nemf_stream_parser_deinit(p);
    std::fflush(stdout);
    return result;
}
