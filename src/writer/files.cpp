#include "files.h"

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

// Creates the file a slot's recording goes on in once the current one is full: a
// generated name numbered by the second its first frame is captured at, a given name
// numbered after it ("a-2.wav"). Created exclusively, never replacing anything: a taken
// name moves on to the next number. A failure is noted only when `needed` (a file
// prepared ahead may still be had at the join).
bool PrepareNext(Outputs& o, int f, bool needed) {
    Slot& slot = o.slots[f];
    const OutputPlan& plan = o.plan;
    const int64_t firstFrame = slot.framesBefore + o.fileFrames;
    NameSeries series;
    series.generated = plan.generatedNames;
    series.input = f + 1;
    series.seconds = slot.nameSeconds + static_cast<long>(firstFrame / plan.rate);
    series.first = slot.firstName;
    series.number = slot.fileNumber + 1;
    std::string name;
    int step = 0;
    const int fd = CreateFirstFree(series, name, step);
    int err = fd < 0 ? ErrnoOr(EIO) : MAKE_HEADER(fd, plan.rate, 0, plan.sampleBytes, plan.stereo);
    File stream(err == 0 ? fdopen(fd, "wb") : nullptr);
    if (err == 0 && !stream) {
        err = ErrnoOr(EIO);
    }
    if (err != 0) {
        if (fd >= 0) {
            RemoveOurs(fd, name);
            close(fd);
        }
        if (needed) {
            slot.failedName = name;
            NoteFailure(o, f, err);
        }
        return false;
    }
    slot.next = std::move(stream);
    slot.nextName = name;
    slot.nextNumber = series.number + step;
    return true;
}

// The current file is full: its header is made final and durable, and the recording goes
// on in the next file, frame for frame. The engine is told where.
bool Join(Outputs& o, int f) {
    Slot& slot = o.slots[f];
    if (!slot.next && !PrepareNext(o, f, true)) {
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
    slot.framesBefore += slot.framesWritten;
    slot.framesWritten = 0;
    slot.stream = std::move(slot.next);
    slot.name = slot.nextName;
    slot.fileNumber = slot.nextNumber;
    if (o.joins != nullptr) {
        PostJoin(*o.joins, slot.name);
    }
    return true;
}

// Adds whole frames to a file's share of a batch. Where the file is full, what was
// gathered is written and the rest goes on in the next file.
bool Put(Outputs& o, int f, FileBatch& b, const uint8_t* data, size_t n, size_t frameBytes) {
    Slot& slot = o.slots[f];
    const auto fb = static_cast<int64_t>(frameBytes);
    while (n > 0) {
        if (!slot.regular) {
            return Add(b, data, n);
        }
        const int64_t room = o.fileFrames - slot.framesWritten - b.added / fb;
        if (room <= 0) {
            if (!Flush(b)) {
                return false;
            }
            slot.framesWritten += b.bytes / fb;
            b.bytes = 0;
            b.added = 0;
            if (!Join(o, f)) {
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
    printf("Can't open %s for recording\n", name.c_str());
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
        if (plan.generatedNames) {
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
        struct stat st;
        if (fstat(opened[i].fd, &st) != 0 || (S_ISREG(st.st_mode) && !headerFits)) {
            failed = slot.name;
            return false;
        }
        slot.regular = S_ISREG(st.st_mode);
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
    b.fd = fileno(slot.stream.get());
    bool more = true;
    for (int i = 0; more && i < count; ++i) {
        for (int k = 0; more && k < parts[i].silenceBefore; ++k) {
            more = Put(o, f, b, zeros, static_cast<size_t>(o.plan.period) * frameBytes, frameBytes);
        }
        if (more && parts[i].audio != nullptr && parts[i].frames > 0) {
            more = Put(o, f, b, parts[i].audio + offset,
                       static_cast<size_t>(parts[i].frames) * frameBytes, frameBytes);
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
        if (!slot.next && o.fileFrames - slot.framesWritten < ahead) {
            PrepareNext(o, f, false);
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
    if (!OpenAll(o, opened, failed) || !CheckOpened(o, opened, failed) ||
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
        struct stat st;
        struct statvfs fs;
        if (!slot.regular || fstat(fileno(slot.stream.get()), &st) != 0 ||
            fstatvfs(fileno(slot.stream.get()), &fs) != 0) {
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
        if (!o.slots[f].stream) {
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

bool CloseFiles(Outputs& o) {
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
        // A next file made ahead that the recording did not reach holds nothing: not left.
        if (slot.next) {
            RemoveOurs(fileno(slot.next.get()), slot.nextName);
            slot.next.reset();
        }
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
