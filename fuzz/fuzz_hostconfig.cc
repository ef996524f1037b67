// fuzz/fuzz_hostconfig.cc: a hostconfig image as it comes off flash, through the tool's load
// cycle (load, walk, record import), the pools and the information dump, then saved and loaded
// again, which must give back the same record.
//
// Input: a control byte, then bytes.
//   bit 0  repair the CRCs of the image first
//   bit 1  the bytes are not an image but the body of a "KRU data" part (short and long
//          bodies), stored in a container made here
//   bit 2  with bit 1: name the part "KRU data" followed by more characters
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "hostconfig/hostconfig.h"
#include "kru/kru_hostcfg.h"
#include "krul/krul.h"
#include "krul/krul_info.h"
#include "nemf/nemf_validate.h"

namespace {

// An in-memory file reachable by path, so that the load reads it as it reads a regular file.
struct fuzz_memfile {
    int fd = -1;
    std::string path;

    explicit fuzz_memfile(const char* name)
    {
        fd = memfd_create(name, 0);
        FUZZ_CHECK(fd >= 0);
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    void set(std::span<const uint8_t> bytes) const
    {
        FUZZ_CHECK(ftruncate(fd, 0) == 0);
        FUZZ_CHECK(pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
    }
};

void fuzz_settings(kru_settings* s, const std::string& path)
{
    std::memset(s, 0, sizeof *s);
    std::snprintf(s->hostcfg, sizeof s->hostcfg, "%s", path.c_str());
}

// The name of the first part that the import takes the record from, or empty.
std::string fuzz_record_part_name(const hostconfig* hc)
{
    for (int i = 0; i < hc->count; ++i) {
        nemf_content_header h = hostconfig_part_header(hc, i);
        std::string_view name = nemf_name(h.name);
        if (name.starts_with(krul_part_name))
            return std::string(name);
    }
    return {};
}

// What the actions do with a loaded record besides changing it.
void fuzz_use_record(krul_data* rec)
{
    krul_partpool_generate(rec);
    krul_dump_info(rec);
    for (uint32_t i = 0; i < rec->pool_count && i < krul_max_pools; ++i) {
        std::string_view name = krul_name(rec->pools[i].name);
        uint8_t items[20];
        FUZZ_CHECK(krul_partpool_items(rec, name, items) <= krul_max_pool_items);
        for (int set = -1; set < krul_max_sets; ++set) {
            int idx = krul_get_unused_partinfo(rec, name, set);
            FUZZ_CHECK(idx >= -1 && idx < krul_max_partinfo);
        }
    }
    for (int set = 0; set < krul_max_sets; ++set)
        krul_getsetidx(rec, krul_name(rec->sets[set].name));
    for (int part = 0; part < krul_max_partinfo; ++part)
        krul_partinfo_owned_by_set(rec, part, rec->actset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const fuzz_memfile primary("fuzz-hostconfig");
    static const fuzz_memfile saved("fuzz-hostconfig-saved");
    fuzz_input in{{data, size}};
    uint8_t control = in.take_u8();
    if (in.rest.size() > 2 * hostconfig_max_size)
        return 0;

    if (control & 2) {
        static hostconfig made;
        hostconfig_new(&made, hostconfig_max_size);
        std::string name(krul_part_name);
        if (control & 4)
            name += "-old";
        if (hostconfig_add_body(&made, in.rest.data(), static_cast<uint32_t>(in.rest.size()), name) != 1)
            return 0;
        FUZZ_CHECK(hostconfig_save(&made, primary.path.c_str(), nullptr) == 1);
    } else {
        std::vector<uint8_t> image(in.rest.begin(), in.rest.end());
        if (control & 1)
            fuzz_fix_crcs(image);
        primary.set(image);
    }

    kru_settings s;
    fuzz_settings(&s, primary.path);
    static krul_data rec;
    static hostconfig hc;
    if (load(&s, &rec, &hc) != 1)
        return 0;
    FUZZ_CHECK(hc.count >= 1 && hc.count <= hostconfig_max_parts);
    if (control & 2)
        FUZZ_CHECK(in.rest.size() >= krul_stored_size);
    krul_data loaded = rec;
    fuzz_use_record(&rec);

    // Saved by the tool's own save and loaded again: the record must come back byte for byte
    // when it was read from a part named exactly "KRU data" (the save replaces only that one).
    kru_settings s2;
    fuzz_settings(&s2, saved.path);
    if (kru_hostconfig_save(&s2, &loaded, &hc, "fuzz") != 1)
        return 0;
    static krul_data again;
    static hostconfig hc2;
    FUZZ_CHECK(load(&s2, &again, &hc2) == 1);
    if (fuzz_record_part_name(&hc) == krul_part_name)
        FUZZ_CHECK(std::memcmp(&again, &loaded, krul_stored_size) == 0);
    return 0;
}
