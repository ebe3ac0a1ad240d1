#include "wav.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "kit.h"

namespace {

struct HeaderCase {
    const char* name;
    unsigned rate;
    long frames;
    unsigned sampleBytes;
    int interleave;
    const char* hex;
};

const HeaderCase kHeaders[] = {
    {"mono16_60s", 44100, 2646016, 2, 0,
     "52 49 46 46 24 c0 50 00 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 01 00 44 ac 00 00 "
     "88 58 01 00 02 00 10 00 64 61 74 61 00 c0 50 00"},
    {"stereo24_96k", 96000, 98304, 3, 1,
     "52 49 46 46 24 00 09 00 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 02 00 00 77 01 00 "
     "00 ca 08 00 06 00 18 00 64 61 74 61 00 00 09 00"},
    {"empty", 48000, 0, 2, 1,
     "52 49 46 46 24 00 00 00 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 02 00 80 bb 00 00 "
     "00 ee 02 00 04 00 10 00 64 61 74 61 00 00 00 00"},
    // 2400000000 data bytes: a size with its top bit set is written as its unsigned value.
    {"top_bit", 96000, 400000000, 3, 1,
     "52 49 46 46 24 18 0d 8f 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 02 00 00 77 01 00 "
     "00 ca 08 00 06 00 18 00 64 61 74 61 00 18 0d 8f"},
};

TEST(WavFile, HeaderBytesMatchTheCanonicalLayout) {
    const kit::ScratchDir dir;
    const std::string path = dir / "out.wav";
    for (const HeaderCase& c : kHeaders) {
        SCOPED_TRACE(c.name);
        // Written where the descriptor stands: after what is already there.
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "ab", 2), 2);
        ASSERT_EQ(MAKE_HEADER(fd, c.rate, c.frames, c.sampleBytes, c.interleave), 0);
        close(fd);
        EXPECT_EQ(kit::Hex(kit::ReadFile(path), " "), std::string("61 62 ") + c.hex);
    }
}

TEST(WavHeader, WriteFailureReportsItsErrno) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(MAKE_HEADER(fds[1], 44100, 10, 2, 0), EPIPE);
    close(fds[1]);
}

}  // namespace
