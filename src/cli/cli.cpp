#include "cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frames.h"
#include "record.h"

namespace {

// Longest device name accepted; a longer one is refused rather than cut, since a cut
// name can open a different device.
constexpr size_t kMaxDeviceName = 63;

struct Format {
    const char* code;
    unsigned rate;
    unsigned sampleBytes;
};

// Compared in this order; the usage text lists the same rows.
constexpr Format kFormats[] = {
    {"1644", 44100, 2}, {"1648", 48000, 2}, {"2444", 44100, 3}, {"2448", 48000, 3},
    {"1688", 88200, 2}, {"1696", 96000, 2}, {"2488", 88200, 3}, {"2496", 96000, 3},
};

int Refuse(const char* message) {
    puts(message);
    fflush(stdout);
    return 1;
}

// Narrows the duration to single precision; values beyond its range become infinite
// (a plain conversion would be undefined there).
float NarrowDuration(double d) {
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX) {
        return d > 0 ? INFINITY : -INFINITY;
    }
    return static_cast<float>(d);
}

// Reads the next whitespace-delimited word. Keeps at most three characters in `word`
// and reports in `whole` whether it fitted; a word with a NUL byte in it never counts as
// whole, since `word` would end at the NUL ("o\0x" would read as "o"). Returns false at
// the end of the input or on a read error.
bool ReadWord(FILE* in, char (&word)[4], bool& whole) {
    int c;
    do {
        c = getc(in);
    } while (c != EOF && isspace(c));
    if (c == EOF) {
        return false;
    }
    size_t len = 0;
    whole = true;
    while (c != EOF && !isspace(c)) {
        if (len < sizeof word - 1 && c != '\0') {
            word[len++] = static_cast<char>(c);
        } else {
            whole = false;
        }
        c = getc(in);
    }
    word[len] = '\0';
    if (c != EOF) {
        ungetc(c, in);  // the rest of the line stays for the next prompt
    }
    return true;
}

// Where a path leads: the file itself when it exists, else the directory entry it would
// create. A dangling symbolic link leads where its target would be created.
struct Destination {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string entry;  // empty for an existing file
};

Destination Resolve(const char* path) {
    Destination d;
    std::string p(path);
    struct stat st;
    // Bounded like the kernel's own lookup, so a loop of links ends.
    for (int hops = 0; hops < 40; ++hops) {
        if (stat(p.c_str(), &st) == 0) {
            d.known = true;
            d.dev = st.st_dev;
            d.ino = st.st_ino;
            return d;
        }
        char target[4096];
        const ssize_t n = readlink(p.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            break;
        }
        target[n] = '\0';
        const size_t slash = p.rfind('/');
        p = target[0] == '/' || slash == std::string::npos ? std::string(target)
                                                           : p.substr(0, slash + 1) + target;
    }
    const size_t slash = p.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    d.entry = slash == std::string::npos ? p : p.substr(slash + 1);
    if (!d.entry.empty() && stat(dir.c_str(), &st) == 0) {
        d.known = true;
        d.dev = st.st_dev;
        d.ino = st.st_ino;
    }
    return d;
}

// True when both names lead to the same file, now or once created.
bool SameFile(const char* a, const char* b) {
    if (strcmp(a, b) == 0) {
        return true;
    }
    const Destination da = Resolve(a);
    const Destination db = Resolve(b);
    return da.known && db.known && da.dev == db.dev && da.ino == db.ino && da.entry == db.entry;
}

}  // namespace

void Help() {
    static const char kUsage[] =
        "\n"
        "\n"
        "\n"
        "This is a 1 or 2 channel recording program.\n"
        "You must add at least two command line arguments:\n"
        "\t1.  The recording format\n"
        "\t2.  The recording duration in seconds.\n"
        "\n"
        "The possible formats are as follows:\n"
        "Format\tBits\tSample rate\n"
        "1644\t16\t44100\n"
        "1648\t16\t48000\n"
        "2444\t24\t44100\n"
        "2448\t24\t48000\n"
        "1688\t16\t88200\n"
        "1696\t16\t96000\n"
        "2488\t24\t88200\n"
        "2496\t24\t96000\n"
        "\n"
        "Example:  nalvo 1644 60\n"
        "This will record for 60 seconds at 16 bits and 44,100 Hz\n"
        "\n"
        "If no file name is specified, the program will create one.\n"
        "\n"
        "The complete list of arguments is as follows:\n"
        "\n"
        "<format>  <duration>  <device>  <channels>  <filename 1>  <filename 2>\n"
        "\n"
        "You may enter just d for the default system recording device.\n"
        "plughw:0,0 is often used for the device name.\n"
        "\n"
        "To create an interleaved stereo file, use s instead of 1 or 2 for\n"
        "the number of channels.  Only one filename is needed or created.\n";
    fputs(kUsage, stdout);
    fflush(stdout);
}

int CheckFileName(const char* name) {
    // Looked at, never opened: opening a FIFO would wait for a writer, and a file we may
    // not read exists all the same. A link counts as the name it is, dangling or not. A
    // name that cannot be looked at counts as absent: it is then only ever created
    // exclusively, which cannot replace anything.
    struct stat st;
    return lstat(name, &st) == 0 ? 2 : 1;
}

int CheckOverwrite(const char* name, FILE* in) {
    printf("\nFile %s already exists!\n", name);
    puts("Enter 'x' to exit or 'o' to overwrite");
    fflush(stdout);
    char word[4];
    bool whole = false;
    while (ReadWord(in, word, whole)) {
        if (!whole) {
            continue;
        }
        if (strcmp(word, "x") == 0) {
            return 1;
        }
        if (strcmp(word, "o") == 0) {
            return 2;
        }
    }
    // Nobody is there to answer: leaving is the only safe choice.
    return 1;
}

namespace {

// Each step reads its arguments into `req`, or refuses: -1 goes on, anything else is the
// exit status.
constexpr int kGoOn = -1;

int ReadFormatAndDuration(char** argv, RecordRequest& req) {
    const Format* format = nullptr;
    for (const Format& f : kFormats) {
        if (strcmp(argv[1], f.code) == 0) {
            format = &f;
            break;
        }
    }
    if (format == nullptr) {
        return Refuse("Improper format request");
    }
    req.rate = format->rate;
    req.sampleBytes = format->sampleBytes;
    if (req.untilStopped) {
        return kGoOn;  // no length to check: the longest the frame counts allow
    }
    req.duration = NarrowDuration(strtod(argv[2], nullptr));
    if (std::isnan(req.duration) || req.duration <= 0.0f) {
        return Refuse("Improper duration request");
    }
    // The length must fit a 64-bit frame count. The device may grant another period
    // later; the engine checks again then.
    int64_t frames = 0;
    if (!QUANTIZE(kRequestedPeriod, req.rate, &req.duration, &frames)) {
        printf("Improper duration request: at most %lld seconds in this format\n",
               static_cast<long long>(MaxWholeSeconds(kRequestedPeriod, req.rate)));
        fflush(stdout);
        return 1;
    }
    return kGoOn;
}

int ReadDeviceAndMode(int argc, char** argv, RecordRequest& req) {
    if (argc >= 4) {
        if (strlen(argv[3]) > kMaxDeviceName) {
            return Refuse("Improper device name request");
        }
        req.device = argv[3];
    }
    req.channels = 1;
    req.interleave = 0;
    if (argc >= 5) {
        if (strcmp(argv[4], "s") == 0) {
            req.interleave = 1;
        } else {
            const long mode = strtol(argv[4], nullptr, 10);
            if (mode != 1 && mode != 2) {
                return Refuse("Improper channel number request");
            }
            req.channels = static_cast<int>(mode);
        }
    }
    return kGoOn;
}

// The names given, each guarded: a name that exists is only used after the user agrees.
int ReadFileNames(int argc, char** argv, FILE* in, RecordRequest& req) {
    const char* name1 = argv[5];
    if (req.channels == 2 && argc >= 7) {
        const char* name2 = argv[6];
        if (SameFile(name1, name2)) {
            return Refuse("2 channels were requested, but both filenames are the same!");
        }
        const int exists1 = CheckFileName(name1);
        const int exists2 = CheckFileName(name2);
        if (exists1 == 2 && CheckOverwrite(name1, in) == 1) {
            return 1;
        }
        if (exists2 == 2 && CheckOverwrite(name2, in) == 1) {
            return 1;
        }
        req.fileList = {name1, name2};
        req.fileExisted = {exists1 == 2, exists2 == 2};
        return kGoOn;
    }
    const int exists1 = CheckFileName(name1);
    if (exists1 == 2 && CheckOverwrite(name1, in) == 1) {
        return 1;
    }
    if (req.channels == 2) {
        return Refuse("2 channels were requested, but on1y 1 filename was entered!");
    }
    req.fileList = {name1};
    req.fileExisted = {exists1 == 2};
    return kGoOn;
}

// Reads one option word into `req`; false when it is no option nalvo knows.
bool ReadOption(const char* word, RecordRequest& req) {
    static const char kFileSeconds[] = "--file-seconds=";
    if (strncmp(word, kFileSeconds, sizeof kFileSeconds - 1) == 0) {
        const char* value = word + sizeof kFileSeconds - 1;
        char* end = nullptr;
        errno = 0;
        const long long seconds = strtoll(value, &end, 10);
        // A file longer than a year is no file length; zero or junk is refused, not read as
        // "no split".
        constexpr long long kYear = 366LL * 24 * 3600;
        req.fileSeconds = (isdigit(static_cast<unsigned char>(*value)) && *end == '\0' &&
                           errno == 0 && seconds >= 1 && seconds <= kYear)
                              ? seconds
                              : -1;
        return true;
    }
    static const struct {
        const char* name;
        bool RecordRequest::*flag;
    } kFlags[] = {{"--align", &RecordRequest::alignFiles},
                  {"--time-names", &RecordRequest::timeNames},
                  {"--until-stopped", &RecordRequest::untilStopped},
                  {"--reconnect", &RecordRequest::reconnect}};
    for (const auto& f : kFlags) {
        if (strcmp(word, f.name) == 0) {
            req.*f.flag = true;
            return true;
        }
    }
    return false;
}

// Takes the options in front of the format. Returns how many words they took, or -1 for
// a combination that makes no sense.
int ReadOptions(int argc, char** argv, RecordRequest& req) {
    int taken = 0;
    while (taken + 1 < argc && ReadOption(argv[taken + 1], req)) {
        ++taken;
    }
    const bool bad = req.fileSeconds < 0 || (req.alignFiles && req.fileSeconds == 0);
    return bad ? -1 : taken;
}

}  // namespace

int NalvoMain(int argc, char** argv, FILE* in) {
    RecordRequest req;
    req.device = "default";
    const int options = ReadOptions(argc, argv, req);
    if (options < 0) {
        return Refuse("Improper option request");
    }
    // The words after the options read as they would without them; with no set length
    // the duration is left out, and stands in the list as a word nobody reads.
    std::vector<char*> words(argv, argv + argc);
    words.erase(words.begin() + 1, words.begin() + 1 + options);
    static char kNoDuration[] = "";
    if (req.untilStopped && words.size() >= 2) {
        words.insert(words.begin() + 2, kNoDuration);
    }
    argc = static_cast<int>(words.size());
    argv = words.data();
    if (argc < 3) {
        Help();
        return 1;
    }
    if (req.timeNames && argc >= 6) {
        return Refuse("Improper option request");  // time names are for generated names
    }
    int status = ReadFormatAndDuration(argv, req);
    if (status == kGoOn) {
        status = ReadDeviceAndMode(argc, argv, req);
    }
    req.autoName = argc < 6 ? 1 : 0;
    if (status == kGoOn && argc >= 6) {
        status = ReadFileNames(argc, argv, in, req);
    }
    if (status != kGoOn) {
        return status;
    }
    if (req.device == "d") {
        req.device = "default";
    }
    return RECORD(req);
}
