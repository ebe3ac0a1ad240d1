// The output files: creation with their headers, appending the audio, keeping the headers
// true while recording, and closing.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "frames.h"
#include "samples.h"
#include "session.h"
#include "wav.h"

namespace {

void RemoveFiles(const std::vector<std::string>& names) {
    for (const auto& name : names) {
        remove(name.c_str());
    }
}

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

// Appends `frames` frames to a slot's file. Returns false (and notes the error) when the
// file took less.
bool Append(Session& s, int slotIndex, const uint8_t* data, size_t frames, size_t frameBytes) {
    Slot& slot = s.slots[slotIndex];
    if (frames == 0) {
        return true;
    }
    errno = 0;
    if (fwrite(data, frameBytes, frames, slot.stream.get()) != frames) {
        NoteFailure(s, slotIndex, ErrnoOr(EIO));
        return false;
    }
    slot.framesWritten += static_cast<int64_t>(frames);
    return true;
}

bool WriteSizes(int fd, int64_t dataBytes) {
    char riff[4], data[4];
    Decon4(static_cast<long>(static_cast<uint32_t>(dataBytes + 36)), riff);
    Decon4(static_cast<long>(static_cast<uint32_t>(dataBytes)), data);
    return pwrite(fd, riff, 4, kRiffSizeOffset) == 4 && pwrite(fd, data, 4, kDataSizeOffset) == 4;
}

// Rewrites a file's header to the whole frames present, cutting a partial frame left by a
// failed write. Returns 0 or an errno.
int FixHeader(const std::string& name, const RecordRequest& req) {
    File f(fopen(name.c_str(), "r+b"));
    if (!f) {
        return errno;
    }
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) {
        return errno;
    }
    const int64_t blockAlign = FileBlockAlign(req);
    const int64_t data = st.st_size > kWavHeaderBytes ? st.st_size - kWavHeaderBytes : 0;
    const int64_t frames = data / blockAlign;
    if (frames * blockAlign != data &&
        ftruncate(fileno(f.get()), kWavHeaderBytes + frames * blockAlign) != 0) {
        return errno;
    }
    rewind(f.get());
    errno = 0;
    if (!WriteHeader(f.get(), req.rate, static_cast<long>(frames), req.sampleBytes,
                     req.interleave) ||
        fflush(f.get()) != 0 || fdatasync(fileno(f.get())) != 0) {
        return ErrnoOr(EIO);
    }
    FILE* raw = f.release();
    return fclose(raw) == 0 ? 0 : errno;
}

}  // namespace

unsigned FileBlockAlign(const RecordRequest& r) {
    return BlockAlign(r.sampleBytes, r.interleave);
}

bool PrepareFiles(Session& s, RecordRequest& req) {
    s.slots[0].enabled = 1;
    s.slots[1].enabled = req.channels == 2 ? 1 : 0;

    std::vector<std::string> created;
    auto fail = [&](const std::string& name) {
        printf("Can't open %s for recording\n", name.c_str());
        fflush(stdout);
        for (auto& slot : s.slots) {
            slot.stream.reset();
            if (slot.headerFd >= 0) {
                close(slot.headerFd);
                slot.headerFd = -1;
            }
        }
        RemoveFiles(created);
        return false;
    };

    if (req.autoName) {
        req.fileList.clear();
    }
    size_t next = 0;  // next given name
    for (int i = 0; i < 2; ++i) {
        if (!s.slots[i].enabled) {
            continue;
        }
        std::string name;
        bool opened = false;
        int err = 0;
        if (req.autoName) {
            // Never replace an existing recording: two runs started within the same
            // second take the next free number instead.
            long seconds = NewTime();
            for (int attempt = 0; attempt < 100000; ++attempt, ++seconds) {
                name = GeneratedName(i + 1, seconds);
                err = MAKE_HEADER(name.c_str(), req.rate, s.totalFrames, req.sampleBytes,
                                  req.interleave, true, &opened);
                if (err != EEXIST) {
                    break;
                }
            }
            req.fileList.push_back(name);
        } else {
            if (next >= req.fileList.size()) {
                return fail("");
            }
            name = req.fileList[next++];
            err = MAKE_HEADER(name.c_str(), req.rate, s.totalFrames, req.sampleBytes,
                              req.interleave, false, &opened);
        }
        if (opened) {
            created.push_back(name);
        }
        if (err != 0) {
            return fail(name);
        }
        s.slots[i].name = name;
    }
    for (auto& slot : s.slots) {
        if (!slot.enabled) {
            continue;
        }
        slot.stream.reset(fopen(slot.name.c_str(), "ab"));
        slot.headerFd = open(slot.name.c_str(), O_WRONLY | O_CLOEXEC);
        if (!slot.stream || slot.headerFd < 0) {
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
        if (!slot.enabled || stat(slot.name.c_str(), &st) != 0 ||
            statvfs(slot.name.c_str(), &fs) != 0) {
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

bool WritePeriod(Session& s, const uint8_t* buf, int frames, uint8_t* scratch) {
    const RecordRequest& req = *s.request;
    const size_t sb = req.sampleBytes;
    const auto n = static_cast<size_t>(frames);
    if (s.interleavedAccess) {
        if (req.interleave) {
            // The device's frames already are the stereo file's frames.
            return Append(s, 0, buf, n, 2 * sb);
        }
        uint8_t* left = scratch;
        uint8_t* right =
            s.slots[1].enabled ? scratch + static_cast<size_t>(s.period) * sb : nullptr;
        Deinterleave(frames, static_cast<int>(sb), buf, left, right);
        return Append(s, 0, left, n, sb) && (right == nullptr || Append(s, 1, right, n, sb));
    }
    const uint8_t* left = buf;
    const uint8_t* right = buf + static_cast<size_t>(s.period) * sb;
    if (req.interleave) {
        Interleave(frames, static_cast<int>(sb), left, right, scratch);
        return Append(s, 0, scratch, n, 2 * sb);
    }
    return Append(s, 0, left, n, sb) && (!s.slots[1].enabled || Append(s, 1, right, n, sb));
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
        // that) become durable with the next one.
        errno = 0;
        if (fflush(slot.stream.get()) != 0 || fdatasync(fileno(slot.stream.get())) != 0 ||
            !WriteSizes(slot.headerFd, slot.framesWritten * blockAlign) ||
            (syncHeaders && fdatasync(slot.headerFd) != 0)) {
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
        if (slot.headerFd >= 0) {
            close(slot.headerFd);
            slot.headerFd = -1;
        }
        if (!slot.enabled || !slot.stream) {
            continue;
        }
        errno = 0;
        if (fclose(slot.stream.release()) != 0) {
            NoteFailure(s, i, ErrnoOr(EIO));
        }
    }
    for (const Slot& slot : s.slots) {
        if (!slot.enabled) {
            continue;
        }
        const int err = FixHeader(slot.name, *s.request);
        if (err != 0) {
            fprintf(stderr, "nalvo: cannot correct the header of %s: %s\n", slot.name.c_str(),
                    strerror(err));
            ok = false;
        }
        if (slot.writeError != 0) {
            ok = false;
        }
    }
    return ok;
}
