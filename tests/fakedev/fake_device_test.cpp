// Tests of the fake ALSA capture device itself, through the public ALSA API as the program
// uses it. The device definitions of asound.conf are used as they are; the fault devices come
// from an extra configuration file written here, which also proves that tests can add devices
// of their own through ALSA_CONFIG_PATH.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fake_signal.h"
#include "kit.h"

namespace {

using nalvo_fake::ChannelSignal;
using nalvo_fake::Pattern;
using nalvo_fake::Sine;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Devices only these tests need. The hostile ~/.asoundrc checks that the base configuration
// keeps the machine's own default out.
const char kExtraConf[] = R"(
pcm.t_custom {
    type nalvo_fake
    signal0 const value0 1000 fullscale0 [ 5 70000 ]
    signal1 silence fullscale1 [ 0 ]
}
pcm.t_gone_rt { type nalvo_fake realtime true fail_after_frames 2500 }
pcm.t_stall { type nalvo_fake stall_after_frames 4500 }
pcm.t_dead_rt { type nalvo_fake realtime true dead_after_frames 2500 }
pcm.t_rt_pattern { type nalvo_fake realtime true }
pcm.t_rt_xrun { type nalvo_fake realtime true xrun_periods [ 1 ] }
pcm.t_bad_period { type nalvo_fake period_frames 1024 }
pcm.t_bad_key { type nalvo_fake signal0 sine peak0 100 frequency0 50 }
pcm.t_bad_signal { type nalvo_fake signal1 noise }
pcm.t_bad_format { type nalvo_fake formats [ "FLOAT_LE" ] }
pcm.t_bad_vanish { type nalvo_fake vanish_after_frames 100 }
pcm.t_vanish { type nalvo_fake realtime true vanish_after_frames 9600 away_ms 600 }
)";

class FakeDeviceEnvironment : public ::testing::Environment {
   public:
    void SetUp() override {
        const char* base = std::getenv("ALSA_CONFIG_PATH");
        const std::string base_conf = (base && *base) ? base : NALVO_FAKE_ALSA_CONF;
        // A fresh directory: a run killed for a hung call leaves its own behind.
        dir_.emplace();
        std::ofstream(*dir_ / "extra.conf") << kExtraConf;
        std::ofstream(*dir_ / ".asoundrc") << "pcm.!default { type null }\n";
        setenv("HOME", dir_->path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir_->path().c_str(), 1);
        setenv("ALSA_CONFIG_PATH", (base_conf + ":" + (*dir_ / "extra.conf")).c_str(), 1);
    }
    void TearDown() override {
        snd_config_update_free_global();
        dir_.reset();
    }

   private:
    std::optional<kit::ScratchDir> dir_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new FakeDeviceEnvironment);

// Every table below names its cases by their `name`, in test names and failure messages.
template <typename Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(os << c.name) {
    return os << c.name;
}

constexpr auto kI = SND_PCM_ACCESS_RW_INTERLEAVED;
constexpr auto kN = SND_PCM_ACCESS_RW_NONINTERLEAVED;
constexpr auto kS16 = SND_PCM_FORMAT_S16_LE;
constexpr auto kS24 = SND_PCM_FORMAT_S24_3LE;

struct StreamSetup {
    snd_pcm_access_t access = kI;
    snd_pcm_format_t format = kS16;
    unsigned channels = 2;
    unsigned rate = 48000;
    snd_pcm_uframes_t period = 1024;
    snd_pcm_uframes_t buffer = 32768;
};

// Sets the stream up as the program does: the first error, or the commit's result.
int Configure(snd_pcm_t* pcm, const StreamSetup& s) {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t period = s.period;
    snd_pcm_uframes_t buffer = s.buffer;
    int err = 0;
    (void)((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
           (err = snd_pcm_hw_params_set_access(pcm, hw, s.access)) < 0 ||
           (err = snd_pcm_hw_params_set_format(pcm, hw, s.format)) < 0 ||
           (err = snd_pcm_hw_params_set_channels(pcm, hw, s.channels)) < 0 ||
           (err = snd_pcm_hw_params_set_rate(pcm, hw, s.rate, 0)) < 0 ||
           (err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr)) < 0 ||
           (err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer)) < 0 ||
           (err = snd_pcm_hw_params(pcm, hw)) < 0);
    return err;
}

using Samples = std::vector<std::vector<int32_t>>;  // [channel][frame]

// One snd_pcm_readi/readn call of up to `frames` frames; decoded samples replace *out.
long ReadOnce(snd_pcm_t* pcm, const StreamSetup& s, size_t frames, Samples* out) {
    const size_t width = static_cast<size_t>(snd_pcm_format_physical_width(s.format)) / 8;
    std::vector<unsigned char> buf(frames * width * s.channels);
    long n = 0;
    const bool interleaved = s.access == kI;
    if (interleaved) {
        n = snd_pcm_readi(pcm, buf.data(), frames);
    } else {
        std::vector<void*> bufs;
        for (unsigned ch = 0; ch < s.channels; ++ch) {
            bufs.push_back(buf.data() + ch * frames * width);
        }
        n = snd_pcm_readn(pcm, bufs.data(), frames);
    }
    out->assign(s.channels, {});
    for (long i = 0; i < n; ++i) {
        for (unsigned ch = 0; ch < s.channels; ++ch) {
            const size_t index = interleaved ? static_cast<size_t>(i) * s.channels + ch
                                             : ch * frames + static_cast<size_t>(i);
            (*out)[ch].push_back(kit::LeSample(&buf[index * width], static_cast<unsigned>(width)));
        }
    }
    return n;
}

// Compares samples read from device frame `first` on with the signals; reports the first
// mismatch of each channel only.
void ExpectSignals(const Samples& got, uint64_t first, const std::vector<ChannelSignal>& signals,
                   const StreamSetup& s) {
    for (unsigned ch = 0; ch < got.size(); ++ch) {
        for (size_t i = 0; i < got[ch].size(); ++i) {
            const int32_t want = nalvo_fake::SampleAt(signals[ch], first + i, ch, s.rate,
                                                      s.format == kS16 ? 16 : 24);
            if (got[ch][i] != want) {
                ADD_FAILURE() << "channel " << ch << " frame " << first + i << ": got "
                              << got[ch][i] << ", want " << want;
                break;
            }
        }
    }
}

// A capture stream of one device whose reads are checked sample by sample: Read() compares what
// arrives with `signals` from device frame `frame` on, and moves `frame` past it.
class Stream {
   public:
    // A call on the stream that never returns kills the test binary (the default action of
    // SIGALRM), which ctest reports as a failure.
    explicit Stream(const char* device) {
        alarm(30);
        open_error_ = snd_pcm_open(&pcm_, device, SND_PCM_STREAM_CAPTURE, 0);
    }
    ~Stream() {
        if (pcm_) {
            snd_pcm_close(pcm_);
        }
        alarm(0);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Opened and set up as `setup` asks, or why not.
    ::testing::AssertionResult Ready(const StreamSetup& setup) {
        s = setup;
        const int err = open_error_ < 0 ? open_error_ : Configure(pcm_, s);
        if (err < 0) {
            return ::testing::AssertionFailure()
                   << (open_error_ < 0 ? "open: " : "hw_params: ") << snd_strerror(err);
        }
        return ::testing::AssertionSuccess();
    }
    snd_pcm_t* get() const { return pcm_; }
    int open_error() const { return open_error_; }
    long Read(size_t frames) {
        const long n = ReadOnce(pcm_, s, frames, &got);
        if (n > 0) {
            ExpectSignals(got, frame, signals, s);
            frame += static_cast<uint64_t>(n);
        }
        return n;
    }
    int Close() {
        const int err = snd_pcm_close(pcm_);
        pcm_ = nullptr;
        return err;
    }

    StreamSetup s;
    std::vector<ChannelSignal> signals{Pattern(), Pattern()};
    uint64_t frame = 0;  // device frame of the next frame to arrive
    Samples got;         // the last read's samples

   private:
    snd_pcm_t* pcm_ = nullptr;
    int open_error_ = 0;
};

// What a client that polls the device's descriptors itself gets, as the program's event loop
// does: the revents of the first wake-up that reports something, the error that
// snd_pcm_poll_descriptors_revents returned, or neither when the timeout passed.
struct Polled {
    int error = 0;
    unsigned short revents = 0;
    int idle_wakeups = 0;  // polls that woke up for nothing: a descriptor readable too early
};

Polled PollDevice(snd_pcm_t* pcm, int timeout_ms) {
    const auto deadline = Clock::now() + milliseconds(timeout_ms);
    const int count = snd_pcm_poll_descriptors_count(pcm);
    std::vector<pollfd> fds(static_cast<size_t>(count));
    Polled result;
    // A device that spins the loop gets stopped here rather than by the test's time limit.
    while (result.idle_wakeups < 1000) {
        snd_pcm_poll_descriptors(pcm, fds.data(), static_cast<unsigned>(count));
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        const int ready = poll(fds.data(), fds.size(), std::max<int>(0, left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        unsigned short revents = 0;
        const int err = snd_pcm_poll_descriptors_revents(pcm, fds.data(),
                                                         static_cast<unsigned>(count), &revents);
        if (err < 0) {
            result.error = err;
            break;
        }
        if (revents & (POLLIN | POLLERR | POLLNVAL)) {
            result.revents = revents;
            break;
        }
        ++result.idle_wakeups;
    }
    return result;
}

TEST(FakeSignal, PatternStaysOffTheRailsAndGivesBackItsFrame) {
    for (unsigned bits : {16u, 24u}) {
        const int32_t limit = nalvo_fake::MaxSample(bits) - 2;
        const uint64_t period = nalvo_fake::PatternPeriod(bits);
        // A whole pattern period, plus frames far into a long recording.
        for (uint64_t frame : {uint64_t{0}, period - 1, period, uint64_t{1} << 40}) {
            for (uint64_t f = frame; f < frame + period; f += (bits == 16 ? 1 : 4099)) {
                for (unsigned ch = 0; ch < 2; ++ch) {
                    const int32_t v = nalvo_fake::PatternSample(f, ch, bits);
                    ASSERT_TRUE(std::abs(v) <= limit &&
                                nalvo_fake::PatternFrame(v, ch, bits) == int64_t(f % period))
                        << bits << "-bit frame " << f << " ch " << ch << ": " << v;
                }
            }
        }
    }
}

struct ReadCase {
    const char* name;
    const char* device;
    StreamSetup setup;
    std::vector<ChannelSignal> signals;
    size_t chunk;              // frames per read call
    uint64_t frames = 100000;  // several times round the ring buffer of a fast device
};

using ReadBack = ::testing::TestWithParam<ReadCase>;

// Reads `frames` frames and checks every sample. snd_pcm_wait returns in every state (a
// descriptor readable while the device reports nothing makes it spin for ever), and the running
// stream stops promptly.
TEST_P(ReadBack, SamplesMatchTheSignalGeneratorAndTheStreamStops) {
    const ReadCase& c = GetParam();
    Stream st(c.device);
    ASSERT_TRUE(st.Ready(c.setup));
    snd_pcm_t* h = st.get();
    st.signals = c.signals;
    EXPECT_EQ(snd_pcm_wait(h, 10), 0) << "nothing to wait for before the start";
    while (st.frame < c.frames) {
        const long n = st.Read(c.chunk);
        ASSERT_GT(n, 0) << snd_strerror(static_cast<int>(n)) << " at frame " << st.frame;
    }
    EXPECT_EQ(snd_pcm_wait(h, 5000), 1);
    ASSERT_EQ(snd_pcm_state(h), SND_PCM_STATE_RUNNING);
    EXPECT_EQ(st.Close(), 0);
}

ChannelSignal WithFullScale(ChannelSignal s, std::vector<uint64_t> frames) {
    s.fullscale = std::move(frames);
    return s;
}

const std::vector<ChannelSignal> kPatterns{Pattern(), Pattern()};
const std::vector<ChannelSignal> kSines{Sine(16384, 1000), Sine(8192, 440)};
const std::vector<ChannelSignal> kLiveSines{Sine(10000, 1000), Sine(5000, 440)};
const std::vector<ChannelSignal> kCustom{WithFullScale(nalvo_fake::Const(1000), {5, 70000}),
                                         WithFullScale(nalvo_fake::Silence(), {0})};

INSTANTIATE_TEST_SUITE_P(
    Devices, ReadBack,
    ::testing::ValuesIn(std::vector<ReadCase>{
        {"PatternS16Interleaved", "nalvo_pattern", {kI, kS16}, kPatterns, 7000},
        {"PatternS24NonInterleaved", "nalvo_pattern", {kN, kS24, 2, 96000}, kPatterns, 7000},
        // Whole-buffer reads move the hardware pointer by exactly one buffer between calls.
        {"PatternWholeBufferReads", "nalvo_pattern", {kI, kS16}, kPatterns, 32768},
        {"SineS24Interleaved", "nalvo_sine", {kI, kS24, 2, 88200}, kSines, 3000},
        {"RealTimeSines", "nalvo_live", {kI, kS16}, kLiveSines, 4800, 9600},
        {"ConstSilenceFullScaleS16", "t_custom", {kI, kS16}, kCustom, 9000},
        {"ConstSilenceFullScaleS24", "t_custom", {kN, kS24}, kCustom, 9000}}),
    ::testing::PrintToStringParamName());

// The device's hardware parameters as the program asks for them (Configure: access, format,
// channels and rate exactly, period and buffer near), granted or refused, and definitions the
// open refuses.
struct SetupCase {
    const char* name;
    const char* device;
    StreamSetup request;
    snd_pcm_uframes_t period;  // granted, with the buffer; 0: refused
    snd_pcm_uframes_t buffer;
    bool opens = true;  // false: the definition is refused at the open
};

using HwParams = ::testing::TestWithParam<SetupCase>;

TEST_P(HwParams, RequestIsRefusedOrGrantedAsTheDeviceAllows) {
    const SetupCase& c = GetParam();
    Stream st(c.device);
    ASSERT_EQ(st.open_error() == 0, c.opens) << snd_strerror(st.open_error());
    if (!c.opens) {
        return;
    }
    const ::testing::AssertionResult ready = st.Ready(c.request);
    if (c.period == 0) {
        EXPECT_FALSE(ready) << "request granted";
        return;
    }
    ASSERT_TRUE(ready);
    snd_pcm_uframes_t buffer = 0, period = 0;
    ASSERT_EQ(snd_pcm_get_params(st.get(), &buffer, &period), 0);
    EXPECT_EQ(period, c.period);
    EXPECT_EQ(buffer, c.buffer);
}

const StreamSetup kRing128{kI, kS16, 2, 48000, 4096, 131072};  // 32 periods of 4096 asked

INSTANTIATE_TEST_SUITE_P(
    Devices, HwParams,
    ::testing::ValuesIn(std::vector<SetupCase>{
        {"PatternGrantsItsRingBuffer", "nalvo_pattern", {}, 1024, 32768},
        {"PatternPeriodAsAsked", "nalvo_pattern", kRing128, 4096, 131072},
        {"P1024PeriodIs1024", "nalvo_p1024", kRing128, 1024, 131072},
        {"P1024NoS24", "nalvo_p1024", {kI, kS24}, 0, 0},
        {"S16OnlyTakesS16", "nalvo_16only", {kI, kS16}, 1024, 32768},
        {"44kTakes44k", "nalvo_44k", {kI, kS16, 2, 44100}, 1024, 32768},
        {"PatternRefusesRateBetweenItsRates", "nalvo_pattern", {kI, kS16, 2, 50000}, 0, 0},
        {"PatternRefusesOneChannel", "nalvo_pattern", {kI, kS16, 1}, 0, 0},
        {"InterRefusesNonInterleaved", "nalvo_inter", {kN}, 0, 0},
        {"NonInterRefusesInterleaved", "nalvo_noninter", {kI}, 0, 0},
        {"NoMmap", "nalvo_pattern", {SND_PCM_ACCESS_MMAP_INTERLEAVED}, 0, 0},
        {"PeriodWithTwoFormats", "t_bad_period", {}, 0, 0, false},
        {"UnknownKey", "t_bad_key", {}, 0, 0, false},
        {"UnknownSignal", "t_bad_signal", {}, 0, 0, false},
        {"UnsupportedFormat", "t_bad_format", {}, 0, 0, false},
        {"VanishNeedsRealTime", "t_bad_vanish", {}, 0, 0, false}}),
    ::testing::PrintToStringParamName());

// A USB interface that drops off the bus and enumerates again under its name (t_vanish: 9600
// frames after the first start, away 600 ms, once). Reads fail with
// -ENODEV at the frame, so does a prepare, and the name does not open while it is away. Back, it
// opens as before and captures in device time, which ran on with the clock from the very first
// start: the first frame is that of the restart, (restart - first start) x rate. Both starts are
// bracketed by clock readings, so the frame is known to the width of the brackets and one frame
// of rounding, much closer than the period at a time in which frames arrive.
TEST(Vanish, OpensFailWhileAwayThenItCapturesInDeviceTime) {
    const StreamSetup setup{kI, kS24, 2, 48000, 1024, 8192};  // 24 bits tell the frame
    const uint64_t after = 9600, away = 600 * 48;             // frames at 48 kHz
    const auto frames = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() * 48000 / 1000000000;
    };
    auto st = std::make_unique<Stream>("t_vanish");
    ASSERT_TRUE(st->Ready(setup));
    const auto first_before = Clock::now();
    ASSERT_EQ(snd_pcm_start(st->get()), 0);
    const auto first_after = Clock::now();
    long n = 0;
    while ((n = st->Read(1000)) > 0) {
    }
    EXPECT_EQ(n, -ENODEV) << snd_strerror(static_cast<int>(n));
    EXPECT_EQ(st->frame, after);
    EXPECT_EQ(snd_pcm_prepare(st->get()), -ENODEV);
    st.reset();
    EXPECT_EQ(Stream("t_vanish").open_error(), -ENODEV) << "opened while away";
    // Away counts from the moment it vanished, before the read that found it gone.
    std::this_thread::sleep_for(milliseconds(away / 48));
    st = std::make_unique<Stream>("t_vanish");
    ASSERT_TRUE(st->Ready(setup)) << "not back";
    const auto restart_before = Clock::now();
    ASSERT_EQ(snd_pcm_start(st->get()), 0);
    const auto restart_after = Clock::now();
    ASSERT_GT(ReadOnce(st->get(), setup, setup.period, &st->got), 0);
    const int64_t resumed = nalvo_fake::PatternFrame(st->got[0][0], 0, 24);
    EXPECT_GE(resumed, frames(restart_before - first_after) - 1);
    EXPECT_LE(resumed, frames(restart_after - first_before) + 1);
    ExpectSignals(st->got, static_cast<uint64_t>(resumed), st->signals, setup);
    st->frame = static_cast<uint64_t>(resumed) + st->got[0].size();
    for (const uint64_t end = st->frame + 2 * after; st->frame < end;) {
        ASSERT_GT(st->Read(1000), 0) << "vanished again at frame " << st->frame;
    }
}

// A client in non-blocking mode that polls the device itself: it reads only when poll reports the
// device readable, takes everything that is there, and tries once more at once. A paced device
// has less than a period left then and must say -EAGAIN; it becomes readable again once a period
// is there, and not before. The stream ends when `until` frames have been read or in an error.
// After an overrun (of the ring: the application is late; or injected) the stream stops as on
// hardware, a prepare discards what the ring held and capture starts again at the next start,
// at the frame of the clock: device time goes on while the device is stopped, so every frame
// from the last one read to the restart is lost.
struct PollCase {
    const char* name;
    const char* device;
    snd_pcm_access_t access;
    snd_pcm_format_t format;  // 24 bits where the pattern must tell the frame after a restart
    bool paced;               // frames come with the clock
    uint64_t until;           // frames to read
    int late_ms;              // pause after the first read: longer than the ring overruns it
    long error;               // what ends the stream before `until`, or 0
    uint64_t fails_at;        // frame of that error, kAnyFrame when the clock decides
    bool dead = false;        // the sound server is gone: the error comes back after a prepare
};

constexpr uint64_t kAnyFrame = UINT64_MAX;

using NonBlocking = ::testing::TestWithParam<PollCase>;

TEST_P(NonBlocking, ReadsWhenPollSaysSoAndErrorsArrive) {
    const PollCase& c = GetParam();
    Stream st(c.device);
    const long period = 1024, buffer = 8192;  // a ring of 0.17 s
    ASSERT_TRUE(st.Ready({c.access, c.format, 2, 48000, period, buffer}));
    snd_pcm_t* h = st.get();
    ASSERT_EQ(snd_pcm_nonblock(h, 1), 0);
    const auto first_before = Clock::now();
    ASSERT_EQ(snd_pcm_start(h), 0);
    const auto first_after = Clock::now();
    EXPECT_EQ(snd_pcm_avail(h) == buffer, !c.paced) << "only a fast device's ring is full at once";
    long error = 0;
    int again = 0;
    int idle = 0;
    while (st.frame < c.until && error == 0) {
        const Polled p = PollDevice(h, 2000);
        idle += p.idle_wakeups;
        if (p.error < 0) {
            error = p.error;
            break;
        }
        ASSERT_NE(p.revents, 0) << "not readable for 2 s at frame " << st.frame;
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(h);
        if (!(p.revents & POLLERR) && avail >= 0) {
            // Readable means a period is there, or everything up to the error to come.
            const uint64_t due =
                c.error != 0 && c.fails_at != kAnyFrame ? c.fails_at - st.frame : kAnyFrame;
            EXPECT_GE(static_cast<uint64_t>(avail), std::min<uint64_t>(period, due))
                << "readable at frame " << st.frame;
        }
        for (int attempt = 0; attempt < 2 && error == 0; ++attempt) {
            const long n = st.Read(buffer);
            if (n == -EAGAIN && attempt == 1) {
                ++again;
            } else if (n < 0) {
                error = n;
            } else {
                EXPECT_TRUE(attempt == 0 || !c.paced || n >= period)
                    << n << " frames at frame " << st.frame << " just after taking everything";
            }
        }
        if (c.late_ms > 0 && st.frame > 0 && st.frame <= static_cast<uint64_t>(buffer)) {
            std::this_thread::sleep_for(milliseconds(c.late_ms));
        }
    }
    EXPECT_EQ(idle, 0) << "poll woke up while the device had nothing to report";
    EXPECT_EQ(error, c.error) << snd_strerror(static_cast<int>(error));
    if (c.error != 0) {
        EXPECT_EQ(snd_pcm_wait(h, 5000), c.error) << "a client that waits is told too";
        EXPECT_TRUE(c.fails_at == kAnyFrame || st.frame == c.fails_at) << "at frame " << st.frame;
    }
    if (c.paced && c.error == 0) {
        EXPECT_GT(again, 0) << "never less than a period after taking everything";
    }
    if (error == -EPIPE) {
        ASSERT_EQ(snd_pcm_prepare(h), 0);
        std::this_thread::sleep_for(milliseconds(100));  // lost as well
        const auto restart_before = Clock::now();
        ASSERT_EQ(snd_pcm_start(h), 0);
        const auto restart_after = Clock::now();
        const Polled p = PollDevice(h, 2000);
        const long n = ReadOnce(h, st.s, buffer, &st.got);
        if (c.dead) {  // takes the prepare and the start, then tells the poll at once, and the read
            EXPECT_TRUE(p.error == -EPIPE || (p.revents & POLLERR)) << "not told for 2 s";
            EXPECT_EQ(n, -EPIPE);
        } else {
            EXPECT_EQ(p.error, 0);
            EXPECT_TRUE(p.revents & POLLIN);
            ASSERT_GT(n, 0) << snd_strerror(static_cast<int>(n));
            const auto frames = [](Clock::duration d) {
                return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() * 48000 /
                       1000000000;
            };
            const int64_t resumed = nalvo_fake::PatternFrame(st.got[0][0], 0, 24);
            // One frame either way for the rounding of the clock to frames.
            EXPECT_GE(resumed, frames(restart_before - first_after) - 1);
            EXPECT_LE(resumed, frames(restart_after - first_before) + 1);
            ExpectSignals(st.got, static_cast<uint64_t>(resumed), st.signals, st.s);
        }
    }
    EXPECT_EQ(st.Close(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, NonBlocking,
    ::testing::ValuesIn(std::vector<PollCase>{
        {"RealTime", "t_rt_pattern", kI, kS16, true, 20000, 0, 0, 0},
        {"RealTimeNonInterleaved24", "t_rt_pattern", kN, kS24, true, 20000, 0, 0, 0},
        {"Fast", "nalvo_pattern", kN, kS24, false, 50000, 0, 0, 0},
        {"RealTimeLateReader", "t_rt_pattern", kI, kS24, true, 20000, 400, -EPIPE, kAnyFrame},
        {"RealTimeInjectedOverrun", "t_rt_xrun", kI, kS24, true, 20000, 0, -EPIPE, 1024},
        {"RealTimeUnplugged", "t_gone_rt", kN, kS16, true, 20000, 0, -ENODEV, 2500},
        {"RealTimeDeadServer", "t_dead_rt", kN, kS24, true, 20000, 0, -EPIPE, 2500, true}}),
    ::testing::PrintToStringParamName());

// A source that stops delivering, as a sound server whose buffers stop coming: the frames before
// the stall arrive, then nothing and no error, for ever. A non-blocking read says -EAGAIN, the
// descriptor never becomes readable, and a prepare and a start do not bring frames back.
struct StallCase {
    const char* name;
    const char* device;
    snd_pcm_access_t access;
    snd_pcm_format_t format;
    uint64_t stalls_at;
};

using Stall = ::testing::TestWithParam<StallCase>;

TEST_P(Stall, FramesStopWithoutAnError) {
    const StallCase& c = GetParam();
    Stream st(c.device);
    ASSERT_TRUE(st.Ready({c.access, c.format, 2, 48000, 1024, 8192}));
    snd_pcm_t* h = st.get();
    // A blocking read waits for all it asked for, so these end exactly at the stall.
    while (st.frame < c.stalls_at) {
        const long n = st.Read(500);
        ASSERT_GT(n, 0) << snd_strerror(static_cast<int>(n)) << " at frame " << st.frame;
    }
    EXPECT_EQ(st.frame, c.stalls_at);
    for (const char* when : {"after the stall", "after a prepare"}) {
        SCOPED_TRACE(when);
        ASSERT_EQ(snd_pcm_nonblock(h, 1), 0);
        EXPECT_EQ(st.Read(1000), -EAGAIN);
        const Polled p = PollDevice(h, 300);
        EXPECT_EQ(p.error, 0);
        EXPECT_EQ(p.revents, 0);
        EXPECT_EQ(p.idle_wakeups, 0) << "the descriptor was readable";
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(h);
        EXPECT_GE(avail, 0);
        EXPECT_LT(avail, static_cast<snd_pcm_sframes_t>(st.s.period));
        ASSERT_EQ(snd_pcm_nonblock(h, 0), 0);
        ASSERT_EQ(snd_pcm_prepare(h), 0);
        ASSERT_EQ(snd_pcm_start(h), 0);
    }
    EXPECT_EQ(snd_pcm_drop(h), 0);
    EXPECT_EQ(st.Close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, Stall,
                         ::testing::ValuesIn(std::vector<StallCase>{
                             {"Fast", "t_stall", kI, kS16, 4500},
                             {"FastNonInterleaved24", "t_stall", kN, kS24, 4500},
                             {"RealTime", "nalvo_stalled", kI, kS24, 48000}}),
                         ::testing::PrintToStringParamName());

}  // namespace
