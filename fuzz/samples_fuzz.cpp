// Fuzzes the per-sample work on arbitrary bytes: the peak measurements and the stereo frame
// layout, against plain byte-by-byte versions (samples read with the tests' kit). The real ones are
// vectorised and work a word or a group of samples at a time, with a tail for what is left over, so
// the lengths matter as much as the values: every buffer is allocated to the exact byte, so that
// any read or write past it is caught.
//
// Input: one flags byte, three bytes each for two starting peaks, then the samples.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kit.h"
#include "samples.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "samples_fuzz: %s\n", what);
    abort();
}

void Check(bool ok, const char* what) {
    if (!ok) {
        Fail(what);
    }
}

// A heap buffer of exactly `size` bytes, placed `skew` bytes past the start of its
// allocation so the loads also run on addresses of every alignment; its end is the end of
// the allocation.
class Exact {
   public:
    Exact(size_t size, size_t skew) : base_(static_cast<uint8_t*>(malloc(size + skew))) {
        // The sanitizer's malloc(0) is a real allocation with no byte in bounds.
        if (base_ == nullptr) {
            Fail("out of memory");
        }
        data_ = base_ + skew;
    }
    Exact(const Exact&) = delete;
    Exact& operator=(const Exact&) = delete;
    ~Exact() { free(base_); }
    uint8_t* data() { return data_; }

   private:
    uint8_t* base_;
    uint8_t* data_ = nullptr;
};

// Largest magnitude of the samples first, first + step, ... below end.
int32_t RefMax(const uint8_t* p, size_t first, size_t step, size_t end, unsigned sampleBytes) {
    int32_t best = 0;
    for (size_t i = first; i < end; i += step) {
        const int32_t v = kit::LeSample(p + i * sampleBytes, sampleBytes);
        const int32_t m = v < 0 ? -v : v;
        best = m > best ? m : best;
    }
    return best;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) {
        return 0;
    }
    const uint8_t flags = data[0];
    const unsigned sb = (flags & 1) != 0 ? 3 : 2;
    const size_t skew = (flags >> 1) & 7;
    const bool leftOnly = (flags & 0x10) != 0;
    const int channel = (flags >> 5) & 1;
    const auto startRec = static_cast<int32_t>(kit::Le(data + 1, 3));
    const auto startPeriod = static_cast<int32_t>(kit::Le(data + 4, 3));
    const uint8_t* bytes = data + 7;
    const size_t len = size - 7;

    // Peaks over a run of mono samples.
    const size_t count = len / sb;
    {
        Exact buf(count * sb, skew);
        memcpy(buf.data(), bytes, count * sb);
        const int32_t want = RefMax(buf.data(), 0, 1, count, sb);
        Check(MaxMagnitude(buf.data(), static_cast<int>(count), sb) == want, "MaxMagnitude");
        Check(want <= FullScale(sb), "a magnitude above full scale");

        // CheckPeak raises only the lane of its input, and only upwards.
        int32_t rec[2] = {-11, -12};
        int32_t period[2] = {-21, -22};
        rec[channel] = startRec;
        period[channel] = startPeriod;
        const bool clipped =
            CheckPeak(channel, static_cast<int>(count), sb, rec, buf.data(), period);
        const int32_t raised = count == 0 ? 0 : want;
        Check(clipped == (raised >= FullScale(sb) - 1), "CheckPeak clipping: the top two codes");
        Check(rec[channel] == (startRec > raised ? startRec : raised), "CheckPeak record peak");
        Check(period[channel] == (startPeriod > raised ? startPeriod : raised),
              "CheckPeak period peak");
        Check(rec[1 - channel] == -11 - (1 - channel) && period[1 - channel] == -21 - (1 - channel),
              "CheckPeak touched the other input");
    }

    // Nothing to measure: nothing is read and nothing raised.
    {
        int32_t rec[2] = {5, 6};
        int32_t period[2] = {7, 8};
        uint8_t dummy[1] = {0x80};
        Check(MaxMagnitude(dummy, 0, sb) == 0 && MaxMagnitude(dummy, -1 - flags, sb) == 0,
              "MaxMagnitude of no samples");
        Check(!CheckPeak(channel, -static_cast<int>(flags), sb, rec, dummy, period) &&
                  rec[0] == 5 && rec[1] == 6 && period[0] == 7 && period[1] == 8,
              "CheckPeak of no samples");
    }

    // Stereo frames: both inputs in one pass, or one of them.
    const size_t frames = len / (2 * sb);
    const size_t frameBytes = frames * 2 * sb;
    {
        Exact buf(frameBytes, skew);
        memcpy(buf.data(), bytes, frameBytes);
        const int32_t want0 = RefMax(buf.data(), 0, 2, 2 * frames, sb);
        const int32_t want1 = RefMax(buf.data(), 1, 2, 2 * frames, sb);
        int32_t pair[2] = {-1, -1};
        MaxMagnitudePair(buf.data(), static_cast<int>(frames), sb, pair);
        Check(pair[0] == want0 && pair[1] == want1, "MaxMagnitudePair");
        Check(MaxMagnitudeOfInput(buf.data(), static_cast<int>(frames), sb, 0) == want0,
              "MaxMagnitudeOfInput 1");
        Check(MaxMagnitudeOfInput(buf.data(), static_cast<int>(frames), sb, 1) == want1,
              "MaxMagnitudeOfInput 2");

        // Split, compared byte by byte.
        Exact left(frames * sb, skew);
        Exact right(frames * sb, (skew + 3) & 7);
        Deinterleave(static_cast<int>(frames), static_cast<int>(sb), buf.data(), left.data(),
                     leftOnly ? nullptr : right.data());
        for (size_t i = 0; i < frames; ++i) {
            Check(memcmp(left.data() + i * sb, buf.data() + 2 * i * sb, sb) == 0,
                  "Deinterleave input 1");
            Check(leftOnly || memcmp(right.data() + i * sb, buf.data() + (2 * i + 1) * sb, sb) == 0,
                  "Deinterleave input 2");
        }
        // The split runs measure as the inputs of the frames did.
        Check(MaxMagnitude(left.data(), static_cast<int>(frames), sb) == want0,
              "split input 1 measures differently");
        Check(leftOnly || MaxMagnitude(right.data(), static_cast<int>(frames), sb) == want1,
              "split input 2 measures differently");
    }

    // Interleave two runs, then split them back.
    {
        const size_t run = frames * sb;
        Exact left(run, skew);
        Exact right(run, 7 - skew);
        memcpy(left.data(), bytes, run);
        memcpy(right.data(), bytes + run, run);
        Exact out(2 * run, (skew + 5) & 7);
        Interleave(static_cast<int>(frames), static_cast<int>(sb), left.data(), right.data(),
                   out.data());
        for (size_t i = 0; i < frames; ++i) {
            Check(memcmp(out.data() + 2 * i * sb, left.data() + i * sb, sb) == 0,
                  "Interleave input 1");
            Check(memcmp(out.data() + (2 * i + 1) * sb, right.data() + i * sb, sb) == 0,
                  "Interleave input 2");
        }
        Exact back0(run, 0);
        Exact back1(run, 1);
        Deinterleave(static_cast<int>(frames), static_cast<int>(sb), out.data(), back0.data(),
                     back1.data());
        Check(memcmp(back0.data(), left.data(), run) == 0 &&
                  memcmp(back1.data(), right.data(), run) == 0,
              "Interleave then Deinterleave is not the identity");
    }

    // No frames: nothing is read or written.
    {
        uint8_t in[1] = {1}, l[1] = {2}, r[1] = {3}, o[1] = {4};
        Interleave(0, static_cast<int>(sb), l, r, o);
        Deinterleave(-1, static_cast<int>(sb), in, l, r);
        Check(in[0] == 1 && l[0] == 2 && r[0] == 3 && o[0] == 4, "zero frames wrote");
    }
    return 0;
}
