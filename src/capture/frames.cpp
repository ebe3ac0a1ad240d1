#include "frames.h"

#include <cmath>
#include <cstdio>
#include <ctime>

int32_t MaxFrames(int period, unsigned blockAlign) {
    const int64_t byCount = INT32_MAX;
    // RIFF size = 36 + data size must fit in 32 bits.
    const int64_t byHeader = (int64_t{UINT32_MAX} - 36) / int64_t{blockAlign};
    const int64_t limit = byCount < byHeader ? byCount : byHeader;
    return static_cast<int32_t>(limit / period * period);
}

long MaxWholeSeconds(int period, unsigned rate, unsigned blockAlign) {
    return static_cast<long>(MaxFrames(period, blockAlign) / rate);
}

bool QUANTIZE(int period, unsigned rate, const float* duration, int32_t* frames,
              unsigned blockAlign) {
    const float product = static_cast<float>(rate) * *duration;
    if (!(product > 0.0f)) {
        *frames = 0;
        return true;
    }
    // The length is the smallest number of periods n >= 1 whose frame count, seen in
    // single precision, is not below the product. The float conversion is monotonic, so
    // it is enough to test against the largest representable length, then find n from
    // an estimate instead of counting up period by period.
    const int32_t maxFrames = MaxFrames(period, blockAlign);
    if (product > static_cast<float>(maxFrames)) {
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
    *frames = static_cast<int32_t>(n * period);
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
