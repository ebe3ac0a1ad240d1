// RIFF/WAVE header of the output files: the canonical 44-byte header for integer PCM.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr long kWavHeaderBytes = 44;
// Offsets of the two size fields that change with the amount of data.
constexpr long kRiffSizeOffset = 4;
constexpr long kDataSizeOffset = 40;

// Stores the low 32 bits of `value`, least significant byte first, in out[0..3].
void Decon4(long value, char* out);
// Stores `value` least significant byte first in out[0..1].
void Decon2(unsigned short value, char* out);

// Bytes per frame of a file: one input (`interleave` 0) or both (`interleave` 1).
inline unsigned BlockAlign(unsigned sampleBytes, int interleave) {
    return (interleave ? 2u : 1u) * sampleBytes;
}

// The 44 header bytes announcing `frames` frames, field by field.
void FormatHeader(char (&out)[kWavHeaderBytes], unsigned rate, long frames, unsigned sampleBytes,
                  int interleave);

// Writes the header announcing `frames` frames to the descriptor `fd` at its current
// position. Returns 0, or the errno of the write that failed.
int MAKE_HEADER(int fd, unsigned rate, long frames, unsigned sampleBytes, int interleave);
