// Runs the real nalvo binary as a child process, the way a user or a script would, and
// reads back what it printed and the files it left.
#pragma once

#include <sys/types.h>

#include <csignal>
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

// Replaces the process with `argv`, found in PATH (an emulator may be named without its
// directory), with `env` added to its environment.
[[noreturn]] void Exec(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// True in a cross build, where nalvo runs under an emulator (many times slower).
bool RunsUnderEmulator();

// Number of occurrences of `needle` in `hay`.
size_t Count(const std::string& hay, const std::string& needle);
