#include "timeline.h"

namespace {

constexpr int64_t kSecondNs = 1000000000;

int64_t FramesIn(const Timeline& t, int64_t ns) {
    // In microseconds first: a day at 96 kHz stays far inside 64 bits.
    return ns / 1000 * t.rate / 1000000;
}

// Whether the timeline up to `frame` runs ahead of the time since the capture started by
// more than a period: a source faster than real time, which no clock can bound.
bool AheadOfClock(const Timeline& t, int64_t frame, int64_t nowNs) {
    return frame > FramesIn(t, nowNs - t.startNs) + t.period;
}

}  // namespace

void NoteCaptureTime(Timeline& t, int64_t frame, int64_t avail, int64_t ringFrames, int64_t nowNs) {
    if (avail < 0 || avail + t.period >= ringFrames) {
        return;
    }
    t.anchorNs = nowNs - avail * kSecondNs / t.rate;
    t.anchorFrame = frame;
}

int64_t LostFrames(Timeline& t, int64_t lastFrameRead, int restOfPeriod, int64_t nowNs) {
    int64_t lost = restOfPeriod;
    if (t.anchorNs >= 0 && !AheadOfClock(t, lastFrameRead, nowNs)) {
        const int64_t passed = FramesIn(t, nowNs - t.anchorNs);
        lost = passed - (lastFrameRead - t.anchorFrame);
        lost = lost > 0 ? lost : 0;
    }
    // The device starts again with the next read.
    t.anchorNs = nowNs;
    t.anchorFrame = lastFrameRead + lost;
    return lost;
}
