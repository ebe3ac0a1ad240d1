// Fuzzes the console line: arbitrary sequences of level meter calls and remaining-time texts.
//
// The meter keeps its state in statics between calls, so every input starts with a reset,
// as a recording does. Each meter text is checked for its shape (head, 24 cells of a bar,
// readouts, tail, nothing that breaks the line) and its readouts against the held peaks.
// Then the same sequence is played again from another reset into buffers of every size:
// it must give the same texts, cut to the buffer, which also shows that a reset forgets
// everything the first run left behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "display.h"
#include "kit.h"

namespace {

// The meter as the manual page describes it.
constexpr float kRange = kit::kMeterRangeDb;
constexpr float kFall = kit::kMeterFallDb;
constexpr int kCells = kit::kMeterCells;
constexpr size_t kHeadLen = sizeof kit::kMeterHead - 1;

[[noreturn]] void Fail(const char* what, const std::string& text) {
    fprintf(stderr, "display_fuzz: %s in \"", what);
    for (const char c : text) {
        fprintf(stderr, c == '\t' ? "\\t" : c == '\r' ? "\\r" : c == '\n' ? "\\n" : "%c", c);
    }
    fprintf(stderr, "\"\n");
    abort();
}

void Check(bool ok, const char* what, const std::string& text) {
    if (!ok) {
        Fail(what, text);
    }
}

// One meter call's inputs and what came out.
struct MeterCall {
    int32_t period[2];
    int32_t hold[2];
    int reset;
    float fall;
    int sampleBytes;
    int mode;
    size_t replayCap;  // buffer size when the sequence is played again
    std::string text;
};

// The readout of a held peak, as the meter prints it: dBFS in single precision.
float HeldDb(int32_t hold, int sampleBytes) {
    const double fullScale = kit::FullScale(static_cast<unsigned>(sampleBytes));
    return static_cast<float>(-20.0 * std::log10(fullScale / static_cast<double>(hold)));
}

std::string Printed(const char* format, float value) {
    char buf[64];
    snprintf(buf, sizeof buf, format, static_cast<double>(value));
    return buf;
}

// The readouts the meter must show: each one the level of the last non-zero hold value,
// since the last reset.
struct Readouts {
    float left = -144.0f;
    float right = -144.0f;
};

void CheckMeterText(const MeterCall& c, int n, const Readouts& r) {
    const std::string& t = c.text;
    Check(n >= 0 && static_cast<size_t>(n) == t.size(), "length returned is not the text's", t);
    Check(t.size() < kDisplayTextMax, "longer than the display buffers", t);
    Check(t.find('\n') == std::string::npos, "a newline breaks the console line", t);
    // However many cells are lit (from the left), the rest is the manual's text.
    int lit = 0;
    while (lit < kCells && kHeadLen + lit < t.size() && t[kHeadLen + lit] == '|') {
        ++lit;
    }
    const std::string right = Printed("%.1f", r.right);
    Check(t == kit::MeterText(lit, Printed("%.1f", r.left), c.mode == 2 ? right.c_str() : nullptr),
          "head, bar, readouts or tail", t);
}

void CheckClock(int32_t a, int32_t b, unsigned rate, size_t cap) {
    char full[kDisplayTextMax];
    const int n = FormatClock(full, sizeof full, a, b, rate);
    const std::string t(full);
    Check(n >= 0 && static_cast<size_t>(n) == t.size(), "clock length returned", t);
    Check(t.size() < kDisplayTextMax, "clock longer than the display buffers", t);
    Check(t.compare(0, 7, "\rrem = ") == 0, "clock head", t);
    Check(t.size() >= 11 && t.compare(t.size() - 4, 4, " sec") == 0, "clock tail", t);
    Check(t.find('\n') == std::string::npos, "a newline in the clock", t);
    // The sum wraps in 32 bits; the division is in single precision.
    const auto frames = static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    const float seconds = static_cast<float>(frames) / static_cast<float>(rate);
    Check(t == kit::ClockText(static_cast<double>(seconds)), "clock value", t);

    // Into a smaller buffer: the same text, cut and terminated.
    std::vector<char> small(cap + 1, '#');
    const int m = FormatClock(cap == 0 ? nullptr : small.data(), cap, a, b, rate);
    Check(m == n, "clock length depends on the buffer", t);
    if (cap != 0) {
        const size_t kept = t.size() < cap ? t.size() : cap - 1;
        Check(memcmp(small.data(), full, kept) == 0 && small[kept] == '\0', "clock cut wrongly", t);
    }
    Check(small[cap] == '#', "clock wrote past its buffer", t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<MeterCall> calls;
    Readouts readouts;
    bool first = true;
    while (in.remaining_bytes() > 0 && calls.size() < 256) {
        if (!first && in.ConsumeIntegralInRange(0, 3) == 0) {
            const auto a = in.ConsumeIntegral<int32_t>();
            const auto b = in.ConsumeIntegral<int32_t>();
            const auto rate = in.ConsumeIntegral<unsigned>();
            CheckClock(a, b, rate, in.ConsumeIntegralInRange<size_t>(0, kDisplayTextMax));
            continue;
        }
        MeterCall c{};
        c.sampleBytes = in.ConsumeBool() ? 3 : 2;
        c.mode = in.ConsumeBool() ? 2 : 1;
        const auto fullScale = static_cast<int32_t>(kit::FullScale(c.sampleBytes));
        for (int i = 0; i < 2; ++i) {
            c.period[i] = in.ConsumeIntegralInRange<int32_t>(0, fullScale);
            c.hold[i] = in.ConsumeIntegralInRange<int32_t>(0, fullScale);
        }
        // Mostly no reset; sometimes a reset, or a value that must not count as one.
        const int pick = in.ConsumeIntegralInRange(0, 7);
        c.reset = first || pick == 0 ? 1 : pick == 1 ? in.ConsumeIntegral<int>() : 0;
        c.fall = in.ConsumeBool() ? in.ConsumeFloatingPointInRange(0.0f, 90.0f) : kFall;
        c.replayCap = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, kDisplayTextMax)
                                       : kDisplayTextMax;
        first = false;

        if (c.reset == 1) {
            readouts = Readouts();
        }
        if (c.hold[0] != 0) {
            readouts.left = HeldDb(c.hold[0], c.sampleBytes);
        }
        if (c.mode == 2 && c.hold[1] != 0) {
            readouts.right = HeldDb(c.hold[1], c.sampleBytes);
        }

        char text[kDisplayTextMax];
        int flag = c.reset;
        const int n = FormatMeter(text, sizeof text, c.period, kRange, flag, c.fall, c.sampleBytes,
                                  c.mode, c.hold);
        c.text = text;
        Check(flag == (c.reset == 1 ? 0 : c.reset), "reset flag", c.text);
        CheckMeterText(c, n, readouts);
        calls.push_back(c);
    }

    // Played again from a reset, each call into a buffer of its own size (whole, cut, or
    // none at all), with a guard byte past it.
    for (size_t i = 0; i < calls.size(); ++i) {
        const MeterCall& c = calls[i];
        const size_t cap = c.replayCap;
        std::vector<char> buf(cap + 1, '#');
        int flag = i == 0 ? 1 : c.reset;
        const int n = FormatMeter(cap == 0 ? nullptr : buf.data(), cap, c.period, kRange, flag,
                                  c.fall, c.sampleBytes, c.mode, c.hold);
        Check(n == static_cast<int>(c.text.size()), "replay length differs", c.text);
        if (cap != 0) {
            const size_t kept = c.text.size() < cap ? c.text.size() : cap - 1;
            Check(memcmp(buf.data(), c.text.data(), kept) == 0 && buf[kept] == '\0',
                  "replay after a reset differs", c.text);
        }
        Check(buf[cap] == '#', "meter wrote past its buffer", c.text);
    }
    return 0;
}
