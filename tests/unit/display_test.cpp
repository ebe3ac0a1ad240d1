// Tests of the console line: the remaining-time text and the level meter.
//
// The meter keeps its state in statics that live for the whole test process, so every sequence
// below starts with a reset call (meterReset = 1), exactly as a recording does.
#include "display.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "console.h"
#include "fixed.h"
#include "kit.h"

namespace {

// The meter's range and fall as the manual page gives them; whole texts come from
// kit::MeterText.
constexpr float kRange = kit::kMeterRangeDb;
constexpr float kFall = kit::kMeterFallDb;
using kit::MeterText;

struct MeterArgs {
    int mode = 1;
    int sampleBytes = 2;
    float range = kRange;
    float fall = kFall;
};

// One meter call through FormatMeter; also checks that the returned length matches the text.
std::string Meter(int32_t peakL, int32_t peakR, int32_t holdL, int32_t holdR, int& reset,
                  const MeterArgs& args = MeterArgs()) {
    const int32_t period[2] = {peakL, peakR};
    const int32_t hold[2] = {holdL, holdR};
    char text[kDisplayTextMax];
    const int n = FormatMeter(text, sizeof text, period, args.range, reset, args.fall,
                              args.sampleBytes, args.mode, hold);
    EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(text));
    return std::string(text);
}

// One row of a meter sequence: the inputs of a call and the text it must produce.
struct Step {
    int32_t peakL, peakR, holdL, holdR;
    int cells;
    const char* left;
    const char* right = nullptr;  // only in the two-input mode
};

// Calls from a fresh reset, the whole text of every call compared.
struct Sequence {
    const char* name;
    MeterArgs args;
    std::vector<Step> steps;
    std::string head = kit::kMeterHead;
};

// ---------------------------------------------------------------------------------------------
// Level meter

TEST(MeterTest, SequencesFromAFreshReset) {
    const MeterArgs both{.mode = 2}, wide{.sampleBytes = 3}, wideBoth{.mode = 2, .sampleBytes = 3};
    const Sequence cases[] = {
        {"16-bit rises, falls and holds its readout",
         {},
         {
             {16384, 0, 0, 0, 21, "-144.0"},  // rise above the reset value
             // Same level, its float level not below the double one: no rise, falls 6 cells.
             {16384, 0, 16384, 0, 15, "-6.0"},
             {1000, 0, 16384, 0, 9, "-6.0"},
             {1000, 0, 16384, 0, 3, "-6.0"},
             {1000, 0, 16384, 0, 0, "-6.0"},
             {32768, 0, 32768, 0, 24, "-0.0"},  // full scale reads negative zero
             {0, 0, 0, 0, 18, "-0.0"},          // silence falls; zero hold keeps readout
         }},
        {"24-bit, both inputs",
         wideBoth,
         {{4194304, 838861, 0, 0, 19, "-144.0", "-144.0"},
          {4194304, 838861, 4194304, 838861, 19, "-6.0", "-20.0"}}},
        // Its float level lies below the double one, so an unchanged peak counts as a rise.
        {"a steady 8000 rises every call",
         {},
         {{8000, 0, 0, 0, 18, "-144.0"},
          {8000, 0, 8000, 0, 18, "-12.2"},
          {8000, 0, 8000, 0, 18, "-12.2"}}},
        // Negative zero is stored exactly, so an equal level is no rise.
        {"steady full scale falls",
         {},
         {{32768, 0, 32768, 0, 24, "-0.0"},
          {32768, 0, 32768, 0, 18, "-0.0"},
          {32768, 0, 32768, 0, 12, "-0.0"}}},
        // Both levels sit a hair above a cell boundary: 16.00000035 and 22.00000004 cells in
        // double, exactly 16 and 22 once in float, so no extra cell lights.
        {"bar length rounded to float, 16 cells", wide, {{1491729, 0, 0, 0, 16, "-144.0"}}},
        {"bar length rounded to float, 22 cells", wide, {{5447408, 0, 0, 0, 22, "-144.0"}}},
        {"-45.01 dB lights nothing", {}, {{184, 0, 0, 0, 0, "-144.0"}}},
        {"-44.97 dB lights the first cell", {}, {{185, 0, 0, 0, 1, "-144.0"}}},
        {"the first call sees silence, then rises",
         {},
         {
             {0, 0, 0, 0, 0, "-144.0"},  // bar falls to -155.25
             {0, 0, 0, 0, 0, "-144.0"},
             {16384, 0, 0, 0, 21, "-144.0"},  // anything rises above minus infinity
             {8000, 0, 16384, 0, 15, "-6.0"},
         }},
        {"a rise is against the previous level, so the bar can drop further",
         {},
         {
             {23198, 0, 0, 0, 23, "-144.0"},  // -3.0 dB
             {3277, 0, 0, 0, 17, "-144.0"},   // -20 dB: no rise, -14.25
             {5827, 0, 0, 0, 16, "-144.0"},   // -15 dB: rises above -20, below the bar
         }},
        // Mean magnitude 16384 (-6 dB), not the mean of 0 dB and minus infinity.
        {"both inputs average raw magnitudes, left",
         both,
         {{32768, 0, 0, 0, 21, "-144.0", "-144.0"}}},
        {"both inputs average raw magnitudes, right",
         both,
         {{0, 32768, 0, 0, 21, "-144.0", "-144.0"}}},
        // 184.5 becomes 184, below the first cell; rounding would light it.
        {"both inputs truncate the mean", both, {{184, 185, 0, 0, 0, "-144.0", "-144.0"}}},
        // 3.5 becomes 3, whose float level does not lie below its double level, so repeating it
        // falls; with 4 it would rise to -78 dB and empty the bar at the third call.
        {"both inputs truncate the mean, then fall",
         both,
         {{32768, 0, 0, 0, 21, "-144.0", "-144.0"},
          {3, 4, 0, 0, 15, "-144.0", "-144.0"},
          {3, 4, 0, 0, 9, "-144.0", "-144.0"}}},
        {"24-bit full scale lights every cell, both inputs",
         wideBoth,
         {{8388608, 8388608, 8388608, 8388608, 24, "-0.0", "-0.0"}}},
        // 32768 is full scale at 16 bits but -48.2 dB at 24 bits.
        {"the sample width selects full scale", wide, {{32768, 0, 32768, 0, 0, "-48.2"}}},
        {"one input follows the first input only", {}, {{1000, 32768, 0, 32768, 8, "-144.0"}}},
        // 1.25 dB per cell, one cell per call.
        {"range and fall come from the arguments",
         {.range = 30.0f, .fall = 1.25f},
         {{16384, 0, 0, 0, 20, "-144.0"},
          {16384, 0, 0, 0, 19, "-144.0"},
          {16384, 0, 0, 0, 18, "-144.0"}},
         "\t -30 dB ["},
    };
    for (const Sequence& s : cases) {
        SCOPED_TRACE(s.name);
        int reset = 1;
        for (std::size_t i = 0; i < s.steps.size(); ++i) {
            const Step& c = s.steps[i];
            EXPECT_EQ(Meter(c.peakL, c.peakR, c.holdL, c.holdR, reset, s.args),
                      MeterText(c.cells, c.left, c.right, s.head))
                << "call " << i + 1;
            EXPECT_EQ(reset, 0);
        }
    }
}

TEST(MeterTest, ResetOnlyOnExactlyOne) {
    int reset = 1;
    EXPECT_EQ(Meter(16384, 0, 0, 0, reset), MeterText(21, "-144.0"));
    // Each further call falls a step; a reset would light 21 cells again.
    for (const auto& [flag, cells] : {std::pair{0, 15}, {2, 9}, {-1, 3}, {100, 0}}) {
        int other = flag;
        EXPECT_EQ(Meter(16384, 0, 16384, 0, other), MeterText(cells, "-6.0")) << flag;
        EXPECT_EQ(other, flag);
    }
}

// ---------------------------------------------------------------------------------------------
// Remaining time

TEST(ClockTest, FormatsRemainingSeconds) {
    const struct {
        int32_t a, b;
        unsigned rate;
        const char* text;
    } cases[] = {
        {220500, 0, 44100, "\rrem = 5.00 sec"},
        {99000, 0, 48000, "\rrem = 2.06 sec"},  // 2.0625
        {0, 0, 44100, "\rrem = 0.00 sec"},
        {2646016, -4096, 44100, "\rrem = 59.91 sec"},
        {4096, 2637824, 44100, "\rrem = 59.91 sec"},
        // Single precision: 2^24 + 1 frames become 2^24.
        {16777217, 0, 1, "\rrem = 16777216.00 sec"},
    };
    for (const auto& c : cases) {
        char text[kDisplayTextMax];
        const int n = FormatClock(text, sizeof text, c.a, c.b, c.rate);
        EXPECT_EQ(std::string(text), c.text);
        EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(c.text)) << c.text;
    }
}

TEST(Formatters, SmallBuffersGetATerminatedPrefixAndTheFullLength) {
    char text[12];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(FormatClock(text, 5, 220500, 0, 44100), 15);
    EXPECT_EQ(std::string(text), "\rrem");
    EXPECT_EQ(text[5], '#');
    const int32_t period[2] = {16384, 0}, hold[2] = {0, 0};
    int reset = 1;
    const int n = FormatMeter(text, 8, period, kRange, reset, kFall, 2, 1, hold);
    EXPECT_EQ(static_cast<std::size_t>(n), MeterText(21, "-144.0").size());
    EXPECT_EQ(std::string(text), MeterText(21, "-144.0").substr(0, 7));
    EXPECT_EQ(text[8], '#');
}

TEST(ClockTest, RecordingsPastThirtyTwoBitCountsShowTheirTrueTime) {
    char text[kDisplayTextMax];
    // A week at 96 kHz, and a count just past 2^32 that a 32-bit sum would wrap to 1.
    FormatRemaining(text, sizeof text, 58060800000, 96000);
    EXPECT_EQ(std::string(text), "\rrem = 604800.00 sec");
    FormatRemaining(text, sizeof text, 4294967297, 1);
    EXPECT_EQ(std::string(text), "\rrem = 4294967296.00 sec");
    // With no set length, the time recorded: whole seconds, a week and a half at 96 kHz
    // included, where a float would have lost them.
    FormatElapsed(text, sizeof text, 95999, 96000);
    EXPECT_EQ(std::string(text), "\relapsed = 0:00:00");
    FormatElapsed(text, sizeof text, int64_t{96000} * 907262, 96000);
    EXPECT_EQ(std::string(text), "\relapsed = 252:01:02");
}

TEST(ConsoleTest, LinesItCannotHoldAreCountedAndWhereTheRecordingGoesOnIsShown) {
    // A console left unread through far more marks than a pipe and any buffer hold, with
    // the line that says where the recording goes on among them; then it reads again.
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    fcntl(p[1], F_SETPIPE_SZ, 4096);
    const std::string mark = "\nRX\n", next = "\nContinuing in b-2.wav\n";
    const std::size_t sent = 30000;
    ConsoleBegin(p[1]);
    for (std::size_t i = 0; i < sent; ++i) {
        ConsoleText(mark.data(), mark.size(), ConsoleLine::Droppable);
        if (i == sent / 2) {
            ConsoleText(next.data(), next.size(), ConsoleLine::Kept);
        }
    }
    // A redraw reaches the console only once nothing held or owed is ahead of it.
    std::string out;
    for (int i = 0; i < 1000 && out.find("\rdrawn") == std::string::npos; ++i) {
        char buf[4096];
        for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) {
            out.append(buf, static_cast<std::size_t>(n));
        }
        ConsoleRedraw("\rdrawn", 6);
    }
    ConsoleEnd();
    close(p[0]);
    close(p[1]);
    std::size_t marks = 0, cut = 0;
    for (std::size_t at = 0; (at = out.find("RX", at)) != std::string::npos; ++at) {
        (at > 0 && out.compare(at - 1, mark.size(), mark) == 0 ? marks : cut) += 1;
    }
    EXPECT_EQ(cut, 0u);
    const std::size_t drawn = out.find("\rdrawn"), said = out.find(" console lines dropped)\n");
    ASSERT_LT(said, drawn);
    const std::size_t count = out.rfind("\n(", said) + 2;
    EXPECT_EQ(out.substr(count, said - count), std::to_string(sent - marks));
    EXPECT_EQ(out.find(next), out.rfind(next));
    EXPECT_LT(out.find(next), drawn);
}

// The console numbers are formatted without printf; they must be printf's digits for every
// value, ties and negative zero included.
TEST(FixedText, MatchesPrintfForEveryKindOfValue) {
    std::vector<float> values = {0.0f,      -0.0f,   0.005f,   0.015f,   0.125f,  -0.125f,
                                 0.25f,     2.0625f, -144.0f,  -6.0206f, 59.91f,  1e-30f,
                                 -1e-30f,   45.0f,   0.05f,    -0.05f,   99.995f, 1e14f,
                                 -65536.0f, 3e38f,   INFINITY, NAN};
    uint32_t seed = 7;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        // Uniform over exponents as well as mantissas, both signs.
        const float unit = static_cast<float>(seed >> 8) / 16777216.0f;
        const int exponent = static_cast<int>(seed % 40) - 20;
        values.push_back((seed & 1 ? -1.0f : 1.0f) * std::ldexp(unit, exponent));
        // Exact halves at each number of decimals: ties must round to even like printf.
        values.push_back(static_cast<float>(static_cast<int>(seed % 100000)) / 8.0f);
    }
    for (float v : values) {
        for (int decimals = 0; decimals <= 2; ++decimals) {
            char mine[48], theirs[64];
            FormatFixed(mine, v, decimals);
            snprintf(theirs, sizeof theirs, "%.*f", decimals, static_cast<double>(v));
            ASSERT_STREQ(mine, theirs) << "value " << v << ", " << decimals << " decimals";
        }
    }
}

}  // namespace
