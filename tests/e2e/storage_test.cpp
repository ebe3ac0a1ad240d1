// Slow, full and failing storage: a stall must not cost audio, a full disk must end with
// valid files, and a power cut must leave headers that were true a moment before it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "model.h"

namespace {

const Format& k2496 = FormatOf("2496");
const Format& k1648 = FormatOf("1648");

// Writes to files stalled, or only those to descriptor `fd`.
std::vector<std::string> Stall(long afterBytes, long ms, int fd = -1) {
    return {std::string("LD_PRELOAD=") + NALVO_STALL_SHIM,
            "NALVO_STALL_AFTER_BYTES=" + std::to_string(afterBytes),
            "NALVO_STALL_MS=" + std::to_string(ms), "NALVO_STALL_FD=" + std::to_string(fd)};
}

// True when a thread of process `pid` runs with real-time (FIFO) scheduling.
bool HasRealtimeThread(pid_t pid) {
    bool found = false;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(tasks.c_str())) {
        while (dirent* e = readdir(d)) {
            found = found || sched_getscheduler(atoi(e->d_name)) == SCHED_FIFO;
        }
        closedir(d);
    }
    return found;
}

TEST(SlowStorage, StallsOfTheFilesOrTheConsoleLoseNothingTheQueueCanHold) {
    // Far longer than the device's own buffer holds (0.34 s at 96 kHz): the queue must hold
    // twelve seconds whatever period the device grants, and a console that waits on storage
    // must not hold up the capture. A longer stall makes the capture drop periods of its own,
    // marked like overruns, written as silence in their place. The capture thread runs at
    // real-time priority where the system allows it.
    struct Case {
        Format fmt;
        const char* keys;
        const char* seconds;
        int period;
        int64_t frames;  // the length in whole periods
        std::vector<std::string> env;
        const char* outFile;  // standard output into this file; empty: a pipe
        bool drops = false;
    };
    const Case cases[] = {
        {k2496, "realtime true", "7", 4096, 165 * 4096, Stall(1 << 20, 5000), ""},
        {k1648, "realtime true\n formats [ \"S16_LE\" ]\n period_frames 1024", "7", 1024,
         329 * 1024, Stall(200000, 5000), ""},
        // The console redirected to a file on the card that holds the recording (nohup),
        // and only that file stalls.
        {k2496, "realtime true", "7", 4096, 165 * 4096, Stall(1000, 3000, 1), "console.txt"},
        // Longer than the twelve seconds the queue holds.
        {k1648, "realtime true", "16", 4096, 188 * 4096, Stall(200000, 14000), "", true},
    };
    bool allowed = false;
    std::thread([&] {
        sched_param p{1};
        allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
    }).join();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys + std::string(" for ") + c.seconds + " s");
        ScratchDir dir;
        bool realtime = false;
        const RunResult r = Record(dir, c.fmt, c.seconds, kModes[2], "live", c.keys,
                                   {.env = c.env,
                                    .watch =
                                        [&](const std::string& out, pid_t child) {
                                            if (Count(out, "\r") < 2) {
                                                return false;
                                            }
                                            realtime = HasRealtimeThread(child);
                                            return true;
                                        },
                                    .outFile = *c.outFile ? dir / c.outFile : ""});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(realtime, allowed);
        const size_t marks = Count(r.out, "\nRX\n");
        EXPECT_EQ(marks > 0, c.drops);
        EXPECT_EQ(r.out.find("Overruns") != std::string::npos, marks > 0);
        EXPECT_EQ(Count(r.out, "\nRecord Overruns = " + std::to_string(marks) + "\n"),
                  marks > 0 ? 1u : 0u);
        // Each period is either the device's audio for that moment or silence.
        const Wav w = ReadWav(dir / "in1.wav");
        Source src = PatternSource();
        for (size_t p = 0; p < w.Frames() / c.period; ++p) {
            bool zero = true;
            for (size_t f = p * c.period; zero && f < (p + 1) * c.period; ++f) {
                zero = w.Sample(f, 0) == 0;
            }
            if (zero) {
                src.lostPeriods.insert(static_cast<int>(p));
            }
        }
        EXPECT_EQ(src.lostPeriods.size(), marks);
        ExpectRecording(dir / "in1.wav", c.fmt, true, 0, src, c.frames, c.period);
    }
}

TEST(PowerCut, HeadersNeverAnnounceMoreThanTheFileHolds) {
    auto firstStop = std::chrono::steady_clock::time_point();
    struct Case {
        const char* name;
        Mode mode;
        RunOptions run;
        int endedBy = SIGKILL;
    };
    const Case cases[] = {
        // Mid-recording: at most about two seconds of audio past the header's count.
        {"two files", kModes[1], {.signalAfterRedraws = 45, .stopSignal = SIGKILL}},
        {"stereo", kModes[2], {.signalAfterRedraws = 45, .stopSignal = SIGKILL}},
        // Before the first update (held up by storage): the header as created.
        {"at once",
         kModes[2],
         {.env = Stall(44, 3000),
          .watch =
              [](const std::string& out, pid_t child) {
                  return out.find("Recording") != std::string::npos && kill(child, SIGKILL) == 0;
              }}},
        // A second stop while storage holds up the drain ends nalvo at once.
        {"stopped twice while storage stalls",
         kModes[0],
         {.env = Stall(150000, 15000),
          .watch =
              [&](const std::string& out, pid_t child) {
                  if (firstStop == std::chrono::steady_clock::time_point()) {
                      if (Count(out, "\r") >= 30) {
                          kill(child, SIGINT);
                          firstStop = std::chrono::steady_clock::now();
                      }
                      return false;
                  }
                  return std::chrono::steady_clock::now() - firstStop >=
                             std::chrono::milliseconds(500) &&
                         kill(child, SIGINT) == 0;
              }},
         SIGINT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const RunResult r = Record(dir, k1648, "30", c.mode, "live", "realtime true", c.run);
        ASSERT_EQ(r.termSignal, c.endedBy);
        for (const std::string& name : OutputFiles(c.mode)) {
            const Wav w = ReadWav(dir / name);
            ASSERT_TRUE(w.valid) << name;
            EXPECT_EQ(w.dataSize % w.blockAlign, 0u);
            EXPECT_LE(w.dataSize, w.data.size()) << name;
            EXPECT_LE(w.data.size() - w.dataSize, 3u * w.byteRate) << name;
        }
    }
}

// The order a power cut depends on, seen in the file calls themselves: audio is synced
// before the sizes that announce it are written, the first update is synced before anything
// is captured, and the final header is synced before nalvo says Done.
TEST(PowerCut, EveryHeaderAnnouncesOnlyAudioSyncedBeforeIt) {
    ScratchDir dir;
    std::vector<std::string> env = Stall(0, 0);
    env.push_back("NALVO_STALL_LOG=" + dir / "calls");
    // 1000-frame periods of 16-bit audio are 2000 bytes: the stream's buffer holds part of
    // the audio at nearly every update.
    const RunResult r =
        Record(dir, k1648, "2.5", kModes[0], "live",
               "realtime true\n formats \"S16_LE\"\n period_frames 1000", {.env = env});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto hex32 = [](int64_t v) {
        return Hex({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
    };
    const std::vector<uint8_t> log = ReadFile(dir / "calls");
    std::istringstream lines(std::string(log.begin(), log.end()));
    std::vector<std::string> calls;  // "sync SIZE" or "pwrite OFFSET HEX", in order
    int64_t synced = -1;
    size_t updates = 0;
    for (std::string what, fd, number, bytes; lines >> what >> fd >> number;) {
        if (what == "sync") {
            calls.push_back("sync " + number);
            synced = std::stoll(number);
            continue;
        }
        lines >> bytes;
        calls.push_back("pwrite " + number + " " + bytes);
        if (number == "4" || number == "40") {
            // The sizes of an update: exactly the audio made durable before them.
            EXPECT_EQ(bytes, hex32(synced - 44 + (number == "4" ? 36 : 0))) << calls.size();
            updates += number == "40";
        }
    }
    EXPECT_GE(updates, 2u);  // the first, then one a second
    const std::vector<std::string> first = {"sync 44", "pwrite 4 24000000", "pwrite 40 00000000",
                                            "sync 44"};
    ASSERT_GE(calls.size(), first.size() + 2);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4), first);
    EXPECT_EQ(calls[calls.size() - 2], "pwrite 0 " + Hex(ReadFile(dir / "in1.wav", 0, 44)));
    EXPECT_EQ(calls.back(), "sync " + std::to_string(ReadFile(dir / "in1.wav").size()));
}

TEST(StorageFailure, NamedWhenItHappensAndTheFileStaysValid) {
    struct Case {
        const char* name;
        std::vector<std::string> env;
        long fileSizeLimit;
        std::string line;
        bool lineFirst;  // the line comes before the report, as a failure that ends the capture
        int64_t frames;  // in1.wav holds so many frames of the device, all announced; -1: fewer
        Mode mode = kModes[0];
    };
    const std::string stopped = "nalvo: recording stopped, cannot write in1.wav: ";
    const std::string eio = stopped + "Input/output error\n", full = stopped + "File too large\n";
    const std::string uncorrected =
        "nalvo: cannot correct the header of in1.wav: Input/output error\n";
    const long two = 44 + 2 * 8192 + 1;  // a size limit a byte past two periods
    const Case cases[] = {
        // The first header update, before the capture: nothing is recorded without it.
        {"first update", {"NALVO_FAIL_SYNCS=1"}, -1, eio, true, 0},
        // The disk fills while storage holds the writer up: the capture is over by then. The
        // write that failed is cut back to whole frames; the other file stays whole too.
        {"full when the capture is over", Stall(1000, 300), two, full, true, 8192, kModes[1]},
        // The same without a writer thread (none could be had): the capture thread writes,
        // and the file size limit must not kill it.
        {"full, written as captured", {"NALVO_FAIL_THREADS=1"}, two, full, true, 8192},
        // A close reporting a write the file system could not complete (NFS, FUSE).
        {"close", {"NALVO_FAIL_CLOSE=1"}, -1, eio, false, 6 * 4096},
        // The final header cannot be written: it stands as last brought up to date.
        {"final header", {"NALVO_FAIL_PWRITE_AT=0"}, -1, uncorrected, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::vector<std::string> env = Stall(0, 0);
        env.insert(env.end(), c.env.begin(), c.env.end());
        const RunResult r =
            Record(dir, k1648, "0.5", c.mode, "nalvo_pattern", "",
                   {.fileSizeLimit = c.fileSizeLimit, .env = env, .errToOut = true});
        EXPECT_EQ(r.status, 1);
        const size_t line = r.out.find(c.line), report = r.out.find("\n\nInput Channel Peaks:\n");
        ASSERT_NE(line, std::string::npos) << r.out;
        ASSERT_NE(report, std::string::npos);
        EXPECT_EQ(line < report, c.lineFirst);
        EXPECT_EQ(r.out.find("Done"), std::string::npos);
        if (c.frames >= 0) {
            ExpectRecording(dir / "in1.wav", k1648, false, 0, PatternSource(), c.frames, 4096);
        } else {
            const Wav w = ReadWav(dir / "in1.wav");
            ASSERT_TRUE(w.valid);
            EXPECT_LT(w.dataSize, w.data.size());
        }
        EXPECT_TRUE(c.mode.files == 1 || ReadWav(dir / "in2.wav").Whole());
    }
}

TEST(FullDisk, WarnedBeforeAndEndedWithAValidFile) {
    ScratchDir dir;
    const std::string small = dir / "small";
    mkdir(small.c_str(), 0755);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    // Two files on it, each of which would fit alone: together they need more than the room
    // (though not twice as much). Whichever fills it stops the recording.
    const RunResult r =
        RunNalvo({.args = {"1648", "2", "nalvo_pattern", "2", "small/a.wav", "small/b.wav"},
                  .cwd = dir.path()});
    const Wav w[2] = {ReadWav(small + "/a.wav"), ReadWav(small + "/b.wav")};
    umount(small.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("nalvo: warning: the file system of small/a.wav has 0.3 MB free, "
                          "the recording needs 0.4 MB (0.1 MB short)\n"
                          "nalvo: recording stopped, cannot write small/",
                          0),
              0u)
        << r.err;
    const std::string reason = ".wav: No space left on device\n";
    EXPECT_EQ(r.err.rfind(reason), r.err.size() - reason.size()) << r.err;
    for (const Wav& file : w) {
        ASSERT_TRUE(file.Whole());
        EXPECT_GT(file.dataSize, 0u);
    }
}

}  // namespace
