// Every way a recording can be disturbed: overruns, suspends, clipping, a lost device, a
// full file system and the user stopping it. Whatever happens, each file must end with a
// header that tells the truth about the whole frames after it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "harness.h"
#include "model.h"

namespace {

const Format kFormats[] = {FormatOf("1648"), FormatOf("2448")};

// Both ways of reading the device: interleaved frames and one run per input.
const char* const kAccess[] = {"access [ \"RW_INTERLEAVED\" ]", "access [ \"RW_NONINTERLEAVED\" ]"};

TEST(Overrun, MarkedAndSilentOnTheTimelineAndClippingWarnedInEveryLayoutAndMode) {
    // Overruns of the very first read and one in the middle. Input 1 quiet, then at full
    // scale in period 1, which is warned one period late (the report gives the loudest period,
    // not the first); input 2 silent but for a full-scale sample in the last period, which is
    // written but never measured. Each input is measured on its own samples.
    Source overruns = PatternSource(), clipping{{nalvo_fake::Const(1000), nalvo_fake::Silence()}};
    overruns.lostPeriods = {0, 3};
    clipping.ch[0].fullscale = {5000};
    clipping.ch[1].fullscale = {22000};
    const std::pair<const char*, const Source&> cases[] = {
        {"xrun_periods [ 0 3 ]\n", overruns},
        {"signal0 const\n value0 1000\n fullscale0 [ 5000 ]\n signal1 silence\n"
         " fullscale1 [ 22000 ]\n",
         clipping},
    };
    for (const auto& [keys, src] : cases)
        for (const char* access : kAccess)
            for (const Format& fmt : kFormats) {
                for (const Mode& mode : kModes) {
                    SCOPED_TRACE(keys + std::string(access) + " " + fmt.code + " mode " + mode.arg);
                    ScratchDir dir;
                    const RunResult r =
                        Record(dir, fmt, "0.5", mode, "dev", keys + std::string(access));
                    ASSERT_EQ(r.status, 0) << r.err;
                    EXPECT_EQ(r.out, ExpectedStream(mode, fmt, src, 4096, 6 * 4096));
                    ExpectRecordings(dir, fmt, mode, src, 6 * 4096, 4096);
                }
            }
}

TEST(Overrun, WithinAPeriodKeepsWhatWasReadAndSilencesTheRest) {
    // Late in a recording longer than the writer's queue (12 s), so the period is read into
    // a buffer that held audio before: what the overrun lost must not show it again.
    const Format fmt = kFormats[1];
    const int64_t at = 145 * 4096 + 1000;
    Source src = PatternSource();
    src.lostFrames = {at, 146 * 4096};  // up to the next period
    for (const char* access : kAccess) {
        SCOPED_TRACE(access);
        ScratchDir dir;
        const RunResult r = Record(dir, fmt, "12.5", kModes[1], "xr",
                                   "xrun_frames [ " + std::to_string(at) + " ]\n" + access);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Count(r.out, "\nRX\n"), 1u);
        ExpectRecordings(dir, fmt, kModes[1], src, 147 * 4096, 4096);
    }
}

TEST(Overrun, SuspendIsSilenceForTheTimeAwayAndNoMore) {
    // The device is away for a while, as a system waking from sleep brings it back, then
    // goes on with the frame where it stopped: the time away is silence, by the clock. A
    // suspend that ends at once costs next to no time, so next to no silence; one of a device
    // without a clock (the fast one), the rest of the period.
    struct Case {
        const char* keys;
        int64_t minSilence, maxSilence;  // frames
    };
    const Case cases[] = {
        {"realtime true\n suspend_periods [ 3 ]\n suspend_ms 500", 24000, 24000 + 4096},
        {"realtime true\n suspend_periods [ 3 ]", 0, 1000},
        {"suspend_periods [ 3 ]", 4096, 4097},
    };
    const Format fmt = kFormats[1];  // 24-bit: the pattern does not repeat in the recording
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        ScratchDir dir;
        const RunResult r = Record(dir, fmt, "1.5", kModes[0], "sus", c.keys);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Count(r.out, "\nRX\n"), 1u);
        EXPECT_NE(r.out.find("\nRecord Overruns = 1\n"), std::string::npos);
        // Silence from the period the suspend came in, then the device's frames from there.
        const Wav w = ReadWav(dir / "in1.wav");
        int64_t gap = 0;
        while (3 * 4096 + gap < int64_t(w.Frames()) && w.Sample(size_t(3 * 4096 + gap), 0) == 0) {
            ++gap;
        }
        EXPECT_GE(gap, c.minSilence);
        EXPECT_LT(gap, c.maxSilence);
        Source src = PatternSource();
        src.lostFrames = {3 * 4096, 3 * 4096 + gap};
        ExpectRecording(dir / "in1.wav", fmt, false, 0, src, 18 * 4096, 4096, 3 * 4096 + gap, gap);
    }
}

TEST(Overrun, LongGapIsSilenceAndLaterAudioStaysWhereItWasCaptured) {
    // nalvo frozen for 2 s, three times what the device's ring holds (32768 frames, 0.68 s):
    // the device stops, and the world it would have captured meanwhile is lost.
    const Format fmt = kFormats[1];  // 24-bit: the pattern does not repeat in the recording
    ScratchDir dir;
    double frozen = 0;
    const RunResult r = Record(
        dir, fmt, "4", kModes[0], "live", "realtime true",
        {.signalAfterRedraws = 6, .atRedraws = [&](pid_t pid) {
             const auto start = std::chrono::steady_clock::now();
             kill(pid, SIGSTOP);
             std::this_thread::sleep_for(std::chrono::seconds(2));
             kill(pid, SIGCONT);
             frozen =
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
         }});
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t marks = Count(r.out, "\nRX\n");
    EXPECT_GE(marks, 1u);
    EXPECT_NE(r.out.find("\nRecord Overruns = " + std::to_string(marks) + "\n"), std::string::npos);
    const Wav w = ReadWav(dir / "in1.wav");
    ASSERT_TRUE(w.Whole());
    const int64_t total = 47 * 4096;  // 4 s in whole periods
    ASSERT_EQ(static_cast<int64_t>(w.Frames()), total);
    // Each frame is silence or the device's frame of that moment, give or take a period. The
    // silence is the gap: the time frozen, the period being read when it began, and a period
    // for rounding.
    int64_t silent = 0;
    for (int64_t p = 0; p < total; ++p) {
        const int32_t v = w.Sample(static_cast<size_t>(p), 0);
        if (v == 0) {
            ++silent;
            continue;
        }
        const int64_t captured = nalvo_fake::PatternFrame(v, 0, 24);
        if (std::abs(captured - p) > 4096) {
            ADD_FAILURE() << "frame " << p << " holds device frame " << captured;
            break;
        }
    }
    EXPECT_LE(silent, static_cast<int64_t>(frozen * fmt.rate) + 3 * 4096);
}

TEST(DeviceLost, CaptureStopsAndFilesHoldWhatWasDelivered) {
    const Source src = PatternSource();
    for (const char* access : kAccess)
        for (const Format& fmt : kFormats) {
            for (const Mode& mode : kModes) {
                SCOPED_TRACE(std::string(access) + " " + fmt.code + " mode " + mode.arg);
                ScratchDir dir;
                const RunResult r = Record(dir, fmt, "1", mode, "gone",
                                           std::string("fail_after_frames 10000\n") + access);
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err,
                          "nalvo: recording stopped, the capture device failed: No such device\n");
                // Two whole periods were shown; the report covers them and no "Done" follows.
                EXPECT_EQ(Count(r.out, "\r"), 2u);
                const size_t report = r.out.find("\n\nInput Channel Peaks:\n\tchannel 1: ");
                ASSERT_NE(report, std::string::npos);
                EXPECT_EQ(r.out.find("Done"), std::string::npos);
                ExpectRecordings(dir, fmt, mode, src, 10000, 4096);
            }
        }
}

TEST(DeviceLost, BeforeItsFirstFrameLeavesNoFile) {
    // A device that opens and fails at once: a service retrying it must not fill the card
    // with empty files, given names or generated.
    for (const char* mode : {"2", ""}) {
        ScratchDir dir;
        std::vector<std::string> args = {"1648", "1", "gone", "2", "a.wav", "b.wav"};
        args.resize(*mode ? 6 : 3);
        const RunResult r = RunNalvo(
            {.args = args,
             .cwd = dir.path(),
             .alsaConfig = WithDevices(dir, "pcm.gone { type nalvo_fake fail_after_frames 0 }\n")});
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(dir.Files(), std::vector<std::string>{"devices.conf"}) << mode;
    }
}

TEST(DeviceLost, ASourceThatStopsOrDiesEndsWithWhatItDeliveredAndNoMore) {
    // One second of audio, then a source that delivers nothing and reports nothing (a sound
    // server whose session manager is gone), or a server that died: every read fails, and a
    // restart is accepted and fails again at once. Neither may leave silence standing in for
    // time that did not pass, and a stop must be heard while nothing comes.
    const Format fmt = kFormats[1];
    struct Case {
        const char* name;
        const char* keys;
        double stopAfter;  // seconds after the last redraw before the stall; < 0: none
        int stop;          // the signal then
        int status;
        const char* err;
        int64_t delivered, silenceMax;  // frames, then at most so many after them
    };
    const Case cases[] = {
        {"stalled", "stall_after_frames 48000", -1, 0, 1,
         "nalvo: recording stopped, the capture device failed: src gave no audio for 5 s\n", 48000,
         0},
        {"stalled, then stopped", "stall_after_frames 48000", 1.0, SIGINT, 0, "", 48000, 0},
        // Eleven periods, fewer than the writer is woken for: a power cut three seconds into
        // the silence finds them announced already.
        {"stalled, then killed", "stall_after_frames 45056", 3.0, SIGKILL, -1, "", 45056, 0},
        {"server died", "dead_after_frames 48000", -1, 0, 1,
         "nalvo: recording stopped, the capture device failed: src gave no audio after a "
         "restart\n",
         48000, 2400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const RunResult r =
            Record(dir, fmt, "20", kModes[2], "src", std::string("realtime true\n") + c.keys,
                   {.signalAfterRedraws = c.stopAfter < 0 ? -1 : 11,
                    .atRedraws =
                        [&](pid_t pid) {
                            std::this_thread::sleep_for(std::chrono::duration<double>(c.stopAfter));
                            kill(pid, c.stop);
                        },
                    .timeoutSeconds = 15});
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.termSignal, c.stop == SIGKILL ? SIGKILL : 0);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("Done") != std::string::npos, c.status == 0);
        // What was delivered, then silence, if any, up to the end of the file.
        const auto frames = static_cast<int64_t>(ReadWav(dir / "in1.wav").Frames());
        EXPECT_GE(frames, c.delivered);
        EXPECT_LE(frames, c.delivered + c.silenceMax);
        Source src = PatternSource();
        src.lostFrames = {c.delivered, frames};
        ExpectRecording(dir / "in1.wav", fmt, true, 0, src, frames, 4096);
    }
}

TEST(Reconnect, TheTimeAwayIsSilenceAndEveryLaterFrameSitsAtItsCaptureTime) {
    // A USB interface drops off the bus after a second and is back 1.5 s later, its signal
    // running on by the clock meanwhile. Stopped while it is away, the recording ends at once
    // with what came before; back as another device (a 44.1 kHz one in its place), it ends
    // as a failed device.
    const Format fmt = kFormats[1];  // 24-bit: the pattern does not repeat in the recording
    enum Then { Back, Stop, Other };
    for (const Then then : {Back, Stop, Other}) {
        SCOPED_TRACE(then);
        ScratchDir dir;
        const RunResult r =
            Record(dir, fmt, "4", kModes[0], "usb",
                   "realtime true\nvanish_after_frames 48000\naway_ms 1500",
                   {.args = {"--reconnect"},
                    .signalAfterRedraws = then == Back ? -1 : 11,
                    .atRedraws =
                        [&](pid_t pid) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(600));
                            if (then == Stop) {
                                kill(pid, SIGINT);
                            } else {
                                WriteFile(dir / "devices.conf",
                                          "pcm.usb { type nalvo_fake rates 44100 }\n");
                            }
                        },
                    .timeoutSeconds = 15});
        EXPECT_EQ(r.status, then == Other ? 1 : 0) << r.err;
        EXPECT_EQ(r.err, then == Other ? "nalvo: recording stopped, the capture device failed: usb "
                                         "came back unable to record as before\n"
                                       : "");
        EXPECT_EQ(Count(r.out, "\nDevice gone\n"), 1u);
        EXPECT_EQ(Count(r.out, "\nDevice back\n"), then == Back ? 1u : 0u);
        EXPECT_NE(r.out.find("\nDevice Gaps = 1 ("), std::string::npos);
        const Wav w = ReadWav(dir / "in1.wav");
        ASSERT_TRUE(w.valid);
        const auto frames = static_cast<int64_t>(w.Frames());
        EXPECT_EQ(frames, then == Back ? 47 * 4096 : 48000);
        // Device frames up to the loss, then one run of silence at least as long as the time
        // away, then each frame the device's frame of that moment, give or take a period.
        int64_t silent = 0;
        for (int64_t p = 0; p < frames; ++p) {
            const int32_t v = w.Sample(static_cast<size_t>(p), 0);
            silent += v == 0 ? 1 : 0;
            const int64_t captured = v == 0 ? p : nalvo_fake::PatternFrame(v, 0, 24);
            if ((p < 48000 && captured != p) || std::abs(captured - p) > 4096 ||
                (v == 0) != (p >= 48000 && p < 48000 + silent)) {
                ADD_FAILURE() << "frame " << p << " holds " << v;
                break;
            }
        }
        EXPECT_GE(silent, then == Back ? 72000 - 4096 : 0);
    }
}

TEST(UserStop, SignalEndsAGoodRecordingOfWhatWasCaptured) {
    const Source src = PatternSource();
    // With no set length, the console counts the time recorded instead.
    const struct {
        int sig;
        bool untilStopped;
    } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGTERM, true}};
    for (const auto& c : cases) {
        const int sig = c.sig;
        for (const Mode& mode : kModes) {
            SCOPED_TRACE(std::string(strsignal(sig)) + " mode " + mode.arg +
                         (c.untilStopped ? " until stopped" : ""));
            ScratchDir dir;
            RunOptions run = {.signalAfterRedraws = 3, .stopSignal = sig};
            if (c.untilStopped) {
                run.args = {"--until-stopped"};
            }
            const RunResult r = Record(dir, kFormats[1], c.untilStopped ? "" : "30", mode, "live",
                                       "realtime true", run);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_NE(r.out.find(c.untilStopped ? "\relapsed = 0:00:00\t" : "\rrem = 29.95 sec\t"),
                      std::string::npos);
            EXPECT_EQ(r.out.rfind("Done\n"), r.out.size() - 5);
            EXPECT_NE(r.out.find("\n\nInput Channel Peaks:\n"), std::string::npos);
            const size_t redraws = Count(r.out, "\r");
            EXPECT_GE(redraws, 3u);
            // Stopped within the period in progress, keeping what it had read.
            const size_t frames = ReadWav(dir / "in1.wav").Frames();
            EXPECT_GE(frames, redraws * 4096);
            EXPECT_LT(frames, (redraws + 1) * 4096);
            ExpectRecordings(dir, kFormats[1], mode, src, static_cast<int64_t>(frames), 4096);
        }
    }
}

TEST(UserStop, ConsoleGoingAwayDoesNotEndTheRecording) {
    // A hang-up and a console that no longer reads, as when a terminal or an ssh session
    // closes: the recording runs to its end.
    ScratchDir dir;
    const RunResult r =
        Record(dir, kFormats[0], "1", kModes[0], "live", "realtime true",
               {.signalAfterRedraws = 2, .stopSignal = SIGHUP, .closeOutputAfterRedraws = 2});
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_EQ(r.status, 0);
    ExpectRecording(dir / "in1.wav", kFormats[0], false, 0, PatternSource(), 12 * 4096, 4096);
}

TEST(UserStop, ConsoleThatStopsReadingNeverHoldsUpTheCapture) {
    // Ctrl-S, or a pipe nobody reads: seconds without taking a byte, far longer than the
    // device's buffer lasts at 96 kHz. A clipping warning comes meanwhile (at 3 s, once the
    // pipe is full): it waits for the console, the capture does not.
    const Format& fmt = FormatOf("2496");
    Source src = PatternSource();
    src.ch[0].fullscale = {288000};
    ScratchDir dir;
    const RunResult r =
        Record(dir, fmt, "8", kModes[2], "live", "realtime true\n fullscale0 [ 288000 ]",
               {.pauseOutputAfterRedraws = 3, .pauseOutputSeconds = 5, .outputPipeBytes = 4096});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("RX"), std::string::npos);
    EXPECT_EQ(Count(r.out, "\nInput Channel 1 is Peaking!\n"), 1u);
    EXPECT_NE(r.out.find("\rrem = 0.00 sec"), std::string::npos);  // redrawn again once read
    EXPECT_EQ(r.out.substr(r.out.size() - 5), "Done\n");
    ExpectRecording(dir / "in1.wav", fmt, true, 0, src, 188 * 4096, 4096);
}

TEST(UserStop, WarningHeldForAStoppedConsoleReachesItAtTheEnd) {
    // The console reads once, then not again before the capture is over (the final header
    // announces every frame); a clipping warning comes near the end, when its pipe is full:
    // the warning still reaches it, in order.
    ScratchDir dir;
    const auto announced = [&] { return ReadLe(dir / "in1.wav", 40, 4); };
    const RunResult r = Record(
        dir, kFormats[0], "40", kModes[0], "clip", "fullscale0 [ 1905640 ]",
        {.outputPipeBytes = 4096, .watch = [&](const std::string& out, pid_t) {
             const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             while (!out.empty() && announced() != 469 * 8192 &&
                    std::chrono::steady_clock::now() < deadline) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
             }
             return !out.empty();
         }});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(Count(r.out, "\r"), 469u);  // redraws skipped while it did not read
    const size_t warning = r.out.find("\nInput Channel 1 is Peaking!\n");
    ASSERT_NE(warning, std::string::npos);
    EXPECT_LT(warning, r.out.find("\n\nInput Channel Peaks:\n"));
}

}  // namespace
