// Throughput of the per-sample work beside memcpy of the same bytes, so the ratio to the
// machine's copy speed shows how close the loops are to the memory limit.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "samples.h"

namespace {

// Tone plus noise, so no branch predictor or zero page flatters the loops.
std::vector<uint8_t> Signal(size_t bytes) {
    std::vector<uint8_t> v(bytes);
    std::mt19937 rng(42);
    for (size_t i = 0; i < bytes; ++i) {
        v[i] = static_cast<uint8_t>(rng());
    }
    return v;
}

// Bytes per input: one 4096-frame period, and a few MiB.
constexpr int64_t kSizes[] = {4096, 1 << 20};

void BM_CheckPeak(benchmark::State& state, unsigned sampleBytes) {
    const int count = static_cast<int>(state.range(0));
    const auto in = Signal(static_cast<size_t>(count) * sampleBytes);
    for (auto _ : state) {
        // The measuring loop itself; the random signal clips, and the once-per-call
        // warning would only add console time to the figure.
        const int32_t m = MaxMagnitude(in.data(), count, sampleBytes);
        benchmark::DoNotOptimize(m);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

void BM_Interleave(benchmark::State& state, int sampleBytes) {
    const int frames = static_cast<int>(state.range(0));
    const auto left = Signal(static_cast<size_t>(frames) * sampleBytes);
    const auto right = Signal(left.size());
    std::vector<uint8_t> out(2 * left.size());
    for (auto _ : state) {
        Interleave(frames, sampleBytes, left.data(), right.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}

void BM_Memcpy(benchmark::State& state, int sampleBytes) {
    const auto in = Signal(static_cast<size_t>(state.range(0)) * sampleBytes);
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int64_t s : kSizes) {
        b->Arg(s);
    }
}

}  // namespace

BENCHMARK_CAPTURE(BM_CheckPeak, s16, 2u)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_CheckPeak, s24, 3u)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Memcpy, s16, 2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Memcpy, s24, 3)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Interleave, s16, 2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Interleave, s24, 3)->Apply(Sizes);

BENCHMARK_MAIN();
