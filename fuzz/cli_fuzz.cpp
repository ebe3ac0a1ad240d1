// Fuzzes the front end: the argument checks, the existing-file guard and its prompt.
//
// The input is up to kMaxArgs NUL-terminated arguments; whatever follows the last of them
// is standard input for the overwrite prompt. RECORD is replaced by the stub below, so
// nothing is recorded: the stub checks that every request the front end lets through is
// one the engine can honour, and that no named file that exists reaches the engine
// without an "o" for it.
//
// All of this runs in a scratch folder of its own, made once at startup, and the file
// name arguments are kept inside it (no '/', no leading '.'). The process changes into
// that folder before libFuzzer reads its corpus, so give it absolute paths.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "frames.h"
#include "kit.h"
#include "record.h"

namespace {

constexpr size_t kMaxArgs = 7;  // after the program name
// Argument positions (in argv) that name output files.
constexpr size_t kFirstFileArg = 5;

// Files the scratch folder holds, so the overwrite prompt is reached.
const char* const kExisting[] = {"a.wav", "b.wav", "stereo.wav"};

// The call being fuzzed, for the stub to check the request against.
const std::vector<std::string>* gArgs = nullptr;
const std::string* gInput = nullptr;
bool gRecorded = false;

// What RECORD returns here: distinct from every status the front end makes itself, so the
// caller can tell that the engine's status was passed on.
constexpr int kStubStatus = 7;

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "cli_fuzz: %s\n", what);
    abort();
}

void Check(bool ok, const char* what) {
    if (!ok) {
        Fail(what);
    }
}

bool Exists(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0;
}

// The answers the prompt will read, in order: the words "o" and "x". Words are split at
// white space as the prompt does; every other word is skipped there.
std::vector<char> Answers(const std::string& input) {
    std::vector<char> answers;
    std::string word;
    for (size_t i = 0; i <= input.size(); ++i) {
        if (i == input.size() || isspace(static_cast<unsigned char>(input[i]))) {
            if (word == "o" || word == "x") {
                answers.push_back(word[0]);
            }
            word.clear();
        } else {
            word += input[i];
        }
    }
    return answers;
}

}  // namespace

// The options in front of the format, read as the manual describes them, taken out of
// `args`: what follows them reads as it would without them (a duration left out with
// --until-stopped stands there as an empty word).
RecordRequest ReadOptions(std::vector<std::string>& args) {
    RecordRequest o;
    size_t n = 1;
    for (; n < args.size(); ++n) {
        const std::string& w = args[n];
        if (w.rfind("--file-seconds=", 0) == 0) {
            // A decimal number: leading zeros are allowed and do not count.
            const std::string v = w.substr(15);
            const size_t lead = std::min(v.find_first_not_of('0'), v.size());
            const bool digits = !v.empty() && v.size() - lead <= 9 &&
                                v.find_first_not_of("0123456789") == std::string::npos;
            const long long s = digits && lead < v.size() ? std::stoll(v.substr(lead)) : 0;
            o.fileSeconds = s >= 1 && s <= 366LL * 24 * 3600 ? s : -1;
        } else if (w == "--align" || w == "--time-names" || w == "--until-stopped" ||
                   w == "--reconnect") {
            (w == "--align"           ? o.alignFiles
             : w == "--time-names"    ? o.timeNames
             : w == "--until-stopped" ? o.untilStopped
                                      : o.reconnect) = true;
        } else {
            break;
        }
    }
    args.erase(args.begin() + 1, args.begin() + static_cast<std::ptrdiff_t>(n));
    if (o.untilStopped && args.size() >= 2) {
        args.insert(args.begin() + 2, "");
    }
    return o;
}

int RECORD(RecordRequest& req) {
    std::vector<std::string> args = *gArgs;
    const RecordRequest options = ReadOptions(args);
    const size_t argc = args.size();
    gRecorded = true;
    Check(options.fileSeconds >= 0 && (options.fileSeconds > 0 || !options.alignFiles),
          "recording with an option value refused by the manual");
    Check(req.fileSeconds == options.fileSeconds && req.alignFiles == options.alignFiles &&
              req.timeNames == options.timeNames && req.untilStopped == options.untilStopped &&
              req.reconnect == options.reconnect,
          "options differ from the arguments");
    Check(!req.timeNames || argc < 6, "time names with names given");

    // The format: exactly the row of the manual's table the first argument names.
    const kit::Format* row = nullptr;
    for (const kit::Format& f : kit::kFormatTable) {
        if (args[1] == f.code) {
            row = &f;
        }
    }
    Check(row != nullptr, "recording with an unknown format");
    Check(req.rate == row->rate && req.sampleBytes == row->bytes(),
          "rate or sample width differ from the format asked for");

    Check(req.untilStopped
              ? req.duration == 0.0f
              : std::isfinite(req.duration) && req.duration > 0.0f &&
                    req.duration == static_cast<float>(strtod(args[2].c_str(), nullptr)),
          "duration not the argument's, or set with no set length");

    Check(req.channels == 1 || req.channels == 2, "channels not 1 or 2");
    Check(req.interleave == 0 || req.interleave == 1, "interleave not 0 or 1");
    Check(req.interleave == 0 || req.channels == 1, "stereo file with two files asked for");
    Check((req.interleave == 1) == (argc >= 5 && args[4] == "s"), "stereo file not as asked");

    // The length must be one the engine can store with the period it asks for.
    int64_t frames = 0;
    float duration = req.duration;
    Check(req.untilStopped ||
              (QUANTIZE(kRequestedPeriod, req.rate, &duration, &frames) && frames > 0),
          "duration too long for a 64-bit frame count");

    // The device name goes to the engine as given ("d" and none mean "default"). An empty
    // one is passed on too: the engine cannot open it and ends before making any file.
    Check(req.device.size() <= 63, "device name too long");
    Check(!req.device.empty() || (argc >= 4 && args[3].empty()), "device name lost");
    const std::string device = argc >= 4 && args[3] != "d" ? args[3] : "default";
    Check(req.device == device, "device differs from the argument");

    if (req.autoName != 0) {
        Check(req.autoName == 1, "autoName not 0 or 1");
        Check(argc < 6, "names given but autoName set");
        Check(req.fileList.empty(), "autoName with names in the list");
        return kStubStatus;
    }
    Check(argc >= 6, "autoName off without names");
    const size_t files = req.channels == 2 ? 2 : 1;
    Check(req.fileList.size() == files, "file list does not match the mode");
    for (size_t i = 0; i < files; ++i) {
        Check(req.fileList[i] == args[kFirstFileArg + i], "file name differs from argument");
    }
    Check(files == 1 || req.fileList[0] != req.fileList[1], "both inputs into one file");

    // Every named file that exists must have been answered "o", in order; an "x" or the end
    // of the input before that means the engine must never have been called.
    const std::vector<char> answers = Answers(*gInput);
    size_t next = 0;
    for (const std::string& name : req.fileList) {
        if (Exists(name)) {
            Check(next < answers.size() && answers[next] == 'o',
                  "existing file about to be overwritten without an o");
            ++next;
        }
    }
    return kStubStatus;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The usage text, refusals and prompts go to standard output: drop them, the checks
    // are ours. libFuzzer reports on standard error.
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        Fail("cannot drop standard output");
    }
    const char* tmp = getenv("TMPDIR");
    // Removed, with what is in it, when the process exits.
    static const kit::ScratchDir scratch(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    Check(chdir(scratch.path().c_str()) == 0, "cannot enter the scratch folder");
    for (const char* name : kExisting) {
        kit::WriteFile(name, "RIFF");
        Check(Exists(name), "cannot fill the scratch folder");
    }
    Check(mkdir("sub", 0700) == 0, "cannot fill the scratch folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"nalvo"};
    size_t pos = 0;
    while (args.size() <= kMaxArgs) {
        const void* nul = memchr(data + pos, '\0', size - pos);
        if (nul == nullptr) {
            break;
        }
        const size_t end = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
        args.emplace_back(reinterpret_cast<const char*>(data + pos), end - pos);
        pos = end + 1;
    }
    // Keep file names inside the scratch folder.
    for (size_t i = kFirstFileArg; i < args.size(); ++i) {
        std::string& name = args[i];
        for (char& c : name) {
            if (c == '/') {
                c = '_';
            }
        }
        if (!name.empty() && name[0] == '.') {
            name[0] = '_';
        }
    }
    std::string input(reinterpret_cast<const char*>(data + pos), size - pos);

    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);

    // fmemopen refuses an empty buffer: an empty input is /dev/null, at its end at once.
    FILE* in = input.empty() ? fopen("/dev/null", "r") : fmemopen(&input[0], input.size(), "r");
    if (in == nullptr) {
        Fail("cannot open standard input");
    }
    gArgs = &args;
    gInput = &input;
    gRecorded = false;
    const int status = NalvoMain(static_cast<int>(args.size()), argv.data(), in);
    fclose(in);

    if (gRecorded) {
        Check(status == kStubStatus, "the engine's status was not passed on");
    } else {
        Check(status == 1, "refused without exit status 1");
    }
    // Nothing here may create, remove or change a file.
    for (const char* name : kExisting) {
        Check(Exists(name), "a scratch file disappeared");
    }
    return 0;
}
