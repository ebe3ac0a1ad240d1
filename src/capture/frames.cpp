#include "frames.h"

#include <cmath>

int64_t MaxFrames(int period) {
    return INT64_MAX / period * period;
}

int64_t MaxWholeSeconds(int period, unsigned rate) {
    return MaxFrames(period) / rate;
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
