#include "wav.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

void Decon4(long value, char* out) {
    const uint32_t v = static_cast<uint32_t>(value);
    out[0] = static_cast<char>(v & 0xff);
    out[1] = static_cast<char>((v >> 8) & 0xff);
    out[2] = static_cast<char>((v >> 16) & 0xff);
    out[3] = static_cast<char>((v >> 24) & 0xff);
}

void Decon2(unsigned short value, char* out) {
    out[0] = static_cast<char>(value & 0xff);
    out[1] = static_cast<char>((value >> 8) & 0xff);
}

void FormatHeader(char (&out)[kWavHeaderBytes], unsigned rate, long frames, unsigned sampleBytes,
                  int interleave) {
    const unsigned channelCount = interleave ? 2 : 1;
    const uint32_t blockAlign = BlockAlign(sampleBytes, interleave);
    // Sizes are 32-bit fields; the callers keep the planned data below 2^32 - 36 bytes.
    const uint32_t dataSize = blockAlign * static_cast<uint32_t>(frames);
    const uint32_t riffSize = dataSize + 36;
    const uint32_t byteRate = channelCount * sampleBytes * rate;

    char riffSizeBytes[4], rateBytes[4], byteRateBytes[4], dataSizeBytes[4];
    char channelBytes[2], alignBytes[2], bitsBytes[2];
    Decon4(riffSize, riffSizeBytes);
    Decon4(rate, rateBytes);
    Decon4(byteRate, byteRateBytes);
    Decon4(dataSize, dataSizeBytes);
    Decon2(static_cast<unsigned short>(channelCount), channelBytes);
    Decon2(static_cast<unsigned short>(blockAlign), alignBytes);
    Decon2(static_cast<unsigned short>(sampleBytes * 8), bitsBytes);

    const struct {
        const char* bytes;
        size_t size;
    } fields[] = {
        {"RIFF", 4},        {riffSizeBytes, 4}, {"WAVE", 4},       {"fmt ", 4},
        {"\x10\0\0\0", 4},  {"\x01\0", 2},      {channelBytes, 2}, {rateBytes, 4},
        {byteRateBytes, 4}, {alignBytes, 2},    {bitsBytes, 2},    {"data", 4},
        {dataSizeBytes, 4},
    };
    size_t at = 0;
    for (const auto& field : fields) {
        memcpy(out + at, field.bytes, field.size);
        at += field.size;
    }
}

int MAKE_HEADER(int fd, unsigned rate, long frames, unsigned sampleBytes, int interleave) {
    char header[kWavHeaderBytes];
    FormatHeader(header, rate, frames, sampleBytes, interleave);
    size_t done = 0;
    while (done < sizeof header) {
        const ssize_t n = write(fd, header + done, sizeof header - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return errno;
        } else if (n == 0) {
            return EIO;
        }
    }
    return 0;
}
