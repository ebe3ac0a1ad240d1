// Tests of the fake ALSA capture device itself, through the public ALSA API as the program
// uses it. The device definitions of asound.conf are used as they are; the fault devices come
// from an extra configuration file written here, which also proves that tests can add devices
// of their own through ALSA_CONFIG_PATH.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_signal.h"
#include "kit.h"

namespace {

using nalvo_fake::ChannelSignal;
using nalvo_fake::Pattern;
using nalvo_fake::SampleAt;
using nalvo_fake::Sine;

// Devices only these tests need. The hostile ~/.asoundrc checks that the base configuration
// keeps the machine's own default out.
const char kExtraConf[] = R"(
pcm.t_custom {
    type nalvo_fake
    signal0 const
    value0 1000
    fullscale0 [ 5 70000 ]
    signal1 silence
    fullscale1 [ 0 ]
}
pcm.t_wide { type nalvo_fake formats [ "S24_LE" "S32_LE" ] }
pcm.t_mmap { type nalvo_fake formats "S24_3LE" access "MMAP_INTERLEAVED" }
pcm.t_xrun {
    type nalvo_fake
    formats "S16_LE"
    channels 2
    period_frames 1024
    xrun_periods [ 3 7 ]
}
pcm.t_xrun_rt {
    type nalvo_fake
    realtime true
    formats "S16_LE"
    channels 2
    period_frames 1024
    xrun_periods [ 1 ]
}
pcm.t_gone { type nalvo_fake fail_after_frames 4500 }
pcm.t_gone_rt { type nalvo_fake realtime true fail_after_frames 2500 }
pcm.t_stall { type nalvo_fake stall_after_frames 4500 }
pcm.t_dead { type nalvo_fake dead_after_frames 4500 }
pcm.t_dead_rt { type nalvo_fake realtime true dead_after_frames 2500 }
pcm.t_suspend {
    type nalvo_fake
    formats "S16_LE"
    channels 2
    period_frames 1024
    suspend_periods [ 2 ]
}
pcm.t_rt_pattern { type nalvo_fake realtime true }
pcm.t_rt_xrun { type nalvo_fake realtime true xrun_periods [ 1 ] }
pcm.t_bad_period { type nalvo_fake period_frames 1024 }
pcm.t_bad_key { type nalvo_fake signal0 sine peak0 100 frequency0 50 }
pcm.t_bad_signal { type nalvo_fake signal1 noise }
pcm.t_bad_format { type nalvo_fake formats [ "FLOAT_LE" ] }
)";

const char kHostileAsoundrc[] = "pcm.!default { type null }\n";

class FakeDeviceEnvironment : public ::testing::Environment {
   public:
    void SetUp() override {
        const char* base = std::getenv("ALSA_CONFIG_PATH");
        const std::string base_conf = (base && *base) ? base : NALVO_FAKE_ALSA_CONF;
        const kit::ScratchDir& dir = dir_.emplace();
        kit::WriteFile(dir / "extra.conf", kExtraConf);
        kit::WriteFile(dir / ".asoundrc", kHostileAsoundrc);
        setenv("HOME", dir.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
        setenv("ALSA_CONFIG_PATH", (base_conf + ":" + (dir / "extra.conf")).c_str(), 1);
    }
    void TearDown() override {
        snd_config_update_free_global();
        dir_.reset();
    }

   private:
    std::optional<kit::ScratchDir> dir_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new FakeDeviceEnvironment);

// Kills the test binary if a call that must return promptly never does; the default action of
// SIGALRM ends the process, which ctest reports as a failure.
class HangGuard {
   public:
    explicit HangGuard(unsigned seconds) { alarm(seconds); }
    ~HangGuard() { alarm(0); }
};

class Pcm {
   public:
    explicit Pcm(const char* name, snd_pcm_stream_t stream = SND_PCM_STREAM_CAPTURE) {
        error_ = snd_pcm_open(&pcm_, name, stream, 0);
    }
    ~Pcm() {
        if (pcm_) {
            snd_pcm_close(pcm_);
        }
    }
    Pcm(const Pcm&) = delete;
    Pcm& operator=(const Pcm&) = delete;
    snd_pcm_t* get() const { return pcm_; }
    int error() const { return error_; }
    // Closes now; returns snd_pcm_close's result.
    int Close() {
        const int err = snd_pcm_close(pcm_);
        pcm_ = nullptr;
        return err;
    }

   private:
    snd_pcm_t* pcm_ = nullptr;
    int error_ = 0;
};

struct StreamSetup {
    snd_pcm_access_t access = SND_PCM_ACCESS_RW_INTERLEAVED;
    snd_pcm_format_t format = SND_PCM_FORMAT_S16_LE;
    unsigned channels = 2;
    unsigned rate = 48000;
    snd_pcm_uframes_t period = 1024;
    snd_pcm_uframes_t buffer = 32768;
};

int Configure(snd_pcm_t* pcm, const StreamSetup& s) {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t period = s.period;
    snd_pcm_uframes_t buffer = s.buffer;
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err >= 0)
        err = snd_pcm_hw_params_set_access(pcm, hw, s.access);
    if (err >= 0)
        err = snd_pcm_hw_params_set_format(pcm, hw, s.format);
    if (err >= 0)
        err = snd_pcm_hw_params_set_channels(pcm, hw, s.channels);
    if (err >= 0)
        err = snd_pcm_hw_params_set_rate(pcm, hw, s.rate, 0);
    if (err >= 0)
        err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
    if (err >= 0)
        err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if (err >= 0)
        err = snd_pcm_hw_params(pcm, hw);
    return err;
}

unsigned SignalBits(snd_pcm_format_t format) {
    return format == SND_PCM_FORMAT_S16_LE ? 16 : 24;
}

// Reads one sample as the ALSA format defines it: S24_LE and S32_LE as the whole 32-bit word.
int32_t Decode(const unsigned char* p, snd_pcm_format_t format) {
    return kit::LeSample(p, static_cast<unsigned>(snd_pcm_format_physical_width(format) / 8));
}

// How a 24-bit value sits in its container: S32_LE carries it in the upper three bytes.
int32_t Container(int32_t value, snd_pcm_format_t format) {
    return format == SND_PCM_FORMAT_S32_LE ? value * 256 : value;
}

using Samples = std::vector<std::vector<int32_t>>;  // [channel][frame]

// One snd_pcm_readi/readn call of up to `frames` frames; decoded samples replace *out.
long ReadOnce(snd_pcm_t* pcm, const StreamSetup& s, size_t frames, Samples* out) {
    const size_t width = static_cast<size_t>(snd_pcm_format_physical_width(s.format)) / 8;
    std::vector<unsigned char> buf(frames * width * s.channels);
    long n = 0;
    const bool interleaved =
        s.access == SND_PCM_ACCESS_RW_INTERLEAVED || s.access == SND_PCM_ACCESS_MMAP_INTERLEAVED;
    if (s.access == SND_PCM_ACCESS_RW_INTERLEAVED) {
        n = snd_pcm_readi(pcm, buf.data(), frames);
    } else if (s.access == SND_PCM_ACCESS_MMAP_INTERLEAVED) {
        n = snd_pcm_mmap_readi(pcm, buf.data(), frames);
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
            (*out)[ch].push_back(Decode(&buf[index * width], s.format));
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
            const int32_t want = Container(
                SampleAt(signals[ch], first + i, ch, s.rate, SignalBits(s.format)), s.format);
            if (got[ch][i] != want) {
                ADD_FAILURE() << "channel " << ch << " frame " << first + i << ": got "
                              << got[ch][i] << ", want " << want;
                break;
            }
        }
    }
}

// What a client that polls the device's descriptors itself gets, as the program's event loop
// does: the revents of the first wake-up that reports something, the error that
// snd_pcm_poll_descriptors_revents returned, or neither when the timeout passed.
struct Polled {
    int error = 0;
    unsigned short revents = 0;
    int idle_wakeups = 0;  // polls that woke up for nothing: a descriptor readable too early
};

Polled PollDevice(snd_pcm_t* pcm, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const int count = snd_pcm_poll_descriptors_count(pcm);
    std::vector<pollfd> fds(static_cast<size_t>(count) + 1);
    // The loop's own wake-up descriptor, polled along with the device's; nothing writes it here.
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    Polled result;
    // A device that spins the loop gets stopped here rather than by the test's time limit.
    while (result.idle_wakeups < 1000) {
        snd_pcm_poll_descriptors(pcm, fds.data(), static_cast<unsigned>(count));
        fds.back() = pollfd{wake, POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
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
    close(wake);
    return result;
}

void IgnoreSignal(int) {}

// A blocking read of a period on a thread of its own. When it has not returned after `ms`, it is
// stopped as an application stops one (snd_pcm_abort, then a signal that breaks libasound's
// poll). The processor time it took meanwhile tells a wait from a busy loop.
struct BlockedRead {
    bool returned;  // within `ms`
    long result;
    long cpu_ms;
};

BlockedRead ReadWithin(snd_pcm_t* pcm, const StreamSetup& s, int ms) {
    struct sigaction sa {};
    sa.sa_handler = IgnoreSignal;  // no SA_RESTART: the poll returns EINTR
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);
    std::atomic<bool> done{false};
    long result = 0;
    std::thread reader([&] {
        Samples got;
        result = ReadOnce(pcm, s, s.period, &got);
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    BlockedRead r{done, 0, 0};
    clockid_t cpu_clock{};
    timespec cpu{};
    if (pthread_getcpuclockid(reader.native_handle(), &cpu_clock) == 0 &&
        clock_gettime(cpu_clock, &cpu) == 0) {
        r.cpu_ms = cpu.tv_sec * 1000 + cpu.tv_nsec / 1000000;
    }
    if (!done) {
        snd_pcm_abort(pcm);
        while (!done) {  // again and again: the first signal may come before the poll
            pthread_kill(reader.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    reader.join();
    r.result = result;
    return r;
}

// ---------------------------------------------------------------------------------------------

TEST(FakeSignal, PatternStaysOffTheRailsAndGivesBackItsFrame) {
    for (unsigned bits : {16u, 24u}) {
        const int32_t limit = nalvo_fake::MaxSample(bits) - 2;
        const uint64_t period = nalvo_fake::PatternPeriod(bits);
        // A whole pattern period, plus frames far into a long recording.
        for (uint64_t frame : {uint64_t{0}, period - 1, period, uint64_t{1} << 40}) {
            for (uint64_t f = frame; f < frame + period; f += (bits == 16 ? 1 : 4099)) {
                for (unsigned ch = 0; ch < 2; ++ch) {
                    const int32_t v = nalvo_fake::PatternSample(f, ch, bits);
                    ASSERT_LE(v, limit) << bits << "-bit frame " << f << " ch " << ch;
                    ASSERT_GE(v, -limit) << bits << "-bit frame " << f << " ch " << ch;
                    ASSERT_EQ(nalvo_fake::PatternFrame(v, ch, bits), int64_t(f % period))
                        << bits << "-bit frame " << f << " ch " << ch;
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
    size_t chunk;  // frames per read call
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadBack : public ::testing::TestWithParam<ReadCase> {};

// Reads 100000 frames, several times round the ring buffer, and checks every sample.
TEST_P(ReadBack, SamplesMatchTheSignalGenerator) {
    const ReadCase& c = GetParam();
    HangGuard guard(30);
    Pcm pcm(c.device);
    ASSERT_EQ(pcm.error(), 0) << snd_strerror(pcm.error());
    ASSERT_EQ(Configure(pcm.get(), c.setup), 0);
    uint64_t frame = 0;
    Samples got;
    while (frame < 100000) {
        const long n = ReadOnce(pcm.get(), c.setup, c.chunk, &got);
        ASSERT_GT(n, 0) << snd_strerror(static_cast<int>(n)) << " at frame " << frame;
        ExpectSignals(got, frame, c.signals, c.setup);
        frame += static_cast<uint64_t>(n);
    }
}

constexpr auto kI = SND_PCM_ACCESS_RW_INTERLEAVED;
constexpr auto kN = SND_PCM_ACCESS_RW_NONINTERLEAVED;
constexpr auto kS16 = SND_PCM_FORMAT_S16_LE;
constexpr auto kS24 = SND_PCM_FORMAT_S24_3LE;

ChannelSignal Custom0() {
    ChannelSignal s = nalvo_fake::Const(1000);
    s.fullscale = {5, 70000};
    return s;
}
ChannelSignal Custom1() {
    ChannelSignal s = nalvo_fake::Silence();
    s.fullscale = {0};
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ReadBack,
    ::testing::Values(
        ReadCase{
            "PatternS16Interleaved", "nalvo_pattern", {kI, kS16}, {Pattern(), Pattern()}, 7000},
        ReadCase{"PatternS24NonInterleaved",
                 "nalvo_pattern",
                 {kN, kS24, 2, 96000},
                 {Pattern(), Pattern()},
                 7000},
        // Whole-buffer reads move the hardware pointer by exactly one buffer between calls.
        ReadCase{
            "PatternWholeBufferReads", "nalvo_pattern", {kI, kS16}, {Pattern(), Pattern()}, 32768},
        ReadCase{
            "DefaultIsThePattern", "default", {kI, kS24, 2, 44100}, {Pattern(), Pattern()}, 5000},
        ReadCase{"SineS16NonInterleaved",
                 "nalvo_sine",
                 {kN, kS16},
                 {Sine(16384, 1000), Sine(8192, 440)},
                 4096},
        ReadCase{"SineS24Interleaved",
                 "nalvo_sine",
                 {kI, kS24, 2, 88200},
                 {Sine(16384, 1000), Sine(8192, 440)},
                 3000},
        ReadCase{"MonoPattern", "nalvo_mono", {kN, kS16, 1}, {Pattern()}, 6000},
        ReadCase{"ConstSilenceFullScaleS16", "t_custom", {kI, kS16}, {Custom0(), Custom1()}, 9000},
        ReadCase{"ConstSilenceFullScaleS24", "t_custom", {kN, kS24}, {Custom0(), Custom1()}, 9000},
        ReadCase{
            "S24InFourBytes", "t_wide", {kI, SND_PCM_FORMAT_S24_LE}, {Pattern(), Pattern()}, 7000},
        ReadCase{"S32", "t_wide", {kN, SND_PCM_FORMAT_S32_LE}, {Pattern(), Pattern()}, 7000},
        ReadCase{"Mmap",
                 "t_mmap",
                 {SND_PCM_ACCESS_MMAP_INTERLEAVED, kS24},
                 {Pattern(), Pattern()},
                 7000},
        // plug converts to S32 on top of a device that offers S24_3LE and mmap access only.
        ReadCase{"PlugOverMmap",
                 "plug:t_mmap",
                 {kI, SND_PCM_FORMAT_S32_LE},
                 {Pattern(), Pattern()},
                 7000}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------

enum class Param { kAccess, kFormat, kRate, kChannels, kPeriod, kBuffer };

struct ConstraintCase {
    const char* name;
    const char* device;
    Param param;
    unsigned request;
    bool exact;  // set_xxx() rather than set_xxx_near()
    long want;   // value after the commit, or -1: the request is refused
};

void PrintTo(const ConstraintCase& c, std::ostream* os) {
    *os << c.name;
}

class Constraint : public ::testing::TestWithParam<ConstraintCase> {};

// Applies one request to an unrestricted configuration, commits, and reads the value back from
// the committed setup.
TEST_P(Constraint, RequestIsRefusedOrGrantedAsTheDeviceAllows) {
    const ConstraintCase& c = GetParam();
    Pcm pcm(c.device);
    ASSERT_EQ(pcm.error(), 0) << snd_strerror(pcm.error());
    snd_pcm_t* h = pcm.get();
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    ASSERT_GE(snd_pcm_hw_params_any(h, hw), 0);
    unsigned u = c.request;
    snd_pcm_uframes_t frames = c.request;
    int err = 0;
    switch (c.param) {
        case Param::kAccess:
            err = snd_pcm_hw_params_set_access(h, hw, static_cast<snd_pcm_access_t>(c.request));
            break;
        case Param::kFormat:
            err = snd_pcm_hw_params_set_format(h, hw, static_cast<snd_pcm_format_t>(c.request));
            break;
        case Param::kRate:
            err = c.exact ? snd_pcm_hw_params_set_rate(h, hw, u, 0)
                          : snd_pcm_hw_params_set_rate_near(h, hw, &u, nullptr);
            break;
        case Param::kChannels:
            err = c.exact ? snd_pcm_hw_params_set_channels(h, hw, u)
                          : snd_pcm_hw_params_set_channels_near(h, hw, &u);
            break;
        case Param::kPeriod:
            err = c.exact ? snd_pcm_hw_params_set_period_size(h, hw, frames, 0)
                          : snd_pcm_hw_params_set_period_size_near(h, hw, &frames, nullptr);
            break;
        case Param::kBuffer:
            // A ring buffer of 32 periods, as the program asks for it.
            frames = c.request / 32;
            err = snd_pcm_hw_params_set_period_size_near(h, hw, &frames, nullptr);
            frames = c.request;
            if (err >= 0)
                err = snd_pcm_hw_params_set_buffer_size_near(h, hw, &frames);
            break;
    }
    if (c.want < 0) {
        EXPECT_LT(err, 0) << "request granted";
        return;
    }
    ASSERT_EQ(err, 0) << snd_strerror(err);
    ASSERT_EQ(snd_pcm_hw_params(h, hw), 0);
    ASSERT_EQ(snd_pcm_hw_params_current(h, hw), 0);
    long got = -1;
    int dir = 0;
    switch (c.param) {
        case Param::kAccess: {
            snd_pcm_access_t a{};
            snd_pcm_hw_params_get_access(hw, &a);
            got = a;
            break;
        }
        case Param::kFormat: {
            snd_pcm_format_t f{};
            snd_pcm_hw_params_get_format(hw, &f);
            got = f;
            break;
        }
        case Param::kRate:
            snd_pcm_hw_params_get_rate(hw, &u, &dir);
            got = u;
            break;
        case Param::kChannels:
            snd_pcm_hw_params_get_channels(hw, &u);
            got = u;
            break;
        case Param::kPeriod:
            snd_pcm_hw_params_get_period_size(hw, &frames, &dir);
            got = static_cast<long>(frames);
            break;
        case Param::kBuffer:
            snd_pcm_hw_params_get_buffer_size(hw, &frames);
            got = static_cast<long>(frames);
            break;
    }
    EXPECT_EQ(got, c.want);
}

constexpr bool kExact = true;
constexpr bool kNear = false;

INSTANTIATE_TEST_SUITE_P(
    Devices, Constraint,
    ::testing::Values(
        ConstraintCase{"P1024PeriodOf4096Becomes1024", "nalvo_p1024", Param::kPeriod, 4096, kNear,
                       1024},
        ConstraintCase{"P1024Exact4096Refused", "nalvo_p1024", Param::kPeriod, 4096, kExact, -1},
        ConstraintCase{"P1024NoS24", "nalvo_p1024", Param::kFormat, kS24, kExact, -1},
        ConstraintCase{"PatternGrantsItsRingBuffer", "nalvo_pattern", Param::kBuffer, 32768, kNear,
                       32768},
        ConstraintCase{"PatternPeriodAsAsked", "nalvo_pattern", Param::kPeriod, 4096, kNear, 4096},
        ConstraintCase{"S16OnlyRefusesS24", "nalvo_16only", Param::kFormat, kS24, kExact, -1},
        ConstraintCase{"S16OnlyTakesS16", "nalvo_16only", Param::kFormat, kS16, kExact, kS16},
        ConstraintCase{"PatternTakesS24", "nalvo_pattern", Param::kFormat, kS24, kExact, kS24},
        ConstraintCase{"PatternRefusesS32", "nalvo_pattern", Param::kFormat, SND_PCM_FORMAT_S32_LE,
                       kExact, -1},
        ConstraintCase{"44kRefuses48k", "nalvo_44k", Param::kRate, 48000, kExact, -1},
        ConstraintCase{"44kNear48kIs44k", "nalvo_44k", Param::kRate, 48000, kNear, 44100},
        ConstraintCase{"PatternRefusesRateBetweenItsRates", "nalvo_pattern", Param::kRate, 50000,
                       kExact, -1},
        ConstraintCase{"PatternTakes88200", "nalvo_pattern", Param::kRate, 88200, kExact, 88200},
        ConstraintCase{"MonoRefusesTwoChannels", "nalvo_mono", Param::kChannels, 2, kExact, -1},
        ConstraintCase{"MonoNearTwoIsOne", "nalvo_mono", Param::kChannels, 2, kNear, 1},
        ConstraintCase{"PatternRefusesOneChannel", "nalvo_pattern", Param::kChannels, 1, kExact,
                       -1},
        ConstraintCase{"InterRefusesNonInterleaved", "nalvo_inter", Param::kAccess, kN, kExact, -1},
        ConstraintCase{"InterTakesInterleaved", "nalvo_inter", Param::kAccess, kI, kExact, kI},
        ConstraintCase{"NonInterRefusesInterleaved", "nalvo_noninter", Param::kAccess, kI, kExact,
                       -1},
        ConstraintCase{"NonInterTakesNonInterleaved", "nalvo_noninter", Param::kAccess, kN, kExact,
                       kN},
        ConstraintCase{"NoMmap", "nalvo_pattern", Param::kAccess, SND_PCM_ACCESS_MMAP_INTERLEAVED,
                       kExact, -1}),
    [](const ::testing::TestParamInfo<ConstraintCase>& info) {
        return std::string(info.param.name);
    });

TEST(Commit, BadCommitDeviceFailsTheCommitOnly) {
    Pcm pcm("nalvo_badcommit");
    ASSERT_EQ(pcm.error(), 0) << snd_strerror(pcm.error());
    EXPECT_LT(Configure(pcm.get(), StreamSetup{}), 0);
    // The same request commits on a device without the fault.
    Pcm good("nalvo_pattern");
    ASSERT_EQ(good.error(), 0);
    EXPECT_EQ(Configure(good.get(), StreamSetup{}), 0);
}

struct OpenCase {
    const char* name;
    const char* device;
    snd_pcm_stream_t stream;
};

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.name;
}

class OpenRefused : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenRefused, OpenFails) {
    Pcm pcm(GetParam().device, GetParam().stream);
    EXPECT_LT(pcm.error(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, OpenRefused,
    ::testing::Values(OpenCase{"Playback", "nalvo_pattern", SND_PCM_STREAM_PLAYBACK},
                      OpenCase{"PeriodWithTwoFormats", "t_bad_period", SND_PCM_STREAM_CAPTURE},
                      OpenCase{"UnknownKey", "t_bad_key", SND_PCM_STREAM_CAPTURE},
                      OpenCase{"UnknownSignal", "t_bad_signal", SND_PCM_STREAM_CAPTURE},
                      OpenCase{"UnsupportedFormat", "t_bad_format", SND_PCM_STREAM_CAPTURE}),
    [](const ::testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------

// kNone: the device is gone and a prepare fails. kDead: the sound server behind it is gone; a
// prepare and a start succeed, but every read fails again at once.
enum class Recovery { kPrepare, kResume, kNone, kDead };

struct Event {
    uint64_t at;  // device frame at which the read fails
    long error;   // what the read returns
    Recovery recovery;
    uint64_t next;  // device frame of the first frame after the recovery
};

struct FaultCase {
    const char* name;
    const char* device;
    snd_pcm_access_t access;
    std::vector<Event> events;
    uint64_t until;  // frames of device time to read through
    snd_pcm_format_t format = kS16;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class Fault : public ::testing::TestWithParam<FaultCase> {};

// Reads pattern frames in 1000-frame calls (not aligned to the 1024-frame periods) and checks
// that every error comes at its frame, that the frames before it arrive intact, and that the
// stream goes on at the right device frame after the recovery.
TEST_P(Fault, ErrorsComeAtTheirFramesAndTheStreamResumesInDeviceTime) {
    const FaultCase& c = GetParam();
    HangGuard guard(30);
    Pcm pcm(c.device);
    ASSERT_EQ(pcm.error(), 0) << snd_strerror(pcm.error());
    StreamSetup s;
    s.access = c.access;
    s.format = c.format;
    ASSERT_EQ(Configure(pcm.get(), s), 0);
    uint64_t frame = 0;
    size_t event = 0;
    Samples got;
    while (frame < c.until) {
        const long n = ReadOnce(pcm.get(), s, 1000, &got);
        if (n > 0) {
            ExpectSignals(got, frame, {Pattern(), Pattern()}, s);
            frame += static_cast<uint64_t>(n);
            continue;
        }
        ASSERT_LT(event, c.events.size()) << "unexpected " << n << " at frame " << frame;
        const Event& e = c.events[event++];
        EXPECT_EQ(n, e.error) << snd_strerror(static_cast<int>(n));
        EXPECT_EQ(frame, e.at);
        if (e.recovery == Recovery::kNone) {
            EXPECT_LT(ReadOnce(pcm.get(), s, 1000, &got), 0) << "the device came back";
            EXPECT_LT(snd_pcm_prepare(pcm.get()), 0);
            break;
        }
        if (e.recovery == Recovery::kDead) {
            for (const bool start : {false, true}) {
                EXPECT_EQ(snd_pcm_prepare(pcm.get()), 0);
                // Prepared, the device has nothing to wait for but the error.
                EXPECT_EQ(start ? snd_pcm_start(pcm.get()) : snd_pcm_wait(pcm.get(), 5000),
                          start ? 0 : -EPIPE);
                EXPECT_EQ(ReadOnce(pcm.get(), s, 1000, &got), -EPIPE) << "started: " << start;
            }
            EXPECT_EQ(snd_pcm_wait(pcm.get(), 5000), -EPIPE);
            break;
        }
        ASSERT_EQ(e.recovery == Recovery::kPrepare ? snd_pcm_prepare(pcm.get())
                                                   : snd_pcm_resume(pcm.get()),
                  0);
        frame = e.next;
    }
    EXPECT_EQ(event, c.events.size()) << "not every fault happened";
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Fault,
    ::testing::Values(
        FaultCase{
            "XrunInterleaved",
            "t_xrun",
            kI,
            {{3072, -EPIPE, Recovery::kPrepare, 4096}, {7168, -EPIPE, Recovery::kPrepare, 8192}},
            20000},
        FaultCase{
            "XrunNonInterleaved",
            "t_xrun",
            kN,
            {{3072, -EPIPE, Recovery::kPrepare, 4096}, {7168, -EPIPE, Recovery::kPrepare, 8192}},
            20000},
        FaultCase{"Unplugged", "t_gone", kI, {{4500, -ENODEV, Recovery::kNone, 0}}, 20000},
        FaultCase{
            "UnpluggedNonInterleaved", "t_gone", kN, {{4500, -ENODEV, Recovery::kNone, 0}}, 20000},
        FaultCase{
            "UnpluggedRealTime", "t_gone_rt", kI, {{2500, -ENODEV, Recovery::kNone, 0}}, 20000},
        FaultCase{"DeadServer", "t_dead", kI, {{4500, -EPIPE, Recovery::kDead, 0}}, 20000},
        FaultCase{"DeadServerNonInterleaved24",
                  "t_dead",
                  kN,
                  {{4500, -EPIPE, Recovery::kDead, 0}},
                  20000,
                  kS24},
        FaultCase{"DeadServerRealTime",
                  "nalvo_deadserver",
                  kI,
                  {{48000, -EPIPE, Recovery::kDead, 0}},
                  60000},
        FaultCase{"Suspend", "t_suspend", kI, {{2048, -ESTRPIPE, Recovery::kResume, 2048}}, 8000},
        FaultCase{"SuspendThenPrepare",
                  "t_suspend",
                  kN,
                  {{2048, -ESTRPIPE, Recovery::kPrepare, 2048}},
                  8000}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// An overrun of a real-time device, as on hardware: the stream stops, reads fail with -EPIPE
// until the prepare, which discards what the ring held, and capture starts again at the next
// start. Every frame of the world from the last one read to that start is lost: device time
// goes on with the clock while the device is stopped.
struct RestartCase {
    const char* name;
    const char* device;
    uint64_t fails_at;  // frame of the read that fails
    int stall_ms;       // before every read after the first
    int settle_ms;      // between the failed read and the prepare
    int idle_ms;        // between the prepare and the start
};

void PrintTo(const RestartCase& c, std::ostream* os) {
    *os << c.name;
}

class Restart : public ::testing::TestWithParam<RestartCase> {};

TEST_P(Restart, CaptureStartsAgainAtTheFrameOfTheClock) {
    const RestartCase& c = GetParam();
    using Clock = std::chrono::steady_clock;
    HangGuard guard(30);
    Pcm pcm(c.device);
    ASSERT_EQ(pcm.error(), 0);
    StreamSetup s;
    s.format = kS24;  // the pattern does not come round again for minutes
    s.buffer = 8192;  // about 0.17 s
    ASSERT_EQ(Configure(pcm.get(), s), 0);
    const auto first_before = Clock::now();
    ASSERT_EQ(snd_pcm_start(pcm.get()), 0);
    const auto first_after = Clock::now();
    Samples got;
    uint64_t frame = 0;
    long n = 0;
    while ((n = ReadOnce(pcm.get(), s, 512, &got)) > 0) {
        ExpectSignals(got, frame, {Pattern(), Pattern()}, s);
        frame += static_cast<uint64_t>(n);
        std::this_thread::sleep_for(std::chrono::milliseconds(c.stall_ms));
    }
    ASSERT_EQ(n, -EPIPE) << snd_strerror(static_cast<int>(n));
    EXPECT_EQ(frame, c.fails_at);
    std::this_thread::sleep_for(std::chrono::milliseconds(c.settle_ms));
    ASSERT_EQ(snd_pcm_prepare(pcm.get()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(c.idle_ms));
    const auto restart_before = Clock::now();
    ASSERT_EQ(snd_pcm_start(pcm.get()), 0);
    const auto restart_after = Clock::now();
    ASSERT_EQ(ReadOnce(pcm.get(), s, 512, &got), 512);
    const auto frames = [&](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() * s.rate /
               1000000000;
    };
    const int64_t resumed = nalvo_fake::PatternFrame(got[0][0], 0, 24);
    // One frame either way for the rounding of the clock to frames.
    EXPECT_GE(resumed, frames(restart_before - first_after) - 1);
    EXPECT_LE(resumed, frames(restart_after - first_before) + 1);
    ExpectSignals(got, static_cast<uint64_t>(resumed), {Pattern(), Pattern()}, s);
}

INSTANTIATE_TEST_SUITE_P(Devices, Restart,
                         ::testing::Values(
                             // Read once, then too late: the ring filled long before.
                             RestartCase{"LateReader", "t_rt_pattern", 512, 600, 100, 100},
                             // Read on time into an injected overrun at the second period.
                             RestartCase{"Injected", "t_rt_xrun", 1024, 0, 100, 100}),
                         [](const ::testing::TestParamInfo<RestartCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(RealTime, BlockingReadDeliversTheSines) {
    HangGuard guard(30);
    Pcm pcm("nalvo_live");
    ASSERT_EQ(pcm.error(), 0);
    const StreamSetup s;
    ASSERT_EQ(Configure(pcm.get(), s), 0);
    Samples got;
    ASSERT_EQ(ReadOnce(pcm.get(), s, 4800, &got), 4800);
    ExpectSignals(got, 0, {Sine(10000, 1000), Sine(5000, 440)}, s);
}

TEST(RealTime, DoesNotHandOutAFullBufferAtOnce) {
    Pcm pcm("nalvo_live");
    ASSERT_EQ(pcm.error(), 0);
    StreamSetup s;
    s.buffer = 131072;  // ~2.7 s: the device cannot have filled it right after the start
    ASSERT_EQ(Configure(pcm.get(), s), 0);
    ASSERT_EQ(snd_pcm_start(pcm.get()), 0);
    const snd_pcm_sframes_t avail = snd_pcm_avail(pcm.get());
    EXPECT_GE(avail, 0);
    EXPECT_LT(avail, 131072);
    Pcm fast("nalvo_pattern");
    ASSERT_EQ(fast.error(), 0);
    ASSERT_EQ(Configure(fast.get(), s), 0);
    ASSERT_EQ(snd_pcm_start(fast.get()), 0);
    EXPECT_EQ(snd_pcm_avail(fast.get()), 131072);
}

// ---------------------------------------------------------------------------------------------

// A client in non-blocking mode that polls the device itself: it reads only when poll reports the
// device readable, takes everything that is there, and tries once more at once. A paced device
// has less than a period left then and must say -EAGAIN; it becomes readable again once a period
// is there, and not before. The stream ends when `until` frames have been read or in an error;
// after an overrun a prepare and a start bring the frames back.
struct PollCase {
    const char* name;
    const char* device;
    snd_pcm_access_t access;
    snd_pcm_format_t format;
    bool paced;         // frames come with the clock
    uint64_t until;     // frames to read
    int late_ms;        // pause after the first read: longer than the ring buffer overruns it
    long error;         // what ends the stream before `until`, or 0
    uint64_t fails_at;  // frame of that error, kAnyFrame when the clock decides
    bool dead = false;  // the sound server is gone: the error comes back after a prepare
};

constexpr uint64_t kAnyFrame = UINT64_MAX;

void PrintTo(const PollCase& c, std::ostream* os) {
    *os << c.name;
}

class NonBlocking : public ::testing::TestWithParam<PollCase> {};

TEST_P(NonBlocking, ReadsWhenPollSaysSoAndErrorsArrive) {
    const PollCase& c = GetParam();
    HangGuard guard(30);
    Pcm pcm(c.device);
    ASSERT_EQ(pcm.error(), 0) << snd_strerror(pcm.error());
    snd_pcm_t* h = pcm.get();
    StreamSetup s;
    s.access = c.access;
    s.format = c.format;
    s.buffer = 8192;
    ASSERT_EQ(Configure(h, s), 0);
    ASSERT_EQ(snd_pcm_nonblock(h, 1), 0);
    ASSERT_EQ(snd_pcm_start(h), 0);
    Samples got;
    uint64_t frame = 0;
    long error = 0;
    int again = 0;
    int idle = 0;
    while (frame < c.until && error == 0) {
        const Polled p = PollDevice(h, 2000);
        idle += p.idle_wakeups;
        if (p.error < 0) {
            error = p.error;
            break;
        }
        ASSERT_NE(p.revents, 0) << "not readable for 2 s at frame " << frame;
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(h);
        if (!(p.revents & POLLERR) && avail >= 0) {
            // Readable means a period is there, or everything up to the error to come.
            const uint64_t due =
                c.error != 0 && c.fails_at != kAnyFrame ? c.fails_at - frame : kAnyFrame;
            EXPECT_GE(static_cast<uint64_t>(avail), std::min<uint64_t>(s.period, due))
                << "readable at frame " << frame;
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            const long n = ReadOnce(h, s, s.buffer, &got);
            if (n == -EAGAIN && attempt == 1) {
                ++again;
            } else if (n < 0) {
                error = n;
            } else {
                EXPECT_TRUE(attempt == 0 || !c.paced || n >= static_cast<long>(s.period))
                    << n << " frames at frame " << frame << " just after taking everything";
                ExpectSignals(got, frame, {Pattern(), Pattern()}, s);
                frame += static_cast<uint64_t>(n);
            }
            if (error != 0) {
                break;
            }
        }
        if (c.late_ms > 0 && frame > 0 && frame <= s.buffer) {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.late_ms));
        }
    }
    EXPECT_EQ(idle, 0) << "poll woke up while the device had nothing to report";
    EXPECT_EQ(error, c.error) << snd_strerror(static_cast<int>(error));
    if (c.error != 0 && c.fails_at != kAnyFrame) {
        EXPECT_EQ(frame, c.fails_at);
    }
    if (c.paced && c.error == 0) {
        EXPECT_GT(again, 0) << "never less than a period after taking everything";
    }
    if (error == -EPIPE) {
        // After an overrun a prepare and a start bring the frames back. A dead server's device
        // takes both, then tells the poll at once, and the read.
        ASSERT_EQ(snd_pcm_prepare(h), 0);
        ASSERT_EQ(snd_pcm_start(h), 0);
        const Polled p = PollDevice(h, 2000);
        const long n = ReadOnce(h, s, s.buffer, &got);
        if (c.dead) {
            EXPECT_TRUE(p.error == -EPIPE || (p.revents & POLLERR)) << "not told for 2 s";
            EXPECT_EQ(n, -EPIPE);
        } else {
            EXPECT_EQ(p.error, 0);
            EXPECT_TRUE(p.revents & POLLIN);
            EXPECT_GT(n, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, NonBlocking,
    ::testing::Values(
        PollCase{"RealTime", "t_rt_pattern", kI, kS16, true, 20000, 0, 0, 0},
        PollCase{"RealTimeNonInterleaved24", "t_rt_pattern", kN, kS24, true, 20000, 0, 0, 0},
        PollCase{"Fast", "nalvo_pattern", kN, kS24, false, 50000, 0, 0, 0},
        PollCase{"RealTimeLateReader", "t_rt_pattern", kI, kS16, true, 20000, 400, -EPIPE,
                 kAnyFrame},
        PollCase{"RealTimeInjectedOverrun", "t_xrun_rt", kI, kS16, true, 20000, 0, -EPIPE, 1024},
        PollCase{"RealTimeUnplugged", "t_gone_rt", kN, kS16, true, 20000, 0, -ENODEV, 2500},
        PollCase{"RealTimeDeadServer", "t_dead_rt", kN, kS24, true, 20000, 0, -EPIPE, 2500, true}),
    [](const ::testing::TestParamInfo<PollCase>& info) { return std::string(info.param.name); });

// A source that stops delivering, as a sound server whose buffers stop coming: the frames before
// the stall arrive, then nothing and no error, for ever. A non-blocking read says -EAGAIN, the
// descriptor never becomes readable, a prepare and a start do not bring frames back, and a
// blocking read waits inside libasound's poll until it is aborted.
struct StallCase {
    const char* name;
    const char* device;
    snd_pcm_access_t access;
    snd_pcm_format_t format;
    uint64_t stalls_at;
};

void PrintTo(const StallCase& c, std::ostream* os) {
    *os << c.name;
}

class Stall : public ::testing::TestWithParam<StallCase> {};

TEST_P(Stall, FramesStopWithoutAnError) {
    const StallCase& c = GetParam();
    HangGuard guard(30);
    Pcm pcm(c.device);
    ASSERT_EQ(pcm.error(), 0) << snd_strerror(pcm.error());
    snd_pcm_t* h = pcm.get();
    StreamSetup s;
    s.access = c.access;
    s.format = c.format;
    s.buffer = 8192;
    ASSERT_EQ(Configure(h, s), 0);
    Samples got;
    uint64_t frame = 0;
    // A blocking read waits for all it asked for, so these end exactly at the stall.
    while (frame < c.stalls_at) {
        const long n = ReadOnce(h, s, 500, &got);
        ASSERT_GT(n, 0) << snd_strerror(static_cast<int>(n)) << " at frame " << frame;
        ExpectSignals(got, frame, {Pattern(), Pattern()}, s);
        frame += static_cast<uint64_t>(n);
    }
    EXPECT_EQ(frame, c.stalls_at);
    for (const char* when : {"after the stall", "after a prepare"}) {
        SCOPED_TRACE(when);
        ASSERT_EQ(snd_pcm_nonblock(h, 1), 0);
        EXPECT_EQ(ReadOnce(h, s, 1000, &got), -EAGAIN);
        const Polled p = PollDevice(h, 300);
        EXPECT_EQ(p.error, 0);
        EXPECT_EQ(p.revents, 0);
        EXPECT_EQ(p.idle_wakeups, 0) << "the descriptor was readable";
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(h);
        EXPECT_GE(avail, 0);
        EXPECT_LT(avail, static_cast<snd_pcm_sframes_t>(s.period));
        ASSERT_EQ(snd_pcm_nonblock(h, 0), 0);
        ASSERT_EQ(snd_pcm_prepare(h), 0);
        ASSERT_EQ(snd_pcm_start(h), 0);
    }
    const BlockedRead r = ReadWithin(h, s, 300);
    EXPECT_FALSE(r.returned) << "a blocking read returned " << r.result;
    EXPECT_EQ(r.result, -EINTR) << "what the aborted wait returns";
    EXPECT_LT(r.cpu_ms, 100) << "the blocking read spun instead of waiting";
    EXPECT_EQ(snd_pcm_drop(h), 0);
    EXPECT_EQ(pcm.Close(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Stall,
    ::testing::Values(StallCase{"Fast", "t_stall", kI, kS16, 4500},
                      StallCase{"FastNonInterleaved24", "t_stall", kN, kS24, 4500},
                      StallCase{"RealTime", "nalvo_stalled", kI, kS24, 48000}),
    [](const ::testing::TestParamInfo<StallCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------

enum class Before { kNothing, kStart, kOverrun };

struct WaitCase {
    const char* name;
    const char* device;
    Before before;
    int timeout_ms;
    int want;  // snd_pcm_wait's result
};

void PrintTo(const WaitCase& c, std::ostream* os) {
    *os << c.name;
}

class Wait : public ::testing::TestWithParam<WaitCase> {};

// snd_pcm_wait must return in every state: a poll descriptor that is readable while the device
// reports nothing makes it spin for ever.
TEST_P(Wait, ReturnsWithTheStateOfTheStream) {
    const WaitCase& c = GetParam();
    HangGuard guard(20);
    Pcm pcm(c.device);
    ASSERT_EQ(pcm.error(), 0);
    StreamSetup s;
    s.access = kI;
    ASSERT_EQ(Configure(pcm.get(), s), 0);
    Samples got;
    if (c.before == Before::kStart) {
        ASSERT_EQ(snd_pcm_start(pcm.get()), 0);
    } else if (c.before == Before::kOverrun) {
        long n = 0;
        while ((n = ReadOnce(pcm.get(), s, 1000, &got)) > 0) {
        }
        ASSERT_EQ(n, -EPIPE);
    }
    EXPECT_EQ(snd_pcm_wait(pcm.get(), c.timeout_ms), c.want);
    if (c.want == 1) {
        EXPECT_GT(ReadOnce(pcm.get(), s, 1024, &got), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Wait,
    // Nothing to wait for before the start: those time out (0); the others must not need to.
    ::testing::Values(WaitCase{"FastPrepared", "nalvo_pattern", Before::kNothing, 100, 0},
                      WaitCase{"RealTimePrepared", "nalvo_live", Before::kNothing, 100, 0},
                      WaitCase{"FastRunning", "nalvo_pattern", Before::kStart, 5000, 1},
                      WaitCase{"RealTimeRunning", "nalvo_live", Before::kStart, 5000, 1},
                      WaitCase{"FastOverrun", "t_xrun", Before::kOverrun, 5000, -EPIPE},
                      WaitCase{"RealTimeOverrun", "t_xrun_rt", Before::kOverrun, 5000, -EPIPE}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

struct StopCase {
    const char* name;
    const char* device;
    bool drain;  // snd_pcm_drain then close, or close right away
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class Stop : public ::testing::TestWithParam<StopCase> {};

TEST_P(Stop, RunningStreamStopsPromptly) {
    const StopCase& c = GetParam();
    HangGuard guard(20);
    Pcm pcm(c.device);
    ASSERT_EQ(pcm.error(), 0);
    const StreamSetup s;
    ASSERT_EQ(Configure(pcm.get(), s), 0);
    Samples got;
    ASSERT_EQ(ReadOnce(pcm.get(), s, 1024, &got), 1024);
    ASSERT_EQ(snd_pcm_state(pcm.get()), SND_PCM_STATE_RUNNING);
    if (c.drain) {
        EXPECT_EQ(snd_pcm_drain(pcm.get()), 0);
        EXPECT_EQ(snd_pcm_state(pcm.get()), SND_PCM_STATE_SETUP);
    }
    EXPECT_EQ(pcm.Close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, Stop,
                         ::testing::Values(StopCase{"FastDrain", "nalvo_pattern", true},
                                           StopCase{"FastClose", "nalvo_pattern", false},
                                           StopCase{"RealTimeDrain", "nalvo_live", true},
                                           StopCase{"RealTimeClose", "nalvo_live", false}),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
