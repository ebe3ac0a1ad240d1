// What every test, benchmark and fuzz target shares: files, little-endian numbers, scratch
// directories, and the facts a user reads in the manual page and the README (the formats,
// the console line, the naming epoch). Nothing here comes from the program's own headers,
// so a fault there cannot move an expectation along with the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A namespace of its own: the tests also include the program's headers, whose names may
// be the same (FullScale).
namespace kit {

// `size` bytes from `offset` (the whole file by default); fewer, or none, where it ends or
// cannot be read.
std::vector<uint8_t> ReadFile(const std::string& path, int64_t offset = 0, size_t size = SIZE_MAX);
void WriteFile(const std::string& path, const std::string& content);

// A little-endian number of `bytes` bytes (1 to 4): unsigned, and as a signed sample.
uint32_t Le(const uint8_t* p, unsigned bytes);
int32_t LeSample(const uint8_t* p, unsigned bytes);
// The unsigned number at `offset` in a file, 0 where the file does not hold it.
uint32_t ReadLe(const std::string& path, int64_t offset, unsigned bytes);
// Bytes as two lowercase hex digits each, `separator` between them.
std::string Hex(const std::vector<uint8_t>& bytes, const char* separator = "");

// A fresh directory under `base`, removed with everything in it when the object goes.
class ScratchDir {
   public:
    explicit ScratchDir(const std::string& base = "/tmp");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> Files() const;  // names, sorted

   private:
    std::string path_;
};

// The fields of a 44-byte PCM WAV header, and the bytes after it.
struct Wav {
    bool valid = false;  // the fixed fields are those of canonical PCM
    uint32_t riffSize = 0, dataSize = 0, rate = 0, byteRate = 0;
    uint16_t channels = 0, blockAlign = 0, bits = 0;
    std::vector<uint8_t> data;
    // Sample `frame` of channel `ch` as a signed value.
    int32_t Sample(size_t frame, int ch) const;
    size_t Frames() const { return blockAlign ? data.size() / blockAlign : 0; }
    // The header is canonical and announces exactly the bytes after it.
    bool Whole() const { return valid && dataSize == data.size(); }
};

Wav ReadWav(const std::string& path);

// A row of the manual page's format table.
struct Format {
    const char* code;
    unsigned bits, rate;
    unsigned bytes() const { return bits / 8; }
};
extern const Format kFormatTable[8];  // in the manual's (and the usage text's) order
const Format& FormatOf(const std::string& code);

// Full scale of a sample width: the magnitude of the most negative code, 0 dBFS.
double FullScale(unsigned bytes);

// The console line as the manual page describes it: "\rrem = X.XX sec", then the meter.
constexpr int kMeterRangeDb = 45;  // the bar covers the top 45 dB
constexpr int kMeterCells = 24;
constexpr double kMeterFallDb = 11.25;  // per period
constexpr char kMeterHead[] = "\t -45 dB [";
constexpr char kMeterTail[] = " dB   ";
constexpr char kNoPeakYet[] = "-144.0";  // a held peak before the first sound
// Periods in a hold window: 3 x rate / 4096, whole periods.
int HoldPeriods(unsigned rate);
std::string ClockText(double seconds);
// The meter with `lit` cells lit and the held peaks' readouts (`right` in the two-input
// modes only).
std::string MeterText(int lit, const std::string& left, const char* right = nullptr,
                      const std::string& head = kMeterHead);

// Generated names count seconds from 2012-10-10 16:09:00 UTC.
long NamingEpoch();

}  // namespace kit
