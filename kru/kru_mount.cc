// The mount action: mounts the partitions of a set on the mount points the record gives them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mount.h>
#include <syslog.h>

#include "kru/kru_actions.h"
#include "kru/kru_exit.h"
#include "kru/kru_hostcfg.h"
#include "platform/log.h"
#include "platform/mtd.h"
#include "platform/qz.h"

namespace {

// A fixed field as a C string: at most N characters, always ends in a NUL.
template <size_t N>
struct kru_cstr {
    char text[N + 1];
    explicit kru_cstr(const char (&field)[N])
    {
        std::memcpy(text, field, N);
        text[N] = '\0';
    }
};

// Mounts one partition-table entry, if it has a file system and a mount point other than "/"
// (the root file system is mounted by the kernel).
void kru_mount_entry(const kru_settings* s, const partinfo& pi)
{
    kru_cstr mountpnt(pi.mountpnt);
    kru_cstr fstype(pi.fstype);
    if (fstype.text[0] == '\0' || mountpnt.text[0] == '\0' || std::strcmp(mountpnt.text, "/") == 0)
        return;
    const mtd_path path = mtd_device_path(pi.pn);
    const char* device = path.text;
    qz_printf("KRU: Mounting %s on %s as %s...", device, mountpnt.text, fstype.text);
    if (s->dryrun) {
        qz_printf(" DRYRUN\n");
        return;
    }
    if (mount(device, mountpnt.text, fstype.text, 0, nullptr) == 0)
        qz_printf(" OK\n");
    else if (errno == EBUSY)
        qz_printf(" PASS: Already mounted or in use (EBUSY)\n");
    else
        qz_printf(" FAILED: %s\n", std::strerror(errno));
}

}  // namespace

int kru_action_mount(kru_settings* s)
{
    krul_data rec;
    hostconfig hc;
    if (kru_load_or_report(s, &rec, &hc, "mount: loading hostcfg failed.\n") != 1)
        return KRU_EXIT_FAILURE;
    if (s->args[1] == nullptr) {
        kru_log(LOG_ERR, "mount: missing set idx?\n");
        return KRU_EXIT_FAILURE;
    }
    int set = kru_parse_setidx(&rec, s->args[1]);
    if (set < 0) {
        kru_log(LOG_ERR, "mount: invalid set idx?\n");
        return KRU_EXIT_FAILURE;
    }
    krul_partpool_generate(&rec);
    for (int8_t ref : rec.sets[set].refs) {
        if (ref < 0)
            break;
        if (ref < krul_max_partinfo)   // a larger value names no entry of the table
            kru_mount_entry(s, rec.partinfo[ref]);
    }
    // Whatever the single mounts gave: each one has said so on its line.
    return 0;
}
