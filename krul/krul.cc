#include "krul/krul.h"

#include <cstring>

#include "hostconfig/hostconfig.h"
#include "platform/qz.h"

namespace {
constexpr const char* krul_module = "krul";
}

int krul_init(krul_data* rec)
{
    QZ_ASSERT(krul_module, rec != nullptr);
    std::memset(rec, 0, sizeof *rec);
    return 1;
}

int krul_hostconfig_export(const krul_data* rec, hostconfig* hc)
{
    QZ_ASSERT(krul_module, rec != nullptr && hc != nullptr);
    if (hostconfig_add_body(hc, rec, krul_stored_size, krul_part_name) != 1)
        return -1;
    return 1;
}

int krul_hostconfig_import(krul_data* rec, const hostconfig* hc)
{
    QZ_ASSERT(krul_module, rec != nullptr && hc != nullptr);
    uint32_t length = 0;
    const uint8_t* body = hostconfig_get_body(hc, krul_part_name, &length);
    // A shorter body would have us read past the part; such a record is not ours to guess.
    if (body == nullptr || length < krul_stored_size)
        return -1;
    std::memcpy(rec, body, krul_stored_size);
    return 1;
}

int krul_actset_get(const krul_data* rec)
{
    QZ_ASSERT(krul_module, rec != nullptr);
    return rec->actset;
}

void krul_actset_activate(krul_data* rec, int setidx)
{
    QZ_ASSERT(krul_module, rec != nullptr);
    rec->actset = static_cast<uint8_t>(setidx);
}

int krul_getsetidx(const krul_data* rec, std::string_view name)
{
    QZ_ASSERT(krul_module, rec != nullptr);
    if (name.empty())
        return -2;
    // Compared over at most the 15 bytes of the field, stopping at its NUL.
    std::string_view cut = name.substr(0, sizeof rec->sets[0].name);
    for (int i = 0; i < krul_max_sets; ++i)
        if (krul_name(rec->sets[i].name) == cut)
            return i;
    return -1;
}

int krul_partinfo_owned_by_set(const krul_data* rec, int partidx, int skip_set)
{
    QZ_ASSERT(krul_module, rec != nullptr);
    if (partidx < 0)   // would match the empty slots
        return 0;
    for (int set = 0; set < krul_max_sets; ++set) {
        if (set == skip_set)
            continue;
        for (int8_t ref : rec->sets[set].refs)
            if (ref == partidx)
                return 1;
    }
    return 0;
}

int krul_partinfo_mark_meta_invalid(krul_data* rec, int partidx)
{
    QZ_ASSERT(krul_module, rec != nullptr && partidx >= 0 && partidx < krul_max_partinfo);
    partinfo& p = rec->partinfo[partidx];
    std::memset(p.mountpnt, 0, sizeof p.mountpnt);
    std::memset(p.fstype, 0, sizeof p.fstype);
    std::memset(&rec->pinfometa[partidx], 0, sizeof rec->pinfometa[partidx]);
    return 1;
}
