// Slow, full and failing storage: a stall must not cost audio, a full disk must end with
// valid files, and a power cut must leave headers that were true a moment before it.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.h"
#include "model.h"

namespace {

const Format k2496 = {"2496", 96000, 3};
const Format k1648 = {"1648", 48000, 2};

std::vector<std::string> Stall(long afterBytes, long ms) {
    return {std::string("LD_PRELOAD=") + NALVO_STALL_SHIM,
            "NALVO_STALL_AFTER_BYTES=" + std::to_string(afterBytes),
            "NALVO_STALL_MS=" + std::to_string(ms)};
}

TEST(SlowStorage, FiveSecondStallLosesNothing) {
    // Far longer than the device's own buffer holds (0.34 s at 96 kHz).
    ScratchDir dir;
    const RunResult r =
        RunNalvo({.args = Args(k2496, "7", "live", kModes[2]),
                  .cwd = dir.path(),
                  .alsaConfig = WithDevices(dir, FakeDevice("live", "realtime true")),
                  .env = Stall(1 << 20, 5000)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("RX"), std::string::npos);
    EXPECT_EQ(r.out.find("Overruns"), std::string::npos);
    const int64_t frames = 165 * 4096;  // 7 s at 96 kHz in whole periods
    ExpectRecording(dir / "in1.wav", k2496, true, 0, PatternSource(), frames, 4096);
}

TEST(SlowStorage, StallLongerThanTheQueueDropsWholePeriodsOnTheTimeline) {
    // Twelve seconds are queued; a longer stall makes the capture drop periods of its own,
    // marked like overruns, written as silence in their place.
    ScratchDir dir;
    const RunResult r =
        RunNalvo({.args = Args(k1648, "16", "live", kModes[0]),
                  .cwd = dir.path(),
                  .alsaConfig = WithDevices(dir, FakeDevice("live", "realtime true")),
                  .env = Stall(100000, 14000)});
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t marks = Count(r.out, "\nRX\n");
    ASSERT_GE(marks, 1u);
    EXPECT_NE(r.out.find("\nRecord Overruns = " + std::to_string(marks) + "\n"), std::string::npos);
    const Wav w = ReadWav(dir / "in1.wav");
    ASSERT_TRUE(w.valid);
    const int64_t total = 188 * 4096;
    ASSERT_EQ(static_cast<int64_t>(w.Frames()), total);
    EXPECT_EQ(w.dataSize, w.data.size());
    // Each period is either the device's audio for that moment or silence.
    const Source src = PatternSource();
    size_t silent = 0;
    for (int64_t p = 0; p < total / 4096; ++p) {
        bool audio = true, zero = true;
        for (int64_t f = p * 4096; f < (p + 1) * 4096; ++f) {
            const int32_t v = w.Sample(static_cast<size_t>(f), 0);
            audio = audio && v == src.Sample(f, 0, k1648.rate, 16);
            zero = zero && v == 0;
        }
        ASSERT_TRUE(audio || zero) << "period " << p;
        silent += zero ? 1 : 0;
    }
    EXPECT_EQ(silent, marks);
}

TEST(PowerCut, HeadersNeverAnnounceMoreThanTheFileHolds) {
    struct Case {
        const char* name;
        Mode mode;
        RunOptions run;
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        RunOptions run = c.run;
        run.args = Args(k1648, "30", "live", c.mode);
        run.cwd = dir.path();
        run.alsaConfig = WithDevices(dir, FakeDevice("live", "realtime true"));
        const RunResult r = RunNalvo(run);
        ASSERT_EQ(r.termSignal, SIGKILL);
        for (const char* name : {"in1.wav", "in2.wav"}) {
            if (c.mode.files == 1 && std::string(name) == "in2.wav") {
                continue;
            }
            const Wav w = ReadWav(dir / name);
            ASSERT_TRUE(w.valid) << name;
            EXPECT_EQ(w.dataSize % w.blockAlign, 0u);
            EXPECT_LE(w.dataSize, w.data.size()) << name;
            EXPECT_LE(w.data.size() - w.dataSize, 3u * w.byteRate) << name;
        }
    }
}

TEST(StorageFailure, FirstHeaderUpdateIsCheckedLikeEveryOther) {
    ScratchDir dir;
    std::vector<std::string> env = Stall(0, 0);
    env.push_back("NALVO_FAIL_SYNCS=1");
    const RunResult r =
        RunNalvo({.args = Args(k1648, "3", "live", kModes[0]),
                  .cwd = dir.path(),
                  .alsaConfig = WithDevices(dir, FakeDevice("live", "realtime true")),
                  .env = env});
    EXPECT_EQ(r.status, 1);
    // The last line: under an emulator the host's loader may warn about the shim first.
    const std::string line = "nalvo: recording stopped, cannot write in1.wav: Input/output error\n";
    ASSERT_GE(r.err.size(), line.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - line.size()), line);
    const Wav w = ReadWav(dir / "in1.wav");
    ASSERT_TRUE(w.valid);
    EXPECT_EQ(w.dataSize, w.data.size());
    EXPECT_LT(w.Frames(), 3u * 48000);  // stopped, not recorded on without updates
}

TEST(UserStop, SecondSignalEndsAStalledDrainAtOnce) {
    ScratchDir dir;
    auto firstAt = std::chrono::steady_clock::time_point();
    const RunResult r = RunNalvo(
        {.args = Args(k1648, "30", "live", kModes[0]),
         .cwd = dir.path(),
         .alsaConfig = WithDevices(dir, FakeDevice("live", "realtime true")),
         .env = Stall(150000, 15000),
         .watch = [&](const std::string& out, pid_t child) {
             // The first stop while storage is stalled, the second a moment later.
             if (firstAt == std::chrono::steady_clock::time_point()) {
                 if (Count(out, "\r") >= 30) {
                     kill(child, SIGINT);
                     firstAt = std::chrono::steady_clock::now();
                 }
                 return false;
             }
             if (std::chrono::steady_clock::now() - firstAt < std::chrono::milliseconds(500)) {
                 return false;
             }
             kill(child, SIGINT);
             return true;
         }});
    EXPECT_EQ(r.termSignal, SIGINT);
    const Wav w = ReadWav(dir / "in1.wav");
    ASSERT_TRUE(w.valid);
    EXPECT_LE(w.dataSize, w.data.size());
}

TEST(FullDisk, WarnedBeforeAndEndedWithAValidFile) {
    ScratchDir dir;
    const std::string small = dir / "small";
    mkdir(small.c_str(), 0755);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    const RunResult r =
        RunNalvo({.args = {"1648", "5", "nalvo_pattern", "1", "small/a.wav"}, .cwd = dir.path()});
    const Wav w = ReadWav(small + "/a.wav");
    umount(small.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("nalvo: warning: the file system of small/a.wav has 0.3 MB free, "
                          "the recording needs 0.5 MB (0.2 MB short)\n",
                          0),
              0u)
        << r.err;
    EXPECT_NE(r.err.find("nalvo: recording stopped, cannot write small/a.wav: No space left on "
                         "device\n"),
              std::string::npos)
        << r.err;
    ASSERT_TRUE(w.valid);
    EXPECT_EQ(w.dataSize, w.data.size());
    EXPECT_GT(w.dataSize, 0u);
}

}  // namespace
