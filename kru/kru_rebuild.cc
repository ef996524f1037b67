#include "kru/kru_rebuild.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <syslog.h>
#include <unistd.h>

#include "kru/kru_hostcfg.h"
#include "nemf/nemf_validate.h"
#include "platform/fdio.h"
#include "platform/log.h"
#include "platform/mtd.h"
#include "platform/qz.h"
#include "platform/raii.h"

namespace {

constexpr const char* rebuild_module = "kru_rebuild";
constexpr size_t rebuild_msg_size = 150;   // 149 characters and the NUL
// A tsb's name lies 12 bytes into its header; the 64 bytes copied run 52 bytes past the name.
constexpr size_t rebuild_name_offset = offsetof(nemf_content_header, name);
constexpr size_t rebuild_after_name = sizeof(krul_pinfometa) - rebuild_name_offset;

// Errors go out like kru_log, notices like kru_log_err, each cut to 149 characters.
__attribute__((format(printf, 2, 3))) void rebuild_log(int priority, const char* fmt, ...)
{
    char msg[rebuild_msg_size];
    va_list ap;
    va_start(ap, fmt);
    qz_vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (priority == LOG_NOTICE)
        kru_log_err(priority, "%s", msg);
    else
        kru_log(priority, "%s", msg);
}

// Where in buf[0, n) a tsb named `name` starts, or -1.
long rebuild_find_tsb(const uint8_t* buf, size_t n, const char* name)
{
    size_t name_length = std::strlen(name);
    size_t p = 0;
    while (p < n) {
        const void* hit = std::memchr(buf + p, name[0], n - p);
        if (hit == nullptr)
            return -1;
        size_t q = static_cast<size_t>(static_cast<const uint8_t*>(hit) - buf);
        p = q + 1;
        if (q < rebuild_name_offset)
            continue;
        if (q + rebuild_after_name >= n)
            return -1;
        if (name_length > n - q || std::memcmp(buf + q, name, name_length) != 0)
            continue;
        size_t h = q - rebuild_name_offset;
        std::span<const uint8_t> part(buf + h, n - h);
        // The body the header describes is the data at the partition's start.
        if (nemf_validate_content_header(part) == NEMF_VALID &&
            nemf_validate_content_body(part, std::span<const uint8_t>(buf, n)) == NEMF_VALID)
            return static_cast<long>(h);
    }
    return -1;
}

}  // namespace

int rebuild_meta(krul_data* rec, const char* name, int mtd, uint32_t size)
{
    QZ_ASSERT(rebuild_module, rec != nullptr && name != nullptr && name[0] != '\0');
    QZ_ASSERT(rebuild_module, mtd >= 0 && mtd < krul_max_partinfo);
    const mtd_path path = mtd_device_path(mtd);

    std::unique_ptr<uint8_t, c_free<std::free>> buf(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size)));
    if (!buf) {
        rebuild_log(LOG_ERR, "rebuild_meta: malloc failed\n");
        return 0;
    }
    unique_fd dev(::open(path.text, O_RDONLY));
    if (!dev) {
        rebuild_log(LOG_ERR, "rebuild_meta: Could not open %s for read\n", path.text);
        return 0;
    }
    std::memset(buf.get(), 0, size);
    const ssize_t got = fd_read_full(dev.get(), buf.get(), size);
    dev.reset();
    if (got < 0) {
        rebuild_log(LOG_ERR, "rebuild_meta: Could not load sw header for %s\n", name);
        return 0;
    }
    long at = got == 0 ? -1 : rebuild_find_tsb(buf.get(), static_cast<size_t>(got), name);
    if (at < 0) {
        rebuild_log(LOG_NOTICE, "rebuild_meta: Failed to locate tsb for %s\n", name);
        return 0;
    }
    std::memcpy(&rec->pinfometa[mtd], buf.get() + at, sizeof rec->pinfometa[mtd]);
    return 1;
}

int rebuild_hostcfg(const kru_settings* s, krul_data* rec, hostconfig* hc)
{
    QZ_ASSERT(rebuild_module, s != nullptr && rec != nullptr && hc != nullptr);
    if (kru_load_hostcfg(s, rebuild_default_hostcfg, rec, hc) != 1) {
        rebuild_log(LOG_ERR, "rebuild_hostcfg: hostcfg.default loading failed.\n");
        return 0;
    }
    rebuild_log(LOG_NOTICE, "rebuild_hostcfg: Using %s as initial hostconfig\n", rebuild_default_hostcfg);
    for (const rebuild_safe_partition& safe : rebuild_safe_partitions)
        if (rebuild_meta(rec, safe.name, safe.mtd, safe.size) == 0)
            rebuild_log(LOG_NOTICE, "rebuild_hostcfg: tsb for %s not found\n", safe.name);
    return 1;
}
