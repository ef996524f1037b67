// flashsim-mkdev ROOT N SIZE [ERASESIZE]: creates the emulated device ROOT/dev/mtdN of SIZE
// bytes, all erased (0xFF), and with ERASESIZE its ROOT/dev/mtdN.erasesize file. Sizes are
// decimal or 0x hexadecimal. Exit status 0, 1 when a file cannot be written, 2 for bad arguments.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace {

constexpr const char* mkdev_usage = "usage: flashsim-mkdev ROOT N SIZE [ERASESIZE]\n";

// Decimal, or hexadecimal after "0x" when `hex` allows it; at most `max`.
bool mkdev_number(std::string_view s, bool hex, uint64_t max, uint64_t* out)
{
    unsigned base = 10;
    if (hex && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 16)
        return false;
    uint64_t v = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9'                    ? c - '0'
                : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                      : -1;
        if (d < 0)
            return false;
        v = v * base + static_cast<unsigned>(d);
    }
    if (v > max)
        return false;
    *out = v;
    return true;
}

// Writes `size` bytes: `text` when given, else 0xFF. 0, or 1 after a message.
int mkdev_write(const std::string& path, uint64_t size, const char* text)
{
    static uint8_t erased[65536];
    std::memset(erased, 0xFF, sizeof erased);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "flashsim-mkdev: %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    bool ok = true;
    for (uint64_t done = 0; done < size && ok;) {
        size_t n = size - done < sizeof erased ? static_cast<size_t>(size - done) : sizeof erased;
        ok = std::fwrite(text != nullptr ? static_cast<const void*>(text + done) : erased, 1, n, f) == n;
        done += n;
    }
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "flashsim-mkdev: %s: write failed\n", path.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t n, size, erasesize = 0;
    if (argc < 4 || argc > 5 || argv[1][0] != '/' || !mkdev_number(argv[2], false, 999999999, &n) ||
        (argv[2][0] == '0' && argv[2][1] != '\0') || !mkdev_number(argv[3], true, UINT32_MAX, &size) ||
        (argc == 5 && !mkdev_number(argv[4], true, UINT32_MAX, &erasesize))) {
        std::fputs(mkdev_usage, stderr);
        return 2;
    }
    std::string dev = std::string(argv[1]) + "/dev";
    mkdir(argv[1], 0755);
    mkdir(dev.c_str(), 0755);
    dev += "/mtd" + std::to_string(n);
    if (int r = mkdev_write(dev, size, nullptr); r != 0)
        return r;
    if (argc == 5) {
        std::string text = std::to_string(erasesize) + "\n";
        return mkdev_write(dev + ".erasesize", text.size(), text.c_str());
    }
    return 0;
}
