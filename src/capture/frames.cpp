#include "frames.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "wav.h"

int64_t MaxFrames(int period) {
    return INT64_MAX / period * period;
}

int64_t MaxWholeSeconds(int period, unsigned rate) {
    return MaxFrames(period) / rate;
}

int64_t FileFrames(unsigned blockAlign) {
    return (int64_t{UINT32_MAX} - kWavHeaderBytes) / blockAlign;
}

bool QUANTIZE(int period, unsigned rate, const float* duration, int64_t* frames) {
    const float product = static_cast<float>(rate) * *duration;
    if (!(product > 0.0f)) {
        *frames = 0;
        return true;
    }
    // The length is the smallest number of periods n >= 1 whose frame count, seen in
    // single precision, is not below the product. The float conversion is monotonic, so
    // it is enough to test against the largest representable length, then find n from
    // an estimate instead of counting up period by period.
    const int64_t maxFrames = MaxFrames(period);
    if (!(product < static_cast<float>(maxFrames))) {
        return false;
    }
    auto covers = [&](int64_t n) { return !(product > static_cast<float>(n * period)); };
    int64_t n = static_cast<int64_t>(std::ceil(static_cast<double>(product) / period));
    if (n < 1) {
        n = 1;
    }
    while (!covers(n)) {
        ++n;
    }
    while (n > 1 && covers(n - 1)) {
        --n;
    }
    *frames = n * period;
    return true;
}

long NewTime() {
    return static_cast<long>(time(nullptr)) - kNamingEpoch;
}

std::string GeneratedName(int input, long seconds) {
    char name[64];
    snprintf(name, sizeof name, "rec_chan_%li_%li.wav", static_cast<long>(input), seconds);
    return name;
}

std::string ContinuationName(const std::string& first, int number) {
    const size_t slash = first.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = first.rfind('.');
    // A leading dot names a hidden file, not an extension.
    if (dot == std::string::npos || dot <= base) {
        dot = first.size();
    }
    return first.substr(0, dot) + "-" + std::to_string(number) + first.substr(dot);
}
