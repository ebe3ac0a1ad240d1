// The remaining-time text that opens the console line redrawn after every period.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "display.h"
#include "fixed.h"

int FormatRemaining(char* out, std::size_t cap, int64_t frames, unsigned rate) {
    // Single precision on purpose: with large counts it decides the printed digits.
    const float seconds = static_cast<float>(frames) / static_cast<float>(rate);
    char text[kDisplayTextMax];
    static const char kHead[] = "\rrem = ";
    static const char kTail[] = " sec";
    std::memcpy(text, kHead, sizeof kHead - 1);
    std::size_t len = sizeof kHead - 1;
    len += static_cast<std::size_t>(FormatFixed(text + len, seconds, 2));
    std::memcpy(text + len, kTail, sizeof kTail);  // with its NUL
    len += sizeof kTail - 1;
    if (cap != 0) {
        const std::size_t fit = len < cap ? len : cap - 1;
        std::memcpy(out, text, fit);
        out[fit] = '\0';
    }
    return static_cast<int>(len);
}

int FormatElapsed(char* out, std::size_t cap, int64_t frames, unsigned rate) {
    // Whole seconds as hours, minutes and seconds: a recording that runs for months still
    // reads at a glance, and no float loses the seconds.
    const int64_t seconds = rate != 0 && frames > 0 ? frames / rate : 0;
    char text[kDisplayTextMax];
    const int len = std::snprintf(
        text, sizeof text, "\relapsed = %lld:%02d:%02d", static_cast<long long>(seconds / 3600),
        static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    if (cap != 0) {
        const std::size_t fit = static_cast<std::size_t>(len) < cap ? len : cap - 1;
        std::memcpy(out, text, fit);
        out[fit] = '\0';
    }
    return len;
}

int FormatClock(char* out, std::size_t cap, int32_t a, int32_t b, unsigned rate) {
    // Two 32-bit counts (the total, and minus the frames done) whose sum wraps in 32 bits;
    // adding as unsigned keeps that wrap well defined. The capture loop counts in 64 bits
    // and formats with FormatRemaining.
    const int32_t frames =
        static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    return FormatRemaining(out, cap, frames, rate);
}

void UpdateClock(int32_t a, int32_t b, unsigned rate) {
    char text[kDisplayTextMax];
    const int n = FormatClock(text, sizeof text, a, b, rate);
    const std::size_t len =
        static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
    ConsoleRedraw(text, len);
}
