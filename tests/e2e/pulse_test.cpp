// Recordings through a real PulseAudio server and ALSA's pulse plugin. A sound server is a
// capture device unlike a sound card: it hands over its audio in bursts, and it can vanish
// for good in the middle of a recording, which then shows as an overrun that no prepare
// recovers from.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

// module-sine-source: a sine at half of full scale (-6.02 dBFS) on every channel. 997 Hz
// has no whole number of cycles in a period, so a period lost or repeated breaks the wave.
constexpr unsigned kHz = 997;
constexpr unsigned kRate = 48000;

class Pulse : public ::testing::Test {
   protected:
    void SetUp() override {
        const std::string missing = PulseServer::Missing();
        if (!missing.empty()) {
            GTEST_SKIP() << missing;
        }
        server_ = std::make_unique<PulseServer>(dir_, kHz, kRate);
        ASSERT_TRUE(server_->ready()) << "the server did not start:\n" << server_->log();
    }
    ScratchDir dir_;
    std::unique_ptr<PulseServer> server_;
};

int32_t HalfScale(const Wav& w) {
    return int32_t{1} << (w.bits - 2);
}

TEST_F(Pulse, RecordsTheServersSineAtItsFrequencyAndLevel) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> files;
    };
    // The server delivers from the first frame on: no silence or ramp at the start.
    const Case cases[] = {{{"1648", "2", "pa", "s", "k.wav"}, {"k.wav"}},
                          {{"2448", "2", "pa", "2", "a.wav", "b.wav"}, {"a.wav", "b.wav"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " mode " + c.args[3]);
        const RunResult r = server_->Record(c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\tchannel 1: -6.02 dBFS\n\tchannel 2: -6.02 dBFS\n"),
                  std::string::npos)
            << r.out;
        for (const std::string& name : c.files) {
            SCOPED_TRACE(name);
            const Wav w = ReadWav(dir_ / name);
            ASSERT_TRUE(w.valid);
            EXPECT_EQ(w.rate, kRate);
            EXPECT_EQ(w.dataSize, w.data.size());
            ASSERT_EQ(w.Frames(), 24u * 4096);  // 2 s in whole periods
            for (int ch = 0; ch < w.channels; ++ch) {
                EXPECT_EQ(SineFrames(w, ch, kHz, 0.5), w.Frames()) << "input " << ch + 1;
                EXPECT_NEAR(Frequency(w, ch), kHz, 0.5) << "input " << ch + 1;
                EXPECT_LE(Peak(w, ch), HalfScale(w));
                EXPECT_GE(Peak(w, ch), HalfScale(w) - HalfScale(w) / 1000);
            }
        }
    }
}

// A killed server: reads fail with -EPIPE, and snd_pcm_prepare with -EIO. The recording
// ends as with an unplugged device; the file holds the audio the server sent, and none of
// the silence an overrun would have put in its place.
TEST_F(Pulse, ServerKilledEndsTheRecordingAsADeviceFailure) {
    const RunResult r = server_->Record({"1648", "10", "pa", "s", "k.wav"},
                                        {.signalAfterRedraws = 1, .atRedraws = [&](pid_t) {
                                             std::this_thread::sleep_for(std::chrono::seconds(3));
                                             server_->Kill();
                                         }});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("nalvo: recording stopped, the capture device failed: ", 0), 0u) << r.err;
    EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;
    EXPECT_NE(r.out.find("\n\nInput Channel Peaks:\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Done"), std::string::npos);
    const Wav w = ReadWav(dir_ / "k.wav");
    ASSERT_TRUE(w.valid);
    EXPECT_EQ(w.dataSize, w.data.size());
    EXPECT_EQ(w.data.size() % w.blockAlign, 0u);
    // Every period shown is kept; after the audio, less than the period that failed.
    EXPECT_GE(w.Frames(), Count(r.out, "\r") * 4096);
    for (int ch = 0; ch < 2; ++ch) {
        const size_t sine = SineFrames(w, ch, kHz, 0.5);
        EXPECT_LT(w.Frames() - sine, 4096u)
            << "input " << ch + 1 << ": " << sine << " frames of sine, then something else";
    }
}

}  // namespace
