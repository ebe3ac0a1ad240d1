// The end-to-end tests' oracle against console text worked out by hand from the manual page,
// so that a fault in the oracle cannot pass for one of the program's.
#include "model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

TEST(Oracle, ConsoleOfShortRecordings) {
    // 16384 is -6.02 dB: 20.8 cells lit as 21. Steady, it falls 11.25 dB to 14.8 cells.
    const Source loud{{nalvo_fake::Const(16384), nalvo_fake::Silence()}, {}};
    EXPECT_EQ(ExpectedStream(kModes[0], FormatOf("1648"), loud, 4096, 3 * 4096),
              "Recording\n"
              "\rrem = 0.17 sec\t -45 dB [                        ] -144.0 dB   "
              "\rrem = 0.09 sec\t -45 dB [|||||||||||||||||||||   ] -144.0 dB   "
              "\rrem = 0.00 sec\t -45 dB [|||||||||||||||         ] -6.0 dB   "
              "\n\nInput Channel Peaks:\n\tchannel 1: -6.02 dBFS\nDone\n");
    // Both inputs: the bar shows their mean, 12288 (-8.52 dB, 19.5 cells), which stays up
    // while steady: the level of the period before is remembered in single precision, which
    // for 12288 lies below -8.519374645 dB (as the display's worked examples show for 8000).
    // The period lost is marked before the redraw after it and measured as silence with the
    // next one.
    Source two{{nalvo_fake::Const(16384), nalvo_fake::Const(8192)}, {2}};
    EXPECT_EQ(ExpectedStream(kModes[2], FormatOf("1648"), two, 4096, 4 * 4096),
              "Recording in Stereo\n"
              "\rrem = 0.26 sec\t -45 dB [                        ] -144.0 / -144.0 dB   "
              "\rrem = 0.17 sec\t -45 dB [||||||||||||||||||||    ] -144.0 / -144.0 dB   "
              "\nRX\n"
              "\rrem = 0.09 sec\t -45 dB [||||||||||||||||||||    ] -6.0 / -12.0 dB   "
              "\rrem = 0.00 sec\t -45 dB [||||||||||||||          ] -6.0 / -12.0 dB   "
              "\n\nInput Channel Peaks:\n\tchannel 1: -6.02 dBFS\n\tchannel 2: -12.04 dBFS\n"
              "\nRecord Overruns = 1\nDone\n");
}

TEST(Oracle, HeldPeakLastsItsWindow) {
    // At 44.1 kHz a window is 33 periods (3 x 44100 / 4096 = 32.3). The full-scale sample of
    // the first period shows from the third redraw to the 33rd, the end of its window.
    Source src{{nalvo_fake::Const(1000), nalvo_fake::Silence()}, {}};
    src.ch[0].fullscale = {0};
    const std::string s = ExpectedStream(kModes[0], FormatOf("1644"), src, 4096, 40 * 4096);
    std::vector<std::string> redraws;
    for (size_t at = s.find('\r'); at != std::string::npos; at = s.find('\r', at + 1)) {
        redraws.push_back(s.substr(at, s.find_first_of("\r\n", at + 1) - at));
    }
    ASSERT_EQ(redraws.size(), 40u);
    const auto readout = [&](int k) {
        return redraws[k - 1].substr(redraws[k - 1].find("] ") + 2);
    };
    EXPECT_EQ(readout(2), "-144.0 dB   ");
    EXPECT_EQ(readout(3), "-0.0 dB   ");
    EXPECT_EQ(readout(33), "-0.0 dB   ");
    EXPECT_EQ(readout(34), "-30.3 dB   ");
    EXPECT_EQ(Count(s, "\nInput Channel 1 is Peaking!\n\rrem = 3.53 sec"), 1u);
}

}  // namespace
