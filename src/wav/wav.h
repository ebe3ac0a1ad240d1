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

// Writes the 44 header bytes at the stream's current position, field by field.
// Returns true when every byte was accepted by the stream.
bool WriteHeader(FILE* f, unsigned rate, long frames, unsigned sampleBytes, int interleave);

// Creates the file at `path` (truncating an existing one, or failing with EEXIST when
// `exclusive` is set and the name is taken), writes the header announcing `frames` frames
// and closes it. Returns 0, or the errno of the step that failed. `opened`, when given,
// tells whether the file was opened (so a failed file is this call's to remove).
int MAKE_HEADER(const char* path, unsigned rate, long frames, unsigned sampleBytes, int interleave,
                bool exclusive = false, bool* opened = nullptr);
