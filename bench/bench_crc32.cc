// crc32_calc against zlib's crc32 over the same buffers, from 64 bytes to 16 MiB, in one run;
// and the table path alone (what a processor without carry-less multiplication runs).
#include <cstdint>
#include <random>
#include <vector>
#include <zlib.h>

#include <benchmark/benchmark.h>

#include "platform/crc32.h"

namespace {

const std::vector<uint8_t>& bench_bytes()
{
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> v(16u << 20);
        std::mt19937 rng(20200907);
        for (auto& b : v)
            b = static_cast<uint8_t>(rng());
        return v;
    }();
    return bytes;
}

void BM_crc32_calc(benchmark::State& state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    const uint8_t* p = bench_bytes().data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32_calc(0, p, n));
    state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

void BM_crc32_calc_tables(benchmark::State& state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    const uint8_t* p = bench_bytes().data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32_calc_tables(0, p, n));
    state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

void BM_zlib_crc32(benchmark::State& state)
{
    const auto n = static_cast<uInt>(state.range(0));
    const uint8_t* p = bench_bytes().data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0, p, n));
    state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

// Odd start and length: the unaligned head and tail of every call.
void BM_crc32_calc_unaligned(benchmark::State& state)
{
    const auto n = static_cast<uint32_t>(state.range(0)) - 3;
    const uint8_t* p = bench_bytes().data() + 1;
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32_calc(0, p, n));
    state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

// The partition check reads 4096 bytes at a time and chains them.
void BM_crc32_calc_chained_4096(benchmark::State& state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    const uint8_t* p = bench_bytes().data();
    for (auto _ : state) {
        uint32_t crc = 0;
        for (uint32_t off = 0; off < n; off += 4096)
            crc = crc32_calc(crc, p + off, 4096);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

}  // namespace

BENCHMARK(BM_crc32_calc)->RangeMultiplier(4)->Range(64, 16 << 20);
BENCHMARK(BM_zlib_crc32)->RangeMultiplier(4)->Range(64, 16 << 20);
BENCHMARK(BM_crc32_calc_tables)->RangeMultiplier(4)->Range(64, 16 << 20);
BENCHMARK(BM_crc32_calc_unaligned)->RangeMultiplier(16)->Range(64, 16 << 20);
BENCHMARK(BM_crc32_calc_chained_4096)->Arg(1 << 20)->Arg(16 << 20);

BENCHMARK_MAIN();
