#include "tools/nemftool/nemftool_build.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "nemf/nemf_manifest.h"
#include "nemf/nemf_validate.h"
#include "platform/raii.h"
#include "tools/nemftool/nemftool_sign.h"

namespace {

// A decimal number up to `max` that fills the whole of [s, end). 0, or -1.
int parse_decimal(const char* s, const char* end, uint32_t max, uint32_t* out)
{
    if (s == end || end - s > 10)
        return -1;
    uint64_t v = 0;
    for (const char* c = s; c < end; ++c) {
        if (*c < '0' || *c > '9')
            return -1;
        v = v * 10 + static_cast<uint64_t>(*c - '0');
    }
    if (v > max)
        return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

std::vector<uint8_t> release_body(const nemftool_plan& plan)
{
    nemf_release_header rh{};
    rh.release_version_major = static_cast<uint8_t>(plan.release_version.major);
    rh.release_version_minor = static_cast<uint8_t>(plan.release_version.minor);
    rh.release_build_number = static_cast<uint16_t>(plan.release_version.build);
    rh.release_date = plan.release_date;
    std::memcpy(rh.release_build_id, plan.release_build_id.data(), plan.release_build_id.size());
    // The text, when given, follows the fixed fields with its NUL.
    const size_t text = plan.release_text.empty() ? 0 : plan.release_text.size() + 1;
    std::vector<uint8_t> body(sizeof rh + text, 0);
    nemf_copy_out(rh, std::span(body).first(sizeof rh));
    if (text != 0)
        std::memcpy(body.data() + sizeof rh, plan.release_text.data(), plan.release_text.size());
    return body;
}

// One part with its header, CRCs and padding.
int serialize(uint16_t type_id, const std::string& name, std::span<const uint8_t> ext,
              std::span<const uint8_t> body, std::vector<uint8_t>* out, std::string* why)
{
    uint64_t size = nemf_part_size(static_cast<uint32_t>(NEMF_CONTENT_HEADER_MIN_LENGTH + ext.size()),
                                   static_cast<uint32_t>(body.size()));
    if (body.size() > UINT32_MAX / 2 || size > INT32_MAX) {
        *why = "part \"" + name + "\" is too large";
        return -1;
    }
    out->assign(static_cast<size_t>(size), 0);
    if (nemf_part_write(std::span(*out), type_id, name, ext, body) != static_cast<int>(size)) {
        *why = "part \"" + name + "\" could not be written";
        return -1;
    }
    return 0;
}

}  // namespace

int nemftool_parse_version(const char* text, nemftool_version* v)
{
    const char* dot1 = std::strchr(text, '.');
    const char* dot2 = dot1 ? std::strchr(dot1 + 1, '.') : nullptr;
    if (dot2 == nullptr)
        return -1;
    const char* end = text + std::strlen(text);
    nemftool_version r;
    if (parse_decimal(text, dot1, 255, &r.major) != 0 || parse_decimal(dot1 + 1, dot2, 255, &r.minor) != 0 ||
        parse_decimal(dot2 + 1, end, 65535, &r.build) != 0)
        return -1;
    *v = r;
    return 0;
}

int nemftool_software_body(const nemftool_version& v, const std::string& build_id,
                           const std::vector<uint8_t>& payload, std::vector<uint8_t>* body)
{
    nemf_content_software sw{};
    if (build_id.size() >= sizeof sw.sw_build_id)
        return -1;
    sw.sw_version_major = static_cast<uint8_t>(v.major);
    sw.sw_version_minor = static_cast<uint8_t>(v.minor);
    sw.sw_build_number = static_cast<uint16_t>(v.build);
    std::memcpy(sw.sw_build_id, build_id.data(), build_id.size());
    body->assign(sizeof sw, 0);
    nemf_copy_out(sw, std::span(*body));
    body->insert(body->end(), payload.begin(), payload.end());
    return 0;
}

int nemftool_resolve_krum(const std::vector<uint8_t>& text, const std::vector<std::string>& names,
                          std::vector<uint8_t>* out, std::string* why)
{
    std::string src(text.begin(), text.end());
    while (!src.empty() && src.back() == '\0')
        src.pop_back();
    std::string dst;
    size_t pos = 0;
    while (pos < src.size()) {
        size_t nl = src.find('\n', pos);
        size_t line_end = nl == std::string::npos ? src.size() : nl + 1;
        std::string_view line(src.data() + pos, line_end - pos);
        if (line.starts_with('@')) {
            size_t comma = line.find_first_of(",\n");
            std::string_view name = line.substr(1, comma == std::string_view::npos ? line.size() - 1 : comma - 1);
            size_t i = 0;
            while (i < names.size() && names[i] != name)
                ++i;
            if (i == names.size()) {
                *why = "metadata line refers to a part \"" + std::string(name) + "\" that the image does not have";
                return -1;
            }
            dst += std::to_string(i);
            line.remove_prefix(1 + name.size());
        }
        dst += line;
        pos = line_end;
    }
    out->assign(dst.begin(), dst.end());
    out->push_back(0);
    return 0;
}

int nemftool_manifest_text(const std::vector<std::vector<uint8_t>>& parts, int signature_index,
                           uint32_t hash_type, std::string* text)
{
    const char* algorithm = hash_type == NEMF_HASH_SHA512 ? "sha512" : "sha256";
    text->clear();
    for (size_t i = 0; i < parts.size(); ++i) {
        if (static_cast<int>(i) == signature_index)
            continue;
        std::span<const uint8_t> part = nemf_content_part_bytes(std::span(parts[i]));
        nemf_content_header h;
        char digest[NEMF_DIGEST_SIZE];
        if (nemf_copy_content_header(part, &h) != 0 ||
            nemf_manifest_calculate_hash(part, hash_type, std::span(digest)) != 0)
            return -1;
        *text += std::to_string(i) + "," + std::string(nemf_name(h.name)) + "," + algorithm + "," + digest + "\n";
    }
    return 0;
}

int nemftool_build(const nemftool_plan& plan, std::vector<uint8_t>* image, std::string* why)
{
    const bool signing = !plan.sign_cert.empty();
    std::vector<const nemftool_part*> order;   // null marks the release header and the signature
    std::vector<std::string> names;
    nemftool_part release;
    if (plan.release) {
        release.type_id = NEMF_TYPE_RELEASE_HEADER;
        release.name = NEMFTOOL_RELEASE_NAME;
        release.body = release_body(plan);
        order.push_back(&release);
        names.push_back(release.name);
    }
    const int signature_index = signing ? static_cast<int>(order.size()) : -1;
    if (signing) {
        order.push_back(nullptr);
        names.push_back(NEMFTOOL_SIGNATURE_NAME);
    }
    for (const nemftool_part& p : plan.parts) {
        order.push_back(&p);
        names.push_back(p.name);
    }
    if (order.size() > NEMF_MAX_CONTENT_PARTS) {
        *why = "an image holds at most " + std::to_string(NEMF_MAX_CONTENT_PARTS) + " parts, this one would have " +
               std::to_string(order.size());
        return -1;
    }

    std::vector<std::vector<uint8_t>> bytes(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        if (order[i] == nullptr)
            continue;
        const nemftool_part& p = *order[i];
        std::vector<uint8_t> resolved;
        if (p.krum_text && nemftool_resolve_krum(p.body, names, &resolved, why) != 0)
            return -1;
        const std::vector<uint8_t>& body = p.krum_text ? resolved : p.body;
        std::vector<uint8_t> ext;
        if (p.type_id == NEMF_TYPE_CONTENT_SIGNATURE)   // a raw signature part keeps the header it needs
            ext = {NEMF_SIGNATURE_ALG_SMIME, 0, 0, 0};
        if (serialize(p.type_id, p.name, ext, body, &bytes[i], why) != 0)
            return -1;
    }

    if (signing) {
        std::string manifest, smime;
        if (nemftool_manifest_text(bytes, signature_index, plan.hash_type, &manifest) != 0) {
            *why = "hashing the parts failed";
            return -1;
        }
        if (nemftool_sign(manifest, plan.sign_cert, plan.sign_key, plan.hash_type, &smime, why) != 0)
            return -1;
        const uint8_t ext[] = {NEMF_SIGNATURE_ALG_SMIME, 0, 0, 0};
        std::span<const uint8_t> body(reinterpret_cast<const uint8_t*>(smime.data()), smime.size());
        if (serialize(NEMF_TYPE_CONTENT_SIGNATURE, NEMFTOOL_SIGNATURE_NAME, ext, body, &bytes[signature_index],
                      why) != 0)
            return -1;
    }

    uint64_t body_length = 0;
    for (const std::vector<uint8_t>& b : bytes)
        body_length += b.size();
    if (NEMF_BODY_OFFSET + body_length > INT32_MAX) {
        *why = "the image would be larger than 2 GiB";
        return -1;
    }
    image->assign(NEMF_BODY_OFFSET, 0);
    for (const std::vector<uint8_t>& b : bytes)
        image->insert(image->end(), b.begin(), b.end());
    if (nemf_finalize_file(std::span(*image), static_cast<uint32_t>(body_length)) !=
        static_cast<int>(image->size())) {
        *why = "finalizing the image failed";
        return -1;
    }
    return 0;
}

int nemftool_read_file(const std::string& path, std::vector<uint8_t>* out, std::string* why)
{
    file_ptr f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        *why = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    out->clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
        if (out->size() + n > INT32_MAX) {
            *why = path + " is larger than 2 GiB";
            return -1;
        }
        out->insert(out->end(), chunk, chunk + n);
    }
    if (std::ferror(f.get())) {
        *why = "cannot read " + path + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

int nemftool_write_file(const std::string& path, const std::vector<uint8_t>& data, std::string* why)
{
    std::string tmp = path + ".tmp";
    file_ptr f(std::fopen(tmp.c_str(), "wb"));
    if (!f) {
        *why = "cannot create " + tmp + ": " + std::strerror(errno);
        return -1;
    }
    int err = 0;
    if (std::fwrite(data.data(), 1, data.size(), f.get()) != data.size())
        err = errno != 0 ? errno : EIO;
    if (std::fclose(f.release()) != 0 && err == 0)   // what stdio could not flush was not written
        err = errno;
    if (err == 0 && std::rename(tmp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0) {
        std::remove(tmp.c_str());
        *why = "cannot write " + path + ": " + std::strerror(err);
        return -1;
    }
    return 0;
}
