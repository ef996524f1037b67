// The activate and upgrade actions: choosing the set the device boots from, and the
// test/validate trial of a newly installed set.
#include <cstdio>
#include <cstring>
#include <syslog.h>

#include "hostconfig/hostconfig_flags.h"
#include "kru/kru_actions.h"
#include "kru/kru_exit.h"
#include "kru/kru_hostcfg.h"
#include "platform/fnutil.h"
#include "platform/log.h"
#include "platform/qz.h"
#include "platform/raii.h"

namespace {

constexpr const char* kru_cmdline_path = "/proc/cmdline";

// The set the kernel was booted from, as the boot loader put it on the kernel command line:
// the first word "KRUSET=SAFESET" gives 0, "KRUSET=SET<n>" gives n. 0 when the line names none
// or cannot be read.
int kru_boot_set(const char* cmdline_path)
{
    file_ptr f(std::fopen(cmdline_path, "r"));
    if (!f)
        return 0;
    char word[81];
    while (std::fscanf(f.get(), "%80s", word) == 1) {
        if (std::strcmp(word, "KRUSET=SAFESET") == 0)
            return 0;
        int set;
        if (std::sscanf(word, "KRUSET=SET%d", &set) == 1)
            return set;
    }
    return 0;
}

}  // namespace

int kru_action_activate(kru_settings* s)
{
    krul_data rec;
    hostconfig hc;
    if (kru_load_or_report(s, &rec, &hc, "activate action: hostcfg loading failed.\n") != 1)
        return KRU_EXIT_FAILURE;
    int set = kru_parse_setidx(&rec, s->args[1]);
    if (set < 0) {
        kru_log(LOG_ERR, "%s: invalid set id: %s\n", "activate", s->args[1] != nullptr ? s->args[1] : "(none)");
        return KRU_EXIT_FAILURE;
    }
    if (!s->force) {
        int err = verify_set(s, &rec, set, s->verbose);
        if (err != 0) {
            kru_log(LOG_ERR, "%s: set %d validation err=%d\n", "activate", set, err);
            return KRU_EXIT_FAILURE;
        }
    }
    krul_actset_activate(&rec, set);
    if (s->verbose)
        kru_info(s, &rec);
    if (!s->dryrun) {
        if (kru_hostconfig_save(s, &rec, &hc, "activate") != KRU_SAVE_OK) {
            kru_log_err(LOG_CRIT, "activate action: hostcfg saving failed.\n");
            return KRU_EXIT_FAILURE;
        }
        if (set_upgrade_state(set, UPGRADE_STATE_VALID) != 0) {
            kru_log_err(LOG_CRIT, "cannot set normal mode\n");
            return KRU_EXIT_FAILURE;
        }
    }
    if (kru_activate_hook_post != nullptr)
        kru_activate_hook_post(&rec, &hc);
    return 0;
}

int kru_action_upgrade(kru_settings* s)
{
    if (s->argc < 2) {
        kru_log(LOG_ERR, "%s: Missing argument\n", "upgrade");
        return KRU_EXIT_FAILURE;
    }
    krul_data rec;
    hostconfig hc;
    if (kru_load_or_report(s, &rec, &hc, "upgrade action: hostcfg loading failed.\n") != 1)
        return KRU_EXIT_FAILURE;
    int boot_set = kru_boot_set(kru_cmdline_path);
    const char* word = s->args[1];
    int target;      // the set whose state changes
    int new_state;
    bool change;
    if (std::strcmp(word, "activate") == 0) {
        int set;
        // Only a file that the install left and nobody else could have written is believed.
        if (fnscanf_private(s->activesetfile, "%d", &set) != 1)
            return KRU_EXIT_FAILURE;
        // A number that names no set must not become the active set.
        if (set < 0 || set >= krul_max_sets) {
            kru_log(LOG_ERR, "%s: invalid set id: %d\n", "upgrade", set);
            return KRU_EXIT_FAILURE;
        }
        target = set;
        change = krul_actset_get(&rec) != set;
        new_state = s->test && boot_set > 0 ? UPGRADE_STATE_TEST : UPGRADE_STATE_VALID;
        krul_actset_activate(&rec, set);
    } else if (std::strcmp(word, "validate") == 0 || std::strcmp(word, "test") == 0) {
        bool validate = word[0] == 'v';
        int state = get_upgrade_state(boot_set);
        if (state == UPGRADE_STATE_INVALID) {
            qz_printf("Upgrade state is invalid\n");
            return KRU_EXIT_FAILURE;
        }
        if (validate && state == UPGRADE_STATE_VALID) {
            qz_printf("Already validated\n");
            return 0;
        }
        target = boot_set;
        new_state = validate ? UPGRADE_STATE_VALID : UPGRADE_STATE_TEST;
        change = validate || state == UPGRADE_STATE_BOOT;
    } else {
        kru_log_err(LOG_CRIT, "upgrade: unknown command.\n");
        return KRU_EXIT_FAILURE;
    }
    if (s->verbose)
        kru_info(s, &rec);
    if (!change || s->dryrun)
        return 0;
    // The save erases the flag words on /dev/mtd5. A trial's TEST is carried by the save
    // itself; any other state (and TEST on another hostconfig path) is written after it.
    const int saved = kru_hostconfig_save(s, &rec, &hc, "upgrade", new_state == UPGRADE_STATE_TEST ? target : 0);
    if (saved == KRU_SAVE_FAILED) {
        kru_log_err(LOG_CRIT, "upgrade: hostcfg saving failed.\n");
        return KRU_EXIT_FAILURE;
    }
    if (saved == KRU_SAVE_ERR_TEST || set_upgrade_state(target, new_state) != 0) {
        kru_log_err(LOG_CRIT, "failed to set upgrade state\n");
        return KRU_EXIT_FAILURE;
    }
    return 0;
}
