#include "krul/krul_meta.h"

#include <cstdio>
#include <cstring>

#include "krul/krul_check.h"
#include "nemf/nemf_validate.h"
#include "platform/qz.h"

namespace {

constexpr const char* krul_meta_module = "krul_meta";
constexpr std::string_view krum_products_key = "products=";

// Stores `src` NUL-terminated; false (field untouched) if it does not fit.
template <size_t N>
bool krum_set_field(char (&dst)[N], const char* src)
{
    size_t n = std::strlen(src);
    if (n >= N)
        return false;
    std::memcpy(dst, src, n);
    std::memset(dst + n, 0, N - n);
    return true;
}

// Copies a name into a fixed field, NUL-padded and unterminated when full.
template <size_t N>
void krul_copy_fixed(char (&dst)[N], std::string_view src)
{
    size_t n = src.size() < N ? src.size() : N;
    std::memcpy(dst, src.data(), n);
    std::memset(dst + n, 0, N - n);
}

constexpr const char* krum_form_a = "%i,%1999[^,],%i,%1999[^,],%1999[^,],%1999[^,],%i.%i.%i,%i";
constexpr const char* krum_form_b = "%i,%1999[^,],%i,%1999[^,],%1999[^,],%1999[^,],%X,%i";

// Every string field of a line fits a scratch buffer as long as the line.
using krum_scratch = char[krum_max_line + 1];

// The conversions the second form achieves on `line`, for the notice of a skipped line.
int krum_form_b_count(const char* line)
{
    krum_scratch pool, mount, fs, plat;
    int cidx, aux, wts;
    unsigned version;
    return std::sscanf(line, krum_form_b, &cidx, pool, &aux, mount, fs, plat, &version, &wts);
}

// One element line (at most krum_max_line characters, NUL-terminated) into `e`. true if it
// fits one of the two forms and its fields fit the element.
bool krum_parse_line(const char* line, krum_element* e)
{
    krum_scratch pool, mount, fs, plat;
    int cidx = 0, aux = 0, wts = 0;
    int major = 0, minor = 0, build = 0;
    int r = std::sscanf(line, krum_form_a, &cidx, pool, &aux, mount, fs, plat, &major, &minor, &build, &wts);
    uint32_t meta;
    if (r == 10) {
        if (major == -1 || minor == -1 || build == -1)
            meta = KRUM_META_NONE;
        else if (major == -2 || minor == -2 || build == -2)
            meta = KRUM_META_FROM_PART;
        else
            meta = KRUM_META_GIVEN;
    } else {
        unsigned version = 0;
        r = std::sscanf(line, krum_form_b, &cidx, pool, &aux, mount, fs, plat, &version, &wts);
        if (r != 8)
            return false;
        meta = KRUM_META_GIVEN;
        major = static_cast<int>(version >> 24);
        minor = static_cast<int>((version >> 16) & 0xFFu);
        build = static_cast<int>(version & 0xFFFFu);
    }

    krum_element out{};
    if (!krum_set_field(out.poolname, pool) || !krum_set_field(out.platform, plat))
        return false;
    if (mount[0] != '-' && !krum_set_field(out.mountpnt, mount))
        return false;
    if (fs[0] != '-' && !krum_set_field(out.fstype, fs))
        return false;
    out.used = 1;
    out.cidx = static_cast<int8_t>(cidx & 0xFF);
    out.aux = aux;
    out.wts = static_cast<uint8_t>(wts & 0xFF);
    out.meta_valid = meta;
    if (meta == KRUM_META_GIVEN) {
        out.software.sw_version_major = static_cast<uint8_t>(major & 0xFF);
        out.software.sw_version_minor = static_cast<uint8_t>(minor & 0xFF);
        out.software.sw_build_number = static_cast<uint16_t>(build & 0xFFFF);
    }
    *e = out;
    return true;
}

// Whether the element applies to `platform` (empty: every element applies).
bool krum_platform_applies(const krum_element& e, const char* platform)
{
    if (platform == nullptr || platform[0] == '\0')
        return true;
    std::string_view own = krul_name(e.platform);
    return own == "-" || own == platform;
}

int krul_version_compare(const nemf_content_software& a, const nemf_content_software& b)
{
    if (a.sw_version_major != b.sw_version_major)
        return a.sw_version_major < b.sw_version_major ? -1 : 1;
    if (a.sw_version_minor != b.sw_version_minor)
        return a.sw_version_minor < b.sw_version_minor ? -1 : 1;
    if (a.sw_build_number != b.sw_build_number)
        return a.sw_build_number < b.sw_build_number ? -1 : 1;
    return 0;
}

// The partition of pool `name` holding the highest recorded version; the lower index wins a tie.
int krul_newest_in_pool(const krul_data* rec, std::string_view name)
{
    int best = -1;
    for (int i = 0; i < krul_max_partinfo; ++i) {
        if (krul_name(rec->partinfo[i].poolname) != name)
            continue;
        if (best < 0 || krul_version_compare(rec->pinfometa[i].sw, rec->pinfometa[best].sw) > 0)
            best = i;
    }
    return best;
}

}  // namespace

krul_version krul_version_of(const nemf_content_software& sw)
{
    return {sw.sw_version_major, sw.sw_version_minor, sw.sw_build_number};
}

int krul_version_read(std::span<const uint8_t> body, krul_version* out)
{
    QZ_ASSERT(krul_meta_module, out != nullptr);
    if (body.size() < sizeof *out)
        return -1;
    std::memcpy(out, body.data(), sizeof *out);
    return 0;
}

int krul_parse_krumd(std::span<krum_element> elements, std::string_view text)
{
    QZ_ASSERT(krul_meta_module, elements.data() != nullptr);
    std::memset(elements.data(), 0, elements.size_bytes());
    size_t nul = text.find('\0');
    if (nul != std::string_view::npos)
        text = text.substr(0, nul);

    size_t count = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty())
            break;
        if (line[0] == '#')
            continue;
        if (count == elements.size()) {
            qz_printf("Wups, too many KRUM elements, abort.\n");
            return -1;
        }
        // A longer line is cut here and then skipped: it can only be damaged metadata.
        char buf[krum_max_line + 1];
        size_t n = line.size() < krum_max_line ? line.size() : krum_max_line;
        std::memcpy(buf, line.data(), n);
        buf[n] = '\0';
        if (line.size() > krum_max_line || !krum_parse_line(buf, &elements[count])) {
            qz_printf("Wrong syntax, skip (r=%i)\n", krum_form_b_count(buf));
            qz_printf("\n%s\n", buf);
            continue;
        }
        ++count;
    }
    return static_cast<int>(count);
}

int krul_check_minver(const nemf_release_header& rh, uint32_t major, uint32_t minor, uint32_t build)
{
    uint32_t have[3] = {rh.release_version_major, rh.release_version_minor, rh.release_build_number};
    uint32_t need[3] = {major, minor, build};
    for (int i = 0; i < 3; ++i)
        if (have[i] != need[i])
            return have[i] > need[i] ? 1 : 0;
    return 1;
}

int krul_match_model(std::span<const uint8_t> part, const char* model)
{
    QZ_ASSERT(krul_meta_module, model != nullptr);
    nemf_content_header h;
    if (nemf_copy_content_header(part, &h) != 0 || h.hdr_length > part.size())
        return 0;
    std::span<const uint8_t> body = part.subspan(h.hdr_length);
    if (body.size() > h.body_length)
        body = body.first(h.body_length);
    if (body.size() <= sizeof(nemf_release_header))
        return 0;
    std::string_view text(reinterpret_cast<const char*>(body.data()) + sizeof(nemf_release_header),
                          body.size() - sizeof(nemf_release_header));
    size_t nul = text.find('\0');
    if (nul != std::string_view::npos)
        text = text.substr(0, nul);
    size_t at = text.find(krum_products_key);
    if (at == std::string_view::npos)
        return 0;

    std::string_view want(model);
    size_t pos = 0;
    bool matching = true;
    for (char c : text.substr(at + krum_products_key.size())) {
        if (c == ',' || c == '\n') {
            if (matching && pos == want.size())
                return 1;
            if (c == '\n')
                return 0;
            pos = 0;
            matching = true;
        } else if (matching && pos < want.size() && want[pos] == c) {
            ++pos;
        } else {
            matching = false;
        }
    }
    return 0;   // the list ended without a separator behind the last entry
}

void krul_meta_import_pinfometa(krul_data* rec, const uint8_t* part, const krum_element* e)
{
    QZ_ASSERT(krul_meta_module, rec != nullptr && part != nullptr && e != nullptr);
    int i = e->partinfo_idx;
    QZ_ASSERT(krul_meta_module, i >= 0 && i < krul_max_partinfo);
    krul_pinfometa meta{};
    std::memcpy(&meta.hdr, part, sizeof meta.hdr);
    // A complete part holds hdr_length + body_length bytes; a body under 32 bytes leaves zeros.
    uint32_t take = meta.hdr.body_length < sizeof meta.sw ? meta.hdr.body_length : sizeof meta.sw;
    std::memcpy(&meta.sw, part + meta.hdr.hdr_length, take);
    rec->pinfometa[i] = meta;
    krul_copy_fixed(rec->partinfo[i].mountpnt, krul_name(e->mountpnt));
    krul_copy_fixed(rec->partinfo[i].fstype, krul_name(e->fstype));
}

int krul_meta_install_part1(krul_data* rec, int setidx, const nemf_release_header& rh,
                            std::span<krum_element> elements, const char* platform, int force)
{
    QZ_ASSERT(krul_meta_module, rec != nullptr && elements.data() != nullptr);
    (void)rh;   // the decision depends on the record and the elements only
    for (krum_element& e : elements) {
        if (e.used) {
            e.action = KRUM_ACTION_NONE;
            e.partinfo_idx = -1;
        }
    }
    if (elements.empty() || !elements[0].used)
        return KRUL_META_INSTALL_ERR_NO_CONTENT;

    for (krum_element& e : elements) {
        if (!e.used)
            break;
        if (!krum_platform_applies(e, platform))
            continue;
        std::string_view pool = krul_name(e.poolname);
        uint8_t items[20];
        int found;
        if (e.meta_valid == KRUM_META_NONE) {
            int n = krul_partpool_items(rec, pool, items);
            if (n <= 0)
                return KRUL_META_INSTALL_ERR_FATAL;
            found = n == 1 ? items[0] : krul_newest_in_pool(rec, pool);
        } else {
            found = krul_find_installed_partinfo(rec, &e, krul_version_of(e.software));
        }
        if (found >= 0) {
            e.partinfo_idx = found;
            e.action = KRUM_ACTION_INSTALLED;
            continue;
        }

        if (e.cidx == -1)
            return KRUL_META_INSTALL_ERR_DEPENDENCY;
        e.action = e.meta_valid == KRUM_META_GIVEN ? KRUM_ACTION_WRITE : KRUM_ACTION_LATE;
        e.partinfo_idx = -1;
        int n = krul_partpool_items(rec, pool, items);
        if (n <= 0)
            return KRUL_META_INSTALL_ERR_EMPTY_POOL;
        if (n == 1) {
            if (!force)
                return KRUL_META_INSTALL_ERR_SINGLETON;
            e.partinfo_idx = items[0];
        } else {
            int idx = krul_get_unused_partinfo(rec, pool, setidx);
            if (idx < 0)
                return KRUL_META_INSTALL_ERR_NO_FREE_PARTINFO;
            e.partinfo_idx = idx;
        }
    }
    return KRUL_META_INSTALL_OK;
}

int krul_meta_install(krul_data* rec, int setidx, const nemf_release_header& rh,
                      std::span<krum_element> elements, const uint8_t* const* parts,
                      const char* platform, int force)
{
    QZ_ASSERT(krul_meta_module, rec != nullptr && elements.data() != nullptr);
    QZ_ASSERT(krul_meta_module, setidx >= 0 && setidx < krul_max_sets);
    if (elements.empty() || !elements[0].used) {
        int r = krul_meta_install_part1(rec, setidx, rh, elements, platform, force);
        if (r != KRUL_META_INSTALL_OK)
            return r;
    }

    int8_t refs[krul_max_refs];
    std::memset(refs, -1, sizeof refs);
    int count = 0;
    for (const krum_element& e : elements) {
        if (!e.used)
            break;
        bool has_partition = e.partinfo_idx >= 0 && e.partinfo_idx < krul_max_partinfo;
        if (!has_partition) {
            if (e.action == KRUM_ACTION_NONE)
                continue;
            return KRUL_META_INSTALL_ERR_PARTINFO_MATCH;
        }
        if (e.action == KRUM_ACTION_LATE)
            return KRUL_META_INSTALL_ERR_FATAL;
        if (e.action != KRUM_ACTION_WRITE && e.action != KRUM_ACTION_INSTALLED)
            continue;
        // A set refers to at most 20 partitions; a release that needs more cannot be recorded.
        if (count == krul_max_refs)
            return KRUL_META_INSTALL_ERR_PARTINFO_MATCH;
        if (e.action == KRUM_ACTION_WRITE) {
            if (e.cidx < 0 || e.cidx >= NEMF_MAX_CONTENT_PARTS || parts == nullptr || parts[e.cidx] == nullptr)
                return KRUL_META_INSTALL_ERR_FATAL;
            krul_meta_import_pinfometa(rec, parts[e.cidx], &e);
        }
        refs[count++] = static_cast<int8_t>(e.partinfo_idx);
    }
    std::memcpy(rec->sets[setidx].refs, refs, sizeof refs);
    rec->rhdr[setidx] = rh;
    return KRUL_META_INSTALL_OK;
}
