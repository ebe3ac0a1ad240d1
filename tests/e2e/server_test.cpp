// Recordings through real sound servers and their ALSA plugins: PulseAudio, and PipeWire as
// `default` is on Debian 12 and Raspberry Pi OS. A sound server is a capture device unlike a
// sound card: it hands over its audio in bursts, and it can vanish for good in the middle of
// a recording. Killed, PulseAudio's reads fail with -EPIPE and its prepare with -EIO; PipeWire
// leaves a PCM that prepares fine and fails every read again at once, and without its session
// manager the links go and no frame ever arrives again, while a blocking read waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

// Whether a program of that name is found in PATH.
bool InPath(const std::string& name) {
    return system(("command -v '" + name + "' >/dev/null").c_str()) == 0;
}

// Starts a program found in PATH, with `env` added to its environment and its output
// appended to `logPath`. It dies with the test program, so that no server outlives a test
// killed at its timeout; `alarmSeconds` (kept across exec) ends one that hangs.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& logPath, unsigned alarmSeconds) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(126);
    }
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in < 0 || out < 0) {
        _exit(126);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    alarm(alarmSeconds);
    Exec(argv, env);
}

// A private sound server for one test, with a source of a known sine. It listens in `dir`
// only, takes none of the machine's own sound devices, and every process it started is
// killed by its PID when the object goes (also with the test program, should that be
// killed first).
class SoundServer {
   public:
    virtual ~SoundServer() {
        // The last started first: each depends on those before it.
        while (!started_.empty()) {
            Stop(started_.back());
            started_.pop_back();
        }
    }
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;
    bool ready() const { return ready_; }
    std::string log() const {  // what its programs printed
        const std::vector<uint8_t> text = ReadFile(dir_ + "/server.log");
        return std::string(text.begin(), text.end());
    }
    // Runs nalvo in `dir` as a client: with the tests' devices and the server's source under
    // its own name, HOME and the XDG directories kept in `dir` like the server's.
    RunResult Record(std::vector<std::string> args, RunOptions options = {}) const {
        options.args = std::move(args);
        options.cwd = dir_;
        options.alsaConfig = alsaConfig_;
        options.env = env_;
        return RunNalvo(options);
    }
    void Kill() { Stop(server_); }  // the server itself, SIGKILL, as a crash would

   protected:
    // `pcm`: ALSA configuration that defines the server's source as a PCM.
    SoundServer(const ScratchDir& dir, const std::string& pcm, std::vector<std::string> env)
        : dir_(dir.path()), env_(std::move(env)), alsaConfig_(WithDevices(dir, pcm)) {}
    pid_t Start(const std::vector<std::string>& argv) {  // with env_, into the log
        started_.push_back(Spawn(argv, env_, dir_ + "/server.log", 0));
        return started_.back();
    }
    // Runs `probe` (with env_ and `extraEnv`) until it succeeds, for at most `seconds`;
    // false when it never did or a program started here gave up (its log says why).
    bool WaitFor(const std::vector<std::string>& probe, double seconds,
                 const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> env = env_;
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
        while (Running() && std::chrono::steady_clock::now() < deadline) {
            const pid_t pid = Spawn(probe, env, "/dev/null", 5);
            int status = 0;
            if (pid < 0 || waitpid(pid, &status, 0) != pid) {
                return false;
            }
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                return true;
            }
            usleep(50000);
        }
        return false;
    }
    bool Running() const {  // every program started here still runs
        for (pid_t pid : started_) {
            // WNOWAIT: one that ended is left to Stop(), which knows its PID is not reused yet.
            siginfo_t info{};
            if (pid > 0 &&
                (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                 info.si_pid == pid)) {
                return false;
            }
        }
        return true;
    }
    void Stop(pid_t& pid) {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            // Marked in the list too, so that it is neither waited for nor killed again.
            std::replace(started_.begin(), started_.end(), pid, pid_t{-1});
            pid = -1;
        }
    }
    std::string dir_;
    std::vector<std::string> env_;
    pid_t server_ = -1;
    bool ready_ = false;

   private:
    std::string alsaConfig_;
    std::vector<pid_t> started_;
};

// PulseAudio with one source: "sine", module-sine-source at `hz` and `rate`, as the PCM "pa".
class PulseServer : public SoundServer {
   public:
    // Why a server cannot run here (a program or ALSA's pulse plugin is not installed), or
    // empty.
    static std::string Missing() {
        if (!InPath("pulseaudio")) {
            return "pulseaudio is not installed";
        }
        if (!InPath("pactl")) {
            return "pactl (pulseaudio-utils) is not installed";
        }
        if (access(NALVO_ALSA_PLUGIN_DIR "/libasound_module_pcm_pulse.so", R_OK) != 0) {
            return "ALSA's pulse plugin (libasound2-plugins) is not installed";
        }
        return "";
    }
    PulseServer(const ScratchDir& dir, unsigned hz, unsigned rate)
        : SoundServer(
              dir,
              "pcm.pa { type pulse server \"unix:" + (dir / "native") + "\" device \"sine\" }\n",
              {"HOME=" + dir.path(), "XDG_CONFIG_HOME=" + dir.path(),
               "XDG_RUNTIME_DIR=" + dir.path()}) {
        const std::string socket = dir / "native";
        // The socket last: once a client gets an answer, the source is there.
        WriteFile(dir / "pa.conf", "load-module module-sine-source source_name=sine rate=" +
                                       std::to_string(rate) + " frequency=" + std::to_string(hz) +
                                       "\nload-module module-native-protocol-unix auth-anonymous=1 "
                                       "socket=" +
                                       socket + "\n");
        // -n: none of the system's own startup script; no real-time threads of its own on a
        // machine the tests share.
        server_ = Start({"pulseaudio", "-n", "-F", dir / "pa.conf", "--daemonize=no",
                         "--exit-idle-time=-1", "--disallow-exit", "--realtime=no",
                         "--high-priority=no"});
        ready_ = WaitFor({"pactl", "info"}, 20, {"PULSE_SERVER=unix:" + socket});
    }
};

// pipewire-alsa cannot be installed next to pulseaudio (each claims the machine's default
// device), so scripts/deps.sh may have unpacked its plugin into a directory of its own.
std::string PipeWirePlugin() {
    for (const char* dir : {NALVO_ALSA_PLUGIN_DIR, NALVO_PIPEWIRE_ALSA_DIR}) {
        const std::string lib = std::string(dir) + "/libasound_module_pcm_pipewire.so";
        if (access(lib.c_str(), R_OK) == 0) {
            return lib;
        }
    }
    return "";
}

// PipeWire with WirePlumber, its session manager, on a private D-Bus session bus: the sound
// server of Debian 12 and Raspberry Pi OS. One source, the PCM "pw" through PipeWire's own
// ALSA plugin: "test_tone", PipeWire's audiotestsrc, its sine at kHz with input 1 at kLevel[0]
// of full scale and input 2 at kLevel[1].
class PipeWireServer : public SoundServer {
   public:
    static constexpr double kHz = 440;  // audiotestsrc's own; this version cannot change it
    static constexpr double kLevel[2] = {0.5, 0.25};
    static std::string Missing() {
        for (const char* program :
             {"pipewire", "wireplumber", "pw-cli", "pw-cat", "dbus-daemon", "dbus-send"}) {
            if (!InPath(program)) {
                return std::string(program) + " is not installed";
            }
        }
        if (PipeWirePlugin().empty()) {
            return "ALSA's PipeWire plugin (pipewire-alsa) is neither installed nor unpacked by "
                   "scripts/deps.sh";
        }
        return "";
    }
    explicit PipeWireServer(const ScratchDir& dir)
        : SoundServer(
              dir,
              "pcm_type.pipewire { lib \"" + PipeWirePlugin() + "\" }\npcm.pw { type pipewire }\n",
              {"HOME=" + dir.path(), "XDG_RUNTIME_DIR=" + (dir / "rt"),
               "PIPEWIRE_RUNTIME_DIR=" + (dir / "rt"), "XDG_CONFIG_HOME=" + (dir / "cfg"),
               "XDG_STATE_HOME=" + (dir / "state"),
               "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (dir / "rt/bus"),
               // A sanitizer build: PipeWire's client library keeps its state where LeakSanitizer
               // does not look once ALSA has unloaded the plugin (valgrind finds it all reachable).
               std::string("ASAN_OPTIONS=") +
                   (getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "") + ":detect_leaks=0"}) {
        for (const char* sub :
             {"rt", "cfg", "cfg/pipewire", "cfg/pipewire/pipewire.conf.d", "cfg/wireplumber",
              "cfg/wireplumber/main.lua.d", "cfg/wireplumber/bluetooth.lua.d", "state"}) {
            mkdir((dir / sub).c_str(), 0700);
        }
        // None of the machine's own devices: a sound card taken from the desktop's server, or a
        // source of its own preferred to the tone.
        WriteFile(dir / "cfg/wireplumber/main.lua.d/51-nalvo-tests.lua",
                  "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
                  "libcamera_monitor.enabled = false\n");
        WriteFile(dir / "cfg/wireplumber/bluetooth.lua.d/51-nalvo-tests.lua",
                  "bluez_monitor.enabled = false\n");
        // The tone as a source of its own, running whether or not anyone listens.
        WriteFile(dir / "cfg/pipewire/pipewire.conf.d/20-tone.conf",
                  "context.spa-libs = { audiotestsrc = audiotestsrc/libspa-audiotestsrc }\n"
                  "context.objects = [ { factory = adapter args = {\n"
                  "    factory.name = audiotestsrc node.name = \"test_tone\"\n"
                  "    media.class = \"Audio/Source\" audio.position = [ FL FR ]\n"
                  "    priority.session = 4000 node.pause-on-idle = false } } ]\n");
        Start({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + (dir / "rt/bus")});
        ready_ = WaitFor({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                          "/org/freedesktop/DBus", "org.freedesktop.DBus.GetId"},
                         10);
        if (ready_) {
            server_ = Start({"pipewire"});
            ready_ = WaitFor({"pw-cli", "info", "0"}, 10);
        }
        // Without a session manager nothing links a new stream to the source: ready once a
        // client gets audio.
        if (ready_) {
            sessionManager_ = Start({"wireplumber"});
            ready_ = false;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!ready_ && Running() && std::chrono::steady_clock::now() < deadline) {
                ready_ = Delivers(2);
            }
        }
        // WirePlumber restores saved volumes as it starts: the levels are set after it.
        ready_ =
            ready_ && WaitFor({"pw-cli", "set-param", "test_tone", "Props",
                               "{ volume: 1.0, channelVolumes: [ " + std::to_string(kLevel[0]) +
                                   ", " + std::to_string(kLevel[1]) + " ] }"},
                              10);
    }
    void KillSessionManager() { Stop(sessionManager_); }
    // Whether pw-cat, another client, gets any audio from the source within `seconds`.
    bool Delivers(double seconds) {
        const std::string file = dir_ + "/pw-cat.raw";
        remove(file.c_str());
        const pid_t cat = Spawn({"sh", "-c", "exec pw-cat --record --target test_tone - >" + file},
                                env_, dir_ + "/server.log", unsigned(seconds) + 1);
        bool got = false;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
        while (!got && std::chrono::steady_clock::now() < deadline) {
            usleep(20000);
            const std::vector<uint8_t> audio = ReadFile(file);
            got = std::any_of(audio.begin(), audio.end(), [](uint8_t b) { return b != 0; });
        }
        kill(cat, SIGKILL);
        waitpid(cat, nullptr, 0);
        return got;
    }

   private:
    pid_t sessionManager_ = -1;
};

// Measurements of input `ch` of a recording from frame `from` on: from its sign changes,
// and its largest magnitude.
double Frequency(const Wav& w, int ch, size_t from = 0) {
    size_t changes = 0;
    for (size_t n = from + 1; n < w.Frames(); ++n) {
        changes += (w.Sample(n - 1, ch) < 0) != (w.Sample(n, ch) < 0) ? 1 : 0;
    }
    return changes / 2.0 * w.rate / static_cast<double>(w.Frames() - from - 1);
}

int32_t Peak(const Wav& w, int ch, size_t from = 0) {
    int32_t peak = 0;
    for (size_t n = from; n < w.Frames(); ++n) {
        peak = std::max(peak, std::abs(w.Sample(n, ch)));
    }
    return peak;
}

// The frame at which input `ch`, from `from` on, stops being one unbroken sine of `hz` at
// `level` (of full scale): each sample within rounding of what the two before it predict
// (s[n] = 2 cos(w) s[n-1] - s[n-2]), and no two in a row near zero, as silence satisfies the
// recurrence too. A gap, a stretch lost or repeated, or silence ends the run (the level is
// Peak's to check).
size_t SineFrames(const Wav& w, int ch, double hz, double level, size_t from = 0) {
    const double omega = 2 * std::acos(-1.0) * hz / w.rate;
    const double k = 2 * std::cos(omega);
    const double quiet = std::ldexp(level, w.bits - 1) * std::sin(omega) / 2;
    size_t n = from + 2;
    for (; n < w.Frames(); ++n) {
        const double a = w.Sample(n - 2, ch), b = w.Sample(n - 1, ch), c = w.Sample(n, ch);
        // Rounding, and at 24 bits what a resampler adds: a few steps of the last bit.
        if (std::abs(c - (k * b - a)) > 8 || std::abs(b) + std::abs(c) < quiet) {
            break;
        }
    }
    return std::min(n, w.Frames());
}

// Frames after the last with a sample other than zero.
size_t SilentTail(const Wav& w) {
    size_t n = w.Frames();
    for (; n > 0; --n) {
        for (int ch = 0; ch < w.channels; ++ch) {
            if (w.Sample(n - 1, ch) != 0) {
                return w.Frames() - n;
            }
        }
    }
    return w.Frames();
}

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The report at the end of a recording: the peaks, and the overruns if there were any.
std::string Report(const RunResult& r) {
    const size_t at = r.out.find("Input Channel Peaks");
    return at == std::string::npos ? r.out.substr(0, 200) + r.err : r.out.substr(at) + r.err;
}

// A recording of a server's tone, and the inputs each of its files holds.
struct ToneCase {
    std::vector<std::string> args;
    std::vector<std::string> files;
    std::vector<std::vector<int>> inputs;
};

// A file of a server's sine, input `inputs[ch]` in channel `ch`: a true header, and from frame
// `from` on each channel one unbroken sine of `hz` at `levels[input]` of full scale, its peak
// within `db` of that.
void ExpectTone(const Wav& w, const std::vector<int>& inputs, double hz, const double levels[2],
                size_t from, double db, const RunResult& r) {
    EXPECT_TRUE(w.Whole());
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
    EXPECT_TRUE(w.Whole());
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
    // The server delivers from the first frame on: no silence or ramp at the start.
    const ToneCase cases[] = {
        {{"1648", "2", "pa", "s", "k.wav"}, {"k.wav"}, {{0, 1}}},
        {{"2448", "2", "pa", "2", "a.wav", "b.wav"}, {"a.wav", "b.wav"}, {{0}, {1}}}};
    for (const ToneCase& c : cases) {
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
    // PulseAudio's plugin fails the restart itself (not only the reads after it).
    EXPECT_EQ(r.err, "nalvo: recording stopped, the capture device failed: Input/output error\n");
    const Wav w = ReadWav(dir_ / "k.wav");
    EXPECT_GE(w.Frames(), Count(r.out, "\r") * 4096);
    ExpectEndedWithTheSine(r, w, kPulseHz, kPulseLevels, 4095);
}

// With reconnection, a server killed and started again a second later: the recording goes
// on to its length; the time without a server is silence, and the sine comes back after it.
TEST_F(Pulse, ServerRestartedTheRecordingGoesOnWithReconnection) {
    const RunResult r =
        server_->Record({"--reconnect", "1648", "8", "pa", "s", "k.wav"},
                        {.signalAfterRedraws = 1, .atRedraws = [&](pid_t) {
                             std::this_thread::sleep_for(std::chrono::seconds(2));
                             server_->Kill();
                             std::this_thread::sleep_for(std::chrono::seconds(1));
                             server_ = std::make_unique<PulseServer>(dir_, kPulseHz, 48000);
                         }});
    ASSERT_TRUE(server_->ready()) << server_->log();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Count(r.out, "\nDevice gone\n"), 1u);
    EXPECT_EQ(Count(r.out, "\nDevice back\n"), 1u);
    EXPECT_NE(r.out.find("\nDevice Gaps = 1 ("), std::string::npos);
    const Wav w = ReadWav(dir_ / "k.wav");
    ASSERT_EQ(w.Frames(), 94u * 4096);  // 8 s in whole periods
    for (int ch = 0; ch < 2; ++ch) {
        SCOPED_TRACE("input " + std::to_string(ch + 1));
        const size_t before = SineFrames(w, ch, kPulseHz, 0.5);
        size_t after = before;
        while (after < w.Frames() && w.Sample(after, ch) == 0) {
            ++after;
        }
        EXPECT_GE(before, 2u * 48000);
        EXPECT_GE(after - before, 48000u - 4096) << "the second without a server";
        EXPECT_EQ(SineFrames(w, ch, kPulseHz, 0.5, after), w.Frames());
    }
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
    // 96 kHz is not the server's own rate: its resampler is in the way.
    const ToneCase cases[] = {
        {{"1648", "3", "pw", "s", "f.wav"}, {"f.wav"}, {{0, 1}}},
        {{"2496", "3", "pw", "2", "a.wav", "b.wav"}, {"a.wav", "b.wav"}, {{0}, {1}}}};
    OnServer([&] {
        for (const ToneCase& c : cases) {
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
