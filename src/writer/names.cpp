#include "names.h"

#include <fcntl.h>

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

int CreateFirstFree(const NameSeries& series, std::string& name, int& step) {
    // Bounded: a directory full of our own names must end in an error, not a search that
    // never ends.
    constexpr int kMostTries = 100000;
    int fd = -1;
    for (step = 0; step < kMostTries; ++step) {
        name = series.generated ? GeneratedName(series.input, series.seconds + step)
                                : ContinuationName(series.first, series.number + step);
        fd = OpenOutput(name, false);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    return fd;
}
