// The container code over a 16 MiB image: the stream parser (content headers and body CRCs)
// delivered whole and in 64 KiB chunks, and the manifest hash check of its parts, each beside
// its lower bound measured in the same run (the CRC alone, the digest alone).
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "nemf/nemf_manifest.h"
#include "nemf/nemf_stream_parser.h"
#include "nemf/nemf_validate.h"
#include "platform/crc32.h"

namespace {

constexpr uint32_t bench_image_size = 16u << 20;
// Three payloads as a release carries them: kernel, root file system, applications.
constexpr uint32_t bench_payloads[] = {4u << 20, 9u << 20, (3u << 20) - 4096};

struct bench_image {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> part_offsets;
};

const bench_image& bench_make_image()
{
    static const bench_image image = [] {
        bench_image im;
        im.bytes.assign(bench_image_size, 0);
        std::mt19937 rng(1599479985);
        uint32_t off = NEMF_BODY_OFFSET;
        int k = 0;
        for (uint32_t n : bench_payloads) {
            std::vector<uint8_t> body(n);
            for (auto& b : body)
                b = static_cast<uint8_t>(rng());
            std::string name = "part" + std::to_string(k++);
            int r = nemf_part_write(std::span(im.bytes).subspan(off), 0x20, name, {}, body);
            if (r < 0)
                std::abort();
            im.part_offsets.push_back(off);
            off += static_cast<uint32_t>(r);
        }
        im.bytes.resize(off);
        if (nemf_finalize_file(im.bytes, off - NEMF_BODY_OFFSET) < 0)
            std::abort();
        return im;
    }();
    return image;
}

// Parses the image from a buffer, `chunk` bytes per call as the file loader would deliver them.
void bench_parse(const std::vector<uint8_t>& image, uint32_t chunk)
{
    nemf_stream_parser* p = nemf_stream_parser_init(nullptr, image.data());
    uint32_t size = static_cast<uint32_t>(image.size());
    int r = NEMF_SP_MORE;
    for (uint32_t present = 0; r == NEMF_SP_MORE && present < size;) {
        present += size - present < chunk ? size - present : chunk;
        r = nemf_stream_parser_feed(p, present);
    }
    if (r != NEMF_SP_DONE || nemf_stream_parser_get_valid_content_parts(p) != 3)
        std::abort();
    nemf_stream_parser_deinit(p);
}

void BM_stream_parser(benchmark::State& state)
{
    const bench_image& im = bench_make_image();
    const auto chunk = static_cast<uint32_t>(state.range(0));
    for (auto _ : state)
        bench_parse(im.bytes, chunk);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(im.bytes.size()));
}

// The parser's lower bound: one CRC over every byte of the image.
void BM_crc_of_image(benchmark::State& state)
{
    const bench_image& im = bench_make_image();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32_calc(0, im.bytes.data(), static_cast<uint32_t>(im.bytes.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(im.bytes.size()));
}

// A manifest listing the three parts with their digests, as a signature part would carry it.
void bench_fill_manifest(nemf_manifest* m, uint32_t hash_type)
{
    const bench_image& im = bench_make_image();
    std::string text;
    for (size_t i = 0; i < im.part_offsets.size(); ++i) {
        std::span<const uint8_t> part = std::span(im.bytes).subspan(im.part_offsets[i]);
        char digest[NEMF_DIGEST_SIZE];
        if (nemf_manifest_calculate_hash(part, hash_type, digest) != NEMF_MANIFEST_OK)
            std::abort();
        text += std::to_string(i) + ",part" + std::to_string(i) +
                (hash_type == NEMF_HASH_SHA256 ? ",sha256," : ",sha512,") + digest + "\n";
    }
    if (nemf_manifest_parse(m, text) != NEMF_MANIFEST_OK)
        std::abort();
}

void BM_manifest_hash_check(benchmark::State& state)
{
    const bench_image& im = bench_make_image();
    const auto hash_type = static_cast<uint32_t>(state.range(0));
    nemf_manifest m;
    nemf_manifest_init(&m, NEMF_MANIFEST_VERIFICATION_TIME);
    bench_fill_manifest(&m, hash_type);
    for (auto _ : state)
        for (size_t i = 0; i < im.part_offsets.size(); ++i)
            if (nemf_manifest_validate_hash(&m, static_cast<int>(i), std::span(im.bytes).subspan(im.part_offsets[i])) !=
                NEMF_MANIFEST_OK)
                std::abort();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(im.bytes.size()));
    nemf_manifest_deinit(&m);
}

// The hash check's lower bound: one digest over the whole image.
void BM_digest_of_image(benchmark::State& state)
{
    const bench_image& im = bench_make_image();
    const EVP_MD* md = state.range(0) == NEMF_HASH_SHA256 ? EVP_sha256() : EVP_sha512();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state)
        if (EVP_Digest(im.bytes.data(), im.bytes.size(), out, &len, md, nullptr) != 1)
            std::abort();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(im.bytes.size()));
}

}  // namespace

BENCHMARK(BM_stream_parser)->Arg(bench_image_size)->Arg(64 << 10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_crc_of_image)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_manifest_hash_check)->Arg(NEMF_HASH_SHA256)->Arg(NEMF_HASH_SHA512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_digest_of_image)->Arg(NEMF_HASH_SHA256)->Arg(NEMF_HASH_SHA512)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
