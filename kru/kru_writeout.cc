// The second half of the install: every element of action 1 written in its layout (the erase
// blocks that do not already hold it erased and programmed) and read back, then the commit (activate or activeset file, hostconfig save, test flag) and the
// install's exit code.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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
#include "platform/fdio.h"
#include "platform/fnutil.h"
#include "platform/log.h"
#include "platform/mtd.h"
#include "platform/progress.h"
#include "platform/qz.h"
#include "platform/raii.h"

namespace {

constexpr const char* kru_writeout_module = "kru_writeout";

// What an element puts on flash: up to two pieces at fixed offsets from the start of the
// partition (body; header and body; body and header trailer). Every other byte of the blocks
// the layout covers ends erased: the wts 3 gap, and the last block behind the layout.
struct kru_writeout_piece {
    uint32_t offset;
    std::span<const uint8_t> bytes;
};
struct kru_writeout_plan {
    std::array<kru_writeout_piece, 2> pieces;
    int count;
    uint32_t length;   // of the layout, from offset 0; 0 covers the whole device
};

// The target bytes [at, at + n): the pieces' bytes, erased bytes elsewhere.
void kru_writeout_target(const kru_writeout_plan& plan, uint64_t at, uint8_t* out, size_t n)
{
    std::memset(out, 0xFF, n);
    for (int i = 0; i < plan.count; ++i) {
        const kru_writeout_piece& p = plan.pieces[i];
        const uint64_t from = std::max<uint64_t>(at, p.offset);
        const uint64_t to = std::min<uint64_t>(at + n, uint64_t{p.offset} + p.bytes.size());
        if (from < to)
            std::memcpy(out + (from - at), p.bytes.data() + (from - p.offset), static_cast<size_t>(to - from));
    }
}

// True when [start, stop) of the device already holds its target bytes. Read in chunks and
// given up at the first chunk that differs; the first chunk is short, since a block to be
// rewritten (new content, or erased) mostly differs at once. A read that fails or ends early
// counts as a difference (the block is then erased and programmed, and the read-back has the
// last word).
bool kru_writeout_holds(int fd, const kru_writeout_plan& plan, uint64_t start, uint64_t stop)
{
    constexpr size_t first_chunk = 512;
    uint8_t have[krul_check_chunk], want[krul_check_chunk];
    for (uint64_t at = start; at < stop;) {
        const size_t chunk = at == start ? first_chunk : sizeof have;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(stop - at, chunk));
        if (fd_pread_full(fd, have, n, static_cast<off_t>(at)) != static_cast<ssize_t>(n))
            return false;
        kru_writeout_target(plan, at, want, n);
        if (std::memcmp(have, want, n) != 0)
            return false;
        at += n;
    }
    return true;
}

// Programs the pieces' bytes that fall into [start, stop), just erased. 0, or -1 after the
// message (the count is of the bytes of the piece stored before the failure).
int kru_writeout_program(int fd, const char* device, const kru_writeout_plan& plan, uint64_t start, uint64_t stop)
{
    for (int i = 0; i < plan.count; ++i) {
        const kru_writeout_piece& p = plan.pieces[i];
        const uint64_t from = std::max<uint64_t>(start, p.offset);
        const uint64_t to = std::min<uint64_t>(stop, uint64_t{p.offset} + p.bytes.size());
        if (from >= to)
            continue;
        const size_t n = static_cast<size_t>(to - from);
        const size_t stored = fd_pwrite_full(fd, p.bytes.data() + (from - p.offset), n, static_cast<off_t>(from));
        if (stored != n) {
            kru_log(LOG_ERR, "Could not fwrite to %s, errno=%i result=%i\n", device, errno,
                    static_cast<int>(from - p.offset + stored));
            return -1;
        }
    }
    return 0;
}

// Writes the layout of `plan` from the start of `device`, erase block by erase block: a block
// that already holds its target bytes is left alone; every other one, also one that only
// reads as erased (an erase cut short by power may leave cells that read 1 but do not hold)
// or one that programming alone could turn into its target (a NOR page must not be programmed
// twice), is erased and then programmed. A retry after a power cut thus finds the blocks done
// before the cut in place and starts again at the one the cut hit. 0, or -1: an erase failed
// (logged by mtd_erase, as the whole erase was), or a write failed (its message logged).
// "Writing out" goes to standard output before the first block is programmed, or at the end
// when none needed it. The progress line counts the blocks as they are done, its phase naming
// the step at hand.
int kru_writeout_blocks(const char* device, const kru_writeout_plan& plan, uint32_t body_length)
{
    auto announce = [&, done = false]() mutable {
        if (!done) {
            progress_hide();
            qz_printf("Writing out %u bytes of data to %s\n", body_length, device);
        }
        done = true;
    };
    unique_fd fd(::open(device, O_RDWR));
    mtd_info_user info{};
    if (!fd || _mtd_get_info(fd.get(), &info) != 0 || info.erasesize == 0 || plan.length > info.size)
        return -1;
    const uint32_t es = info.erasesize;
    const uint64_t covered = plan.length != 0 ? (uint64_t{plan.length} + es - 1) / es * es : info.size;
    progress_begin(device, "erase", covered);
    for (uint64_t start = 0; start < covered; start += es) {
        const uint64_t stop = std::min<uint64_t>(start + es, info.size);
        if (kru_writeout_holds(fd.get(), plan, start, stop)) {
            progress_advance(stop - start);
            continue;
        }
        progress_phase("erase");
        if (mtd_erase(fd.get(), static_cast<uint32_t>(start), es) != 0)
            return -1;
        announce();
        progress_phase("write");
        if (kru_writeout_program(fd.get(), device, plan, start, stop) != 0)
            return -1;
    }
    announce();
    return 0;
}

// The pieces of `part` in layout `wts` (1, 2 or 3) and the layout's length. Length 0 (an empty
// body alone) covers the whole device, as an erase of length 0 does.
kru_writeout_plan kru_writeout_plan_of(std::span<const uint8_t> part, uint8_t wts)
{
    nemf_content_header h{};
    nemf_copy_content_header(part, &h);
    const std::span<const uint8_t> header = part.first(h.hdr_length);
    const std::span<const uint8_t> body = part.subspan(h.hdr_length, h.body_length);
    kru_writeout_plan plan{};
    if (wts == KRUM_WTS_BODY) {
        plan.pieces[plan.count++] = {0, body};
    } else if (wts == KRUM_WTS_HEADER_BODY) {
        plan.pieces[plan.count++] = {0, header};
        plan.pieces[plan.count++] = {h.hdr_length, body};
    } else {
        plan.pieces[plan.count++] = {0, body};
        plan.pieces[plan.count++] = {static_cast<uint32_t>(nemf_padded_length(body.size())), header};
    }
    plan.length = kru_install_layout_length(wts, h.hdr_length, h.body_length);
    return plan;
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

    // Blocks that already hold their bytes are left alone; the rest are erased and programmed.
    // An unknown layout is erased as a body and then refused.
    bool ok = false;
    const bool known = e.wts == KRUM_WTS_BODY || e.wts == KRUM_WTS_HEADER_BODY || e.wts == KRUM_WTS_BODY_TRAILER;
    if (!part.empty() && !known) {
        progress_begin(device, "erase", h.body_length);
        ok = mtd_fn_erase(device, 0, h.body_length) == 0;
        progress_end();
        if (ok) {
            qz_printf("Writing out %u bytes of data to %s\n", h.body_length, device);
            kru_log(LOG_ERR, "Unknown WTS, skip\n");
            ok = false;
        }
    } else if (!part.empty()) {
        ok = kru_writeout_blocks(device, kru_writeout_plan_of(part, e.wts), h.body_length) == 0;
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
