// bench_zcrc FILE:LENGTH...: zlib's CRC-32 of the first LENGTH bytes of each FILE, printed as
// "%08x FILE". The checker a user would write by hand to compare partitions with recorded
// CRCs; run.sh times it beside `kru verify`. Exit status 1 when a file cannot be read.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

int main(int argc, char** argv)
{
    std::vector<unsigned char> buf(1 << 16);
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        size_t colon = arg.rfind(':');
        std::string path = arg.substr(0, colon);
        unsigned long long left = colon == std::string::npos ? ~0ull : std::strtoull(arg.c_str() + colon + 1, nullptr, 0);
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) {
            std::perror(path.c_str());
            status = 1;
            continue;
        }
        uLong crc = crc32(0, Z_NULL, 0);
        while (left > 0) {
            size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
            size_t got = std::fread(buf.data(), 1, want, f);
            if (got == 0)
                break;
            crc = crc32(crc, buf.data(), static_cast<uInt>(got));
            left -= got;
        }
        if (std::ferror(f))
            status = 1;
        std::fclose(f);
        std::printf("%08lx %s\n", crc, path.c_str());
    }
    return status;
}
