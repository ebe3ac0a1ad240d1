#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "names.h"
#include "samples.h"
#include "wav.h"

namespace {

int ErrnoOr(int fallback) {
    return errno != 0 ? errno : fallback;
}

void NoteFailure(Outputs& o, int slotIndex, int err) {
    Slot& slot = o.slots[slotIndex];
    if (slot.writeError == 0) {
        slot.writeError = err;
    }
    if (o.failedSlot < 0) {
        o.failedSlot = slotIndex;
    }
}

// What one batch adds to one output file: pieces of a period or less each, gathered into
// as few writev calls as they take.
struct FileBatch {
    int fd = -1;
    int64_t bytes = 0;  // written
    int64_t added = 0;  // handed over, written or not
    int error = 0;
    int count = 0;
    struct iovec iov[64] = {};
};

// Writes the gathered pieces. On a short write the rest is written again; false with the
// error noted once the file takes nothing more.
bool Flush(FileBatch& b) {
    int first = 0;
    while (first < b.count) {
        const ssize_t w = writev(b.fd, b.iov + first, b.count - first);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            b.error = w < 0 ? errno : EIO;
            return false;
        }
        b.bytes += w;
        auto left = static_cast<size_t>(w);
        for (; first < b.count && left >= b.iov[first].iov_len; ++first) {
            left -= b.iov[first].iov_len;
        }
        if (left > 0) {
            b.iov[first].iov_base = static_cast<uint8_t*>(b.iov[first].iov_base) + left;
            b.iov[first].iov_len -= left;
        }
    }
    b.count = 0;
    return true;
}

// Adds a piece; false once the file failed.
bool Add(FileBatch& b, const uint8_t* data, size_t n) {
    if (b.error != 0) {
        return false;
    }
    b.iov[b.count++] = {const_cast<uint8_t*>(data), n};
    b.added += static_cast<int64_t>(n);
    return b.count < static_cast<int>(sizeof b.iov / sizeof b.iov[0]) || Flush(b);
}

bool WriteSizes(int fd, int64_t dataBytes) {
    char riff[4], data[4];
    Decon4(static_cast<long>(static_cast<uint32_t>(dataBytes + 36)), riff);
    Decon4(static_cast<long>(static_cast<uint32_t>(dataBytes)), data);
    return pwrite(fd, riff, 4, kRiffSizeOffset) == 4 && pwrite(fd, data, 4, kDataSizeOffset) == 4;
}

// A sync the file type cannot do (a device node, a pipe) is no failure: there is nothing
// to make durable.
bool Sync(int fd) {
    return fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS;
}

// Rewrites a regular file's header to the whole frames present, cutting a partial frame
// left by a failed write. Returns 0 or an errno.
int FixHeader(int fd, const OutputPlan& plan) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    const int64_t blockAlign = FileBlockAlign(plan);
    const int64_t data = st.st_size > kWavHeaderBytes ? st.st_size - kWavHeaderBytes : 0;
    const int64_t frames = data / blockAlign;
    if (frames * blockAlign != data && ftruncate(fd, kWavHeaderBytes + frames * blockAlign) != 0) {
        return errno;
    }
    char header[kWavHeaderBytes];
    FormatHeader(header, plan.rate, static_cast<long>(frames), plan.sampleBytes, plan.stereo);
    errno = 0;
    if (pwrite(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) || !Sync(fd)) {
        return ErrnoOr(EIO);
    }
    return 0;
}

// Removes `name` when it still leads to the file open on `fd`: a file this run created and
// does not keep.
void RemoveOurs(int fd, const std::string& name) {
    struct stat mine, named;
    if (fd >= 0 && fstat(fd, &mine) == 0 && lstat(name.c_str(), &named) == 0 &&
        mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
        unlink(name.c_str());
    }
}

constexpr int64_t kSecondNs = 1000000000;

// Where timeline frames stand in UTC while a file's share of a batch is put together:
// frame `frame` was captured at `ns` (0: not known).
struct TimeRef {
    int64_t frame = 0;
    int64_t ns = 0;
};

int64_t RealTimeNs() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * kSecondNs + t.tv_nsec;
}

// Nanoseconds that `frames` frames last at `rate`; in double, as a gap may last for days.
int64_t FramesNs(int64_t frames, unsigned rate) {
    return static_cast<int64_t>(static_cast<double>(frames) * 1e9 / rate);
}

// The capture time of timeline frame `frame`, counted in frames from the recording's first
// frame whose time the capture side gave. Each time it gives comes from where the device
// stood when a period was read, exact only to a period; counting frames keeps the files'
// boundaries and names steady. Where the count strays from the capture side's time by more
// than a quarter second (a device clock that runs fast or slow, over hours), it starts
// again from there. The clock now where no time was ever given.
int64_t TimeOf(Outputs& o, const TimeRef& ref, int64_t frame) {
    const unsigned rate = o.plan.rate;
    if (ref.ns == 0) {
        return o.originNs != 0 ? o.originNs + FramesNs(frame - o.originFrame, rate) : RealTimeNs();
    }
    const int64_t given = ref.ns + FramesNs(frame - ref.frame, rate);
    const int64_t counted = o.originNs + FramesNs(frame - o.originFrame, rate);
    constexpr int64_t kStrayNs = kSecondNs / 4;
    if (o.originNs == 0 || counted - given > kStrayNs || given - counted > kStrayNs) {
        o.originFrame = frame;
        o.originNs = given;
        return given;
    }
    return counted;
}

// Frames a file whose first frame was captured at `utcNs` holds. With alignment it ends
// where the UTC clock reaches the next multiple of the file length, so that a long run's
// files keep to the hour even where the device's clock runs a little fast or slow.
int64_t FileLimit(const Outputs& o, int64_t utcNs) {
    const OutputPlan& plan = o.plan;
    if (plan.fileSeconds <= 0) {
        return o.fileFrames;
    }
    const int64_t whole = plan.fileSeconds * plan.rate;
    int64_t frames = whole;
    if (plan.alignFiles) {
        const int64_t lengthNs = plan.fileSeconds * kSecondNs;
        int64_t untilNs = lengthNs - (utcNs % lengthNs + lengthNs) % lengthNs;
        // A file that starts on a boundary (its first frame a hair before it, as the
        // frames fall) runs to the next one; so does a first file that would be a sliver.
        if (untilNs < std::min(kSecondNs, lengthNs / 2)) {
            untilNs += lengthNs;
        }
        // In microseconds first: a year's file at 96 kHz stays inside 64 bits.
        frames = (untilNs / 1000 * plan.rate + 500000) / 1000000;
    }
    return std::min(frames, o.fileFrames);
}

// The names the next file of slot `f` may take: its first frame is frame `firstFrame` of the
// recording, captured at `utcNs`.
NameSeries NextSeries(const Outputs& o, int f, int64_t firstFrame, int64_t utcNs) {
    const Slot& slot = o.slots[f];
    const OutputPlan& plan = o.plan;
    NameSeries series;
    series.input = f + 1;
    series.files = plan.files;
    if (plan.timeNames) {
        // The second the first frame falls in, read at the frame's end: the frame nearest a
        // boundary may lie a hair before it.
        series.kind = NameSeries::Time;
        series.utcSeconds = (utcNs + FramesNs(1, plan.rate)) / kSecondNs;
    } else if (plan.generatedNames) {
        // Numbered by the second its first frame is captured at.
        series.seconds = slot.nameSeconds + static_cast<long>(firstFrame / plan.rate);
    } else {
        // Numbered after the given name ("a-2.wav").
        series.kind = NameSeries::Continuation;
        series.first = slot.firstName;
        series.number = slot.fileNumber + 1;
    }
    return series;
}

bool Unsupported(int err) {
    return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

// Makes the next file of slot `f` well before it is needed, unnamed and with its header, so
// that the join costs no more than finishing the full file and naming this one, and a run
// that ends before the join leaves no empty file. Where the file system has no unnamed
// files, the join creates the next file itself.
void PrepareAhead(Outputs& o, int f) {
    Slot& slot = o.slots[f];
    if (slot.next || slot.noUnnamed) {
        return;
    }
    const OutputPlan& plan = o.plan;
    const int fd = OpenUnnamed(slot.dir);
    File stream(fd >= 0 && MAKE_HEADER(fd, plan.rate, 0, plan.sampleBytes, plan.stereo) == 0
                    ? fdopen(fd, "wb")
                    : nullptr);
    if (!stream) {
        if (fd >= 0) {
            close(fd);
        }
        slot.noUnnamed = true;
        return;
    }
    slot.next = std::move(stream);
}

// Names the file made ahead, or creates the next file where none was made, under the first
// free name of its series: never replacing anything, a taken name moves on to the next.
// False with the failure noted.
bool NameNext(Outputs& o, int f, int64_t firstFrame, int64_t utcNs) {
    Slot& slot = o.slots[f];
    const OutputPlan& plan = o.plan;
    const NameSeries series = NextSeries(o, f, firstFrame, utcNs);
    std::string name;
    int step = 0;
    if (!slot.next || !LinkFirstFree(series, fileno(slot.next.get()), name, step)) {
        // Made ahead but not to be named (no /proc): dropped, it leaves nothing.
        slot.noUnnamed = slot.noUnnamed || slot.next;
        slot.next.reset();
        const int fd = CreateFirstFree(series, name, step);
        int err =
            fd < 0 ? ErrnoOr(EIO) : MAKE_HEADER(fd, plan.rate, 0, plan.sampleBytes, plan.stereo);
        File stream(err == 0 ? fdopen(fd, "wb") : nullptr);
        if (err == 0 && !stream) {
            err = ErrnoOr(EIO);
        }
        if (err != 0) {
            if (fd >= 0) {
                RemoveOurs(fd, name);
                close(fd);
            }
            slot.failedName = name;
            NoteFailure(o, f, err);
            return false;
        }
        slot.next = std::move(stream);
    }
    slot.nextName = name;
    slot.nextNumber = series.number + step;
    return true;
}

// The named next file becomes the current one, its first frame captured at `utcNs`.
void TakeNext(Outputs& o, int f, int64_t utcNs) {
    Slot& slot = o.slots[f];
    slot.stream = std::move(slot.next);
    slot.name = slot.nextName;
    slot.nextName.clear();
    slot.fileNumber = slot.nextNumber;
    slot.fileLimit = FileLimit(o, utcNs);
    slot.created = true;
}

// The current file is full: its header is made final and durable, and the recording goes
// on in the next file, frame for frame, its first frame captured at `utcNs`. The engine is
// told where.
bool Join(Outputs& o, int f, int64_t utcNs) {
    Slot& slot = o.slots[f];
    if (!NameNext(o, f, slot.framesBefore + slot.framesWritten, utcNs)) {
        return false;
    }
    int err = FixHeader(fileno(slot.stream.get()), o.plan);
    errno = 0;
    if (fclose(slot.stream.release()) != 0 && err == 0) {
        err = ErrnoOr(EIO);
    }
    if (err != 0) {
        NoteFailure(o, f, err);
        return false;
    }
    const std::string finished = slot.name;
    slot.framesBefore += slot.framesWritten;
    slot.framesWritten = 0;
    TakeNext(o, f, utcNs);
    if (o.joins != nullptr) {
        PostJoin(*o.joins, finished, slot.name);
    }
    return true;
}

// Adds whole frames to a file's share of a batch, `ref` placing them in time. Where the
// file is full, what was gathered is written and the rest goes on in the next file.
bool Put(Outputs& o, int f, FileBatch& b, const uint8_t* data, size_t n, size_t frameBytes,
         const TimeRef& ref) {
    Slot& slot = o.slots[f];
    const auto fb = static_cast<int64_t>(frameBytes);
    while (n > 0) {
        const int64_t frame = slot.framesBefore + slot.framesWritten + b.added / fb;
        if (slot.awaitingFirst) {
            if (!NameNext(o, f, 0, TimeOf(o, ref, frame))) {
                return false;
            }
            slot.awaitingFirst = false;
            TakeNext(o, f, TimeOf(o, ref, frame));
            b.fd = fileno(slot.stream.get());
        }
        if (!slot.regular) {
            return Add(b, data, n);
        }
        if (slot.fileLimit == 0) {
            slot.fileLimit = FileLimit(o, TimeOf(o, ref, frame));
        }
        const int64_t room = slot.fileLimit - slot.framesWritten - b.added / fb;
        if (room <= 0) {
            if (!Flush(b)) {
                return false;
            }
            slot.framesWritten += b.bytes / fb;
            b.bytes = 0;
            b.added = 0;
            if (!Join(o, f, TimeOf(o, ref, frame))) {
                return false;
            }
            b.fd = fileno(slot.stream.get());
            continue;
        }
        const size_t take = static_cast<uint64_t>(room) < n / frameBytes
                                ? static_cast<size_t>(room) * frameBytes
                                : n;
        if (!Add(b, data, take)) {
            return false;
        }
        data += take;
        n -= take;
    }
    return true;
}

// What PrepareFiles has opened so far: undone on failure.
struct Opened {
    int fd = -1;
    bool created = false;
};

// Prints the refusal, removes what this run created and closes what it opened.
bool FailPreparing(Outputs& o, Opened (&opened)[2], const std::string& name) {
    if (!name.empty()) {
        printf("Can't open %s for recording\n", name.c_str());
    }
    fflush(stdout);
    for (int i = 0; i < 2; ++i) {
        Slot& slot = o.slots[i];
        const int fd = slot.stream ? fileno(slot.stream.get()) : opened[i].fd;
        // Only a file this run created is removed, and only while the name still leads
        // to it.
        if (opened[i].created) {
            RemoveOurs(fd, slot.name);
        }
        if (slot.stream) {
            slot.stream.reset();
        } else if (opened[i].fd >= 0) {
            close(opened[i].fd);
        }
        opened[i].fd = -1;
    }
    return false;
}

// Opens (or creates) every output before any is written to: a name that cannot be opened
// must not cost what another name held. Returns false with the name that failed.
bool OpenAll(Outputs& o, Opened (&opened)[2], std::string& failed) {
    const OutputPlan& plan = o.plan;
    for (int i = 0; i < plan.files; ++i) {
        Slot& slot = o.slots[i];
        slot.dir = ".";
        if (plan.timeNames) {
            // Named once the first frame is there; the file is made now, so that a
            // directory that takes no new file is refused before capturing.
            slot.awaitingFirst = true;
            slot.name = TimeName(RealTimeNs() / kSecondNs, i + 1, plan.files, 0);
            opened[i].fd = OpenUnnamed(slot.dir);
            slot.noUnnamed = opened[i].fd < 0 && Unsupported(errno);
            if (slot.noUnnamed && access(slot.dir.c_str(), W_OK | X_OK) == 0) {
                continue;
            }
        } else if (plan.generatedNames) {
            // Never replace an existing recording: two runs started within the same
            // second take the next free number instead.
            NameSeries series;
            series.input = i + 1;
            series.seconds = NewTime();
            int step = 0;
            opened[i].fd = CreateFirstFree(series, slot.name, step);
            slot.nameSeconds = series.seconds + step;
            opened[i].created = opened[i].fd >= 0;
        } else {
            if (static_cast<size_t>(i) >= plan.names.size()) {
                return false;
            }
            const bool existed = static_cast<size_t>(i) < plan.existed.size() && plan.existed[i];
            slot.name = plan.names[i];
            slot.firstName = slot.name;
            slot.dir = DirectoryOf(slot.name);
            opened[i].fd = OpenOutput(slot.name, existed);
            opened[i].created = opened[i].fd >= 0 && !existed;
        }
        if (opened[i].fd < 0) {
            failed = slot.name;
            return false;
        }
    }
    return true;
}

// Tells regular files from pipes and devices. A file size limit below a header's size
// would fail every file after truncating it: refused before anything is truncated.
bool CheckOpened(Outputs& o, const Opened (&opened)[2], std::string& failed) {
    struct rlimit limit;
    const bool headerFits = getrlimit(RLIMIT_FSIZE, &limit) != 0 ||
                            limit.rlim_cur == RLIM_INFINITY ||
                            limit.rlim_cur >= static_cast<rlim_t>(kWavHeaderBytes);
    for (int i = 0; i < o.plan.files; ++i) {
        Slot& slot = o.slots[i];
        slot.created = opened[i].created;
        struct stat st;
        if (slot.awaitingFirst && opened[i].fd < 0) {
            st.st_mode = S_IFREG;  // to be created in the directory checked
        } else if (fstat(opened[i].fd, &st) != 0) {
            failed = slot.name;
            return false;
        }
        if (S_ISREG(st.st_mode) && !headerFits) {
            failed = slot.name;
            return false;
        }
        slot.regular = S_ISREG(st.st_mode);
    }
    return true;
}

// Descriptors this process has open.
int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++n;
        }
        closedir(d);
        n -= 3;  // ".", ".." and the directory's own
    }
    return n;
}

// The name slot `f` will need that is longest, and in `number` how many files a run of the
// planned length makes at most.
std::string LongestNextName(const Outputs& o, int f) {
    const OutputPlan& plan = o.plan;
    const int64_t shortest =
        plan.fileSeconds > 0 ? std::min(plan.fileSeconds * plan.rate, o.fileFrames) : o.fileFrames;
    const int64_t files = std::min<int64_t>(plan.totalFrames / shortest + 2, 99999);
    NameSeries series = NextSeries(o, f, 0, RealTimeNs());
    series.number = static_cast<int>(files);
    return NameAt(series, 0);
}

// A recording that goes on in further files must be able to make them: a name the file
// system cannot hold, a directory that takes no new file or no descriptor left for the next
// file would otherwise stop it at its first join, hours in. And the continuations of a given
// name must not be those of an earlier recording: joined in number order, the files would
// mix the two.
bool CheckJoins(Outputs& o, std::string& failed) {
    const OutputPlan& plan = o.plan;
    if (plan.fileSeconds <= 0 && plan.totalFrames <= o.fileFrames) {
        return true;
    }
    struct rlimit limit;
    const bool descriptors = getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
                             limit.rlim_cur == RLIM_INFINITY ||
                             static_cast<rlim_t>(OpenDescriptors()) + plan.files <= limit.rlim_cur;
    for (int f = 0; f < plan.files; ++f) {
        Slot& slot = o.slots[f];
        if (!slot.regular) {
            continue;  // a pipe or a device is never split
        }
        const std::string longest = LongestNextName(o, f);
        const size_t slash = longest.rfind('/');
        const size_t base = longest.size() - (slash == std::string::npos ? 0 : slash + 1);
        const long nameMax = pathconf(slot.dir.c_str(), _PC_NAME_MAX);
        const int probe = OpenUnnamed(slot.dir);
        const bool writable =
            probe >= 0 || (Unsupported(errno) && access(slot.dir.c_str(), W_OK | X_OK) == 0);
        if (probe >= 0) {
            close(probe);
        }
        if ((nameMax > 0 && base > static_cast<size_t>(nameMax)) || !writable || !descriptors) {
            failed = longest;
            return false;
        }
        struct stat st;
        const std::string second = ContinuationName(slot.firstName, 2);
        if (!plan.generatedNames && lstat(second.c_str(), &st) == 0) {
            printf("%s is left from an earlier recording: move it away or choose another name\n",
                   second.c_str());
            failed.clear();
            return false;
        }
    }
    return true;
}

// A regular file announces what it holds at every moment, so a kill before the first
// update leaves a true header. A pipe or a device gets the one header a reader will ever
// see: the planned length, or as much of it as a header can say (the stream itself is
// never split).
bool WriteFirstHeaders(Outputs& o, Opened (&opened)[2], std::string& failed) {
    const OutputPlan& plan = o.plan;
    for (int i = 0; i < plan.files; ++i) {
        Slot& slot = o.slots[i];
        if (slot.awaitingFirst) {
            // The file made for the first frames: named when they come.
            if (opened[i].fd >= 0 &&
                (MAKE_HEADER(opened[i].fd, plan.rate, 0, plan.sampleBytes, plan.stereo) != 0 ||
                 !(slot.next = File(fdopen(opened[i].fd, "wb"))))) {
                failed = slot.name;
                return false;
            }
            opened[i].fd = -1;
            continue;
        }
        const long announced =
            slot.regular ? 0 : static_cast<long>(std::min(plan.totalFrames, o.fileFrames));
        if ((slot.regular && ftruncate(opened[i].fd, 0) != 0) ||
            MAKE_HEADER(opened[i].fd, plan.rate, announced, plan.sampleBytes, plan.stereo) != 0) {
            failed = slot.name;
            return false;
        }
        slot.stream.reset(fdopen(opened[i].fd, "wb"));
        if (!slot.stream) {
            failed = slot.name;
            return false;
        }
    }
    return true;
}

// Where the device's layout is not the files', each period is rearranged in place (through
// the scratch): the first file's bytes first, the second's from half a period on.
void Rearrange(const Outputs& o, const BatchPart* parts, int count, uint8_t* scratch) {
    const OutputPlan& plan = o.plan;
    if (plan.deviceInterleaved == plan.stereo) {
        return;
    }
    const size_t sb = plan.sampleBytes;
    const size_t half = static_cast<size_t>(plan.period) * sb;
    const bool second = plan.files == 2;
    for (int i = 0; i < count; ++i) {
        uint8_t* audio = parts[i].audio;
        const int frames = parts[i].frames;
        if (audio == nullptr) {
            continue;
        }
        if (plan.deviceInterleaved) {
            Deinterleave(frames, static_cast<int>(sb), audio, scratch,
                         second ? scratch + half : nullptr);
            memcpy(audio, scratch, static_cast<size_t>(frames) * sb);
            if (second) {
                memcpy(audio + half, scratch + half, static_cast<size_t>(frames) * sb);
            }
        } else {
            Interleave(frames, static_cast<int>(sb), audio, audio + half, scratch);
            memcpy(audio, scratch, static_cast<size_t>(frames) * 2 * sb);
        }
    }
}

// Appends one file's share of a batch. False when the file took less.
bool WriteFileShare(Outputs& o, int f, const BatchPart* parts, int count, const uint8_t* zeros) {
    Slot& slot = o.slots[f];
    const size_t frameBytes = FileBlockAlign(o.plan);
    const size_t offset = f == 0 ? 0 : static_cast<size_t>(o.plan.period) * o.plan.sampleBytes;
    FileBatch b;
    b.fd = slot.stream ? fileno(slot.stream.get()) : -1;
    const size_t periodBytes = static_cast<size_t>(o.plan.period) * frameBytes;
    bool more = true;
    for (int i = 0; more && i < count; ++i) {
        const BatchPart& part = parts[i];
        const int64_t firstFrame =
            slot.framesBefore + slot.framesWritten + b.added / static_cast<int64_t>(frameBytes);
        // The silence before the audio stands for the time just before it was captured.
        const TimeRef ref = {firstFrame + int64_t{part.silenceBefore} * o.plan.period, part.utcNs};
        for (int k = 0; more && k < part.silenceBefore; ++k) {
            more = Put(o, f, b, zeros, periodBytes, frameBytes, ref);
        }
        if (more && part.audio != nullptr && part.frames > 0) {
            more = Put(o, f, b, part.audio + offset, static_cast<size_t>(part.frames) * frameBytes,
                       frameBytes, ref);
        }
    }
    if (more && b.error == 0) {
        Flush(b);
    }
    slot.framesWritten += b.bytes / static_cast<int64_t>(frameBytes);
    if (b.error != 0) {
        NoteFailure(o, f, b.error);
    }
    if (!more || b.error != 0) {
        return false;
    }
    if (slot.regular) {
        // Starts writing the batch back now, so that the next header update's sync finds
        // it on the disk instead of waiting for it. Only a head start: what it fails to
        // do, the sync does and reports.
        sync_file_range(b.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        // The next file is made well before it is needed, so the join itself costs no
        // more than finishing the full one.
        const int64_t ahead = 10 * static_cast<int64_t>(o.plan.rate);
        if (slot.fileLimit - slot.framesWritten < ahead) {
            PrepareAhead(o, f);
        }
    }
    return true;
}

}  // namespace

unsigned FileBlockAlign(const OutputPlan& plan) {
    return BlockAlign(plan.sampleBytes, plan.stereo);
}

int64_t FileFrames(unsigned blockAlign) {
    return (int64_t{UINT32_MAX} - kWavHeaderBytes) / blockAlign;
}

bool PrepareFiles(Outputs& o) {
    if (o.fileFrames <= 0) {
        o.fileFrames = FileFrames(FileBlockAlign(o.plan));
    }
    Opened opened[2];
    std::string failed;
    if (!OpenAll(o, opened, failed) || !CheckOpened(o, opened, failed) || !CheckJoins(o, failed) ||
        !WriteFirstHeaders(o, opened, failed)) {
        return FailPreparing(o, opened, failed);
    }
    return true;
}

void WarnIfShortOfSpace(const Outputs& o) {
    struct Need {
        dev_t dev;
        const char* name;
        double bytes;
        double room;
    };
    std::vector<Need> needs;
    const double fileBytes = static_cast<double>(o.plan.totalFrames) * FileBlockAlign(o.plan);
    for (int i = 0; i < o.plan.files; ++i) {
        const Slot& slot = o.slots[i];
        FILE* stream = slot.stream ? slot.stream.get() : slot.next.get();
        struct stat st;
        struct statvfs fs;
        if (!slot.regular || stream == nullptr || fstat(fileno(stream), &st) != 0 ||
            fstatvfs(fileno(stream), &fs) != 0) {
            continue;
        }
        bool counted = false;
        for (Need& n : needs) {
            if (n.dev == st.st_dev) {
                n.bytes += fileBytes;
                counted = true;
            }
        }
        if (!counted) {
            needs.push_back({st.st_dev, slot.name.c_str(), fileBytes,
                             static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize)});
        }
    }
    for (const Need& n : needs) {
        if (n.bytes > n.room) {
            fprintf(stderr,
                    "nalvo: warning: the file system of %s has %.1f MB free, the recording "
                    "needs %.1f MB (%.1f MB short)\n",
                    n.name, n.room / 1e6, n.bytes / 1e6, (n.bytes - n.room) / 1e6);
        }
    }
}

bool WriteBatch(Outputs& o, const BatchPart* parts, int count, const WriteBuffers& buffers) {
    Rearrange(o, parts, count, buffers.scratch);
    bool ok = true;
    for (int f = 0; f < o.plan.files; ++f) {
        if (!o.slots[f].stream && !o.slots[f].awaitingFirst) {
            ok = false;  // lost at a join that failed
            continue;
        }
        ok = WriteFileShare(o, f, parts, count, buffers.zeros) && ok;
    }
    return ok;
}

bool UpdateHeaders(Outputs& o, bool syncHeaders) {
    const int64_t blockAlign = FileBlockAlign(o.plan);
    bool ok = true;
    for (int i = 0; i < o.plan.files; ++i) {
        Slot& slot = o.slots[i];
        if (!slot.stream || slot.writeError != 0) {
            continue;
        }
        // The audio reaches the disk before the header that announces it: the sync makes
        // everything written so far durable, the sizes written after it (announcing only
        // that) become durable with the next one. A pipe or a device only gets its audio
        // passed on: its header cannot be revisited.
        const int fd = fileno(slot.stream.get());
        errno = 0;
        if (fflush(slot.stream.get()) != 0 ||
            (slot.regular && (!Sync(fd) || !WriteSizes(fd, slot.framesWritten * blockAlign) ||
                              (syncHeaders && !Sync(fd))))) {
            NoteFailure(o, i, ErrnoOr(EIO));
            ok = false;
        }
    }
    return ok;
}

bool CloseFiles(Outputs& o, bool failed) {
    bool ok = true;
    for (int i = 0; i < o.plan.files; ++i) {
        Slot& slot = o.slots[i];
        if (!slot.stream) {
            ok = ok && slot.writeError == 0;  // lost at a join that failed
            continue;
        }
        errno = 0;
        if (fflush(slot.stream.get()) != 0) {
            NoteFailure(o, i, ErrnoOr(EIO));
        }
        if (failed && slot.created && slot.framesBefore + slot.framesWritten == 0) {
            // A start that failed (a device that opened and failed at once) leaves nothing:
            // a service that retries must not fill the card with empty files.
            RemoveOurs(fileno(slot.stream.get()), slot.name);
        }
        // Through the descriptor the file was created with: the name may lead elsewhere
        // by now.
        const int err = slot.regular ? FixHeader(fileno(slot.stream.get()), o.plan) : 0;
        if (err != 0) {
            slot.headerError = err;
            ok = false;
        }
        errno = 0;
        if (fclose(slot.stream.release()) != 0) {
            NoteFailure(o, i, ErrnoOr(EIO));
        }
        if (slot.writeError != 0) {
            ok = false;
        }
    }
    for (Slot& slot : o.slots) {
        // A next file made ahead that the recording did not reach has no name: closed, it
        // is gone.
        slot.next.reset();
    }
    return ok;
}

void ReportHeaderFixes(const Outputs& o) {
    for (const Slot& slot : o.slots) {
        if (slot.headerError != 0) {
            fflush(stdout);
            fprintf(stderr, "nalvo: cannot correct the header of %s: %s\n", slot.name.c_str(),
                    strerror(slot.headerError));
        }
    }
}
