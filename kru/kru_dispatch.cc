#include <string_view>
#include <syslog.h>

#include "kru/kru_actions.h"
#include "kru/kru_cmdline.h"
#include "kru/kru_exit.h"
#include "platform/log.h"

namespace {

struct kru_action_row {
    std::string_view word;
    kru_action_fn handler;
};

// Compared in this order; the first equal word runs.
constexpr kru_action_row kru_action_rows[] = {
    {"initialize", kru_action_initialize},
    {"install", kru_action_install},
    {"info", kru_action_info},
    {"getrh", kru_action_getrh},
    {"mount", kru_action_mount},
    {"partset", kru_action_partset},
    {"partinfo", kru_action_partinfo},
    {"activate", kru_action_activate},
    {"upgrade", kru_action_upgrade},
    {"verify", verify_sets},
    {"getpartset", kru_action_getpartset},
    {"nemfinfo", kru_action_nemfinfo},
    {"help", kru_action_help},
};

}  // namespace

int kru_action_help(kru_settings*)
{
    kru_print_usage();
    return 0;
}

int kru_dispatch(kru_settings* s)
{
    for (const kru_action_row& row : kru_action_rows)
        if (row.word == s->action)
            return row.handler(s);
    kru_log(LOG_ERR, "Unknown action\n");
    return KRU_EXIT_FAILURE;
}
