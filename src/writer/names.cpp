#include "names.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

long NewTime() {
    return static_cast<long>(time(nullptr)) - kNamingEpoch;
}

std::string GeneratedName(int input, long seconds) {
    char name[64];
    snprintf(name, sizeof name, "rec_chan_%li_%li.wav", static_cast<long>(input), seconds);
    return name;
}

std::string ContinuationName(const std::string& first, int number) {
    const size_t slash = first.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = first.rfind('.');
    // A leading dot names a hidden file, not an extension.
    if (dot == std::string::npos || dot <= base) {
        dot = first.size();
    }
    return first.substr(0, dot) + "-" + std::to_string(number) + first.substr(dot);
}

int OpenOutput(const std::string& name, bool existed) {
    const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    return existed ? open(name.c_str(), flags) : open(name.c_str(), flags | O_CREAT | O_EXCL, 0666);
}

std::string TimeName(int64_t utcSeconds, int input, int files, int step) {
    const auto t = static_cast<time_t>(utcSeconds);
    struct tm utc;
    char stamp[32] = "";
    if (gmtime_r(&t, &utc) == nullptr ||
        strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc) == 0) {
        snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(utcSeconds));
    }
    std::string name = stamp;
    if (files == 2) {
        name += "_" + std::to_string(input);
    }
    if (step > 0) {
        name += "-" + std::to_string(step + 1);
    }
    return name + ".wav";
}

std::string NameAt(const NameSeries& series, int step) {
    switch (series.kind) {
        case NameSeries::Continuation:
            return ContinuationName(series.first, series.number + step);
        case NameSeries::Time:
            return TimeName(series.utcSeconds, series.input, series.files, step);
        case NameSeries::Generated:
            break;
    }
    return GeneratedName(series.input, series.seconds + step);
}

namespace {

// Bounded: a directory full of our own names must end in an error, not a search that
// never ends.
constexpr int kMostTries = 100000;

}  // namespace

int CreateFirstFree(const NameSeries& series, std::string& name, int& step) {
    int fd = -1;
    for (step = 0; step < kMostTries; ++step) {
        name = NameAt(series, step);
        fd = OpenOutput(name, false);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    return fd;
}

int OpenUnnamed(const std::string& dir) {
    return open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

bool LinkFirstFree(const NameSeries& series, int fd, std::string& name, int& step) {
    // Through /proc: linking a descriptor itself (AT_EMPTY_PATH) takes a privilege a
    // recorder has no business holding.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (step = 0; step < kMostTries; ++step) {
        name = NameAt(series, step);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

std::string DirectoryOf(const std::string& name) {
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : name.substr(0, slash);
}
