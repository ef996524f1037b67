// Runs one MTD, flag-word or hostconfig operation and prints "result N", so that tests can run
// it as a process under the device emulator:
//   erase PATH START LENGTH | locked PATH | state SET | set-state SET STATE |
//   save CFG BACKUP | load CFG BACKUP        (BACKUP "-": none)
// A save writes a record with actset 2 and set 1 named "SET1"; a load prints them back.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "hostconfig/hostconfig_flags.h"
#include "kru/kru_hostcfg.h"
#include "platform/log.h"
#include "platform/mtd.h"
#include "platform/qz.h"

namespace {

int run(int argc, char** argv)
{
    std::string_view op = argc > 1 ? argv[1] : "";
    auto num = [&](int i) { return static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 0)); };
    if (op == "erase" && argc == 5)
        return mtd_fn_erase(argv[2], num(3), num(4));
    if (op == "locked" && argc == 3)
        return mtd_fn_is_locked(argv[2]);
    if (op == "state" && argc == 3)
        return get_upgrade_state(std::atoi(argv[2]));
    if (op == "set-state" && argc == 4)
        return set_upgrade_state(std::atoi(argv[2]), std::atoi(argv[3]));
    if ((op != "save" && op != "load") || argc != 4)
        return 99;
    static kru_settings s;
    static krul_data rec;
    static hostconfig hc;
    std::strncat(s.hostcfg, argv[2], sizeof s.hostcfg - 1);
    if (std::strcmp(argv[3], "-") != 0)
        std::strncat(s.hostcfg_backup, argv[3], sizeof s.hostcfg_backup - 1);
    if (op == "save") {
        krul_init(&rec);
        rec.actset = 2;
        std::memcpy(rec.sets[1].name, "SET1", 4);
        hostconfig_new(&hc, hostconfig_max_size);
        return kru_hostconfig_save(&s, &rec, &hc, "initialize");
    }
    int r = load(&s, &rec, &hc);
    if (r == 1)
        qz_printf("actset %d set1 %.15s\n", rec.actset, rec.sets[1].name);
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    kru_log_open();
    qz_printf("result %d\n", run(argc, argv));
    kru_log_flush();
    return 0;
}
