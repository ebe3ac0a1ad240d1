// The front end as a user meets it: usage text, refusals in their order, and the
// existing-file guard fed on standard input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

const char* const kUsageLines[] = {
    "",
    "",
    "",
    "This is a 1 or 2 channel recording program.",
    "You must add at least two command line arguments:",
    "\t1.  The recording format",
    "\t2.  The recording duration in seconds.",
    "",
    "The possible formats are as follows:",
    "Format\tBits\tSample rate",  // then the manual's table, row by row
    "",
    "Example:  nalvo 1644 60",
    "This will record for 60 seconds at 16 bits and 44,100 Hz",
    "",
    "If no file name is specified, the program will create one.",
    "",
    "The complete list of arguments is as follows:",
    "",
    "<format>  <duration>  <device>  <channels>  <filename 1>  <filename 2>",
    "",
    "You may enter just d for the default system recording device.",
    "plughw:0,0 is often used for the device name.",
    "",
    "To create an interleaved stereo file, use s instead of 1 or 2 for",
    "the number of channels.  Only one filename is needed or created.",
};

const std::string kPrompt(const std::string& name) {
    return "\nFile " + name + " already exists!\nEnter 'x' to exit or 'o' to overwrite\n";
}

// A recording reaches 4 GiB. A 32-bit build without 64-bit file offsets cannot stat() or
// open() a file of 2 GiB or more (EOVERFLOW) and took such a file for absent. The test makes
// its files through the explicit 64-bit calls, so it does not depend on how it was built.
constexpr int64_t kLargeFileBytes = int64_t{3} << 30;

bool MakeLargeFile(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = ftruncate64(fd, kLargeFileBytes) == 0;  // sparse: no disk space used
    return close(fd) == 0 && ok;
}

int64_t LargeFileSize(const std::string& path) {
    struct stat64 st;
    return stat64(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

struct Refusal {
    std::vector<std::string> args;
    std::string out;  // standard output; a last line without its end gets one
    std::string err;
    std::string input;
};

// Too few arguments get the usage text, anything wrong one line in the order of the checks,
// a device that cannot be opened or set up its report; nothing is created, and the file
// over 2 GiB that was there (and is asked about) stays as it was.
TEST(Refusals, BeforeAnythingIsRecorded) {
    std::string usage;
    for (const char* line : kUsageLines) {
        usage += std::string(line) + "\n";
        if (line == kUsageLines[9]) {  // the table's heading
            for (const Format& f : kFormatTable) {
                usage += std::string(f.code) + "\t" + std::to_string(f.bits) + "\t" +
                         std::to_string(f.rate) + "\n";
            }
        }
    }
    usage.pop_back();  // the last line's end is the check's
    // In the report's columns.
    const auto refused = [](const char* rate, const char* channels) {
        return std::string(
                   "Could not set record hardware parameters:\nReturned Driver Parameters:\n") +
               "\tBuf 1\tBuf 2\tRate\tChannels\nRecord\t4096\t32768\t" + rate + "\t" + channels +
               "\n-------------------------";
    };
    const std::string same = "2 channels were requested, but both filenames are the same!";
    const std::string longDevice(64, 'x');
    const std::string okDevice(63, 'x');
    const Refusal cases[] = {
        {{}, usage},
        {{"1644"}, usage},
        {{"9999", "abc"}, "Improper format request"},
        {{"16440", "10"}, "Improper format request"},
        {{"1644", "0"}, "Improper duration request"},
        {{"1644", "-1", "d", "9"}, "Improper duration request"},
        {{"1644", "abc"}, "Improper duration request"},
        {{"1644", ""}, "Improper duration request"},
        {{"1644", "1e-50"}, "Improper duration request"},  // zero in single precision
        {{"1644", "nan"}, "Improper duration request"},
        {{"1644", "-1e300"}, "Improper duration request"},  // beyond single precision
        {{"1644", "inf"},
         "Improper duration request: at most 209146758205323 seconds in this format"},
        // Refused before the device is opened.
        {{"2496", "1e15", "nodev", "s"},
         "Improper duration request: at most 96076792050570 seconds in this format"},
        {{"1644", "abc", longDevice}, "Improper duration request"},
        {{"1644", "10", longDevice, "9"}, "Improper device name request"},
        {{"1644", "10", okDevice, "9"}, "Improper channel number request"},
        {{"1644", "10", "d", "S"}, "Improper channel number request"},
        {{"1644", "10", "d", "0"}, "Improper channel number request"},
        {{"1644", "10", "d", "3"}, "Improper channel number request"},
        {{"1644", "10", "d", "-1"}, "Improper channel number request"},
        {{"1644", "10", "d", ""}, "Improper channel number request"},
        {{"1644", "10", "d", "9", "exists.wav"}, "Improper channel number request"},
        {{"1644", "10", "d", "2", "a.wav"},
         "2 channels were requested, but on1y 1 filename was entered!"},
        {{"1644", "10", "d", "2", "a.wav", "a.wav"}, same},
        {{"1644", "10", "d", "2", "a.wav", "./a.wav"}, same},
        {{"1644", "10", "d", "2", "exists.wav", "sub/../exists.wav"}, same},
        {{"1644", "10", "d", "2", "nodir/a.wav", "nodir/a.wav"}, same},
        {{"1644", "10", "d", "2", "sub/link.wav", "sub/b.wav"}, same},
        {{"1644", "10", "d", "2", "exists.wav", "sub/hard.wav"}, same},  // a hard link
        // What exists is asked about; it survives a second name that cannot be opened, and a
        // dangling link (a name that exists) is not written through.
        {{"1648", "0.01", "null", "1", "exists.wav"}, kPrompt("exists.wav"), "", "x\n"},
        {{"1644", "1", "d", "2", "exists.wav", "nodir/b.wav"},
         kPrompt("exists.wav") + "Can't open nodir/b.wav for recording",
         "",
         "o"},
        {{"1644", "1", "d", "1", "sub/link.wav"},
         kPrompt("sub/link.wav") + "Can't open sub/link.wav for recording",
         "",
         "o"},
        // A name that cannot be created, the first or the second: the first is not left.
        {{"1644", "1", "d", "1", "nodir/a.wav"}, "Can't open nodir/a.wav for recording"},
        {{"1644", "1", "d", "2", "a.wav", "nodir/b.wav"}, "Can't open nodir/b.wav for recording"},
        // A device that cannot be opened or set up: its report, the values it returned.
        {{"1644", "1", "no_such_device"},
         "",
         "unable to open pcm record device: No such file or directory\n"},
        {{"2448", "1", "nalvo_16only"}, "", "Problem setting recording format: Invalid argument\n"},
        {{"1648", "1", "nalvo_44k"}, refused("44100", "2")},
        {{"1648", "1", "nalvo_mono"}, refused("48000", "1")},
        {{"1648", "1", "nalvo_mmaponly"}, refused("48000", "2")},
        {{"1648", "1", "nalvo_badcommit"}, refused("48000", "2")},
        // Options go first; a word that is no known option is read as the format.
        {{"--file-seconds", "1644", "10"}, "Improper format request"},
        {{"1644", "--until-stopped"}, "Improper duration request"},
        {{"--file-seconds=0", "1644", "10"}, "Improper option request"},
        {{"--file-seconds=1x", "1644", "10"}, "Improper option request"},
        {{"--file-seconds=31622401", "1644", "10"}, "Improper option request"},
        {{"--align", "1644", "10"}, "Improper option request"},
        {{"--time-names", "1644", "10", "d", "1", "a.wav"}, "Improper option request"},
        {{"--until-stopped", "1644", "d", "9"}, "Improper channel number request"},
        {{"--file-seconds=60", "1644", "10", "d", "2", "exists.wav", "sub/../exists.wav"}, same},
    };
    for (const Refusal& c : cases) {
        ScratchDir dir;
        ASSERT_TRUE(MakeLargeFile(dir / "exists.wav"));
        mkdir((dir / "sub").c_str(), 0755);
        symlink("b.wav", (dir / "sub/link.wav").c_str());  // relative to sub
        ASSERT_EQ(link((dir / "exists.wav").c_str(), (dir / "sub/hard.wav").c_str()), 0);
        std::string trace;
        for (const auto& a : c.args)
            trace += "'" + a + "' ";
        SCOPED_TRACE(trace);
        const RunResult r = RunNalvo({.args = c.args, .stdinText = c.input, .cwd = dir.path()});
        EXPECT_EQ(r.out, c.out.empty() || c.out.back() == '\n' ? c.out : c.out + "\n");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(dir.Files(), (std::vector<std::string>{"exists.wav", "sub"}));
        EXPECT_EQ(LargeFileSize(dir / "exists.wav"), kLargeFileBytes);
        struct stat st;
        EXPECT_NE(lstat((dir / "sub/b.wav").c_str(), &st), 0) << "written through sub/link.wav";
    }
}

// Words split at blanks: the arguments and the lists of names below.
std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

struct GuardCase {
    const char* name;
    const char* args;  // after "1648 0.01 null"
    const char* existing;
    std::string input;
    const char* prompts;  // names asked about, in order
    int status;
    const char* overwritten;
    const char* tail = "";  // what follows the prompts on standard output, when refused
};

TEST(OverwriteGuard, AsksAndReadsOneWordAtATime) {
    const GuardCase cases[] = {
        {"x leaves", "1 a.wav", "a.wav", "x\n", "a.wav", 1, ""},
        {"o overwrites", "1 a.wav", "a.wav", "o\n", "a.wav", 0, "a.wav"},
        {"end of input leaves", "1 a.wav", "a.wav", "", "a.wav", 1, ""},
        {"words that begin with o are not o", "1 a.wav", "a.wav", "ok oo overwrite\n", "a.wav", 1,
         ""},
        {"unknown words are skipped", "s a.wav", "a.wav", "X O yes xo ox xylophone o", "a.wav", 0,
         "a.wav"},
        {"empty lines are skipped", "1 a.wav", "a.wav", "\n\n\t \n  o\n", "a.wav", 0, "a.wav"},
        {"rest of the line answers the second prompt", "2 a.wav b.wav", "a.wav b.wav", "what o x\n",
         "a.wav b.wav", 1, ""},
        {"both overwritten", "2 a.wav b.wav", "a.wav b.wav", "o\no\n", "a.wav b.wav", 0,
         "a.wav b.wav"},
        {"x at the first of two prompts", "2 a.wav b.wav", "a.wav b.wav", "x o", "a.wav", 1, ""},
        {"only the second exists", "2 a.wav b.wav", "b.wav", "o", "b.wav", 0, "b.wav"},
        {"second name ignored in mode 1", "1 a.wav b.wav c", "a.wav b.wav", "o", "a.wav", 0,
         "a.wav"},
        {"one name in mode 2, kept", "2 a.wav", "a.wav", "o", "a.wav", 1, "",
         "2 channels were requested, but on1y 1 filename was entered!\n"},
        {"one name in mode 2, left", "2 a.wav", "a.wav", "x", "a.wav", 1, ""},
        {"a word with a NUL byte is no o", "1 a.wav", "a.wav", std::string("o\0", 2), "a.wav", 1,
         ""},
    };
    for (const GuardCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        // Longer than the recording: an overwritten file must not keep its old tail.
        const std::string old(100000, 'k');
        for (const auto& name : Words(c.existing)) {
            WriteFile(dir / name, old);
        }
        const RunResult r = RunNalvo({.args = Words(std::string("1648 0.01 null ") + c.args),
                                      .stdinText = c.input,
                                      .cwd = dir.path()});
        std::string prompts;
        for (const auto& name : Words(c.prompts)) {
            prompts += kPrompt(name);
        }
        EXPECT_EQ(r.status, c.status);
        if (c.status == 1) {
            EXPECT_EQ(r.out, prompts + c.tail);
        } else {
            EXPECT_EQ(r.out.substr(0, prompts.size()), prompts);
        }
        const std::vector<std::string> overwritten = Words(c.overwritten);
        for (const auto& name : Words(c.existing)) {
            const bool over =
                std::find(overwritten.begin(), overwritten.end(), name) != overwritten.end();
            EXPECT_EQ(ReadFile(dir / name).size() != old.size(), over) << name;
        }
    }
}

// Names a user or an attacker may hand over: what exists is asked about (never opened to
// find out), a name that did not exist is only ever created, what existed survives a run
// that fails before recording, and every header is written through the file's own
// descriptor.
TEST(OverwriteGuard, HostileNamesAndFiles) {
    using Dir = const ScratchDir&;
    const auto wav = [](const std::string& path, size_t frames) {
        const Wav w = ReadWav(path);
        EXPECT_TRUE(w.Whole()) << path;
        EXPECT_EQ(w.Frames(), frames) << path;
    };
    const auto file = [](const std::string& path) {
        const std::vector<uint8_t> b = ReadFile(path);
        return std::string(b.begin(), b.end());
    };
    const auto pattern = [](const char* tail) {
        return Words(std::string("1644 0.1 nalvo_pattern ") + tail);
    };
    std::string cwd;  // the scratch directory of the case running
    std::thread reader;
    std::string piped;  // what a reader of a FIFO got
    struct Case {
        const char* name;
        std::function<void(Dir)> setup;
        RunOptions run;
        int status;
        std::string out;  // what standard output starts with
        std::function<void(Dir, const RunResult&)> check;
    };
    const Case cases[] = {
        {"a file we may write but not read is asked about, then recorded",
         [&](Dir d) {
             WriteFile(d / "wo.wav", "data");
             chown((d / "wo.wav").c_str(), 65534, 65534);
             chmod((d / "wo.wav").c_str(), 0200);
         },
         {.args = pattern("1 wo.wav"), .stdinText = "o", .uid = 65534},
         0,
         kPrompt("wo.wav") + "Recording\n",
         [&](Dir d, const RunResult&) { wav(d / "wo.wav", 8192); }},
        {"a new file we may not read",
         nullptr,
         {.args = pattern("1 new.wav"), .uid = 65534, .umask = 0477},
         0,
         "Recording\n",
         [&](Dir d, const RunResult&) { wav(d / "new.wav", 8192); }},
        {"a FIFO is asked about, not opened",
         [](Dir d) { mkfifo((d / "f.wav").c_str(), 0666); },
         {.args = pattern("1 f.wav"), .stdinText = "x"},
         1,
         kPrompt("f.wav"),
         nullptr},
        {"a FIFO someone reads gets a header announcing the planned length, then the audio",
         [&](Dir d) {
             mkfifo((d / "p.wav").c_str(), 0666);
             reader = std::thread([&piped, path = d / "p.wav"] {
                 const int fd = open(path.c_str(), O_RDONLY);
                 char buf[65536];
                 ssize_t n;
                 while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) {
                     piped.append(buf, static_cast<size_t>(n));
                 }
                 close(fd);
             });
         },
         {.args = pattern("1 p.wav"), .stdinText = "o"},
         0,
         kPrompt("p.wav") + "Recording\n",
         [&](Dir d, const RunResult&) {
             // A reader still waiting for a writer is let go.
             const int fd = open((d / "p.wav").c_str(), O_WRONLY | O_NONBLOCK);
             if (fd >= 0) {
                 close(fd);
             }
             reader.join();
             WriteFile(d / "piped.wav", piped);
             wav(d / "piped.wav", 8192);
         }},
        {"what existed survives a size limit below a header",
         [](Dir d) { WriteFile(d / "keep.wav", "old\n"); },
         {.args = pattern("1 keep.wav"), .stdinText = "o", .fileSizeLimit = 20},
         1,
         kPrompt("keep.wav") + "Can't open keep.wav for recording\n",
         [&](Dir d, const RunResult&) { EXPECT_EQ(file(d / "keep.wav"), "old\n"); }},
        {"a device node is recorded into and stays",
         [](Dir d) { mknod((d / "mynull").c_str(), S_IFCHR | 0666, makedev(1, 3)); },
         {.args = pattern("1 mynull"), .stdinText = "o"},
         0,
         kPrompt("mynull") + "Recording\n",
         [](Dir d, const RunResult& r) {
             struct stat st;
             EXPECT_TRUE(lstat((d / "mynull").c_str(), &st) == 0 && S_ISCHR(st.st_mode));
             EXPECT_EQ(r.err, "");
         }},
        {"a name that appears after the check is not replaced",
         [](Dir d) { WriteFile(d / "a.wav", "keep"); },
         {.args = pattern("2 a.wav b.wav"),
          .stdinText = "o",
          .watch =
              [&](const std::string& out, pid_t) {
                  // Another run takes the second name while the first is asked about.
                  if (out.find("overwrite") == std::string::npos) {
                      return false;
                  }
                  WriteFile(cwd + "/b.wav", "theirs");
                  return true;
              },
          .holdInput = true},
         1,
         kPrompt("a.wav") + "Can't open b.wav for recording\n",
         [&](Dir d, const RunResult&) {
             EXPECT_EQ(file(d / "a.wav"), "keep");
             EXPECT_EQ(file(d / "b.wav"), "theirs");
         }},
        {"a file renamed while recording keeps its audio, its name's new owner is untouched",
         nullptr,
         {.args = {"1648", "1", "nalvo_live", "1", "a.wav"},
          .watch =
              [&](const std::string& out, pid_t) {
                  if (Count(out, "\r") < 3) {
                      return false;
                  }
                  rename((cwd + "/a.wav").c_str(), (cwd + "/moved.wav").c_str());
                  WriteFile(cwd + "/a.wav", "victim\n");
                  return true;
              }},
         0,
         "Recording\n",
         [&](Dir d, const RunResult&) {
             EXPECT_EQ(file(d / "a.wav"), "victim\n");
             wav(d / "moved.wav", 12 * 4096);
         }},
        {"closed standard descriptors never receive a file",
         nullptr,
         {.args = {"1644", "1", "gone", "1", "x.wav"}, .alsaConfig = "gone", .closeFds = {0, 2}},
         1,
         "Recording\n",
         [&](Dir d, const RunResult&) {
             wav(d / "x.wav", 10000);
             EXPECT_EQ(file(d / "x.wav").find("failed"), std::string::npos);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        chmod(dir.path().c_str(), 0777);
        cwd = dir.path();
        if (c.setup) {
            c.setup(dir);
        }
        RunOptions run = c.run;
        run.cwd = dir.path();
        run.timeoutSeconds = 20;
        if (run.alsaConfig == "gone") {
            run.alsaConfig =
                WithDevices(dir, "pcm.gone { type nalvo_fake fail_after_frames 10000 }\n");
        }
        const RunResult r = RunNalvo(run);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
        if (c.check) {
            c.check(dir, r);
        }
    }
}

}  // namespace
