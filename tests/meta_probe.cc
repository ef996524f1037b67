// Runs one step on a record kept in file REC under the device emulator and prints "result N":
//   crc REC PARTIDX WTS | layouts REC PARTIDX (prints "layouts WTS1 WTS2") | late REC POOL WTS MAJOR MINOR BUILD (element undecided, partinfo_idx 7)
//   | decide REC KRUMFILE SETIDX | rebuild-meta REC NAME MTD SIZE
// late and decide also print each element's "action A idx I"; REC is written back. Without a
// record, one MTD operation: erase PATH START LENGTH | locked PATH.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "kru/kru_rebuild.h"
#include "krul/krul_check.h"
#include "platform/fnutil.h"
#include "platform/log.h"
#include "platform/mtd.h"
#include "platform/qz.h"

namespace {

krul_data rec;
krum_element el[krum_max_elements];
char text[8192];

int step(int argc, char** argv)
{
    std::string_view op = argc > 2 ? argv[1] : "";
    auto num = [&](int i) { return static_cast<int>(std::strtol(argv[i], nullptr, 0)); };
    if (op == "crc" && argc == 5)
        return crc32_check(&rec, num(3), static_cast<uint8_t>(num(4)));
    if (op == "layouts" && argc == 4) {
        int body_first = 0, header_first = 0;
        krul_crc32_check_layouts(&rec, num(3), &body_first, &header_first);
        qz_printf("layouts %i %i\n", body_first, header_first);
        return 0;
    }
    if (op == "late" && argc == 8) {
        el[0] = {1, 0, {}, 0, "", "", "-", 0, static_cast<uint8_t>(num(4)), {}, KRUM_ACTION_LATE, 7};
        std::strncat(el[0].poolname, argv[3], sizeof el[0].poolname - 1);
        return late_action_update(&rec, &el[0], {uint8_t(num(5)), uint8_t(num(6)), uint16_t(num(7))});
    }
    if (op == "decide" && argc == 5) {
        int n = fnread(argv[3], text, sizeof text - 1);
        krul_parse_krumd(el, std::string_view(text, n < 0 ? 0 : n));
        krul_partpool_generate(&rec);
        return krul_meta_install_part1(&rec, num(4), nemf_release_header{}, el, "", 0);
    }
    if (op == "rebuild-meta" && argc == 6)
        return rebuild_meta(&rec, argv[3], num(4), static_cast<uint32_t>(num(5)));
    return 99;
}

}  // namespace

int main(int argc, char** argv)
{
    kru_log_open();
    std::string_view op = argc > 1 ? argv[1] : "";
    if (op == "erase" || op == "locked") {
        auto num = [&](int i) { return static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 0)); };
        int r = op == "locked" ? mtd_fn_is_locked(argv[2]) : argc == 5 ? mtd_fn_erase(argv[2], num(3), num(4)) : 99;
        qz_printf("result %d\n", r);
        kru_log_flush();
        return 0;
    }
    if (argc < 3 || fnread(argv[2], &rec, sizeof rec) != static_cast<int>(sizeof rec))
        return 2;
    int r = step(argc, argv);
    for (const krum_element& e : el)
        if (e.used)
            qz_printf("action %d idx %d\n", e.action, e.partinfo_idx);
    qz_printf("result %d\n", r);
    fnwrite(argv[2], &rec, sizeof rec);
    kru_log_flush();
    return 0;
}
