// kru/kru_settings.h: the settings of one invocation, filled once from the defaults, the
// environment and the command line, and handed to every action.
#pragma once

#include <cstdint>

inline constexpr int kru_max_args = 20;   // positional words, the null after the last included

struct kru_settings {
    int r;
    int dryrun;         // do not alter hostconfig
    int test;           // when activating a set, mark it for test
    int verbose;
    int force;
    int meta_major, meta_minor, meta_build;
    uint32_t nemfsize;  // largest image accepted by install and nemfinfo
    int rewrite;        // force rewrite even if installed
    int onlymeta;       // operate on the hostconfig only
    int noactivate;     // do not update the active set after install
    int product_set;
    int platform_set;
    int minver_set;
    int iptos_set;
    int iptos;
    const char* action;   // args[0]
    char hostcfg[100];
    char hostcfg_backup[100];   // empty: no backup
    char lockfile[100];
    char autosetfile[100];
    char activesetfile[100];
    char product[16];
    char platform[8];
    uint32_t minver_major, minver_minor, minver_build;
    char plugin[200];
    const char* args[kru_max_args];   // positional words; args[0] is the action word
    int argc;
};

inline constexpr uint32_t kru_default_nemfsize = 16u * 1024u * 1024u;
inline constexpr const char* kru_default_hostcfg = "/dev/mtd5";
inline constexpr const char* kru_default_hostcfg_backup = "/dev/mtd2";
inline constexpr const char* kru_default_lockfile = "/tmp/kru.lock";
inline constexpr const char* kru_default_autosetfile = "/tmp/kru.autoset";
inline constexpr const char* kru_default_activesetfile = "/tmp/kru.activeset";
