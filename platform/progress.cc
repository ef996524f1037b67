#include "platform/progress.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

// Save the cursor; go back to it and clear to the end of the line; autowrap off and on again
// around the text, so that a long line is cut at the right edge instead of scrolling.
constexpr char seq_save[] = "\0337";
constexpr char seq_back[] = "\0338\033[K";
constexpr char seq_nowrap[] = "\033[?7l";
constexpr char seq_wrap[] = "\033[?7h";

// Redraws closer together than this are skipped: the line is for a person to read, and each
// draw is a write to the terminal in the middle of the flash loop.
constexpr double redraw_interval = 0.25;

struct progress_state {
    bool open = false;    // a phase on a terminal
    bool shown = false;   // the line is on the screen, the cursor saved before it
    char device[24] = {};
    char phase[16] = {};
    uint64_t total = 0;
    uint64_t done = 0;
    double started = 0;
    double drawn_at = 0;
    int drawn_percent = -1;
};
progress_state state;

double now_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void put(const char* s, size_t len)
{
    int saved = errno;
    while (len > 0) {
        ssize_t n = ::write(2, s, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        s += n;
        len -= static_cast<size_t>(n);
    }
    errno = saved;
}

int percent_of(uint64_t done, uint64_t total)
{
    if (total == 0 || done >= total)
        return 100;
    return static_cast<int>(done * 100 / total);
}

// The whole redraw goes out in one write, so that the terminal never shows half of it.
void draw(double now)
{
    char text[96];
    int n = progress_format(text, sizeof text, state.device, state.phase, state.done, state.total, now - state.started);
    if (n < 0)
        return;
    char out[160];
    int len = std::snprintf(out, sizeof out, "%s%s%s%s", state.shown ? seq_back : seq_save, seq_nowrap, text, seq_wrap);
    if (len <= 0 || len >= static_cast<int>(sizeof out))
        return;
    put(out, static_cast<size_t>(len));
    state.shown = true;
    state.drawn_at = now;
    state.drawn_percent = percent_of(state.done, state.total);
}

bool terminal_wanted()
{
    if (!isatty(2))
        return false;
    const char* term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}

}  // namespace

int progress_format(char* out, int size, const char* device, const char* phase, uint64_t done, uint64_t total,
                    double seconds)
{
    const int percent = percent_of(done, total);
    if (seconds <= 0)
        return std::snprintf(out, static_cast<size_t>(size), "%s %s %3d%%", device, phase, percent);
    const double rate = static_cast<double>(done) / (1024.0 * 1024.0) / seconds;
    return std::snprintf(out, static_cast<size_t>(size), "%s %s %3d%% %.1f MiB/s", device, phase, percent, rate);
}

void progress_begin(const char* device, const char* phase, uint64_t total)
{
    progress_end();
    if (!terminal_wanted())
        return;
    const char* base = std::strrchr(device, '/');
    std::snprintf(state.device, sizeof state.device, "%s", base != nullptr ? base + 1 : device);
    std::snprintf(state.phase, sizeof state.phase, "%s", phase);
    state.total = total;
    state.done = 0;
    state.open = true;
    state.started = now_seconds();
    draw(state.started);
}

void progress_advance(uint64_t bytes)
{
    if (!state.open)
        return;
    state.done += bytes;
    const double now = now_seconds();
    if (state.shown && (now - state.drawn_at < redraw_interval ||
                        percent_of(state.done, state.total) == state.drawn_percent))
        return;
    draw(now);
}

void progress_phase(const char* phase)
{
    if (!state.open || std::strncmp(state.phase, phase, sizeof state.phase) == 0)
        return;
    std::snprintf(state.phase, sizeof state.phase, "%s", phase);
    draw(now_seconds());
}

void progress_hide()
{
    if (!state.shown)
        return;
    put(seq_back, sizeof seq_back - 1);
    state.shown = false;
}

void progress_end()
{
    progress_hide();
    state = progress_state{};
}

bool progress_active()
{
    return state.open;
}
