// The second half of the install: every element of action 1 erased, written in its layout and
// read back, then the commit (activate or activeset file, hostconfig save, test flag) and the
// install's exit code.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <syslog.h>
#include <unistd.h>

#include "hostconfig/hostconfig_flags.h"
#include "kru/kru_hooks.h"
#include "kru/kru_hostcfg.h"
#include "kru/kru_install.h"
#include "kru/kru_supervise.h"
#include "kru/kru_writeout.h"
#include "krul/krul_check.h"
#include "nemf/nemf_validate.h"
#include "platform/fnutil.h"
#include "platform/log.h"
#include "platform/mtd.h"
#include "platform/progress.h"
#include "platform/qz.h"
#include "platform/raii.h"

namespace {

constexpr const char* kru_writeout_module = "kru_writeout";

// Writes `part` (header and body) in layout `wts` from the start of `device`, which has been
// erased over the whole layout. 0, or -1 after the message.
int kru_writeout_layout(const char* device, std::span<const uint8_t> part, uint8_t wts)
{
    nemf_content_header h{};
    nemf_copy_content_header(part, &h);
    const std::span<const uint8_t> header = part.first(h.hdr_length);
    const std::span<const uint8_t> body = part.subspan(h.hdr_length, h.body_length);

    file_ptr f(std::fopen(device, "w"));
    if (!f) {
        kru_log(LOG_ERR, "Could not open %s for write\n", device);
        return -1;
    }
    // Unbuffered: every fwrite reaches the device at once and reports its own failure.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    // One fwrite per part; with the progress line on a terminal, in pieces so that it moves
    // (the failure still reports the bytes of the whole part that were written).
    constexpr size_t piece = 64 * 1024;
    auto put = [&](std::span<const uint8_t> bytes) {
        const size_t step = progress_active() ? piece : bytes.size();
        size_t done = 0;
        while (done < bytes.size()) {
            const size_t want = bytes.size() - done < step ? bytes.size() - done : step;
            const size_t n = std::fwrite(bytes.data() + done, 1, want, f.get());
            done += n;
            progress_advance(n);
            if (n != want)
                break;
        }
        if (done == bytes.size())
            return 0;
        kru_log(LOG_ERR, "Could not fwrite to %s, errno=%i result=%i\n", device, errno, static_cast<int>(done));
        return -1;
    };
    switch (wts) {
    case KRUM_WTS_BODY:
        return put(body);
    case KRUM_WTS_HEADER_BODY:
        return put(header) != 0 ? -1 : put(body);
    case KRUM_WTS_BODY_TRAILER: {
        if (put(body) != 0)
            return -1;
        // The gap keeps its erased bytes: skipped, never programmed.
        const long gap = static_cast<long>(nemf_padded_length(body.size()) - body.size());
        if (gap != 0) {
            int r = std::fseek(f.get(), gap, SEEK_CUR);
            if (r != 0) {
                kru_log(LOG_ERR, "Could not fwrite to %s, errno=%i result=%i\n", device, errno, r);
                return -1;
            }
        }
        return put(header);
    }
    default:
        kru_log(LOG_ERR, "Unknown WTS, skip\n");
        return -1;
    }
}

// Writes and verifies element i. Returns 0 when done; -1 when it failed (partition marked
// invalid, messages logged).
int kru_writeout_element(kru_install_ctx* ctx, int i, int* last_pool_size)
{
    krul_data* rec = ctx->record;
    krum_element& e = ctx->elements[i];
    QZ_ASSERT(kru_writeout_module, e.partinfo_idx >= 0 && e.partinfo_idx < krul_max_partinfo);
    const std::span<const uint8_t> part = kru_install_part(ctx, e.cidx);
    nemf_content_header h{};
    nemf_copy_content_header(part, &h);

    *last_pool_size = krul_partpool_items_count(rec, krul_name(e.poolname));
    const mtd_path path = mtd_device_path(rec->partinfo[e.partinfo_idx].pn);
    const char* device = path.text;

    // The erase covers the whole layout, so that no byte is programmed over old data; an
    // unknown layout is erased as a body and then refused.
    uint32_t length = kru_install_layout_length(e.wts, h.hdr_length, h.body_length);
    if (length == 0)
        length = h.body_length;
    bool ok = false;
    if (!part.empty()) {
        progress_begin(device, "erase", length);
        ok = mtd_fn_erase(device, 0, length) == 0;
        progress_end();
    }
    if (ok) {
        qz_printf("Writing out %u bytes of data to %s\n", h.body_length, device);
        progress_begin(device, "write", kru_install_layout_length(e.wts, h.hdr_length, h.body_length));
        ok = kru_writeout_layout(device, part, e.wts) == 0;
        progress_end();
    }
    if (!ok) {
        const std::string_view name = part.empty() ? std::string_view("<null>") : krul_name(h.name);
        kru_log_err(LOG_CRIT, "FAILED TO INSTALL %.*s INTO %i\n", static_cast<int>(name.size()), name.data(),
                    e.partinfo_idx);
        krul_partinfo_mark_meta_invalid(rec, e.partinfo_idx);
        return -1;
    }
    if (rec->pinfometa[e.partinfo_idx].hdr.body_crc == 0) {
        kru_log(LOG_INFO, "WARNING: Could not verify write as some meta data is missing from hostconfig\n");
        return 0;
    }
    progress_begin(device, "read-back", kru_install_layout_length(e.wts, h.hdr_length, h.body_length));
    const int checked = crc32_check(rec, e.partinfo_idx, e.wts);
    progress_end();
    if (checked != KRUL_CRC_MATCH) {
        kru_log(LOG_ERR, "CRC32 VERIFY FAILED: partinfo_idx=%i se_idx=%i\n", e.partinfo_idx, i);
        krul_partinfo_mark_meta_invalid(rec, e.partinfo_idx);
        return -1;
    }
    return 0;
}

}  // namespace

uint32_t kru_install_layout_length(uint8_t wts, uint32_t hdr_length, uint32_t body_length)
{
    switch (wts) {
    case KRUM_WTS_BODY:
        return body_length;
    case KRUM_WTS_HEADER_BODY:
        return hdr_length + body_length;
    case KRUM_WTS_BODY_TRAILER:
        return static_cast<uint32_t>(nemf_padded_length(body_length)) + hdr_length;
    default:
        return 0;
    }
}

int kru_install_write_out(kru_install_ctx* ctx, hostconfig* hc, bool autodetected)
{
    QZ_ASSERT(kru_writeout_module, ctx != nullptr && hc != nullptr);
    QZ_ASSERT(kru_writeout_module, ctx->record != nullptr && ctx->settings != nullptr);
    kru_settings* s = ctx->settings;
    krul_data* rec = ctx->record;
    bool failed = false;
    int last_pool_size = 0;

    if (s->dryrun == 0)
        kru_critical_enter("install: entering critical region\n");
    for (int i = 0; i < krum_max_elements; ++i) {
        const krum_element& e = ctx->elements[i];
        if (e.action == -1 || (e.action != KRUM_ACTION_WRITE && s->verbose == 0))
            continue;
        const std::span<const uint8_t> part = kru_install_part(ctx, e.cidx);
        nemf_content_header h{};
        nemf_copy_content_header(part, &h);
        const std::string_view name = part.empty() ? std::string_view("<null>") : krul_name(h.name);
        kru_log(LOG_INFO, "%i: name=%.*s action=%i nemf_cidx=%i partinfo_idx=%i wts=%i\n", i,
                static_cast<int>(name.size()), name.data(), e.action, e.cidx, e.partinfo_idx, e.wts);
        if (e.action != KRUM_ACTION_WRITE || s->dryrun != 0 || s->onlymeta != 0)
            continue;
        if (kru_writeout_element(ctx, i, &last_pool_size) != 0) {
            failed = true;
            break;
        }
    }

    int code = 0;
    bool committed = false;
    bool unrecorded = false;   // -noactivate, and the activeset file could not be written
    if (kru_install_hook_post_write_out != nullptr)
        code = kru_install_hook_post_write_out(ctx, hc);
    if (code == 0 && s->dryrun != 0) {
        code = kru_install_hook_post_activate != nullptr ? kru_install_hook_post_activate(ctx, hc) : 0;
    } else if (code == 0) {
        committed = true;
        unlink(s->activesetfile);
        if (!failed) {
            if (s->noactivate != 0) {
                unrecorded = fnprintf_private(s->activesetfile, "%d", ctx->setidx) < 0;
                if (unrecorded)
                    kru_log_err(LOG_ERR, "install: could not record set %d in %s\n", ctx->setidx, s->activesetfile);
            } else {
                krul_actset_activate(rec, ctx->setidx);
            }
        }
    }
    if (committed) {
        // -test: the save carries the trial's flag word, so no instant shows the new record
        // without it; where it cannot (another hostconfig path), it is written after the save.
        const int test_set = !failed && s->test != 0 ? rec->actset : 0;
        const int saved = kru_hostconfig_save(s, rec, hc, "install", test_set);
        if (saved == KRU_SAVE_ERR_TEST) {
            kru_log_err(LOG_CRIT, "cannot set test mode\n");
            return KRU_EXIT_FAILURE;
        }
        if (saved != KRU_SAVE_OK) {
            kru_log_err(LOG_CRIT, "KRU_EXIT_FATAL_ERR_HOSTCONFIG_WRITE\n");
            code = KRU_EXIT_FATAL_ERR_HOSTCONFIG_WRITE;
        } else if (unrecorded) {
            // The partitions are written and recorded, but nothing would ever activate them.
            if (autodetected)
                unlink(s->autosetfile);
            code = KRU_EXIT_FAILURE;
        } else if (failed) {
            if (autodetected)
                unlink(s->autosetfile);
            if (last_pool_size == 1) {
                kru_log_err(LOG_CRIT, "KRU_EXIT_FATAL_ERR_SINGLETON_WRITE");
                code = KRU_EXIT_FATAL_ERR_SINGLETON_WRITE;
            } else {
                code = KRU_EXIT_FAILURE;
            }
        } else {
            // Saving the hostconfig to the flag device cleared the flag words; the trial's own
            // word was carried by the save, so this writes only where it was not.
            if (s->test != 0 && set_upgrade_state(rec->actset, UPGRADE_STATE_TEST) != 0) {
                kru_log_err(LOG_CRIT, "cannot set test mode\n");
                return KRU_EXIT_FAILURE;
            }
            code = kru_install_hook_post_activate != nullptr ? kru_install_hook_post_activate(ctx, hc) : 0;
        }
    }
    if (s->dryrun == 0)
        kru_critical_leave("install: leaving critical region with exitcode=%i\n", code);
    if (code != 0 && kru_install_hook_on_failure != nullptr)
        kru_install_hook_on_failure(ctx, hc, code);
    return code;
}
