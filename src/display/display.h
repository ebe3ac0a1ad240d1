// Console display: the remaining-time text and the level meter that share the one
// console line redrawn after every captured period.
#pragma once

#include <cstddef>
#include <cstdint>

// Longest text FormatClock or FormatMeter can produce (the clock with an absurd value
// included); callers size their buffers with it.
constexpr std::size_t kDisplayTextMax = 160;

// "\rrem = %.2f sec" for (a + b) frames still to capture at `rate` Hz. The sum wraps in
// 32 bits and the division is done in single precision. Writes at most `cap` bytes
// (NUL included) and returns the text length.
int FormatClock(char* out, std::size_t cap, int32_t a, int32_t b, unsigned rate);

// The same text for `frames` frames still to capture, a 64-bit count: recordings longer
// than 32-bit counts hold. Equal to FormatClock wherever the sum does not wrap.
int FormatRemaining(char* out, std::size_t cap, int64_t frames, unsigned rate);

// "\relapsed = H:MM:SS" for `frames` frames captured at `rate` Hz: the console line of a
// recording with no set length.
int FormatElapsed(char* out, std::size_t cap, int64_t frames, unsigned rate);

// Draws FormatClock's text on the console line (ConsoleRedraw).
void UpdateClock(int32_t a, int32_t b, unsigned rate);

// The level meter text for one period: head, 24 cells, the held-peak readout(s) and the
// tail. Keeps its state (bar value, previous level, readouts, held position) in statics
// that live for the process; a `meterReset` of exactly 1 restarts them and is set to 0.
// Returns the text length; writes at most `cap` bytes.
int FormatMeter(char* out, std::size_t cap, const int32_t* periodPeak, float rangeDb,
                int& meterReset, float fallDb, int sampleBytes, int meterMode,
                const int32_t* holdPeak);

// Draws FormatMeter's text on the console line (ConsoleRedraw).
void StereoMeter(const int32_t* periodPeak, float rangeDb, int& meterReset, float fallDb,
                 int sampleBytes, int meterMode, const int32_t* holdPeak);
