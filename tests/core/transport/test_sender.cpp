// The sender base's frame-rate rule, with injected time.
#include "core/transport/sender.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "utils/frame_rate.h"

namespace {

// Frame-rate rule: `frames` are the times (ms) at which frames are counted.
struct RateCase {
    const char* name;
    std::vector<int64_t> frames;
    int fps;
    int count;
};

TEST(SenderTest, FrameRateRule)
{
    const RateCase cases[] = {
        {"first frame opens the window", {5000}, 0, 1},
        {"nine in the first second, the tenth at 1.45 s", {0, 100, 200, 300, 400, 500, 600, 700, 800, 1450}, 7, 0},
        {"exactly 1000 ms computes nothing", {0, 1000}, 0, 2},
        {"1001 ms computes", {0, 1001}, 2, 0},
        {"halves round away from zero", {0, 100, 200, 300, 2000}, 3, 0},
        {"the next window starts at the computing frame", {0, 1500, 1600, 2600, 2700}, 2, 1},
    };
    for (const RateCase& c : cases) {
        CFrameRate rate;
        for (int64_t t : c.frames) {
            rate.count(1000000 + t);
        }
        EXPECT_EQ(rate.fps(), c.fps) << c.name;
        EXPECT_EQ(rate.frameCount(), c.count) << c.name;
        EXPECT_TRUE(rate.clockStarted()) << c.name;
    }
}

TEST(SenderTest, FrameRateGetterAndReset)
{
    CFrameRate rate;
    for (int64_t t : {0, 100, 200, 300, 400, 500, 600, 700, 800, 1450}) {
        rate.count(t);
    }
    EXPECT_EQ(rate.read(true), 7) << "something moved: the rate stays";
    EXPECT_EQ(rate.read(false), 7);
    EXPECT_EQ(rate.read(false), 0) << "nothing moved since the last read";

    rate.count(2000);
    rate.reset(5000);
    EXPECT_EQ(rate.fps(), 0);
    EXPECT_EQ(rate.frameCount(), 0);
    EXPECT_DOUBLE_EQ(rate.elapsedSec(), 0.0);
    EXPECT_FALSE(rate.clockStarted());
    rate.count(9000);
    EXPECT_EQ(rate.frameCount(), 1) << "the window opens at the first frame after the reset";
    EXPECT_DOUBLE_EQ(rate.elapsedSec(), 0.0);
}

} // namespace
