// Throughput of the per-sample work beside memcpy of the same bytes in the same run, so
// the ratio to the machine's copy speed shows how close the loops are to the memory
// limit. Every figure counts the bytes of samples read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "samples.h"

namespace {

// Random bytes: no branch predictor or zero page flatters the loops.
std::vector<uint8_t> Signal(size_t bytes) {
    std::vector<uint8_t> v(bytes);
    std::mt19937 rng(42);
    for (auto& b : v) {
        b = static_cast<uint8_t>(rng());
    }
    return v;
}

// Frames: one 4096-frame period, and a few MiB of audio.
void Sizes(benchmark::internal::Benchmark* b) {
    b->Arg(4096)->Arg(1 << 20);
}

void Report(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

// One input's run of samples, as measured for mono files.
void BM_CheckPeak(benchmark::State& state, unsigned sb) {
    const int frames = static_cast<int>(state.range(0));
    const auto in = Signal(frames * sb);
    for (auto _ : state) {
        // The measuring loop without the once-per-call clipping warning the random
        // signal would print.
        benchmark::DoNotOptimize(MaxMagnitude(in.data(), frames, sb));
    }
    Report(state, in.size());
}

// Both inputs of interleaved frames, as read from the device.
void BM_PeakPair(benchmark::State& state, unsigned sb) {
    const int frames = static_cast<int>(state.range(0));
    const auto in = Signal(2 * frames * sb);
    int32_t peaks[2];
    for (auto _ : state) {
        MaxMagnitudePair(in.data(), frames, sb, peaks);
        benchmark::DoNotOptimize(peaks);
    }
    Report(state, in.size());
}

void BM_Interleave(benchmark::State& state, int sb) {
    const int frames = static_cast<int>(state.range(0));
    const auto left = Signal(frames * sb);
    const auto right = Signal(left.size());
    std::vector<uint8_t> out(2 * left.size());
    for (auto _ : state) {
        Interleave(frames, sb, left.data(), right.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Report(state, out.size());
}

void BM_Deinterleave(benchmark::State& state, int sb, bool both) {
    const int frames = static_cast<int>(state.range(0));
    const auto in = Signal(2 * frames * sb);
    std::vector<uint8_t> left(frames * sb), right(left.size());
    for (auto _ : state) {
        Deinterleave(frames, sb, in.data(), left.data(), both ? right.data() : nullptr);
        benchmark::DoNotOptimize(left.data());
        benchmark::ClobberMemory();
    }
    Report(state, in.size());
}

// The copy of a stereo period's bytes (2 x frames x width): the machine's limit.
void BM_Memcpy(benchmark::State& state, int sb) {
    const auto in = Signal(2 * state.range(0) * sb);
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Report(state, in.size());
}

}  // namespace

BENCHMARK_CAPTURE(BM_Memcpy, s16, 2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Memcpy, s24, 3)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_CheckPeak, s16, 2u)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_CheckPeak, s24, 3u)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_PeakPair, s16, 2u)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_PeakPair, s24, 3u)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Interleave, s16, 2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Interleave, s24, 3)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Deinterleave, s16_both, 2, true)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Deinterleave, s24_both, 3, true)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Deinterleave, s16_left, 2, false)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Deinterleave, s24_left, 3, false)->Apply(Sizes);

BENCHMARK_MAIN();
