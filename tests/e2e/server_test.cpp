// Recordings through real sound servers and their ALSA plugins: PulseAudio, and PipeWire as
// `default` is on Debian 12 and Raspberry Pi OS. A sound server is a capture device unlike a
// sound card: it hands over its audio in bursts, and it can vanish for good in the middle of
// a recording. Killed, PulseAudio's reads fail with -EPIPE and its prepare with -EIO; PipeWire
// leaves a PCM that prepares fine and fails every read again at once, and without its session
// manager the links go and no frame ever arrives again, while a blocking read waits.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The report at the end of a recording: the peaks, and the overruns if there were any.
std::string Report(const RunResult& r) {
    const size_t at = r.out.find("Input Channel Peaks");
    return at == std::string::npos ? r.out.substr(0, 200) + r.err : r.out.substr(at) + r.err;
}

// A file of a server's sine, input `inputs[ch]` in channel `ch`: a true header, and from frame
// `from` on each channel one unbroken sine of `hz` at `levels[input]` of full scale, its peak
// within `db` of that.
void ExpectTone(const Wav& w, const std::vector<int>& inputs, double hz, const double levels[2],
                size_t from, double db, const RunResult& r) {
    EXPECT_TRUE(w.valid);
    EXPECT_EQ(w.dataSize, w.data.size());
    for (size_t ch = 0; ch < inputs.size(); ++ch) {
        SCOPED_TRACE("input " + std::to_string(inputs[ch] + 1));
        const double level = levels[inputs[ch]];
        EXPECT_NEAR(Frequency(w, ch, from), hz, 0.5);
        EXPECT_NEAR(20 * std::log10(Peak(w, ch, from) / std::ldexp(level, w.bits - 1)), 0, db);
        EXPECT_EQ(SineFrames(w, ch, hz, level, from), w.Frames()) << Report(r);
    }
}

// A recording the server's loss ended: a device failure on one line of standard error and no
// "Done", or ("Done") a stop; a true header, and both inputs of the stereo file the sine up
// to their last `tail` frames.
void ExpectEndedWithTheSine(const RunResult& r, const Wav& w, double hz, const double levels[2],
                            size_t tail) {
    EXPECT_NE(r.out.find("\n\nInput Channel Peaks:\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Done") != std::string::npos, r.status == 0) << r.out;
    if (r.status != 0) {
        EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("nalvo: recording stopped, the capture device failed: ", 0), 0u)
            << r.err;
    }
    EXPECT_TRUE(w.valid);
    EXPECT_EQ(w.dataSize, w.data.size());
    EXPECT_EQ(w.data.size() % w.blockAlign, 0u);
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_GE(SineFrames(w, ch, hz, levels[ch]) + tail, w.Frames())
            << "input " << ch + 1 << " is not the sine up to its last " << tail << " frames\n"
            << Report(r);
    }
}

// module-sine-source: a sine at half of full scale (-6.02 dBFS) on every channel. 997 Hz
// has no whole number of cycles in a period, so a period lost or repeated breaks the wave.
constexpr unsigned kPulseHz = 997;
constexpr double kPulseLevels[2] = {0.5, 0.5};

class Pulse : public ::testing::Test {
   protected:
    void SetUp() override {
        const std::string missing = PulseServer::Missing();
        if (!missing.empty()) {
            GTEST_SKIP() << missing;
        }
        server_ = std::make_unique<PulseServer>(dir_, kPulseHz, 48000);
        ASSERT_TRUE(server_->ready()) << "the server did not start:\n" << server_->log();
    }
    ScratchDir dir_;
    std::unique_ptr<PulseServer> server_;
};

TEST_F(Pulse, RecordsTheServersSineAtItsFrequencyAndLevel) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> files;
        std::vector<std::vector<int>> inputs;  // of each file
    };
    // The server delivers from the first frame on: no silence or ramp at the start.
    const Case cases[] = {
        {{"1648", "2", "pa", "s", "k.wav"}, {"k.wav"}, {{0, 1}}},
        {{"2448", "2", "pa", "2", "a.wav", "b.wav"}, {"a.wav", "b.wav"}, {{0}, {1}}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " mode " + c.args[3]);
        const RunResult r = server_->Record(c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\tchannel 1: -6.02 dBFS\n\tchannel 2: -6.02 dBFS\n"),
                  std::string::npos)
            << r.out;
        for (size_t f = 0; f < c.files.size(); ++f) {
            SCOPED_TRACE(c.files[f]);
            const Wav w = ReadWav(dir_ / c.files[f]);
            EXPECT_EQ(w.rate, 48000u);
            EXPECT_EQ(w.Frames(), 24u * 4096);  // 2 s in whole periods
            ExpectTone(w, c.inputs[f], kPulseHz, kPulseLevels, 0, 0.0087, r);  // 0.1 %
        }
    }
}

// The recording ends as with an unplugged device; the file holds every period shown, the
// audio the server sent, and none of the silence an overrun would have put in its place.
TEST_F(Pulse, ServerKilledEndsTheRecordingAsADeviceFailure) {
    const RunResult r = server_->Record({"1648", "10", "pa", "s", "k.wav"},
                                        {.signalAfterRedraws = 1, .atRedraws = [&](pid_t) {
                                             std::this_thread::sleep_for(std::chrono::seconds(3));
                                             server_->Kill();
                                         }});
    EXPECT_EQ(r.status, 1);
    const Wav w = ReadWav(dir_ / "k.wav");
    EXPECT_GE(w.Frames(), Count(r.out, "\r") * 4096);
    ExpectEndedWithTheSine(r, w, kPulseHz, kPulseLevels, 4095);
}

class PipeWire : public ::testing::Test {
   protected:
    void SetUp() override {
        const std::string missing = PipeWireServer::Missing();
        if (!missing.empty()) {
            GTEST_SKIP() << missing;
        }
    }
    void TearDown() override { server_.reset(); }

    // Runs `test` against a fresh server. The test source jams now and then on a loaded
    // machine ("out of buffers"), and then no client gets audio: no fault of the program's.
    // `test` tells it apart with pw-cat, a second client, and returns false when that got
    // nothing either; it then runs once more on a new server, or the test is skipped.
    void OnServer(const std::function<bool()>& test) {
        for (int attempt = 1; attempt <= 2; ++attempt) {
            server_.reset();
            dir_ = std::make_unique<ScratchDir>();
            server_ = std::make_unique<PipeWireServer>(*dir_);
            if (!server_->ready()) {
                // A source jammed from the start looks the same: it gets one more try.
                ASSERT_LT(attempt, 2) << "the server did not start:\n" << server_->log();
            } else if (test()) {
                return;
            } else {
                std::cout << "The test source jammed, pw-cat got no audio either:\n"
                          << server_->log() << "\n";
            }
        }
        GTEST_SKIP() << "the test source jammed twice: pw-cat got no audio from it either";
    }

    std::unique_ptr<ScratchDir> dir_;
    std::unique_ptr<PipeWireServer> server_;  // goes first: it runs in `dir_`
};

// Whether `text` has "pw" as a word of its own.
bool NamesTheDevice(std::string text) {
    for (char& c : text) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : ' ';
    }
    return (" " + text + " ").find(" pw ") != std::string::npos;
}

TEST_F(PipeWire, RecordsTheToneAtItsFrequencyAndLevels) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> files;
        std::vector<std::vector<int>> inputs;  // of each file
    };
    // 96 kHz is not the server's own rate: its resampler is in the way.
    const Case cases[] = {
        {{"1648", "3", "pw", "s", "f.wav"}, {"f.wav"}, {{0, 1}}},
        {{"2496", "3", "pw", "2", "a.wav", "b.wav"}, {"a.wav", "b.wav"}, {{0}, {1}}}};
    OnServer([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.args[0] + " mode " + c.args[3]);
            const RunResult r = server_->Record(c.args, {.timeoutSeconds = 30});
            const Wav first = ReadWav(*dir_ / c.files[0]);
            if (SilentTail(first) == first.Frames() && !server_->Delivers(2)) {
                return false;
            }
            EXPECT_EQ(r.status, 0) << r.err;
            for (size_t f = 0; f < c.files.size(); ++f) {
                SCOPED_TRACE(c.files[f]);
                const Wav w = ReadWav(*dir_ / c.files[f]);
                // Rounded up to whole periods, a fraction of a second.
                EXPECT_GE(w.Frames(), 3 * w.rate);
                EXPECT_LT(w.Frames(), 3.25 * w.rate);
                // Past the resampler's first transient.
                ExpectTone(w, c.inputs[f], PipeWireServer::kHz, PipeWireServer::kLevel,
                           w.rate / 100, 0.1, r);
            }
        }
        return true;
    });
}

// Each fault 2 s into a 20 s recording: the recording must end soon after it, with a file
// whose header is true and which holds the audio before the fault and no silence for the
// time after it.
TEST_F(PipeWire, FaultsEndTheRecordingWithATrueFile) {
    struct Fault {
        const char* what;
        void (PipeWireServer::*inject)();
        bool interrupt;  // Ctrl-C a second after the fault
        int status;
        double within;  // seconds from the fault, or the Ctrl-C, to the end
    };
    const Fault faults[] = {
        {"the daemon killed", &PipeWireServer::Kill, false, 1, 3},
        {"the session manager killed, then Ctrl-C", &PipeWireServer::KillSessionManager, true, 0,
         2},
        {"the session manager killed", &PipeWireServer::KillSessionManager, false, 1, 8},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.what);
        OnServer([&] {
            const Clock::time_point start = Clock::now();
            Clock::time_point first, fault, last;
            bool ran = false, delivers = false;
            const RunResult r = server_->Record(
                {"1648", "20", "pw", "s", "f.wav"},
                {.signalAfterRedraws = 1,
                 .atRedraws =
                     [&](pid_t nalvo) {
                         ran = true;
                         first = Clock::now();
                         // pw-cat listens meanwhile: a jammed source gives it nothing.
                         delivers = server_->Delivers(1);
                         std::this_thread::sleep_until(first + std::chrono::seconds(2));
                         fault = Clock::now();
                         (server_.get()->*f.inject)();
                         if (f.interrupt) {
                             std::this_thread::sleep_for(std::chrono::seconds(1));
                             kill(nalvo, SIGINT);
                         }
                         last = Clock::now();
                     },
                 .timeoutSeconds = 30});
            const double ended = Seconds(Clock::now() - last);
            // No period shown at all: a jammed source, or a fault of the program's.
            if (!(ran ? delivers : server_->Delivers(2))) {
                return false;
            }
            if (!ran) {
                ADD_FAILURE() << "no period recorded:\n" << r.out << r.err;
                return true;
            }
            EXPECT_FALSE(r.timedOut);
            EXPECT_LE(ended, f.within) << "seconds to the end";
            EXPECT_EQ(r.status, f.status) << r.err;
            EXPECT_TRUE(f.status == 0 || NamesTheDevice(r.err)) << r.err;
            // The audio before the fault, none lost; nothing from after it, which never was.
            const Wav w = ReadWav(*dir_ / "f.wav");
            const double length = w.Frames() / double(w.rate);
            EXPECT_GE(length, Seconds(fault - first) - 0.5);
            EXPECT_LE(length, Seconds(fault - start) + 0.2);
            EXPECT_LE(SilentTail(w), w.rate / 5u);
            ExpectEndedWithTheSine(r, w, PipeWireServer::kHz, PipeWireServer::kLevel, w.rate / 5);
            return true;
        });
    }
}

}  // namespace
