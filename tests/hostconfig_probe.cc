// Runs one MTD operation and prints "result N", so that tests can run it as a
// process under the device emulator:
//   erase PATH START LENGTH | locked PATH
#include <cstdlib>
#include <string_view>

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
    return 99;
}

}  // namespace

int main(int argc, char** argv)
{
    kru_log_open();
    qz_printf("result %d\n", run(argc, argv));
    kru_log_flush();
    return 0;
}
