// The level meter: a 24-cell bar over the top `rangeDb` dB below full scale plus one held-peak
// readout per shown input, redrawn once per captured period after the remaining time.
//
// Precision is deliberate throughout: levels are computed in double, but everything that is
// printed or remembered between calls (the previous level, the readouts, the held position) is
// stored as float, and the bar length is rounded to float before it is turned into cells. The
// float/double mix decides borderline cases (a steady peak may count as a rise or not), so the
// conversions below must stay where they are.
#include <cmath>
#include <cstdint>

#include "console.h"
#include "display.h"
#include "fixed.h"

namespace {

constexpr int kCells = 24;
constexpr double kFullScale16 = 32768.0;
constexpr double kFullScale24 = 8388608.0;
// Value the bar, the previous level and the readouts restart from.
constexpr double kFloorDb = -144.0;
// How the cells between the bar and the held peak position are drawn: not marked.
constexpr char kHeldCell = ' ';

// Bounded text builder: writes what fits (always NUL-terminated when cap > 0) but keeps counting,
// so the caller learns the full length the way snprintf reports it.
struct Text {
    char* out;
    std::size_t cap;
    std::size_t len;
};

void PutChar(Text& t, char c) {
    if (t.len + 1 < t.cap) {
        t.out[t.len] = c;
    }
    ++t.len;
}

void PutString(Text& t, const char* s);

// One number with printf's rounding (and its "-0.0").
void PutNumber(Text& t, float value, int decimals) {
    char text[48];
    FormatFixed(text, value, decimals);
    PutString(t, text);
}

void PutString(Text& t, const char* s) {
    for (; *s != '\0'; ++s) {
        PutChar(t, *s);
    }
}

int Finish(Text& t) {
    if (t.cap != 0) {
        t.out[t.len < t.cap ? t.len : t.cap - 1] = '\0';
    }
    return static_cast<int>(t.len);
}

// Level in dB of a magnitude relative to full scale; 0 gives minus infinity, full scale -0.0.
double LevelDb(double fullScale, int32_t magnitude) {
    return -20.0 * std::log10(fullScale / static_cast<double>(magnitude));
}

// What the meter remembers from one period to the next, for the life of the process.
double Current;   // the bar's level
float Last;       // the level of the period before
float realPeakL;  // held-peak readouts
float realPeakR;
// Highest period peak since the reset and its cell position (see kHeldCell).
float OldPeak;
float PeakBars;

// Only exactly 1 restarts; any other value leaves the state and the flag alone.
void ResetIfAsked(int& meterReset) {
    if (meterReset == 1) {
        Current = kFloorDb;
        Last = static_cast<float>(kFloorDb);
        realPeakL = static_cast<float>(kFloorDb);
        realPeakR = static_cast<float>(kFloorDb);
        OldPeak = 0.0f;
        PeakBars = 0.0f;
        meterReset = 0;
    }
}

// Rise at once when this period is louder than the previous one, otherwise fall a fixed
// step. Comparing with the previous level rather than the bar means a rise can also pull
// the bar down to the new level.
void FollowLevel(double level, float fallDb) {
    if (level > static_cast<double>(Last)) {
        Current = level;
    } else {
        Current -= static_cast<double>(fallDb);
    }
}

void NoteHeldPosition(int32_t peak, double level, float rangeDb, float dbPerCell) {
    if (static_cast<float>(peak) > OldPeak && level < 0.0) {
        OldPeak = static_cast<float>(peak);
        PeakBars = static_cast<float>((static_cast<double>(rangeDb) + level) /
                                      static_cast<double>(dbPerCell));
    }
}

// The head and the 24 cells: lit up to the bar, then blank.
void PutBar(Text& t, float rangeDb, float dbPerCell) {
    PutString(t, "\t -");
    PutNumber(t, rangeDb, 0);
    PutString(t, " dB [");

    int lit = 0;
    if (!(-static_cast<double>(rangeDb) > Current)) {
        const float bar = static_cast<float>((static_cast<double>(rangeDb) + Current) /
                                             static_cast<double>(dbPerCell));
        // Rounded up: any part of a cell lights it. A NaN bar fails both tests: no cell.
        if (bar > static_cast<float>(kCells)) {
            lit = kCells;
        } else if (bar > 0.0f) {
            lit = static_cast<int>(std::ceil(bar));
        }
    }
    int cell = 0;
    for (; cell < lit; ++cell) {
        PutChar(t, '|');
    }
    // Cells up to the held position, then the rest. The held stretch is drawn with the same
    // blank as the rest for now: the line shows the plain bar only.
    for (; cell < kCells && static_cast<float>(cell) < PeakBars; ++cell) {
        PutChar(t, kHeldCell);
    }
    for (; cell < kCells; ++cell) {
        PutChar(t, ' ');
    }
}

// The held-peak readout of each input shown, and the tail.
void PutReadouts(Text& t, const int32_t* holdPeak, bool both, double fullScale) {
    // A hold value of 0 means "nothing held yet in this window": keep the old readout.
    if (holdPeak[0] != 0) {
        realPeakL = static_cast<float>(LevelDb(fullScale, holdPeak[0]));
    }
    if (both && holdPeak[1] != 0) {
        realPeakR = static_cast<float>(LevelDb(fullScale, holdPeak[1]));
    }
    PutString(t, "] ");
    PutNumber(t, realPeakL, 1);
    if (both) {
        PutString(t, " / ");
        PutNumber(t, realPeakR, 1);
    }
    PutString(t, " dB   ");
}

}  // namespace

int FormatMeter(char* out, std::size_t cap, const int32_t* periodPeak, float rangeDb,
                int& meterReset, float fallDb, int sampleBytes, int meterMode,
                const int32_t* holdPeak) {
    const bool both = meterMode == 2;
    const double fullScale = sampleBytes == 3 ? kFullScale24 : kFullScale16;
    // Both inputs together: the mean of the raw magnitudes (not of their dB values), truncated.
    const int32_t peak =
        both ? static_cast<int32_t>(0.5 * periodPeak[1] + 0.5 * periodPeak[0]) : periodPeak[0];
    // Silence yields minus infinity, which never counts as a rise below.
    const double level = peak == 0 ? -HUGE_VAL : LevelDb(fullScale, peak);
    const float dbPerCell = rangeDb / kCells;

    ResetIfAsked(meterReset);
    FollowLevel(level, fallDb);
    NoteHeldPosition(peak, level, rangeDb, dbPerCell);

    Text t{out, cap, 0};
    PutBar(t, rangeDb, dbPerCell);
    PutReadouts(t, holdPeak, both, fullScale);

    Last = static_cast<float>(level);
    // A full-scale period forgets the held position, so the next peak starts a new one.
    if (!(level < 0.0)) {
        OldPeak = 0.0f;
    }
    return Finish(t);
}

void StereoMeter(const int32_t* periodPeak, float rangeDb, int& meterReset, float fallDb,
                 int sampleBytes, int meterMode, const int32_t* holdPeak) {
    char text[kDisplayTextMax];
    const int n = FormatMeter(text, sizeof text, periodPeak, rangeDb, meterReset, fallDb,
                              sampleBytes, meterMode, holdPeak);
    const std::size_t len =
        static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
    ConsoleRedraw(text, len);
}
