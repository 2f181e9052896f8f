#include "relay/back_off.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vindaro;
using std::chrono::milliseconds;

TEST(BackOff, DelaysDoubleFromOneAndAHalfSecondsUpToTwentyFourPlusJitter) {
    const std::pair<int, milliseconds> bases[] = {
        {1, milliseconds(1500)},   {2, milliseconds(3000)},       {3, milliseconds(6000)},
        {4, milliseconds(12000)},  {5, milliseconds(24000)},      {6, milliseconds(24000)},
        {50, milliseconds(24000)}, {1 << 30, milliseconds(24000)}};
    for (const auto& [attempt, base] : bases) {
        EXPECT_EQ(backOffDelay(attempt, 0.2), base + milliseconds(200)) << attempt;
        EXPECT_EQ(backOffDelay(attempt, 1.0), base + milliseconds(1000)) << attempt;
    }
}

TEST(BackOff, RandomDelaysStayInsideTheirBoundsAndSpreadOverThem) {
    constexpr int draws = 200000;
    double lowest = 2;
    double highest = -1;
    double sum = 0;
    for (int i = 0; i < draws; ++i) {
        const double jitter = randomJitterSeconds();
        lowest = std::min(lowest, jitter);
        highest = std::max(highest, jitter);
        sum += jitter;
    }
    EXPECT_GE(lowest, 0.2);
    EXPECT_LE(highest, 1.0);
    EXPECT_LT(lowest, 0.201);
    EXPECT_GT(highest, 0.999);
    EXPECT_NEAR(sum / draws, 0.6, 0.005);

    // The delays the agent really uses, attempt by attempt, within the bounds pinned above.
    for (int attempt = 1; attempt <= 7; ++attempt) {
        for (int i = 0; i < 10000; ++i) {
            const milliseconds delay = randomizedBackOff(attempt);
            ASSERT_GE(delay, backOffDelay(attempt, 0.2)) << attempt;
            ASSERT_LE(delay, backOffDelay(attempt, 1.0)) << attempt;
        }
    }
}
