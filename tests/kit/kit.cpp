#include "kit.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kit {

std::vector<uint8_t> ReadFile(const std::string& path, int64_t offset, size_t size) {
    std::vector<uint8_t> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0) {
        uint8_t buf[65536];
        size_t n;
        while (out.size() < size &&
               (n = fread(buf, 1, std::min(sizeof buf, size - out.size()), f)) > 0) {
            out.insert(out.end(), buf, buf + n);
        }
    }
    fclose(f);
    return out;
}

void WriteFile(const std::string& path, const std::string& content) {
    if (FILE* f = fopen(path.c_str(), "wb")) {
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
}

uint32_t Le(const uint8_t* p, unsigned bytes) {
    uint32_t v = 0;
    for (unsigned i = bytes; i-- > 0;) {
        v = v << 8 | p[i];
    }
    return v;
}

uint32_t ReadLe(const std::string& path, int64_t offset, unsigned bytes) {
    const std::vector<uint8_t> b = ReadFile(path, offset, bytes);
    return b.size() == bytes ? Le(b.data(), bytes) : 0;
}

std::string Hex(const std::vector<uint8_t>& bytes, const char* separator) {
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char digits[3];
        snprintf(digits, sizeof digits, "%02x", bytes[i]);
        s += (i == 0 ? "" : separator) + std::string(digits);
    }
    return s;
}

int32_t LeSample(const uint8_t* p, unsigned bytes) {
    // The top byte's sign bit moved to bit 31, then back down with the sign.
    const unsigned shift = 32 - 8 * bytes;
    return static_cast<int32_t>(Le(p, bytes) << shift) >> shift;
}

ScratchDir::ScratchDir(const std::string& base) {
    std::string tmpl = base + "/nalvo-test-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) {
        perror(("cannot make a scratch directory in " + base).c_str());
        abort();
    }
    path_ = tmpl;
}

std::vector<std::string> ScratchDir::Files() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(path_.c_str())) {
        while (dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                names.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// Tests leave directories they made read-only or without search permission, links,
// FIFOs and device nodes: everything but a directory is unlinked, never followed.
void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d)) {
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                    RemoveTree(path + "/" + e->d_name);
                }
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

}  // namespace

ScratchDir::~ScratchDir() {
    RemoveTree(path_);
}

Wav ReadWav(const std::string& path) {
    Wav w;
    const std::vector<uint8_t> bytes = ReadFile(path);
    if (bytes.size() < 44) {
        return w;
    }
    const uint8_t* h = bytes.data();
    w.riffSize = Le(h + 4, 4);
    w.channels = static_cast<uint16_t>(Le(h + 22, 2));
    w.rate = Le(h + 24, 4);
    w.byteRate = Le(h + 28, 4);
    w.blockAlign = static_cast<uint16_t>(Le(h + 32, 2));
    w.bits = static_cast<uint16_t>(Le(h + 34, 2));
    w.dataSize = Le(h + 40, 4);
    w.valid = memcmp(h, "RIFF", 4) == 0 && memcmp(h + 8, "WAVEfmt ", 8) == 0 &&
              Le(h + 16, 4) == 16 && Le(h + 20, 2) == 1 && memcmp(h + 36, "data", 4) == 0 &&
              w.riffSize == w.dataSize + 36 && w.blockAlign == w.channels * w.bits / 8 &&
              w.byteRate == w.blockAlign * w.rate;
    w.data.assign(bytes.begin() + 44, bytes.end());
    return w;
}

int32_t Wav::Sample(size_t frame, int ch) const {
    const unsigned bytes = bits / 8u;
    return LeSample(data.data() + frame * blockAlign + static_cast<size_t>(ch) * bytes, bytes);
}

const Format kFormatTable[8] = {
    {"1644", 16, 44100}, {"1648", 16, 48000}, {"2444", 24, 44100}, {"2448", 24, 48000},
    {"1688", 16, 88200}, {"1696", 16, 96000}, {"2488", 24, 88200}, {"2496", 24, 96000},
};

const Format& FormatOf(const std::string& code) {
    for (const Format& f : kFormatTable) {
        if (code == f.code) {
            return f;
        }
    }
    fprintf(stderr, "no format %s in the manual's table\n", code.c_str());
    abort();
}

double FullScale(unsigned bytes) {
    return static_cast<double>(uint32_t{1} << (8 * bytes - 1));
}

int HoldPeriods(unsigned rate) {
    // The window closes with the period that completes it.
    return static_cast<int>((3 * rate + 4095) / 4096);
}

std::string ClockText(double seconds) {
    char text[64];
    snprintf(text, sizeof text, "\rrem = %.2f sec", seconds);
    return text;
}

std::string MeterText(int lit, const std::string& left, const char* right,
                      const std::string& head) {
    std::string s = head + std::string(static_cast<size_t>(lit), '|') +
                    std::string(static_cast<size_t>(kMeterCells - lit), ' ') + "] " + left;
    if (right != nullptr) {
        s += std::string(" / ") + right;
    }
    return s + kMeterTail;
}

long NamingEpoch() {
    struct tm t = {};
    t.tm_year = 2012 - 1900;
    t.tm_mon = 10 - 1;
    t.tm_mday = 10;
    t.tm_hour = 16;
    t.tm_min = 9;
    return static_cast<long>(timegm(&t));
}

}  // namespace kit
