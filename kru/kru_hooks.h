// kru/kru_hooks.h: the optional install hooks a platform may link into the tool.
//
// Each is declared weak: a build that links no definition leaves its address null, and the
// install then skips the call and behaves as if it had returned 0 (see kru_install.cc for the
// one exception, hcfg_fail). A platform supplies a hook by linking an object that defines it
// with C linkage. Every hook returns 0 for success; what a non-zero result does depends on the
// calling point:
//
//   hcfg_fail        after a failed hostconfig load and the rebuild; gets the rebuild result.
//                    Non-zero ends the install with it; 0 continues whatever the rebuild gave.
//   data_rcvd        at the start of every stream callback call. Non-zero stops the load (9).
//   pre_metainstall  image complete and checked, before the meta install. Non-zero ends.
//   pre_install      after the partial-image handling and the autoset file, before the
//                    critical region. Non-zero ends.
//   post_write_out   after the write-out loop, failed or not. Non-zero skips the commit
//                    (nothing is saved) and becomes the exit code.
//   post_activate    after a successful commit or at the end of a dry run; its result is the
//                    exit code.
//   on_failure       last step of the write-out and commit when its exit code is not 0; gets
//                    that code. Its result is ignored.
#pragma once

#include "hostconfig/hostconfig.h"

struct kru_install_ctx;

extern "C" {
int kru_install_hook_hcfg_fail(kru_install_ctx* ctx, hostconfig* hc, int rebuild_result) __attribute__((weak));
int kru_install_hook_data_rcvd(kru_install_ctx* ctx) __attribute__((weak));
int kru_install_hook_pre_metainstall(kru_install_ctx* ctx, hostconfig* hc) __attribute__((weak));
int kru_install_hook_pre_install(kru_install_ctx* ctx, hostconfig* hc) __attribute__((weak));
int kru_install_hook_post_write_out(kru_install_ctx* ctx, hostconfig* hc) __attribute__((weak));
int kru_install_hook_post_activate(kru_install_ctx* ctx, hostconfig* hc) __attribute__((weak));
int kru_install_hook_on_failure(kru_install_ctx* ctx, hostconfig* hc, int exit_code) __attribute__((weak));
}
