// ALSA I/O plugin "nalvo_fake": a capture device without hardware, for the tests.
//
// It produces the deterministic signals of fake_signal.h, restricts the hardware parameters
// the way a picky sound card does, and injects faults (overruns, suspends, unplugging, a sound
// server that dies, a source that stops delivering, a USB interface that drops off the bus and
// comes back) at exact frames. Every behaviour is selected per device definition in the ALSA
// configuration; see README.md for the keys.
//
// Device model. "origin" is the device frame (see fake_signal.h) at application position 0,
// i.e. the first frame the application gets after a prepare. ioplug's appl_ptr counts the
// frames the application has taken since then, "hw" the frames the device has captured. A fast
// device always has a full buffer (hw = appl_ptr + buffer size); a real-time one captures with
// the monotonic clock, a whole period at a time, as a card reports its position at each period
// interrupt and a sound server hands over one buffer per cycle: a reader that has taken
// everything finds nothing until the next period is complete. A pending fault caps hw at its
// frame, so the frames before it are delivered normally and the fault fires when the
// application has read up to it.
//
// A real-time device keeps device time with the clock from its first start, as the world it
// captures does: while it is stopped (an overrun, a drop) frames go by uncaptured, and the
// next start picks up at the frame of that moment. Only a suspend that is resumed holds
// device time, since it loses no frame.
//
// A device that vanishes (vanish_after_frames) outlives its handles: the program closes the
// dead PCM and opens the name again, which makes a new instance, so whether it is away and
// where its clock stands are kept per process (see Presence).
//
// Samples are numbered from appl_ptr rather than by counting transfers: with mmap access ioplug
// calls transfer from every mmap_begin, and a begin that is not committed in full is followed
// by another one over the same frames.

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "fake_signal.h"

namespace {

using nalvo_fake::ChannelSignal;
using nalvo_fake::SignalKind;

constexpr uint64_t kNever = UINT64_MAX;

struct Settings {
    std::vector<unsigned> formats{SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE};
    std::vector<unsigned> rates{44100, 48000, 88200, 96000};
    std::vector<unsigned> channels{2};
    std::vector<unsigned> access{SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_RW_NONINTERLEAVED};
    unsigned period_frames = 0;  // 0: any period size
    bool fail_hw_params = false;
    bool realtime = false;
    std::vector<ChannelSignal> signals;  // by channel; channels past the end carry the pattern
    std::vector<uint64_t> xrun_periods;
    std::vector<uint64_t> xrun_frames;
    std::vector<uint64_t> suspend_periods;
    unsigned suspend_ms = 0;  // how long a suspend lasts before the device can come back
    uint64_t fail_after_frames = kNever;
    uint64_t dead_after_frames = kNever;
    uint64_t stall_after_frames = kNever;
    uint64_t vanish_after_frames = kNever;
    unsigned away_ms = 0;  // how long the name cannot be opened once it vanished
};

// A fault injected at a frame: an overrun at the start of a period or at any frame, or a suspend
// at the start of a period. Each fires once.
enum class Injected { kXrunPeriod, kXrunFrame, kSuspendPeriod };

struct Injection {
    Injected kind;
    uint64_t at;  // the period, or the frame
    bool fired;
};

struct Presence;

struct Fake {
    snd_pcm_ioplug_t io{};
    Settings cfg;
    int fd = -1;  // eventfd (fast) or timerfd (real-time)

    uint64_t origin = 0;
    uint64_t delivered = 0;  // end of the furthest transfer since the prepare
    uint64_t hw = 0;
    bool next_origin_set = false;
    uint64_t next_origin = 0;  // origin after the next prepare, when frames were lost

    bool running = false;
    bool in_xrun = false;
    bool gone = false;
    bool dead = false;                  // the sound server behind the device is gone
    std::vector<Injection> injections;  // from the settings, in the order they take precedence
    uint64_t awake_ns = 0;              // a suspended device is back from this time on

    uint64_t t0_ns = 0;  // real-time: clock at start/resume, when hw was hw_at_t0
    uint64_t hw_at_t0 = 0;
    uint64_t frame_at_t0 = 0;  // real-time: device frame at t0_ns; outlives a prepare
    bool started = false;

    Presence* presence = nullptr;    // a device that vanishes: its state in this process
    uint64_t vanish_frame = kNever;  // device frame at which it vanishes, from the last start on

    snd_pcm_uframes_t boundary = 0;
    snd_pcm_uframes_t avail_min = 1;
};

Fake* Self(snd_pcm_ioplug_t* io) {
    return static_cast<Fake*>(io->private_data);
}

// ---------------------------------------------------------------------------------------------
// Poll descriptor. It must be readable only while there is something to report: libasound's
// snd_pcm_wait() polls again and again until poll_revents says POLLIN or POLLERR, so a
// descriptor that stays readable while we report nothing turns the wait into a busy loop that
// its timeout does not end. An application that polls the descriptor itself must not wake up
// before avail_min frames are there either, as with a sound card.

uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void ArmTimerAt(Fake* f, uint64_t when_ns) {
    itimerspec its{};
    // A zero it_value would disarm the timer; an absolute time in the past fires at once.
    if (when_ns == 0) {
        when_ns = 1;
    }
    its.it_value.tv_sec = static_cast<time_t>(when_ns / 1000000000u);
    its.it_value.tv_nsec = static_cast<long>(when_ns % 1000000000u);
    timerfd_settime(f->fd, TFD_TIMER_ABSTIME, &its, nullptr);
}

void MakeReadable(Fake* f) {
    if (f->cfg.realtime) {
        ArmTimerAt(f, 1);
    } else {
        uint64_t one = 1;
        ssize_t n = write(f->fd, &one, sizeof one);
        (void)n;
    }
}

// A dead server's device stays readable for good, so that every poll wakes up to the error.
void MakeQuiet(Fake* f) {
    if (f->dead) {
        return;
    }
    if (f->cfg.realtime) {
        itimerspec off{};
        timerfd_settime(f->fd, 0, &off, nullptr);
    }
    uint64_t count = 0;
    ssize_t n = read(f->fd, &count, sizeof count);
    (void)n;
}

// ---------------------------------------------------------------------------------------------
// Device model.

uint64_t PeriodStart(const Fake* f, uint64_t period) {
    return period * f->io.period_size;
}

// Device frame at which an injected fault fires.
uint64_t FrameOf(const Fake* f, const Injection& e) {
    return e.kind == Injected::kXrunFrame ? e.at : PeriodStart(f, e.at);
}

// Frames the application has taken since the prepare.
uint64_t Appl(const Fake* f) {
    return f->io.appl_ptr;
}

// Frames since the prepare up to device frame `at`; kNever stays kNever.
uint64_t FromOrigin(const Fake* f, uint64_t at) {
    return at == kNever ? kNever : at > f->origin ? at - f->origin : 0;
}

// Frames since the prepare up to the next fault, kNever when none is pending.
uint64_t FaultLimit(const Fake* f) {
    uint64_t limit =
        std::min({FromOrigin(f, f->cfg.fail_after_frames), FromOrigin(f, f->cfg.dead_after_frames),
                  FromOrigin(f, f->vanish_frame)});
    for (const Injection& e : f->injections) {
        const uint64_t frame = FrameOf(f, e);
        // One before the origin was lost or skipped already.
        if (!e.fired && frame >= f->origin && frame - f->origin < limit) {
            limit = frame - f->origin;
        }
    }
    return limit;
}

// Frames since the prepare up to the frame at which the source stops delivering, kNever when it
// never does. Unlike a fault, a stall has nothing to report: the frames just stop coming.
uint64_t StallLimit(const Fake* f) {
    return FromOrigin(f, f->cfg.stall_after_frames);
}

// Frames in `ns` nanoseconds at the stream's rate, rounded down. Whole seconds and the rest
// apart: the product of the rest (below 1e9) and a 32-bit rate fits 64 bits, and 32-bit ARM
// has no 128-bit integers.
uint64_t FramesIn(const Fake* f, uint64_t ns) {
    const uint64_t rate = f->io.rate;
    return ns / 1000000000u * rate + ns % 1000000000u * rate / 1000000000u;
}

// The same, rounded to the nearest frame.
uint64_t FramesNear(uint64_t ns, uint64_t rate) {
    return ns / 1000000000u * rate + (ns % 1000000000u * rate + 500000000u) / 1000000000u;
}

// Nanoseconds that `frames` frames last at `rate`, rounded up; split like FramesIn(): whole
// seconds of frames, then the rest (below the rate), whose product with 1e9 fits 64 bits.
uint64_t NsOf(uint64_t frames, uint64_t rate) {
    return frames / rate * 1000000000u + (frames % rate * 1000000000u + rate - 1) / rate;
}

// Frames captured since the prepare if nothing stopped the device: a real-time device hands
// them over in whole periods.
uint64_t Produced(const Fake* f) {
    if (!f->running) {
        return f->hw;
    }
    if (!f->cfg.realtime) {
        return Appl(f) + f->io.buffer_size;
    }
    const uint64_t period = f->io.period_size;
    return f->hw_at_t0 + FramesIn(f, NowNs() - f->t0_ns) / period * period;
}

// Frames the application may have since the prepare: what the device produced, up to a pending
// fault or a stall.
uint64_t Captured(const Fake* f) {
    return std::min({Produced(f), FaultLimit(f), StallLimit(f)});
}

// Clock time at which a real-time device has captured `frames` frames since the prepare, i.e.
// the end of the period that holds the last of them.
uint64_t TimeOfFrame(const Fake* f, uint64_t frames) {
    if (frames <= f->hw_at_t0) {
        return f->t0_ns;
    }
    const uint64_t period = f->io.period_size;
    const uint64_t n = (frames - f->hw_at_t0 + period - 1) / period * period;
    return f->t0_ns + NsOf(n, f->io.rate);
}

// ---------------------------------------------------------------------------------------------
// A device that vanishes, as a USB audio interface does when it drops off the bus for a moment
// and enumerates again under the same name. On the way out the kernel disconnects the card
// (snd_card_disconnect): the open PCM turns DISCONNECTED, its reads and every other ioctl,
// prepare included, fail with -ENODEV, and its descriptor polls POLLERR | POLLNVAL. Until the
// card is back there is no card of that name, so opening it fails (libasound: -ENODEV for a
// card named by its id). Once it is back it opens as before and captures from that moment on.
//
// The world it captures went on meanwhile: device time runs with the clock from the very first
// start of the definition in this process, whichever instance made it, so the frame captured at
// clock time t is round((t - first start) * rate) in every instance. The frames of the gap are
// simply never delivered.

struct Presence {
    bool started = false;
    uint64_t first_ns = 0;       // clock at the first start: device frame 0
    unsigned rate = 0;           // the rate of that start
    bool vanished = false;       // it vanishes once
    uint64_t away_until_ns = 0;  // opens fail before this
};

// One per definition, keyed by its text: two names for the same definition are one device, as
// two aliases of a card are. Instances come and go; this stays for the life of the process
// (the module is linked not to be unloaded, see CMakeLists.txt).
std::mutex& PresenceLock() {
    static std::mutex lock;
    return lock;
}

Presence* PresenceOf(const std::string& definition) {
    static std::map<std::string, Presence> devices;
    return &devices[definition];
}

uint64_t DeviceFrameAt(const Presence& p, uint64_t now, unsigned rate) {
    return now > p.first_ns ? FramesNear(now - p.first_ns, rate) : 0;
}

// Device frame at which it vanishes: vanish_after_frames after the first start; kNever once
// it has vanished.
uint64_t NextVanish(const Presence& p, const Settings& s) {
    return p.started && !p.vanished ? s.vanish_after_frames : kNever;
}

// It vanishes at device frame `frame` and is back away_ms later.
void Vanish(Presence* p, const Settings& s, uint64_t frame, unsigned rate) {
    p->vanished = true;
    p->away_until_ns = p->first_ns + NsOf(frame, rate) + uint64_t{s.away_ms} * 1000000u;
}

// Catches up with the clock: a device whose time to vanish came while no instance was reading
// up to it vanished all the same.
void Settle(Presence* p, const Settings& s, uint64_t now) {
    const uint64_t v = NextVanish(*p, s);
    if (v != kNever && DeviceFrameAt(*p, now, p->rate) >= v) {
        Vanish(p, s, v, p->rate);
    }
}

snd_pcm_sframes_t Wrap(const Fake* f, uint64_t pos) {
    return static_cast<snd_pcm_sframes_t>(f->boundary ? pos % f->boundary : pos);
}

constexpr uint64_t kNow = 0;

// When a running stream lets the application, having taken `appl` frames since the prepare,
// read without waiting: kNow, a clock time or kNever. That is once avail_min frames are there,
// or everything before a pending fault, so that the read reaching it reports the fault: waiting
// for more than the fault lets through would never end. The frames before a stall count as a
// last, short period; after them nothing comes.
uint64_t ReadyAt(const Fake* f, uint64_t appl) {
    const uint64_t limit = FaultLimit(f);
    if (appl >= limit) {
        return kNow;  // the fault to report
    }
    const uint64_t stall = StallLimit(f);
    if (appl >= stall) {
        return kNever;
    }
    if (!f->cfg.realtime) {
        return kNow;  // a full buffer
    }
    const uint64_t need = std::min({appl + f->avail_min, limit, stall});
    return Produced(f) >= need ? kNow : TimeOfFrame(f, need);
}

// Readable now if the application can read, else from the moment it can; returns ReadyAt().
uint64_t UpdatePollFd(Fake* f, uint64_t appl) {
    const uint64_t when = f->dead ? kNow : ReadyAt(f, appl);
    if (when == kNow) {
        MakeReadable(f);
    } else if (when == kNever) {
        MakeQuiet(f);
    } else {
        ArmTimerAt(f, when);  // also takes back an expiry that made it readable before
    }
    return when;
}

// The application has read everything up to the fault at origin + appl_ptr: fire it.
snd_pcm_sframes_t FireFault(Fake* f) {
    const uint64_t frame = f->origin + Appl(f);
    MakeReadable(f);  // so that a poll wakes up and sees POLLERR
    if (frame >= f->vanish_frame) {
        std::lock_guard<std::mutex> lock(PresenceLock());
        // Unless another instance's open already found it gone by the clock.
        if (!f->presence->vanished) {
            Vanish(f->presence, f->cfg, f->vanish_frame, f->io.rate);
        }
    }
    if (frame >= std::min(f->cfg.fail_after_frames, f->vanish_frame)) {
        f->gone = true;
        snd_pcm_ioplug_set_state(&f->io, SND_PCM_STATE_DISCONNECTED);
        return Wrap(f, f->hw);
    }
    if (f->cfg.dead_after_frames != kNever && frame >= f->cfg.dead_after_frames) {
        f->dead = true;
        return -EPIPE;  // for good: see FakePointer
    }
    for (Injection& e : f->injections) {
        if (e.fired || FrameOf(f, e) != frame) {
            continue;
        }
        e.fired = true;
        if (e.kind == Injected::kSuspendPeriod) {
            f->awake_ns = NowNs() + uint64_t{f->cfg.suspend_ms} * 1000000u;
            f->running = false;
            snd_pcm_ioplug_set_state(&f->io, SND_PCM_STATE_SUSPENDED);
            return Wrap(f, f->hw);
        }
        if (e.kind == Injected::kXrunPeriod) {
            for (Injection& same : f->injections) {  // a period listed twice still fires once
                same.fired |= same.kind == e.kind && same.at == e.at;
            }
        }
        f->in_xrun = true;
        // A fast device loses the rest of the period; a real-time one, the time until its restart.
        f->next_origin_set = true;
        f->next_origin = PeriodStart(f, frame / f->io.period_size + 1);
        return -EPIPE;  // ioplug turns this into the XRUN state
    }
    return Wrap(f, f->hw);
}

// ---------------------------------------------------------------------------------------------
// Sample output.

// Writes a sample little-endian into the `bytes` of its container.
void StoreSample(unsigned char* p, unsigned bytes, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (unsigned i = 0; i < bytes; ++i) {
        p[i] = static_cast<unsigned char>(u >> (8 * i));
    }
}

// ---------------------------------------------------------------------------------------------
// ioplug callbacks.

// The device captures from `now` on, from where it stands.
void Run(Fake* f, uint64_t now) {
    f->running = true;
    f->t0_ns = now;
    f->hw_at_t0 = f->hw;
    f->frame_at_t0 = f->origin + f->hw;
    UpdatePollFd(f, Appl(f));
}

int FakeStart(snd_pcm_ioplug_t* io) {
    Fake* f = Self(io);
    const uint64_t now = NowNs();
    if (f->presence) {
        std::lock_guard<std::mutex> lock(PresenceLock());
        Presence& p = *f->presence;
        if (!p.started) {
            p.started = true;
            p.first_ns = now;
            p.rate = io->rate;
        }
        // Straight from the clock, also for the first start of a new instance after a return.
        f->origin = DeviceFrameAt(p, now, io->rate);
        f->vanish_frame = NextVanish(p, f->cfg);
    } else if (f->cfg.realtime && f->started) {
        // Everything since the last frame captured before the stop is lost: the overrun
        // waiting to be noticed, the prepare, the application's own delay.
        f->origin = f->frame_at_t0 + FramesIn(f, now - f->t0_ns);
    }
    f->started = true;
    Run(f, now);
    return 0;
}

int FakeStop(snd_pcm_ioplug_t* io) {
    Fake* f = Self(io);
    if (f->running && f->cfg.realtime && !f->in_xrun) {
        f->hw = Captured(f);
    }
    f->running = false;
    MakeQuiet(f);
    return 0;
}

snd_pcm_sframes_t FakePointer(snd_pcm_ioplug_t* io) {
    Fake* f = Self(io);
    if (f->gone) {
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
        return Wrap(f, f->hw);
    }
    // pipewire-alsa's pointer callback returns the error the core reported when the connection
    // to the server broke, -EPIPE, in every state and after every prepare: ioplug turns it into
    // the XRUN state each time, so reads fail at once, and no prepare brings the server back.
    if (f->in_xrun || f->dead) {
        return -EPIPE;
    }
    if (!f->running) {
        return Wrap(f, f->hw);
    }
    const uint64_t limit = FaultLimit(f);
    if (Appl(f) >= limit) {
        return FireFault(f);
    }
    const uint64_t hw = Captured(f);
    if (f->cfg.realtime && hw - Appl(f) >= io->buffer_size) {
        // The ring is full: the device stops, as hardware does at libasound's default stop
        // threshold (the buffer size). The prepare discards what the ring holds.
        f->in_xrun = true;
        MakeReadable(f);
        return -EPIPE;
    }
    f->hw = hw;
    return Wrap(f, hw);
}

snd_pcm_sframes_t FakeTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                               snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    Fake* f = Self(io);
    const unsigned bits = io->format == SND_PCM_FORMAT_S16_LE ? 16 : 24;
    const unsigned bytes = static_cast<unsigned>(snd_pcm_format_physical_width(io->format)) / 8;
    static const ChannelSignal kDefault = nalvo_fake::Pattern();
    const uint64_t first = f->origin + Appl(f);
    for (unsigned ch = 0; ch < io->channels; ++ch) {
        const snd_pcm_channel_area_t& a = areas[ch];
        if (a.addr == nullptr) {  // readn() callers may skip a channel
            continue;
        }
        const ChannelSignal& sig = ch < f->cfg.signals.size() ? f->cfg.signals[ch] : kDefault;
        for (snd_pcm_uframes_t i = 0; i < size; ++i) {
            unsigned char* p = static_cast<unsigned char*>(a.addr) +
                               (a.first + static_cast<uint64_t>(offset + i) * a.step) / 8;
            StoreSample(p, bytes, nalvo_fake::SampleAt(sig, first + i, ch, io->rate, bits));
        }
    }
    if (Appl(f) + size > f->delivered) {
        f->delivered = Appl(f) + size;
    }
    // ioplug moves appl_ptr on after this returns. Having taken everything, the application
    // must not find the descriptor readable before the next period.
    if (f->running && !f->in_xrun && !f->gone) {
        UpdatePollFd(f, Appl(f) + size);
    }
    return static_cast<snd_pcm_sframes_t>(size);
}

int FakeClose(snd_pcm_ioplug_t* io) {
    Fake* f = Self(io);
    if (f->fd >= 0) {
        close(f->fd);
    }
    delete f;
    return 0;
}

int FakeHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*) {
    Fake* f = Self(io);
    if (f->cfg.fail_hw_params) {
        SNDERR("nalvo_fake: hw_params refused (fail_hw_params)");
        return -EINVAL;
    }
    // libasound's own boundary; the sw_params callback reports the real one, this only covers
    // pointer calls before it.
    snd_pcm_uframes_t b = io->buffer_size;
    while (b * 2 <= LONG_MAX - io->buffer_size) {
        b *= 2;
    }
    f->boundary = b;
    f->avail_min = io->period_size;
    return 0;
}

int FakeSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
    Fake* f = Self(io);
    snd_pcm_uframes_t v = 0;
    if (snd_pcm_sw_params_get_boundary(params, &v) == 0 && v > 0) {
        f->boundary = v;
    }
    if (snd_pcm_sw_params_get_avail_min(params, &v) == 0) {
        f->avail_min = v > 0 ? v : 1;
    }
    return 0;
}

// A suspended device comes back only once the system has woken it: a resume or a prepare
// waits for that, as the kernel's wait for the card's power does.
void WaitUntilAwake(Fake* f) {
    for (uint64_t now = NowNs(); now < f->awake_ns; now = NowNs()) {
        const uint64_t left = f->awake_ns - now;
        timespec t{static_cast<time_t>(left / 1000000000u), static_cast<long>(left % 1000000000u)};
        nanosleep(&t, nullptr);
    }
    f->awake_ns = 0;
}

int FakePrepare(snd_pcm_ioplug_t* io) {
    Fake* f = Self(io);
    if (f->gone) {
        return -ENODEV;
    }
    WaitUntilAwake(f);
    if (!f->cfg.realtime) {
        // A fast device captures on demand, so nothing is lost by a stop. A real-time one
        // takes up device time again at its start.
        f->origin = f->next_origin_set ? f->next_origin : f->origin + f->delivered;
    }
    f->next_origin_set = false;
    f->delivered = 0;
    f->hw = 0;
    f->hw_at_t0 = 0;
    f->in_xrun = false;
    f->running = false;
    MakeQuiet(f);
    return 0;
}

int FakeResume(snd_pcm_ioplug_t* io) {
    Fake* f = Self(io);
    if (io->state != SND_PCM_STATE_SUSPENDED || f->gone) {
        return 0;
    }
    WaitUntilAwake(f);
    // The device comes back where it stopped: no frame is lost by a suspend.
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_RUNNING);
    Run(f, NowNs());
    return 0;
}

int FakePollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfds, unsigned int nfds,
                    unsigned short* revents) {
    Fake* f = Self(io);
    *revents = 0;
    if (f->dead) {
        // As pipewire-alsa's: the descriptor is readable and poll_revents returns the error
        // itself, whatever the state, so snd_pcm_wait() and an application's own poll loop get
        // -EPIPE at once instead of waiting for frames that never come.
        return -EPIPE;
    }
    switch (io->state) {
        case SND_PCM_STATE_XRUN:
        case SND_PCM_STATE_SUSPENDED:
            *revents = POLLERR;
            return 0;
        case SND_PCM_STATE_DISCONNECTED:
            // The kernel gives a disconnected card's files the poll of snd_shutdown_f_ops.
            *revents = POLLERR | POLLNVAL;
            return 0;
        case SND_PCM_STATE_RUNNING:
            break;
        default:
            return 0;
    }
    if (f->gone || f->in_xrun) {
        *revents = POLLIN;  // the next read reports it
        return 0;
    }
    // As a sound card's: POLLIN only when poll() found the descriptor readable and the frames
    // are there. The descriptor follows the stream either way, so an application woken by
    // another descriptor polls again and wakes when they are.
    const bool polled_in = nfds > 0 && (pfds[0].revents & POLLIN);
    if (UpdatePollFd(f, Appl(f)) == kNow && polled_in) {
        *revents = POLLIN;
    }
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t cb{};
    cb.start = FakeStart;
    cb.stop = FakeStop;
    cb.pointer = FakePointer;
    cb.transfer = FakeTransfer;
    cb.close = FakeClose;
    cb.hw_params = FakeHwParams;
    cb.sw_params = FakeSwParams;
    cb.prepare = FakePrepare;
    cb.resume = FakeResume;
    cb.poll_revents = FakePollRevents;
    return cb;
}();

// ---------------------------------------------------------------------------------------------
// Configuration.

// An integer in any form libasound keeps it in; values substituted from @args arrive as
// strings.
int GetU64(snd_config_t* n, const char* key, uint64_t* out) {
    char* text = nullptr;
    long long v = -1;
    if (snd_config_get_type(n) != SND_CONFIG_TYPE_REAL && snd_config_get_ascii(n, &text) == 0 &&
        text != nullptr) {
        char* end = nullptr;
        errno = 0;
        v = std::strtoll(text, &end, 10);
        if (*text == '\0' || *end != '\0' || errno != 0) {
            v = -1;
        }
        std::free(text);
    }
    if (v < 0) {
        SNDERR("nalvo_fake: %s needs a non-negative integer", key);
        return -EINVAL;
    }
    *out = static_cast<uint64_t>(v);
    return 0;
}

int GetUnsigned(snd_config_t* n, const char* key, unsigned* out) {
    uint64_t v = 0;
    int err = GetU64(n, key, &v);
    if (err < 0) {
        return err;
    }
    if (v > UINT_MAX) {
        SNDERR("nalvo_fake: %s is out of range", key);
        return -EINVAL;
    }
    *out = static_cast<unsigned>(v);
    return 0;
}

int GetReal(snd_config_t* n, const char* key, double* out) {
    if (snd_config_get_ireal(n, out) == 0) {
        return 0;
    }
    const char* s = nullptr;
    if (snd_config_get_string(n, &s) == 0 && s && *s) {
        char* end = nullptr;
        *out = std::strtod(s, &end);
        if (*end == '\0') {
            return 0;
        }
    }
    SNDERR("nalvo_fake: %s needs a number", key);
    return -EINVAL;
}

int GetBool(snd_config_t* n, const char* key, bool* out) {
    const int v = snd_config_get_bool(n);
    if (v < 0) {
        SNDERR("nalvo_fake: %s needs a boolean", key);
        return -EINVAL;
    }
    *out = v != 0;
    return 0;
}

int GetString(snd_config_t* n, const char* key, const char** out) {
    if (snd_config_get_string(n, out) < 0) {
        SNDERR("nalvo_fake: %s needs a string", key);
        return -EINVAL;
    }
    return 0;
}

// A name that Lookup knows, as the value it gives.
template <unsigned (*Lookup)(const char*)>
int GetName(snd_config_t* n, const char* key, unsigned* out) {
    const char* s = nullptr;
    const int err = GetString(n, key, &s);
    if (err < 0) {
        return err;
    }
    *out = Lookup(s);
    if (*out == UINT_MAX) {
        SNDERR("nalvo_fake: %s: unsupported value \"%s\"", key, s);
        return -EINVAL;
    }
    return 0;
}

unsigned LookupFormat(const char* s) {
    for (snd_pcm_format_t f : {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE}) {
        if (strcasecmp(s, snd_pcm_format_name(f)) == 0) {
            return f;
        }
    }
    return UINT_MAX;
}

unsigned LookupAccess(const char* s) {
    for (snd_pcm_access_t a : {SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_RW_NONINTERLEAVED,
                               SND_PCM_ACCESS_MMAP_INTERLEAVED}) {
        if (strcasecmp(s, snd_pcm_access_name(a)) == 0) {
            return a;
        }
    }
    return UINT_MAX;
}

int GetSignalKind(snd_config_t* n, const char* key, SignalKind* out) {
    static const struct {
        const char* name;
        SignalKind kind;
    } kKinds[] = {{"pattern", SignalKind::kPattern},
                  {"sine", SignalKind::kSine},
                  {"silence", SignalKind::kSilence},
                  {"const", SignalKind::kConst}};
    const char* s = nullptr;
    const int err = GetString(n, key, &s);
    if (err < 0) {
        return err;
    }
    for (const auto& k : kKinds) {
        if (std::strcmp(s, k.name) == 0) {
            *out = k.kind;
            return 0;
        }
    }
    SNDERR("nalvo_fake: %s: unknown signal \"%s\" (pattern, sine, silence, const)", key, s);
    return -EINVAL;
}

// A list (or a single value) whose items Get parses; a `required` list must not be empty.
template <typename T>
int GetList(snd_config_t* n, const char* key, std::vector<T>* out,
            int (*get)(snd_config_t*, const char*, T*), bool required) {
    out->clear();
    auto add = [&](snd_config_t* item) {
        T v{};
        const int err = get(item, key, &v);
        if (err == 0) {
            out->push_back(v);
        }
        return err;
    };
    int err = 0;
    if (snd_config_get_type(n) != SND_CONFIG_TYPE_COMPOUND) {
        err = add(n);
    } else {
        snd_config_iterator_t i, next;
        snd_config_for_each(i, next, n) {
            if ((err = add(snd_config_iterator_entry(i))) < 0) {
                break;
            }
        }
    }
    if (err == 0 && required && out->empty()) {
        SNDERR("nalvo_fake: %s must not be empty", key);
        err = -EINVAL;
    }
    return err;
}

// Parsers of a key whose value goes to Member (of Settings or of a ChannelSignal).
template <typename C, typename T>
C ClassOf(T C::*);

template <auto Member, auto Get>
int Parse(snd_config_t* n, const char* key, decltype(ClassOf(Member))* to) {
    return Get(n, key, &(to->*Member));
}

template <auto Member, auto Get, bool kRequired = false>
int ParseList(snd_config_t* n, const char* key, decltype(ClassOf(Member))* to) {
    return GetList(n, key, &(to->*Member), Get, kRequired);
}

constexpr bool kRequired = true;

const struct {
    const char* name;
    int (*parse)(snd_config_t*, const char*, Settings*);  // nullptr: ALSA's own key
} kKeys[] = {
    {"comment", nullptr},
    {"type", nullptr},
    {"hint", nullptr},
    {"formats", ParseList<&Settings::formats, GetName<LookupFormat>, kRequired>},
    {"rates", ParseList<&Settings::rates, GetUnsigned, kRequired>},
    {"channels", ParseList<&Settings::channels, GetUnsigned, kRequired>},
    {"access", ParseList<&Settings::access, GetName<LookupAccess>, kRequired>},
    {"period_frames", Parse<&Settings::period_frames, GetUnsigned>},
    {"fail_hw_params", Parse<&Settings::fail_hw_params, GetBool>},
    {"realtime", Parse<&Settings::realtime, GetBool>},
    {"xrun_periods", ParseList<&Settings::xrun_periods, GetU64>},
    {"xrun_frames", ParseList<&Settings::xrun_frames, GetU64>},
    {"suspend_periods", ParseList<&Settings::suspend_periods, GetU64>},
    {"suspend_ms", Parse<&Settings::suspend_ms, GetUnsigned>},
    {"fail_after_frames", Parse<&Settings::fail_after_frames, GetU64>},
    {"dead_after_frames", Parse<&Settings::dead_after_frames, GetU64>},
    {"stall_after_frames", Parse<&Settings::stall_after_frames, GetU64>},
    {"vanish_after_frames", Parse<&Settings::vanish_after_frames, GetU64>},
    {"away_ms", Parse<&Settings::away_ms, GetUnsigned>},
};

// Keys of one channel: the prefix, then the channel number ("signal3").
const struct {
    const char* prefix;
    int (*parse)(snd_config_t*, const char*, ChannelSignal*);
} kChannelKeys[] = {
    {"signal", Parse<&ChannelSignal::kind, GetSignalKind>},
    {"peak", Parse<&ChannelSignal::peak, GetReal>},
    {"freq", Parse<&ChannelSignal::freq, GetReal>},
    {"value", Parse<&ChannelSignal::value, GetReal>},
    {"fullscale", ParseList<&ChannelSignal::fullscale, GetU64>},
};

// "signal3" -> 3 for prefix "signal"; -1 when id is not prefix + channel number.
long ChannelOf(const char* id, const char* prefix) {
    const size_t len = std::strlen(prefix);
    if (std::strncmp(id, prefix, len) != 0 || id[len] < '0' || id[len] > '9') {
        return -1;
    }
    char* end = nullptr;
    const long ch = std::strtol(id + len, &end, 10);
    return (*end == '\0' && ch < 64) ? ch : -1;
}

int ParseKey(snd_config_t* n, const char* id, Settings* s) {
    for (const auto& key : kKeys) {
        if (std::strcmp(id, key.name) == 0) {
            return key.parse ? key.parse(n, id, s) : 0;
        }
    }
    for (const auto& key : kChannelKeys) {
        const long ch = ChannelOf(id, key.prefix);
        if (ch >= 0) {
            if (s->signals.size() <= static_cast<size_t>(ch)) {
                s->signals.resize(static_cast<size_t>(ch) + 1);
            }
            return key.parse(n, id, &s->signals[static_cast<size_t>(ch)]);
        }
    }
    SNDERR("nalvo_fake: unknown key %s", id);
    return -EINVAL;
}

int ParseSettings(snd_config_t* conf, Settings* s) {
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(n, &id) < 0) {
            continue;
        }
        const int err = ParseKey(n, id, s);
        if (err < 0) {
            return err;
        }
    }
    for (unsigned c : s->channels) {
        if (c == 0) {
            SNDERR("nalvo_fake: channels must be at least 1");
            return -EINVAL;
        }
    }
    for (unsigned r : s->rates) {
        if (r == 0) {
            SNDERR("nalvo_fake: rates must be positive");
            return -EINVAL;
        }
    }
    // A vanishing device keeps device time with the clock across its instances; a resumed
    // suspend, which holds device time, would put the two apart.
    if (s->vanish_after_frames != kNever && (!s->realtime || !s->suspend_periods.empty())) {
        SNDERR("nalvo_fake: vanish_after_frames needs realtime true and no suspend_periods");
        return -EINVAL;
    }
    // ioplug constrains periods and buffers in bytes only, so a size in frames is exact only
    // when every frame has the same size.
    if (s->period_frames && (s->formats.size() != 1 || s->channels.size() != 1)) {
        SNDERR(
            "nalvo_fake: period_frames needs exactly one format and one channel count (got %zu "
            "formats, %zu channel counts)",
            s->formats.size(), s->channels.size());
        return -EINVAL;
    }
    return 0;
}

int ApplyConstraints(Fake* f) {
    const Settings& s = f->cfg;
    const struct {
        int type;
        const std::vector<unsigned>& values;
    } lists[] = {{SND_PCM_IOPLUG_HW_ACCESS, s.access},
                 {SND_PCM_IOPLUG_HW_FORMAT, s.formats},
                 {SND_PCM_IOPLUG_HW_CHANNELS, s.channels},
                 {SND_PCM_IOPLUG_HW_RATE, s.rates}};
    for (const auto& l : lists) {
        const int err = snd_pcm_ioplug_set_param_list(
            &f->io, l.type, static_cast<unsigned>(l.values.size()), l.values.data());
        if (err < 0) {
            return err;
        }
    }
    // A size in frames is known in bytes only with one format and one channel count.
    unsigned period = 0;
    if (s.period_frames) {
        const auto format = static_cast<snd_pcm_format_t>(s.formats[0]);
        period = static_cast<unsigned>(snd_pcm_format_physical_width(format)) / 8 * s.channels[0] *
                 s.period_frames;
    }
    const struct {
        int type;
        unsigned min, max;
    } ranges[] = {
        {SND_PCM_IOPLUG_HW_PERIOD_BYTES, period ? period : 32, period ? period : 4u << 20},
        // Generous enough for a 32768-frame ring buffer of any supported format.
        {SND_PCM_IOPLUG_HW_BUFFER_BYTES, 64, 32u << 20},
        {SND_PCM_IOPLUG_HW_PERIODS, 2, 1024}};
    for (const auto& r : ranges) {
        const int err = snd_pcm_ioplug_set_param_minmax(&f->io, r.type, r.min, r.max);
        if (err < 0) {
            return err;
        }
    }
    return 0;
}

// The definition's text, by which instances of one device find each other.
std::string DefinitionText(snd_config_t* conf) {
    std::string text;
    snd_output_t* out = nullptr;
    if (snd_output_buffer_open(&out) == 0) {
        char* buf = nullptr;
        if (snd_config_save(conf, out) == 0) {
            const size_t len = snd_output_buffer_string(out, &buf);
            text.assign(buf, len);
        }
        snd_output_close(out);
    }
    return text;
}

// A vanishing device joins the state of its definition; while it is away there is nothing
// to open.
int JoinPresence(Fake* f, snd_config_t* conf) {
    const std::string definition = DefinitionText(conf);
    std::lock_guard<std::mutex> lock(PresenceLock());
    Presence* p = PresenceOf(definition);
    const uint64_t now = NowNs();
    Settle(p, f->cfg, now);
    if (now < p->away_until_ns) {
        SNDERR("nalvo_fake: no such device: it dropped off the bus");
        return -ENODEV;
    }
    f->presence = p;
    return 0;
}

int Open(snd_pcm_t** pcmp, const char* name, snd_config_t* conf, snd_pcm_stream_t stream,
         int mode) {
    if (stream != SND_PCM_STREAM_CAPTURE) {
        SNDERR("nalvo_fake: %s is a capture-only device", name);
        return -EINVAL;
    }
    Fake* f = new (std::nothrow) Fake;
    if (f == nullptr) {
        return -ENOMEM;
    }
    int err = ParseSettings(conf, &f->cfg);
    if (err == 0 && f->cfg.vanish_after_frames != kNever) {
        err = JoinPresence(f, conf);
    }
    if (err < 0) {
        delete f;
        return err;
    }
    auto inject = [f](Injected kind, const std::vector<uint64_t>& list) {
        for (uint64_t at : list) {
            f->injections.push_back({kind, at, false});
        }
    };
    // When several fall on one frame, an overrun at a period start fires first, a suspend last.
    inject(Injected::kXrunPeriod, f->cfg.xrun_periods);
    inject(Injected::kXrunFrame, f->cfg.xrun_frames);
    inject(Injected::kSuspendPeriod, f->cfg.suspend_periods);
    f->fd = f->cfg.realtime ? timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)
                            : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (f->fd < 0) {
        err = -errno;
        delete f;
        return err;
    }
    f->io.version = SND_PCM_IOPLUG_VERSION;
    f->io.name = "nalvo fake capture device";
    f->io.callback = &kCallbacks;
    f->io.private_data = f;
    f->io.poll_fd = f->fd;
    f->io.poll_events = POLLIN;
    f->io.mmap_rw = 0;
    // The pointer is reported as a position up to the boundary, not within the buffer: a fast
    // device moves it by a whole buffer between two reads, which a position within the buffer
    // would show as no progress at all. BOUNDARY_WA tells ioplug where that position wraps.
    f->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    err = snd_pcm_ioplug_create(&f->io, name, stream, mode);
    if (err < 0) {
        close(f->fd);
        delete f;
        return err;
    }
    err = ApplyConstraints(f);
    if (err < 0) {
        snd_pcm_ioplug_delete(&f->io);  // runs FakeClose, which frees f
        return err;
    }
    *pcmp = f->io.pcm;
    return 0;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(nalvo_fake) {
    (void)root;
    return Open(pcmp, name, conf, stream, mode);
}

SND_PCM_PLUGIN_SYMBOL(nalvo_fake)

}  // extern "C"
