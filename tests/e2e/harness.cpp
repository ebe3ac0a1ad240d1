#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

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
        dup2(o.errToOut ? outPipe[1] : errPipe[1], 2);
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

size_t Count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}
