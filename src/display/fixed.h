// Fixed-point text of a single-precision value, exactly as printf's "%.Nf" prints it once
// the value is widened to double, without printf's general machinery: the console line
// is redrawn every period on a small CPU.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>

// Writes the text for `value` with `decimals` (0 to 2) into `out`, which must hold 48
// bytes; returns its length. Values beyond 1e15 in size, infinities and NaNs go through
// snprintf.
inline int FormatFixed(char* out, float value, int decimals) {
    static const double kScale[] = {1.0, 10.0, 100.0};
    const double v = static_cast<double>(value);
    if (!std::isfinite(v) || std::fabs(v) >= 1e15 || decimals < 0 || decimals > 2) {
        const char* format = decimals == 0 ? "%.0f" : decimals == 1 ? "%.1f" : "%.2f";
        return std::snprintf(out, 48, format, v);
    }
    // A float has 24 significant bits, so value x 100 is exact in double, and rounding that
    // to an integer with the default mode (ties to even) is the rounding printf applies to
    // the exact decimal expansion.
    const auto scaled = static_cast<uint64_t>(std::nearbyint(std::fabs(v) * kScale[decimals]));
    char digits[24];
    int n = 0;
    uint64_t rest = scaled;
    do {
        digits[n++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0 || n <= decimals);
    int len = 0;
    if (std::signbit(v)) {
        out[len++] = '-';
    }
    for (int i = n - 1; i >= 0; --i) {
        if (i == decimals - 1) {
            out[len++] = '.';
        }
        out[len++] = digits[i];
    }
    out[len] = '\0';
    return len;
}
