#include "wav.h"

#include <cerrno>

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

bool WriteHeader(FILE* f, unsigned rate, long frames, unsigned sampleBytes, int interleave) {
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
    bool ok = true;
    for (const auto& field : fields) {
        ok = fwrite(field.bytes, field.size, 1, f) == 1 && ok;
    }
    return ok;
}

int MAKE_HEADER(const char* path, unsigned rate, long frames, unsigned sampleBytes, int interleave,
                bool exclusive, bool* opened) {
    FILE* f = fopen(path, exclusive ? "wbx" : "wb");
    if (opened != nullptr) {
        *opened = f != nullptr;
    }
    if (f == nullptr) {
        return errno != 0 ? errno : EIO;
    }
    rewind(f);
    int err = 0;
    if (!WriteHeader(f, rate, frames, sampleBytes, interleave)) {
        err = errno != 0 ? errno : EIO;
    }
    if (fclose(f) != 0 && err == 0) {
        err = errno != 0 ? errno : EIO;
    }
    return err;
}
