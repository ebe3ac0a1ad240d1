// Where the capture stands in time, so that the silence standing for what an overrun or a
// suspend lost is measured by the clock and never exceeds it. Plain arithmetic on the
// monotonic clock's nanoseconds, handed in by the caller.
#pragma once

#include <cstdint>

struct Timeline {
    unsigned rate = 0;
    int period = 0;
    int64_t startNs = 0;  // when the capture started
    // The capture time of timeline frame `anchorFrame`; -1 while unknown.
    int64_t anchorNs = -1;
    int64_t anchorFrame = 0;
};

// Notes, after a read, that timeline frame `frame` is the next to come and that the device
// holds `avail` frames already captured, in a ring of `ringFrames`: so `frame` was captured
// `avail` frames before `nowNs`. A source whose ring is (nearly) full is not paced by a
// clock (a file, a fast test device): then nothing is noted.
void NoteCaptureTime(Timeline& t, int64_t frame, int64_t avail, int64_t ringFrames, int64_t nowNs);

// The frames of silence an overrun or a suspend cost when the device restarts at `nowNs`
// after delivering the timeline up to `lastFrameRead`: the time that passed since that
// frame was captured, never more. A source faster than real time, or one whose capture
// time is not known yet, lost by its own timeline the rest of the period
// (`restOfPeriod`). The restart becomes the new anchor.
int64_t LostFrames(Timeline& t, int64_t lastFrameRead, int restOfPeriod, int64_t nowNs);
