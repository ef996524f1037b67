#include "tools/flashsim/flashsim_delay.h"

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <unistd.h>

#include "tools/flashsim/flashsim_core.h"

namespace {

constexpr const char* fsim_delay_names[] = {"before:fork", "before:unlink", "after:unlink"};
constexpr int fsim_delay_max_rules = 8;

struct fsim_delay_rule {
    int at;
    uint64_t n;      // 1-based
    uint64_t seen;   // calls so far in this process
};

// Plain data, zero before any constructor runs.
struct {
    bool parsed;
    pid_t pid;   // whose calls `seen` counts; a forked child starts again
    int count;
    fsim_delay_rule rules[fsim_delay_max_rules];
} fsim_delay;

// Reads "<when>:<call>:<n>[,...]" once; malformed rules are reported and skipped.
void fsim_delay_parse()
{
    fsim_delay.parsed = true;
    const char* text = std::getenv("FLASHSIM_DELAY");
    std::string_view rest = text != nullptr ? text : "";
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        size_t colon = item.rfind(':');
        fsim_delay_rule r{-1, 0, 0};
        for (int i = 0; i < static_cast<int>(std::size(fsim_delay_names)); ++i)
            if (colon != std::string_view::npos && item.substr(0, colon) == fsim_delay_names[i])
                r.at = i;
        if (r.at < 0 || !fsim_parse_number(item.substr(colon + 1), &r.n) || r.n == 0 ||
            fsim_delay.count == fsim_delay_max_rules) {
            fsim_line l{};
            fsim_line_str(&l, "flashsim: FLASHSIM_DELAY: ignoring rule ");
            fsim_line_mem(&l, item.data(), item.size());
            fsim_line_str(&l, "\n");
            fsim_sys_write(2, l.buf, l.len);
            continue;
        }
        fsim_delay.rules[fsim_delay.count++] = r;
    }
}

}  // namespace

void fsim_delay_point(int at)
{
    if (!fsim_active())
        return;
    if (!fsim_delay.parsed)
        fsim_delay_parse();
    if (fsim_delay.count == 0)
        return;
    if (fsim_delay.pid != getpid()) {
        fsim_delay.pid = getpid();
        for (int i = 0; i < fsim_delay.count; ++i)
            fsim_delay.rules[i].seen = 0;
    }
    bool hit = false;
    for (int i = 0; i < fsim_delay.count; ++i)
        if (fsim_delay.rules[i].at == at && ++fsim_delay.rules[i].seen == fsim_delay.rules[i].n)
            hit = true;
    if (hit)
        fsim_stall_wait(-1, 0, 0, fsim_delay_names[at]);
}
