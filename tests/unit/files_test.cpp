// A recording longer than one file holds, in-process through the writer's storage side:
// joins at any frame, names of the files that follow, and what is left at the end. Files
// are made tiny (`fileFrames`) so that joins come every few frames.
#include "files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kit.h"
#include "names.h"

namespace {

constexpr int kPeriod = 4;

// The 16-bit samples of one file after its header; the header must announce exactly them.
std::vector<int16_t> Samples(const std::string& path) {
    const kit::Wav w = kit::ReadWav(path);
    EXPECT_TRUE(w.Whole()) << path;
    std::vector<int16_t> out;
    for (size_t f = 0; f < w.Frames(); ++f) {
        out.push_back(static_cast<int16_t>(w.Sample(f, 0)));
    }
    return out;
}

class Continuation : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(getcwd(cwd_, sizeof cwd_), cwd_);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);  // generated names go to the working directory
        o_.plan.rate = 4;  // a file of 10 frames lasts 2.5 s: its successor's name moves on by 2
        o_.plan.sampleBytes = 2;
        o_.plan.generatedNames = false;
        o_.plan.deviceInterleaved = false;
        o_.plan.period = kPeriod;
        o_.plan.totalFrames = 1000;
        o_.fileFrames = 10;
        o_.joins = &joins_;
    }
    void TearDown() override { EXPECT_EQ(chdir(cwd_), 0); }
    // Writes `periods` periods whose samples count frames from `first` (input 2 negated),
    // in batches of `batch` periods, `dropped` periods of silence before the first.
    bool Write(int first, int periods, int batch, int dropped = 0) {
        std::vector<uint8_t> audio(static_cast<size_t>(periods) * 2 * kPeriod * 2);
        std::vector<BatchPart> parts;
        for (int p = 0; p < periods; ++p) {
            uint8_t* buf = audio.data() + static_cast<size_t>(p) * 2 * kPeriod * 2;
            for (int i = 0; i < kPeriod; ++i) {
                const int16_t v[2] = {static_cast<int16_t>(first + p * kPeriod + i),
                                      static_cast<int16_t>(-(first + p * kPeriod + i))};
                memcpy(buf + 2 * i, &v[0], 2);
                memcpy(buf + 2 * kPeriod + 2 * i, &v[1], 2);
            }
            parts.push_back({p == 0 ? dropped : 0, buf, kPeriod, 0});
        }
        uint8_t scratch[2 * kPeriod * 2];
        const uint8_t zeros[2 * kPeriod * 2] = {};
        bool ok = true;
        for (size_t at = 0; at < parts.size(); at += static_cast<size_t>(batch)) {
            const int n = std::min(batch, static_cast<int>(parts.size() - at));
            ok = WriteBatch(o_, parts.data() + at, n, {scratch, zeros}) && ok;
        }
        return ok;
    }
    // The joins reported, in order.
    std::string Joins() {
        std::string said;
        while (const std::string* name = NextJoin(joins_)) {
            said += *name + "\n";
            ShownJoin(joins_);
        }
        return said;
    }
    kit::ScratchDir dir_;
    char cwd_[4096];
    JoinNotes joins_;
    Outputs o_;
};

TEST_F(Continuation, JoinsAtAnyFrameAndTheFilesJoinedAreTheRecording) {
    o_.plan.files = 2;
    o_.plan.names = {"a.wav", "b"};
    o_.plan.existed = {false, false};
    ASSERT_TRUE(PrepareFiles(o_));
    // Someone else's file where the third of a.wav would go: skipped, never replaced.
    kit::WriteFile("a-3.wav", "theirs");
    // 7 periods of 4 frames, 2 of them dropped (silence) before period 3, in uneven batches.
    ASSERT_TRUE(Write(0, 3, 2));
    ASSERT_TRUE(Write(12, 2, 3, 2));
    EXPECT_TRUE(CloseFiles(o_));
    EXPECT_EQ(Joins(), "a-2.wav\nb-2\na-4.wav\nb-3\n");
    EXPECT_EQ(kit::ReadFile("a-3.wav").size(), 6u);
    const std::vector<std::vector<std::string>> files = {{"a.wav", "a-2.wav", "a-4.wav"},
                                                         {"b", "b-2", "b-3"}};
    for (int in = 0; in < 2; ++in) {
        std::vector<int16_t> joined;
        std::vector<size_t> sizes;
        for (const std::string& name : files[in]) {
            const std::vector<int16_t> part = Samples(name);
            sizes.push_back(part.size());
            joined.insert(joined.end(), part.begin(), part.end());
        }
        EXPECT_EQ(sizes, (std::vector<size_t>{10, 10, 8})) << in;
        // Frames 0-11, the two dropped periods as silence, then 12-19.
        std::vector<int16_t> expected;
        for (int f = 0; f < 28; ++f) {
            const int value = f < 12 ? f : (f < 20 ? 0 : f - 8);
            expected.push_back(static_cast<int16_t>(in == 0 ? value : -value));
        }
        EXPECT_EQ(joined, expected) << in;
    }
    EXPECT_NE(access("a-5.wav", F_OK), 0);  // no file made for a join that never came
    EXPECT_NE(access("b-4", F_OK), 0);
}

TEST_F(Continuation, GeneratedNamesCountTheSecondsOfTheFilesBefore) {
    o_.plan.generatedNames = true;
    ASSERT_TRUE(PrepareFiles(o_));
    long first = 0;
    ASSERT_EQ(sscanf(o_.slots[0].name.c_str(), "rec_chan_1_%ld.wav", &first), 1);
    ASSERT_TRUE(Write(0, 9, 9));
    EXPECT_TRUE(CloseFiles(o_));
    // 10 frames at 4 Hz are 2.5 s: the files start 2 s, 5 s and 7.5 s in.
    const std::pair<long, size_t> files[] = {
        {first, 10}, {first + 2, 10}, {first + 5, 10}, {first + 7, 6}};
    for (const auto& f : files) {
        EXPECT_EQ(Samples(GeneratedName(1, f.first)).size(), f.second) << f.first;
    }
}

TEST_F(Continuation, ANextFileThatCannotBeMadeEndsTheRecordingWithTheFullOnesKept) {
    // Known at the start: the continuations' names are too long for the file system (a
    // 1000-frame run of 10-frame files reaches "-102"), or "-2" is left from another run.
    for (const std::string& taken : {std::string(), std::string("a-2.wav")}) {
        const std::string name = taken.empty() ? std::string(249, 'x') + ".wav" : "a.wav";
        if (!taken.empty()) {
            kit::WriteFile(taken, "old");
        }
        o_.plan.names = {name};
        o_.plan.existed = {false};
        EXPECT_FALSE(PrepareFiles(o_)) << name;
        EXPECT_NE(access(name.c_str(), F_OK), 0) << "a refused start leaves no file";
    }
    // Found at the join: the directory went away meanwhile.
    ASSERT_EQ(mkdir("d", 0755), 0);
    o_.plan.names = {"d/b.wav"};
    ASSERT_TRUE(PrepareFiles(o_));
    ASSERT_EQ(rename("d", "moved"), 0);
    EXPECT_FALSE(Write(0, 3, 3));
    EXPECT_FALSE(CloseFiles(o_));
    EXPECT_EQ(Joins(), "");
    EXPECT_EQ(o_.slots[0].writeError, ENOENT);
    EXPECT_EQ(o_.slots[0].failedName, "d/b-2.wav");
    EXPECT_EQ(Samples("moved/b.wav").size(), 10u);
}

}  // namespace
