// Install hooks for the test build of the tool (kru_testhooks). Each call is logged as
// "hook NAME(VALUE)=RESULT" through kru_log_err, so it lands on standard error and in the
// system log between the tool's own messages. The results come from the environment:
//   KRU_TEST_HOOKS=pre_install=21,post_activate=23
// a hook not named there returns 0.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "kru/kru_hooks.h"
#include "kru/kru_install.h"
#include "platform/log.h"

namespace {

int test_hook_result(const char* name)
{
    const char* plan = std::getenv("KRU_TEST_HOOKS");
    const size_t len = std::strlen(name);
    for (const char* p = plan; p != nullptr && *p != '\0';) {
        if (std::strncmp(p, name, len) == 0 && p[len] == '=')
            return std::atoi(p + len + 1);
        p = std::strchr(p, ',');
        if (p != nullptr)
            ++p;
    }
    return 0;
}

// VALUE is what tells the calling point apart: the rebuild result, the bytes received, the
// set being installed, the active set, the exit code.
int test_hook(const char* name, int value)
{
    int r = test_hook_result(name);
    kru_log_err(LOG_DEBUG, "hook %s(%d)=%d\n", name, value, r);
    return r;
}

}  // namespace

extern "C" {

int kru_install_hook_hcfg_fail(kru_install_ctx*, hostconfig*, int rebuild_result)
{
    return test_hook("hcfg_fail", rebuild_result);
}
int kru_install_hook_data_rcvd(kru_install_ctx* ctx)
{
    return test_hook("data_rcvd", static_cast<int>(ctx->bytes_received));
}
int kru_install_hook_pre_metainstall(kru_install_ctx* ctx, hostconfig*)
{
    return test_hook("pre_metainstall", ctx->setidx);
}
int kru_install_hook_pre_install(kru_install_ctx* ctx, hostconfig*)
{
    return test_hook("pre_install", ctx->setidx);
}
int kru_install_hook_post_write_out(kru_install_ctx* ctx, hostconfig*)
{
    return test_hook("post_write_out", ctx->setidx);
}
int kru_install_hook_post_activate(kru_install_ctx* ctx, hostconfig*)
{
    return test_hook("post_activate", ctx->record->actset);
}
int kru_install_hook_on_failure(kru_install_ctx*, hostconfig*, int exit_code)
{
    return test_hook("on_failure", exit_code);
}

}
