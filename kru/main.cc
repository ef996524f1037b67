// The kru program: one action per invocation, run by a worker under a supervising parent.
#include <cstdio>
#include <cstdlib>
#include <syslog.h>

#include "kru/kru_actions.h"
#include "kru/kru_cmdline.h"
#include "kru/kru_exit.h"
#include "kru/kru_lock.h"
#include "kru/kru_supervise.h"
#include "platform/log.h"

namespace {

// An exit status keeps only 8 bits. A result that does not fit (a hook may return anything)
// becomes 255, so that it never reads as success or as another of the tool's codes.
int kru_exit_status(int result)
{
    return result >= 0 && result <= KRU_EXIT_OUT_OF_RANGE ? result : KRU_EXIT_OUT_OF_RANGE;
}

int kru_run(int argc, char** argv)
{
    if (argc < 2) {
        kru_log(LOG_ERR, "Syntax error, argc < 2\n");
        kru_print_usage();
        return KRU_EXIT_FAILURE;
    }
    static kru_settings settings;
    int r = kru_parse_args(argc, argv, &settings);
    if (r != kru_parse_ok)
        return r;
    if (settings.verbose)
        kru_print_settings(&settings);
    if (kru_lock(settings.lockfile) != 0) {
        kru_log(LOG_ERR, "Could not acquire kru lock\n");
        return KRU_EXIT_FAILURE;
    }
    r = kru_exit_status(kru_dispatch(&settings));
    if (kru_unlock(settings.lockfile) != 0)
        kru_log(LOG_ERR, "WARNING: kru_unlock failed\n");
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    kru_log_open();
    int r = kru_supervise();
    if (r == 0)
        r = kru_run(argc, argv);
    std::fflush(stdout);
    kru_log_flush();
    return r;
}
