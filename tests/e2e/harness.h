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
    bool closeStdin = true;         // false: standard input stays open and empty
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

// True in a cross build, where nalvo runs under an emulator (many times slower).
bool RunsUnderEmulator();

// A private PulseAudio server for one test, with one source: "sine", module-sine-source at
// `hz` and `rate`. It listens on a socket in `dir` only, reads nothing of the machine's own
// sound setup, and is killed when the object goes (also with the test program, should that
// be killed first).
class PulseServer {
   public:
    // Why a server cannot run here (a program or ALSA's pulse plugin is not installed), or
    // empty.
    static std::string Missing();
    PulseServer(const ScratchDir& dir, unsigned hz, unsigned rate);
    ~PulseServer() { Kill(); }
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;
    bool ready() const { return ready_; }
    std::string log() const;  // what the server printed
    // ALSA_CONFIG_PATH: the tests' devices, and "pa", the server's sine source.
    const std::string& alsaConfig() const { return alsaConfig_; }
    // HOME and the XDG directories of a client, kept in `dir` like the server's.
    const std::vector<std::string>& env() const { return env_; }
    void Kill();  // SIGKILL, as a crash would

   private:
    std::string dir_, alsaConfig_;
    std::vector<std::string> env_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Number of occurrences of `needle` in `hay`.
size_t Count(const std::string& hay, const std::string& needle);
