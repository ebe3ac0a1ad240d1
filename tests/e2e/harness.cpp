#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// Replaces the process with `argv`, found in PATH (an emulator may be named without its
// directory), with `env` added to its environment.
[[noreturn]] void Exec(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    for (const auto& setting : env) {
        putenv(const_cast<char*>(setting.c_str()));
    }
    std::vector<char*> cargv;
    for (const auto& a : argv) {
        cargv.push_back(const_cast<char*>(a.c_str()));
    }
    cargv.push_back(nullptr);
    execvp(cargv[0], cargv.data());
    _exit(127);
}

}  // namespace

std::string WithDevices(const ScratchDir& dir, const std::string& definitions) {
    WriteFile(dir / "devices.conf", definitions);
    return std::string(NALVO_ALSA_CONF) + ":" + (dir / "devices.conf");
}

bool RunsUnderEmulator() {
#ifdef NALVO_TEST_EMULATOR
    return true;
#else
    return false;
#endif
}

RunResult RunNalvo(const RunOptions& o) {
    RunResult r;
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
        pipe2(errPipe, O_CLOEXEC) != 0) {
        r.err = "pipe failed";
        return r;
    }
#ifdef NALVO_TEST_EMULATOR
    // A cross build: nalvo is a program of the target too, run through the emulator.
    std::vector<std::string> argv = {NALVO_TEST_EMULATOR, NALVO_BINARY};
#else
    std::vector<std::string> argv = {NALVO_BINARY};
#endif
    argv.insert(argv.end(), o.args.begin(), o.args.end());
    const std::string config = o.alsaConfig.empty() ? NALVO_ALSA_CONF : o.alsaConfig;

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (o.errToOut) {
            dup2(outPipe[1], 2);
        }
        if (!o.outFile.empty()) {
            const int fd = open(o.outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) != 1) {
                _exit(126);
            }
        }
        for (int fd : o.closeFds) {
            close(fd);
        }
        if (o.umask >= 0) {
            umask(static_cast<mode_t>(o.umask));
        }
        if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) {
            _exit(126);
        }
        if (o.fileSizeLimit >= 0) {
            struct rlimit lim = {static_cast<rlim_t>(o.fileSizeLimit),
                                 static_cast<rlim_t>(o.fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
        if (o.uid >= 0 &&
            (setgid(static_cast<gid_t>(o.uid)) != 0 || setuid(static_cast<uid_t>(o.uid)) != 0)) {
            _exit(125);
        }
        Exec(argv, o.env);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);

    // A few words at most, which the pipe takes at once; with `holdInput`, once watched.
    int inFd = inPipe[1];
    const auto feed = [&] {
        if (!o.stdinText.empty() && write(inFd, o.stdinText.data(), o.stdinText.size()) < 0) {
            perror("cannot feed nalvo's standard input");
        }
        close(inFd);
        inFd = -1;
    };
    bool watched = !o.watch;
    if (watched || !o.holdInput || o.stdinText.empty()) {
        feed();
    }
    int outFd = outPipe[0], errFd = errPipe[0];
    bool signalled = false;
    if (o.outputPipeBytes > 0) {
        fcntl(outPipe[0], F_SETPIPE_SZ, o.outputPipeBytes);
    }
    bool paused = false;
    auto resumeOutput = std::chrono::steady_clock::now();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(o.timeoutSeconds * 1000));
    while (outFd >= 0 || errFd >= 0) {
        struct pollfd fds[2];
        int n = 0;
        if (outFd >= 0 && std::chrono::steady_clock::now() >= resumeOutput)
            fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0)
            fds[n++] = {errFd, POLLIN, 0};
        const int ready = poll(fds, static_cast<nfds_t>(n), 100);
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            r.timedOut = true;
            break;
        }
        if (!watched) {
            const std::vector<uint8_t> file =
                o.outFile.empty() ? std::vector<uint8_t>() : ReadFile(o.outFile);
            watched =
                o.watch(o.outFile.empty() ? r.out : std::string(file.begin(), file.end()), pid);
            if (watched && inFd >= 0) {
                feed();
            }
        }
        if (ready <= 0) {
            continue;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            char buf[65536];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            std::string& sink = fds[i].fd == outFd ? r.out : r.err;
            if (got > 0) {
                sink.append(buf, static_cast<size_t>(got));
            } else {
                close(fds[i].fd);
                (fds[i].fd == outFd ? outFd : errFd) = -1;
            }
        }
        const auto redrawn = [&](int n) { return n >= 0 && Count(r.out, "\r") >= size_t(n); };
        if (!paused && redrawn(o.pauseOutputAfterRedraws)) {
            paused = true;
            resumeOutput =
                std::chrono::steady_clock::now() +
                std::chrono::milliseconds(static_cast<long>(o.pauseOutputSeconds * 1000));
        }
        if (outFd >= 0 && redrawn(o.closeOutputAfterRedraws)) {
            close(outFd);
            outFd = -1;
        }
        if (!signalled && redrawn(o.signalAfterRedraws)) {
            if (o.atRedraws) {
                o.atRedraws(pid);
            } else {
                kill(pid, o.stopSignal);
            }
            signalled = true;
        }
    }
    for (const int fd : {inFd, outFd, errFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!o.outFile.empty()) {
        const std::vector<uint8_t> text = ReadFile(o.outFile);
        r.out.assign(text.begin(), text.end());
    }
    if (WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.termSignal = WTERMSIG(status);
    }
    return r;
}

namespace {

bool InPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end - start);
        if (access(((dir.empty() ? "." : dir) + "/" + name).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
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

}  // namespace

SoundServer::SoundServer(const ScratchDir& dir, const std::string& pcm,
                         std::vector<std::string> env)
    : dir_(dir.path()), env_(std::move(env)), alsaConfig_(WithDevices(dir, pcm)) {}

SoundServer::~SoundServer() {
    // The last started first: each depends on those before it.
    while (!started_.empty()) {
        Stop(started_.back());
        started_.pop_back();
    }
}

RunResult SoundServer::Record(std::vector<std::string> args, RunOptions options) const {
    options.args = std::move(args);
    options.cwd = dir_;
    options.alsaConfig = alsaConfig_;
    options.env = env_;
    return RunNalvo(options);
}

pid_t SoundServer::Start(const std::vector<std::string>& argv) {
    const pid_t pid = Spawn(argv, env_, dir_ + "/server.log", 0);
    started_.push_back(pid);
    return pid;
}

bool SoundServer::Running() const {
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

bool SoundServer::WaitFor(const std::vector<std::string>& probe, double seconds,
                          const std::vector<std::string>& extraEnv) {
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

void SoundServer::Stop(pid_t& pid) {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        // Marked in the list too, so that it is neither waited for nor killed again.
        std::replace(started_.begin(), started_.end(), pid, pid_t{-1});
        pid = -1;
    }
}

std::string SoundServer::log() const {
    const std::vector<uint8_t> text = ReadFile(dir_ + "/server.log");
    return std::string(text.begin(), text.end());
}

std::string PulseServer::Missing() {
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

PulseServer::PulseServer(const ScratchDir& dir, unsigned hz, unsigned rate)
    : SoundServer(
          dir, "pcm.pa { type pulse server \"unix:" + (dir / "native") + "\" device \"sine\" }\n",
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
    server_ =
        Start({"pulseaudio", "-n", "-F", dir / "pa.conf", "--daemonize=no", "--exit-idle-time=-1",
               "--disallow-exit", "--realtime=no", "--high-priority=no"});
    ready_ = WaitFor({"pactl", "info"}, 20, {"PULSE_SERVER=unix:" + socket});
}

namespace {

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

}  // namespace

std::string PipeWireServer::Missing() {
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

PipeWireServer::PipeWireServer(const ScratchDir& dir)
    : SoundServer(
          dir, "pcm_type.pipewire { lib \"" + PipeWirePlugin() + "\" }\npcm.pw { type pipewire }\n",
          {"HOME=" + dir.path(), "XDG_RUNTIME_DIR=" + (dir / "rt"),
           "PIPEWIRE_RUNTIME_DIR=" + (dir / "rt"), "XDG_CONFIG_HOME=" + (dir / "cfg"),
           "XDG_STATE_HOME=" + (dir / "state"),
           "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (dir / "rt/bus"),
           // A sanitizer build: PipeWire's client library keeps its state where LeakSanitizer
           // does not look once ALSA has unloaded the plugin (valgrind finds it all reachable).
           std::string("ASAN_OPTIONS=") + (getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "") +
               ":detect_leaks=0"}) {
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
    ready_ = ready_ && WaitFor({"pw-cli", "set-param", "test_tone", "Props",
                                "{ volume: 1.0, channelVolumes: [ " + std::to_string(kLevel[0]) +
                                    ", " + std::to_string(kLevel[1]) + " ] }"},
                               10);
}

bool PipeWireServer::Delivers(double seconds) {
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

double Frequency(const Wav& w, int ch, size_t from) {
    size_t changes = 0;
    for (size_t n = from + 1; n < w.Frames(); ++n) {
        changes += (w.Sample(n - 1, ch) < 0) != (w.Sample(n, ch) < 0) ? 1 : 0;
    }
    return changes / 2.0 * w.rate / static_cast<double>(w.Frames() - from - 1);
}

int32_t Peak(const Wav& w, int ch, size_t from) {
    int32_t peak = 0;
    for (size_t n = from; n < w.Frames(); ++n) {
        peak = std::max(peak, std::abs(w.Sample(n, ch)));
    }
    return peak;
}

size_t SineFrames(const Wav& w, int ch, double hz, double level, size_t from) {
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

size_t Count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}
