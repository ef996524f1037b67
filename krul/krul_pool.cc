#include <cstring>

#include "krul/krul.h"
#include "platform/qz.h"

namespace {

constexpr const char* krul_module = "krul";

// The slot of the first pool named `name`, free slots included; -1 if none or not generated.
int krul_partpool_find(const krul_data* rec, std::string_view name)
{
    if (rec->pools_valid != 1)
        return -1;
    for (int i = 0; i < krul_max_pools; ++i)
        if (krul_name(rec->pools[i].name) == name)
            return i;
    return -1;
}

}  // namespace

void krul_partpool_generate(krul_data* rec)
{
    QZ_ASSERT(krul_module, rec != nullptr);
    std::memset(rec->pools, 0, sizeof rec->pools);
    rec->pool_count = 0;
    rec->pools_valid = 0;
    for (int i = 0; i < krul_max_partinfo; ++i) {
        std::string_view poolname = krul_name(rec->partinfo[i].poolname);
        if (poolname.empty())
            continue;
        for (partpool& pool : rec->pools) {
            if (pool.name[0] == '\0') {
                std::memcpy(pool.name, rec->partinfo[i].poolname, sizeof pool.name);
                pool.items[0] = static_cast<uint8_t>(i);
                pool.cnt = 1;
                ++rec->pool_count;
                break;
            }
            if (krul_name(pool.name) == poolname) {
                // A table with all 20 entries in one pool: the last one stays out.
                if (pool.cnt < krul_max_pool_items)
                    pool.items[pool.cnt++] = static_cast<uint8_t>(i);
                break;
            }
        }
    }
    rec->pools_valid = 1;
}

int krul_partpool_items_count(const krul_data* rec, std::string_view name)
{
    QZ_ASSERT(krul_module, rec != nullptr);
    int slot = krul_partpool_find(rec, name);
    return slot < 0 ? -1 : rec->pools[slot].cnt;
}

int krul_partpool_items(const krul_data* rec, std::string_view name, uint8_t (&items)[20])
{
    QZ_ASSERT(krul_module, rec != nullptr);
    int slot = krul_partpool_find(rec, name);
    if (slot < 0)
        return -1;
    std::memcpy(items, rec->pools[slot].items, sizeof items);
    return rec->pools[slot].cnt;
}

int krul_get_unused_partinfo(const krul_data* rec, std::string_view name, int skip_set)
{
    QZ_ASSERT(krul_module, rec != nullptr);
    int users[krul_max_partinfo] = {};
    for (int set = 0; set < krul_max_sets; ++set) {
        if (set == skip_set)
            continue;
        for (int8_t ref : rec->sets[set].refs) {
            if (ref < 0)
                break;
            if (ref < krul_max_partinfo)
                ++users[ref];
        }
    }
    for (int i = 0; i < krul_max_partinfo; ++i)
        if (users[i] == 0 && krul_name(rec->partinfo[i].poolname) == name)
            return i;
    return -1;
}
