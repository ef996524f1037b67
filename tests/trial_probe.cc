// Puts installed content into the record and onto a partition the way an install leaves it,
// and edits refs slots that the partset action cannot produce, so that tests of verify and
// activate need no signed image. Runs under the device emulator and prints "result N":
//   content PARTIDX NAME WTS TEXT   TEXT as the body of a content part named NAME, laid out by
//                                   write type 1 (body) or 2 (header, then body)
//   ref SET SLOT VALUE              refs[SLOT] of set SET becomes VALUE (-1 included)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "kru/kru_hostcfg.h"
#include "platform/crc32.h"
#include "platform/fnutil.h"
#include "platform/log.h"
#include "platform/mtd.h"
#include "platform/qz.h"

namespace {

int probe_content(krul_data* rec, int p, std::string_view name, int wts, std::string_view body)
{
    krul_pinfometa& meta = rec->pinfometa[p];
    std::memset(&meta, 0, sizeof meta);
    meta.hdr.type_id = 4;
    meta.hdr.hdr_length = sizeof meta.hdr;
    meta.hdr.body_length = static_cast<uint32_t>(body.size());
    std::memcpy(meta.hdr.name, name.data(), std::min(name.size(), sizeof meta.hdr.name));
    meta.hdr.body_crc = crc32_calc(0, body.data(), meta.hdr.body_length);
    meta.hdr.hdr_crc = crc32_calc(0, reinterpret_cast<const uint8_t*>(&meta.hdr) + 4, sizeof meta.hdr - 4);

    std::vector<char> layout;
    if (wts == 2)
        layout.assign(reinterpret_cast<const char*>(&meta.hdr), reinterpret_cast<const char*>(&meta.hdr + 1));
    layout.insert(layout.end(), body.begin(), body.end());
    char dev[40];
    std::snprintf(dev, sizeof dev, "/dev/mtd%i", rec->partinfo[p].pn);
    if (mtd_fn_erase(dev, 0, static_cast<uint32_t>(layout.size())) != 0)
        return -1;
    return fnwrite(dev, layout.data(), static_cast<uint32_t>(layout.size())) == static_cast<int>(layout.size()) ? 0 : -1;
}

int run(int argc, char** argv)
{
    static kru_settings s;
    static krul_data rec;
    static hostconfig hc;
    std::strcpy(s.hostcfg, "/dev/mtd5");
    std::strcpy(s.hostcfg_backup, "/dev/mtd2");
    if (load(&s, &rec, &hc) != 1)
        return 98;
    std::string_view op = argc > 1 ? argv[1] : "";
    int r = 0;
    if (op == "content" && argc == 6)
        r = probe_content(&rec, std::atoi(argv[2]), argv[3], std::atoi(argv[4]), argv[5]);
    else if (op == "ref" && argc == 5)
        rec.sets[std::atoi(argv[2])].refs[std::atoi(argv[3])] = static_cast<int8_t>(std::atoi(argv[4]));
    else
        return 99;
    return r != 0 ? r : kru_hostconfig_save(&s, &rec, &hc, "probe");
}

}  // namespace

int main(int argc, char** argv)
{
    kru_log_open();
    qz_printf("result %d\n", run(argc, argv));
    kru_log_flush();
    return 0;
}
