/* Helpers for bench/compare, compiled by it on the fly (C11 + libm only):
 *
 *   benchtool gen RATE BYTES CHANNELS FRAMES OUT.raw
 *       Writes FRAMES frames of the benchmark signal, interleaved little-endian, BYTES (2 or 3)
 *       per sample. Channel 0 is a 997 Hz tone at -12 dBFS, channel 1 a 440 Hz tone at -18 dBFS,
 *       each with white noise at about -50 dBFS on top. The noise comes from a counter-based
 *       hash of (frame, channel), so the output is the same on every run, a longer file starts
 *       with a shorter one, and a one-channel file is exactly channel 0 of a two-channel one.
 *
 *   benchtool info FILE.wav
 *       Prints "channels rate bits frames" of a PCM WAV file.
 *
 *   benchtool cmp A B
 *       Compares the audio of A and B over the frames both have. A and B are WAV files or
 *       raw:CHANNELS:BYTES:PATH. With the same channel count every sample is compared; a mono
 *       file against a stereo one is compared with the stereo file's channel 0. Prints
 *       "FRAMES_A FRAMES_B COMMON FIRST_DIFF" (FIRST_DIFF is -1 when the common part is
 *       identical); exit status 0 identical, 1 different, 2 error.
 *
 *   benchtool run OUT.txt -- COMMAND ARGS...
 *       Runs COMMAND with this process's standard streams and writes
 *       "EXIT_STATUS WALL_S USER_S SYS_S MAX_RSS_KB VOLUNTARY_CS INVOLUNTARY_CS" to OUT.txt
 *       (context switches of all the command's threads). Exit status 0 unless the
 *       command could not be started or measured (the command's own status is in the file).
 *       GNU time rounds to 10 ms; the short runs of a quick benchmark need better.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int fail(const char* what) {
    fprintf(stderr, "benchtool: %s\n", what);
    return 2;
}

/* ---------------------------------------------------------------- signal */

static uint64_t mix64(uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

/* Triangular noise in [-1, 1): the sum of two uniform values, smoother than plain uniform. */
static double noise(uint64_t frame, unsigned ch) {
    const uint64_t h = mix64(frame * 2 + ch + 0x5eedULL);
    const double a = (double)(h & 0xffffffffULL) / 4294967296.0;
    const double b = (double)(h >> 32) / 4294967296.0;
    return a + b - 1.0;
}

static int gen(int argc, char** argv) {
    if (argc != 7) {
        return fail("usage: gen RATE BYTES CHANNELS FRAMES OUT.raw");
    }
    const long rate = atol(argv[2]);
    const int bytes = atoi(argv[3]);
    const int channels = atoi(argv[4]);
    const long long frames = atoll(argv[5]);
    if (rate <= 0 || (bytes != 2 && bytes != 3) || (channels != 1 && channels != 2) || frames <= 0) {
        return fail("gen: bad rate, sample size (2 or 3), channel count (1 or 2) or frame count");
    }
    FILE* out = fopen(argv[6], "wb");
    if (!out) {
        fprintf(stderr, "benchtool: cannot create %s: %s\n", argv[6], strerror(errno));
        return 2;
    }
    const double full = bytes == 2 ? 32767.0 : 8388607.0;
    const double freq[2] = {997.0, 440.0};
    const double tone[2] = {pow(10.0, -12.0 / 20.0), pow(10.0, -18.0 / 20.0)};
    const double noiseLevel = pow(10.0, -50.0 / 20.0);
    enum { kChunk = 8192 };
    static unsigned char buf[kChunk * 2 * 3];
    for (long long start = 0; start < frames; start += kChunk) {
        const long long n = frames - start < kChunk ? frames - start : kChunk;
        unsigned char* p = buf;
        for (long long f = start; f < start + n; ++f) {
            for (int ch = 0; ch < channels; ++ch) {
                /* The phase from (frame mod rate) stays exact however long the file is. */
                const double t = (double)(f % rate) / (double)rate;
                const double v = tone[ch] * sin(2.0 * M_PI * freq[ch] * t) +
                                 noiseLevel * noise((uint64_t)f, (unsigned)ch);
                long s = lrint(v * full);
                if (s > (long)full) s = (long)full;
                if (s < -(long)full - 1) s = -(long)full - 1;
                const uint32_t u = (uint32_t)s;
                *p++ = (unsigned char)(u & 0xff);
                *p++ = (unsigned char)((u >> 8) & 0xff);
                if (bytes == 3) *p++ = (unsigned char)((u >> 16) & 0xff);
            }
        }
        if (fwrite(buf, 1, (size_t)(p - buf), out) != (size_t)(p - buf)) {
            fprintf(stderr, "benchtool: writing %s: %s\n", argv[6], strerror(errno));
            fclose(out);
            return 2;
        }
    }
    if (fclose(out) != 0) {
        fprintf(stderr, "benchtool: closing %s: %s\n", argv[6], strerror(errno));
        return 2;
    }
    return 0;
}

/* ---------------------------------------------------------------- audio files */

typedef struct {
    FILE* f;
    unsigned channels, rate, bits, bytes;
    long long frames;
} Audio;

static uint32_t le32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static unsigned le16(const unsigned char* p) { return (unsigned)p[0] | (unsigned)p[1] << 8; }

/* Opens a WAV file (walking its chunks to "data") or raw:CHANNELS:BYTES:PATH, leaving the
 * stream at the first sample. */
static int open_audio(const char* source, Audio* a) {
    memset(a, 0, sizeof *a);
    if (strncmp(source, "raw:", 4) == 0) {
        unsigned ch = 0, by = 0;
        int used = 0;
        if (sscanf(source + 4, "%u:%u:%n", &ch, &by, &used) != 2 || used == 0 || ch == 0 || by == 0) {
            fprintf(stderr, "benchtool: bad raw source %s\n", source);
            return -1;
        }
        const char* path = source + 4 + used;
        a->f = fopen(path, "rb");
        if (!a->f) {
            fprintf(stderr, "benchtool: cannot open %s: %s\n", path, strerror(errno));
            return -1;
        }
        fseeko(a->f, 0, SEEK_END);
        const long long size = (long long)ftello(a->f);
        fseeko(a->f, 0, SEEK_SET);
        a->channels = ch;
        a->bytes = by;
        a->bits = by * 8;
        a->frames = size / (long long)(ch * by);
        return 0;
    }
    a->f = fopen(source, "rb");
    if (!a->f) {
        fprintf(stderr, "benchtool: cannot open %s: %s\n", source, strerror(errno));
        return -1;
    }
    unsigned char h[12];
    if (fread(h, 1, 12, a->f) != 12 || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4) != 0) {
        fprintf(stderr, "benchtool: %s is not a RIFF WAVE file\n", source);
        return -1;
    }
    int haveFmt = 0;
    for (;;) {
        unsigned char c[8];
        if (fread(c, 1, 8, a->f) != 8) {
            fprintf(stderr, "benchtool: %s has no data chunk\n", source);
            return -1;
        }
        const uint32_t len = le32(c + 4);
        if (memcmp(c, "fmt ", 4) == 0) {
            unsigned char fmt[16];
            if (len < 16 || fread(fmt, 1, 16, a->f) != 16) {
                fprintf(stderr, "benchtool: %s has a short fmt chunk\n", source);
                return -1;
            }
            a->channels = le16(fmt + 2);
            a->rate = le32(fmt + 4);
            a->bits = le16(fmt + 14);
            a->bytes = (a->bits + 7) / 8;
            haveFmt = 1;
            if (fseeko(a->f, (off_t)(len - 16 + (len & 1)), SEEK_CUR) != 0) return -1;
        } else if (memcmp(c, "data", 4) == 0) {
            if (!haveFmt || a->channels == 0 || a->bytes == 0) {
                fprintf(stderr, "benchtool: %s: data before a usable fmt chunk\n", source);
                return -1;
            }
            /* Trust the header, but never beyond the end of the file. */
            const off_t here = ftello(a->f);
            fseeko(a->f, 0, SEEK_END);
            const long long avail = (long long)(ftello(a->f) - here);
            fseeko(a->f, here, SEEK_SET);
            const long long announced = (long long)len;
            const long long frameBytes = (long long)a->channels * a->bytes;
            a->frames = (announced < avail ? announced : avail) / frameBytes;
            return 0;
        } else if (fseeko(a->f, (off_t)(len + (len & 1)), SEEK_CUR) != 0) {
            return -1;
        }
    }
}

static int info(int argc, char** argv) {
    if (argc != 3) return fail("usage: info FILE.wav");
    Audio a;
    if (open_audio(argv[2], &a) < 0) return 2;
    printf("%u %u %u %lld\n", a.channels, a.rate, a.bits, a.frames);
    fclose(a.f);
    return 0;
}

static int cmp(int argc, char** argv) {
    if (argc != 4) return fail("usage: cmp A B");
    Audio a, b;
    if (open_audio(argv[2], &a) < 0 || open_audio(argv[3], &b) < 0) return 2;
    if (a.bytes != b.bytes) return fail("cmp: the files have different sample sizes");
    const unsigned common_ch = a.channels < b.channels ? a.channels : b.channels;
    if (a.channels != b.channels && common_ch != 1) {
        return fail("cmp: channel counts must match, or one file must be mono");
    }
    const long long common = a.frames < b.frames ? a.frames : b.frames;
    const size_t fa = (size_t)a.channels * a.bytes, fb = (size_t)b.channels * b.bytes;
    const size_t cmpBytes = (size_t)common_ch * a.bytes;
    enum { kChunk = 16384 };
    unsigned char* ba = malloc(fa * kChunk);
    unsigned char* bb = malloc(fb * kChunk);
    if (!ba || !bb) return fail("out of memory");
    long long firstDiff = -1;
    for (long long start = 0; start < common && firstDiff < 0; start += kChunk) {
        const size_t n = (size_t)(common - start < kChunk ? common - start : kChunk);
        if (fread(ba, fa, n, a.f) != n || fread(bb, fb, n, b.f) != n) {
            return fail("cmp: read error");
        }
        if (fa == fb && memcmp(ba, bb, fa * n) == 0) continue;
        for (size_t i = 0; i < n; ++i) {
            if (memcmp(ba + i * fa, bb + i * fb, cmpBytes) != 0) {
                firstDiff = start + (long long)i;
                break;
            }
        }
    }
    printf("%lld %lld %lld %lld\n", a.frames, b.frames, common, firstDiff);
    free(ba);
    free(bb);
    fclose(a.f);
    fclose(b.f);
    return firstDiff < 0 ? 0 : 1;
}

/* ---------------------------------------------------------------- measuring */

static int run(int argc, char** argv) {
    if (argc < 5 || strcmp(argv[3], "--") != 0) return fail("usage: run OUT.txt -- COMMAND ARGS...");
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    const pid_t pid = fork();
    if (pid < 0) return fail("fork failed");
    if (pid == 0) {
        execvp(argv[4], argv + 4);
        fprintf(stderr, "benchtool: cannot run %s: %s\n", argv[4], strerror(errno));
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    while (wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) return fail("wait4 failed");
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    const double user = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6;
    const double sys = (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec / 1e6;
    FILE* out = fopen(argv[2], "w");
    if (!out) return fail("cannot write the timing file");
    fprintf(out, "%d %.6f %.6f %.6f %ld %ld %ld\n", code, wall, user, sys, ru.ru_maxrss, ru.ru_nvcsw,
            ru.ru_nivcsw);
    return fclose(out) == 0 ? 0 : 2;
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "gen") == 0) return gen(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "info") == 0) return info(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "cmp") == 0) return cmp(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "run") == 0) return run(argc, argv);
    return fail("usage: benchtool gen|info|cmp|run ...");
}
