// Runs the real nalvo binary as a child process, the way a user or a script would, and
// reads back what it printed and the files it left.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kit.h"

// The end-to-end tests include nothing of the program: the kit's names come in whole.
using namespace kit;  // NOLINT(google-build-using-namespace)

struct RunOptions {
    std::vector<std::string> args;  // after the program name
    std::string stdinText;          // fed to standard input, then closed
    std::string cwd;                // working directory; empty keeps the current one
    long fileSizeLimit = -1;        // RLIMIT_FSIZE in bytes for the child; -1 leaves it
    // Send `stopSignal` once standard output has shown this many console redraws ("\r"),
    // or, when `atRedraws` is set, call it with the child's PID instead: to act on something
    // else the child depends on, or to freeze the child for a while.
    int signalAfterRedraws = -1;
    int stopSignal = SIGINT;
    std::function<void(pid_t)> atRedraws;
    // Stop reading standard output after this many redraws, as a console that goes away.
    int closeOutputAfterRedraws = -1;
    // Leave standard output unread for a while after this many redraws, as a console
    // stopped with Ctrl-S; the pipe can be made small so that it fills soon.
    int pauseOutputAfterRedraws = -1;
    double pauseOutputSeconds = 0;
    int outputPipeBytes = 0;
    int uid = -1;            // run the child as this user (tests that need to lose root)
    std::string alsaConfig;  // ALSA_CONFIG_PATH for the child; empty: the tests' default
    double timeoutSeconds = 60;
    std::vector<std::string> env;  // extra "NAME=value" settings for the child
    int umask = -1;                // the child's umask; -1 leaves it
    std::vector<int> closeFds;     // standard descriptors the child starts without
    // Called as standard output grows (the file's content with `outFile`), until it returns
    // true. With `holdInput`, standard input is fed only after that.
    std::function<bool(const std::string& out, pid_t child)> watch;
    bool holdInput = false;
    bool errToOut = false;  // standard error into standard output, in order, as on a terminal
    std::string outFile;    // standard output into this file, read back into `out`
};

struct RunResult {
    std::string out, err;
    int status = -1;  // exit status, or -1 when killed
    int termSignal = 0;
    bool timedOut = false;
};

RunResult RunNalvo(const RunOptions& options);

// ALSA_CONFIG_PATH for a run with devices of its own (written into `dir`) after the tests'.
std::string WithDevices(const ScratchDir& dir, const std::string& definitions);

// True in a cross build, where nalvo runs under an emulator (many times slower).
bool RunsUnderEmulator();

// A private sound server for one test, with a source of a known sine. It listens in `dir`
// only, takes none of the machine's own sound devices, and every process it started is
// killed by its PID when the object goes (also with the test program, should that be
// killed first).
class SoundServer {
   public:
    virtual ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;
    bool ready() const { return ready_; }
    std::string log() const;  // what its programs printed
    // Runs nalvo in `dir` as a client: with the tests' devices and the server's source under
    // its own name, HOME and the XDG directories kept in `dir` like the server's.
    RunResult Record(std::vector<std::string> args, RunOptions options = {}) const;
    void Kill() { Stop(server_); }  // the server itself, SIGKILL, as a crash would

   protected:
    // `pcm`: ALSA configuration that defines the server's source as a PCM.
    SoundServer(const ScratchDir& dir, const std::string& pcm, std::vector<std::string> env);
    pid_t Start(const std::vector<std::string>& argv);  // with env_, into the log
    // Runs `probe` (with env_ and `extraEnv`) until it succeeds, for at most `seconds`;
    // false when it never did or a program started here gave up (its log says why).
    bool WaitFor(const std::vector<std::string>& probe, double seconds,
                 const std::vector<std::string>& extraEnv = {});
    bool Running() const;  // every program started here still runs
    void Stop(pid_t& pid);
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
    static std::string Missing();
    PulseServer(const ScratchDir& dir, unsigned hz, unsigned rate);
};

// PipeWire with WirePlumber, its session manager, on a private D-Bus session bus: the sound
// server of Debian 12 and Raspberry Pi OS. One source, the PCM "pw" through PipeWire's own
// ALSA plugin: "test_tone", PipeWire's audiotestsrc, its sine at kHz with input 1 at kLevel[0]
// of full scale and input 2 at kLevel[1].
class PipeWireServer : public SoundServer {
   public:
    static constexpr double kHz = 440;  // audiotestsrc's own; this version cannot change it
    static constexpr double kLevel[2] = {0.5, 0.25};
    static std::string Missing();
    explicit PipeWireServer(const ScratchDir& dir);
    void KillSessionManager() { Stop(sessionManager_); }
    // Whether pw-cat, another client, gets any audio from the source within `seconds`.
    bool Delivers(double seconds);

   private:
    pid_t sessionManager_ = -1;
};

// Measurements of input `ch` of a recording from frame `from` on.
double Frequency(const Wav& w, int ch, size_t from = 0);  // from its sign changes
int32_t Peak(const Wav& w, int ch, size_t from = 0);
// The frame at which input `ch`, from `from` on, stops being one unbroken sine of `hz` at
// `level` (of full scale): each sample within rounding of what the two before it predict
// (s[n] = 2 cos(w) s[n-1] - s[n-2]), and no two in a row near zero, as silence satisfies the
// recurrence too. A gap, a stretch lost or repeated, or silence ends the run (the level is
// Peak's to check).
size_t SineFrames(const Wav& w, int ch, double hz, double level, size_t from = 0);

// Frames after the last with a sample other than zero.
size_t SilentTail(const Wav& w);

// Number of occurrences of `needle` in `hay`.
size_t Count(const std::string& hay, const std::string& needle);
