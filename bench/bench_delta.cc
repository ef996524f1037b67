// bench/bench_delta.cc: expands one delta part body against a source body as the install does,
// from files to a file, so that bench/delta.sh can time it beside xdelta3 -d and bspatch.
//
//   bench_delta SOURCE DELTA-BODY OUT
#include <cstdio>
#include <vector>

#include "nemf/nemf_delta.h"
#include "platform/raii.h"

namespace {

int read_all(const char* path, std::vector<uint8_t>* out)
{
    file_ptr f(std::fopen(path, "rb"));
    if (!f || std::fseek(f.get(), 0, SEEK_END) != 0)
        return -1;
    const long size = std::ftell(f.get());
    if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0)
        return -1;
    out->resize(static_cast<size_t>(size));
    return std::fread(out->data(), 1, out->size(), f.get()) == out->size() ? 0 : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_delta SOURCE DELTA-BODY OUT\n");
        return 2;
    }
    std::vector<uint8_t> source, body;
    if (read_all(argv[1], &source) != 0 || read_all(argv[2], &body) != 0) {
        std::fprintf(stderr, "bench_delta: cannot read the inputs\n");
        return 1;
    }
    nemf_delta_view d;
    int r = nemf_delta_parse(body, &d);
    std::vector<uint8_t> target(r == NEMF_DELTA_OK ? d.target_body_length : 0);
    if (r == NEMF_DELTA_OK)
        r = nemf_delta_expand(d, source, target);
    if (r != NEMF_DELTA_OK) {
        std::fprintf(stderr, "bench_delta: the delta does not expand (%d)\n", r);
        return 1;
    }
    file_ptr out(std::fopen(argv[3], "wb"));
    if (!out || std::fwrite(target.data(), 1, target.size(), out.get()) != target.size() ||
        std::fclose(out.release()) != 0) {
        std::fprintf(stderr, "bench_delta: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
