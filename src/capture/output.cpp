// The output files: creation with their headers, appending the audio, keeping the headers
// true while recording, and closing.
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

#include "console.h"
#include "frames.h"
#include "samples.h"
#include "session.h"
#include "wav.h"

namespace {

int ErrnoOr(int fallback) {
    return errno != 0 ? errno : fallback;
}

void NoteFailure(Session& s, int slotIndex, int err) {
    Slot& slot = s.slots[slotIndex];
    if (slot.writeError == 0) {
        slot.writeError = err;
    }
    if (s.failedSlot < 0) {
        s.failedSlot = slotIndex;
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
int FixHeader(int fd, const RecordRequest& req) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    const int64_t blockAlign = FileBlockAlign(req);
    const int64_t data = st.st_size > kWavHeaderBytes ? st.st_size - kWavHeaderBytes : 0;
    const int64_t frames = data / blockAlign;
    if (frames * blockAlign != data && ftruncate(fd, kWavHeaderBytes + frames * blockAlign) != 0) {
        return errno;
    }
    char header[kWavHeaderBytes];
    FormatHeader(header, req.rate, static_cast<long>(frames), req.sampleBytes, req.interleave);
    errno = 0;
    if (pwrite(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) || !Sync(fd)) {
        return ErrnoOr(EIO);
    }
    return 0;
}

// Opens one output for writing only (a file the user may write but not read is still
// theirs to record into). A name that existed when the user was asked is opened as it
// stands, never created or truncated here; any other name is created exclusively, so a
// file or a link that appeared since is never written through. Returns the descriptor or
// -1 with errno set.
int OpenOutput(const std::string& name, bool existed) {
    const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    return existed ? open(name.c_str(), flags) : open(name.c_str(), flags | O_CREAT | O_EXCL, 0666);
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
bool PrepareNext(Session& s, int f, bool needed) {
    Slot& slot = s.slots[f];
    const RecordRequest& req = *s.request;
    const int64_t firstFrame = slot.framesBefore + s.fileFrames;
    const long seconds = slot.nameSeconds + static_cast<long>(firstFrame / req.rate);
    std::string name;
    int number = slot.fileNumber + 1;
    int fd = -1;
    for (int attempt = 0; attempt < 100000; ++attempt, ++number) {
        name = req.autoName ? GeneratedName(f + 1, seconds + attempt)
                            : ContinuationName(slot.firstName, number);
        fd = OpenOutput(name, false);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    int err = fd < 0 ? ErrnoOr(EIO) : MAKE_HEADER(fd, req.rate, 0, req.sampleBytes, req.interleave);
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
            NoteFailure(s, f, err);
        }
        return false;
    }
    slot.next = std::move(stream);
    slot.nextName = name;
    slot.nextNumber = number;
    return true;
}

// The current file is full: its header is made final and durable, and the recording goes
// on in the next file, frame for frame.
bool Join(Session& s, int f) {
    Slot& slot = s.slots[f];
    if (!slot.next && !PrepareNext(s, f, true)) {
        return false;
    }
    int err = FixHeader(fileno(slot.stream.get()), *s.request);
    errno = 0;
    if (fclose(slot.stream.release()) != 0 && err == 0) {
        err = ErrnoOr(EIO);
    }
    if (err != 0) {
        NoteFailure(s, f, err);
        return false;
    }
    slot.framesBefore += slot.framesWritten;
    slot.framesWritten = 0;
    slot.stream = std::move(slot.next);
    slot.name = slot.nextName;
    slot.fileNumber = slot.nextNumber;
    const std::string line = "\nContinuing in " + slot.name + "\n";
    ConsoleText(line.data(), line.size(), ConsoleLine::Kept);
    return true;
}

// Adds whole frames to a file's share of a batch. Where the file is full, what was
// gathered is written and the rest goes on in the next file.
bool Put(Session& s, int f, FileBatch& b, const uint8_t* data, size_t n, size_t frameBytes) {
    Slot& slot = s.slots[f];
    const auto fb = static_cast<int64_t>(frameBytes);
    while (n > 0) {
        if (!slot.regular) {
            return Add(b, data, n);
        }
        const int64_t room = s.fileFrames - slot.framesWritten - b.added / fb;
        if (room <= 0) {
            if (!Flush(b)) {
                return false;
            }
            slot.framesWritten += b.bytes / fb;
            b.bytes = 0;
            b.added = 0;
            if (!Join(s, f)) {
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

}  // namespace

unsigned FileBlockAlign(const RecordRequest& r) {
    return BlockAlign(r.sampleBytes, r.interleave);
}

bool PrepareFiles(Session& s, RecordRequest& req) {
    if (s.fileFrames <= 0) {
        s.fileFrames = FileFrames(FileBlockAlign(req));
    }
    s.slots[0].enabled = 1;
    s.slots[1].enabled = req.channels == 2 ? 1 : 0;

    struct Opened {
        int fd = -1;
        bool created = false;
    } opened[2];
    auto fail = [&](const std::string& name) {
        printf("Can't open %s for recording\n", name.c_str());
        fflush(stdout);
        for (int i = 0; i < 2; ++i) {
            Slot& slot = s.slots[i];
            const int fd = slot.stream ? fileno(slot.stream.get()) : opened[i].fd;
            // Only a file this run created is removed, and only while the name still
            // leads to it.
            struct stat mine, named;
            if (opened[i].created && fd >= 0 && fstat(fd, &mine) == 0 &&
                lstat(slot.name.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
                mine.st_ino == named.st_ino) {
                unlink(slot.name.c_str());
            }
            if (slot.stream) {
                slot.stream.reset();
            } else if (opened[i].fd >= 0) {
                close(opened[i].fd);
            }
            opened[i].fd = -1;
        }
        return false;
    };

    if (req.autoName) {
        req.fileList.clear();
    }
    // Every output is opened before any is written to: a name that cannot be opened must
    // not cost what another name held.
    size_t next = 0;  // next given name
    for (int i = 0; i < 2; ++i) {
        Slot& slot = s.slots[i];
        if (!slot.enabled) {
            continue;
        }
        if (req.autoName) {
            // Never replace an existing recording: two runs started within the same
            // second take the next free number instead.
            long seconds = NewTime();
            for (int attempt = 0; attempt < 100000; ++attempt, ++seconds) {
                slot.name = GeneratedName(i + 1, seconds);
                opened[i].fd = OpenOutput(slot.name, false);
                if (opened[i].fd >= 0 || errno != EEXIST) {
                    break;
                }
            }
            slot.nameSeconds = seconds;
            req.fileList.push_back(slot.name);
            opened[i].created = opened[i].fd >= 0;
        } else {
            if (next >= req.fileList.size()) {
                return fail("");
            }
            const bool existed = next < req.fileExisted.size() && req.fileExisted[next];
            slot.name = req.fileList[next++];
            slot.firstName = slot.name;
            opened[i].fd = OpenOutput(slot.name, existed);
            opened[i].created = opened[i].fd >= 0 && !existed;
        }
        if (opened[i].fd < 0) {
            return fail(slot.name);
        }
    }
    // A file size limit below a header's size would fail every file after truncating it.
    struct rlimit limit;
    const bool headerFits = getrlimit(RLIMIT_FSIZE, &limit) != 0 ||
                            limit.rlim_cur == RLIM_INFINITY ||
                            limit.rlim_cur >= static_cast<rlim_t>(kWavHeaderBytes);
    for (int i = 0; i < 2; ++i) {
        Slot& slot = s.slots[i];
        if (!slot.enabled) {
            continue;
        }
        struct stat st;
        if (fstat(opened[i].fd, &st) != 0) {
            return fail(slot.name);
        }
        slot.regular = S_ISREG(st.st_mode);
        if (slot.regular && !headerFits) {
            return fail(slot.name);
        }
    }
    for (int i = 0; i < 2; ++i) {
        Slot& slot = s.slots[i];
        if (!slot.enabled) {
            continue;
        }
        // A regular file announces what it holds at every moment, so a kill before the
        // first update leaves a true header. A pipe or a device gets the one header a
        // reader will ever see: the planned length, or as much of it as a header can say
        // (the stream itself is never split).
        const long announced =
            slot.regular ? 0 : static_cast<long>(std::min(s.totalFrames, s.fileFrames));
        if ((slot.regular && ftruncate(opened[i].fd, 0) != 0) ||
            MAKE_HEADER(opened[i].fd, req.rate, announced, req.sampleBytes, req.interleave) != 0) {
            return fail(slot.name);
        }
        slot.stream.reset(fdopen(opened[i].fd, "wb"));
        if (!slot.stream) {
            return fail(slot.name);
        }
    }
    return true;
}

void WarnIfShortOfSpace(const Session& s) {
    struct Need {
        dev_t dev;
        const char* name;
        double bytes;
        double room;
    };
    std::vector<Need> needs;
    const double fileBytes = static_cast<double>(s.totalFrames) * FileBlockAlign(*s.request);
    for (const Slot& slot : s.slots) {
        struct stat st;
        struct statvfs fs;
        if (!slot.enabled || !slot.regular || fstat(fileno(slot.stream.get()), &st) != 0 ||
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

bool WriteBatch(Session& s, const BatchPart* parts, int count, const WriteBuffers& buffers) {
    const RecordRequest& req = *s.request;
    const size_t sb = req.sampleBytes;
    const size_t half = static_cast<size_t>(s.period) * sb;
    const size_t frameBytes = FileBlockAlign(req);
    // Where the device's layout is not the files', each period is rearranged in place (through
    // the scratch): the first file's bytes first, the second's from half a period on.
    for (int i = 0; i < count; ++i) {
        uint8_t* audio = parts[i].audio;
        const int frames = parts[i].frames;
        if (audio == nullptr || (s.interleavedAccess == (req.interleave == 1))) {
            continue;
        }
        if (s.interleavedAccess) {
            Deinterleave(frames, static_cast<int>(sb), audio, buffers.scratch,
                         s.slots[1].enabled ? buffers.scratch + half : nullptr);
            memcpy(audio, buffers.scratch, static_cast<size_t>(frames) * sb);
            if (s.slots[1].enabled) {
                memcpy(audio + half, buffers.scratch + half, static_cast<size_t>(frames) * sb);
            }
        } else {
            Interleave(frames, static_cast<int>(sb), audio, audio + half, buffers.scratch);
            memcpy(audio, buffers.scratch, static_cast<size_t>(frames) * frameBytes);
        }
    }
    bool ok = true;
    for (int f = 0; f < 2; ++f) {
        Slot& slot = s.slots[f];
        if (!slot.enabled) {
            continue;
        }
        if (!slot.stream) {
            ok = false;  // lost at a join that failed
            continue;
        }
        FileBatch b;
        b.fd = fileno(slot.stream.get());
        bool more = true;
        for (int i = 0; more && i < count; ++i) {
            for (int k = 0; more && k < parts[i].silenceBefore; ++k) {
                more = Put(s, f, b, buffers.zeros, static_cast<size_t>(s.period) * frameBytes,
                           frameBytes);
            }
            if (more && parts[i].audio != nullptr && parts[i].frames > 0) {
                more = Put(s, f, b, parts[i].audio + (f == 0 ? 0 : half),
                           static_cast<size_t>(parts[i].frames) * frameBytes, frameBytes);
            }
        }
        if (more && b.error == 0) {
            Flush(b);
        }
        slot.framesWritten += b.bytes / static_cast<int64_t>(frameBytes);
        if (b.error != 0) {
            NoteFailure(s, f, b.error);
        }
        if (!more || b.error != 0) {
            ok = false;
        } else if (slot.regular) {
            // Starts writing the batch back now, so that the next header update's sync finds
            // it on the disk instead of waiting for it. Only a head start: what it fails to
            // do, the sync does and reports.
            sync_file_range(b.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            // The next file is made well before it is needed, so the join itself costs
            // no more than finishing the full one.
            const int64_t ahead = 10 * static_cast<int64_t>(req.rate);
            if (!slot.next && s.fileFrames - slot.framesWritten < ahead) {
                PrepareNext(s, f, false);
            }
        }
    }
    return ok;
}

bool UpdateHeaders(Session& s, bool syncHeaders) {
    const int64_t blockAlign = FileBlockAlign(*s.request);
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        Slot& slot = s.slots[i];
        if (!slot.enabled || !slot.stream || slot.writeError != 0) {
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
            NoteFailure(s, i, ErrnoOr(EIO));
            ok = false;
        }
    }
    return ok;
}

bool CloseFiles(Session& s) {
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        Slot& slot = s.slots[i];
        if (!slot.enabled) {
            continue;
        }
        if (!slot.stream) {
            ok = ok && slot.writeError == 0;  // lost at a join that failed
            continue;
        }
        errno = 0;
        if (fflush(slot.stream.get()) != 0) {
            NoteFailure(s, i, ErrnoOr(EIO));
        }
        // Through the descriptor the file was created with: the name may lead elsewhere
        // by now.
        const int err = slot.regular ? FixHeader(fileno(slot.stream.get()), *s.request) : 0;
        if (err != 0) {
            slot.headerError = err;
            ok = false;
        }
        errno = 0;
        if (fclose(slot.stream.release()) != 0) {
            NoteFailure(s, i, ErrnoOr(EIO));
        }
        if (slot.writeError != 0) {
            ok = false;
        }
    }
    for (Slot& slot : s.slots) {
        // A next file made ahead that the recording did not reach holds nothing: not left.
        if (slot.next) {
            RemoveOurs(fileno(slot.next.get()), slot.nextName);
            slot.next.reset();
        }
    }
    return ok;
}

void ReportHeaderFixes(const Session& s) {
    for (const Slot& slot : s.slots) {
        if (slot.headerError != 0) {
            fflush(stdout);
            fprintf(stderr, "nalvo: cannot correct the header of %s: %s\n", slot.name.c_str(),
                    strerror(slot.headerError));
        }
    }
}
