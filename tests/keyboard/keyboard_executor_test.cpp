#include "keyboard/keyboard_executor.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/fake/scripted_key_destination.h"
#include "support/log_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using vindaro::KeyboardExecutor;
using vindaro::KeyDestination;
using vindaro::KeyDirection;
using vindaro::PostedKey;
using vindaro::RecordingKeyPoster;
using vindaro::ScriptedKeyDestination;
using vindaro::test::LogLines;
using vindaro::test::noPermissionLine;
using vindaro::test::notCreatedLine;
using vindaro::test::patience;

namespace {

using Key = std::pair<std::uint16_t, KeyDirection>;
constexpr KeyDirection down = KeyDirection::down;
constexpr KeyDirection up = KeyDirection::up;

std::vector<Key> keysOf(const std::vector<PostedKey>& events) {
    std::vector<Key> keys;
    for (const PostedKey& event : events)
        keys.emplace_back(event.code, event.direction);
    return keys;
}

// Each code pressed and released, in order.
std::vector<Key> presses(std::initializer_list<std::uint16_t> codes) {
    std::vector<Key> keys;
    for (const std::uint16_t code : codes) {
        keys.emplace_back(code, down);
        keys.emplace_back(code, up);
    }
    return keys;
}

std::chrono::steady_clock::duration between(const PostedKey& earlier, const PostedKey& later) {
    return later.time - earlier.time;
}

class KeyboardExecutorTest : public ::testing::Test {
protected:
    KeyboardExecutorTest() { executor.setOnLog(log.sink()); }

    // Retries until the executor accepts again, e.g. while cancelled commands drain.
    bool enqueueWhenAccepted(const std::string& name, std::uint16_t code, int holdMs) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (!executor.enqueue(name, code, 1, holdMs, "later")) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    // Everything posted until the given key was last released.
    std::vector<PostedKey> waitForRelease(std::uint16_t code) {
        return poster.waitUntil(
            [code](const std::vector<PostedKey>& posted) {
                return !posted.empty() && posted.back().code == code &&
                       posted.back().direction == up;
            },
            patience);
    }

    RecordingKeyPoster poster;
    ScriptedKeyDestination destination;
    LogLines log;
    KeyboardExecutor executor{poster, &destination};
};

TEST_F(KeyboardExecutorTest, RunsCommandsInOrderWithFullHoldsAndGapsBetweenPresses) {
    executor.cancelAll(); // with nothing to cancel, it must not skip what comes next
    ASSERT_TRUE(executor.enqueue("W", 13, 3, 30, "gift"));
    ASSERT_TRUE(executor.enqueue("SPACE", 49, 1, 20, "ทดสอบจาก Agent"));

    const auto events = poster.waitForEvents(8, patience);
    ASSERT_EQ(keysOf(events), presses({13, 13, 13, 49}));
    for (std::size_t press = 0; press < 3; ++press)
        EXPECT_GE(between(events[2 * press], events[2 * press + 1]), 30ms) << press;
    EXPECT_GE(between(events[6], events[7]), 20ms);
    EXPECT_GE(between(events[1], events[2]), KeyboardExecutor::pressGap);
    EXPECT_GE(between(events[3], events[4]), KeyboardExecutor::pressGap);

    EXPECT_EQ(log.waitFor(2, patience),
              (std::vector<std::string>{"[KEY] W ×3 ← gift", "[KEY] SPACE ×1 ← ทดสอบจาก Agent"}));
    EXPECT_TRUE(poster.heldKeys().empty());
}

TEST_F(KeyboardExecutorTest, RefusesTheHundredFirstUnfinishedCommandUntilOneFinishes) {
    ASSERT_TRUE(executor.enqueue("A", 0, 1, 500, "s"));
    for (int queued = 1; queued < KeyboardExecutor::maxPendingCommands; ++queued)
        ASSERT_TRUE(executor.enqueue("B", 11, 1, 3000, "s")) << queued;
    EXPECT_FALSE(executor.enqueue("C", 8, 1, 20, "s"));

    // A's key-up and then B's key-down: A has finished, so there is room for exactly one more.
    ASSERT_EQ(poster.waitForEvents(3, patience).size(), 3U);
    EXPECT_TRUE(executor.enqueue("C", 8, 1, 20, "s"));
    EXPECT_FALSE(executor.enqueue("C", 8, 1, 20, "s"));

    // After a cancellation the skipped commands drain and the whole limit is available again.
    executor.cancelAll();
    ASSERT_TRUE(enqueueWhenAccepted("D", 2, 20));
    auto keys = keysOf(poster.waitUntil(
        [](const auto& events) { return !events.empty() && events.back().code == 2; }, patience));
    // B's key goes up once or twice: the interrupted press releases it too, and may get there
    // before cancelAll() looks at what is held.
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    EXPECT_EQ(keys, (std::vector<Key>{{0, down}, {0, up}, {11, down}, {11, up}, {2, down}}));
    // D may not quite have finished; a count that leaked would keep the last one out for good,
    // as the first of these holds its key far longer than we wait.
    for (int queued = 0; queued < KeyboardExecutor::maxPendingCommands; ++queued)
        ASSERT_TRUE(enqueueWhenAccepted("E", 14, 60'000)) << queued;
    EXPECT_FALSE(executor.enqueue("E", 14, 1, 60'000, "s"));
}

TEST_F(KeyboardExecutorTest, CancelDuringALongHoldReleasesAtOnceAndSkipsEarlierCommands) {
    ASSERT_TRUE(executor.enqueue("Q", 12, 2, 3000, "first"));
    ASSERT_TRUE(executor.enqueue("R", 15, 1, 3000, "second"));
    ASSERT_EQ(poster.waitForEvents(1, patience).size(), 1U);

    const auto cancelled = std::chrono::steady_clock::now();
    executor.cancelAll();
    // The key-up is posted before cancelAll() returns (the interrupted press may add its own).
    EXPECT_TRUE(poster.heldKeys().empty());
    const auto released = keysOf(poster.events());
    ASSERT_GE(released.size(), 2U);
    EXPECT_EQ(released[1], (Key{12, up}));

    // A command accepted now runs next, long before the interrupted hold would have ended.
    ASSERT_TRUE(executor.enqueue("Z", 6, 1, 20, "after"));
    const auto events = waitForRelease(6);
    std::vector<std::uint16_t> pressed;
    for (const PostedKey& event : events) {
        if (event.direction == down)
            pressed.push_back(event.code);
        else
            EXPECT_TRUE(event.code == 12 || event.code == 6) << event.code;
    }
    EXPECT_EQ(pressed, (std::vector<std::uint16_t>{12, 6}));
    ASSERT_GE(events.size(), 2U);
    EXPECT_LT(events[events.size() - 2].time - cancelled, 1000ms);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[KEY] Q ×2 ← first", "[KEY] Z ×1 ← after"}));
}

TEST_F(KeyboardExecutorTest, NoKeyGoesDownAfterCancelAllHasReturned) {
    poster.holdBackKeyDowns();
    ASSERT_TRUE(executor.enqueue("A", 0, 1, 3000, "s"));
    ASSERT_TRUE(poster.waitForHeldBackKeyDown(patience));

    std::atomic<bool> returned = false;
    std::thread canceller([&] {
        executor.cancelAll();
        returned = true;
    });
    // cancelAll() has to wait for the key-down on its way. Had it not, its key-up would show
    // up here well within this short look.
    poster.waitForEvents(1, 200ms);
    EXPECT_FALSE(returned);
    poster.releaseKeyDowns();
    canceller.join();

    const auto keys = keysOf(poster.events());
    ASSERT_GE(keys.size(), 2U);
    EXPECT_EQ(keys[0], (Key{0, down}));
    EXPECT_EQ(keys[1], (Key{0, up}));
    EXPECT_TRUE(poster.heldKeys().empty());
}

// A stalled display server: cancelAll() hands the key-up over and returns at once; when delivery
// resumes the key comes up, and nothing of the cancelled command goes down.
TEST_F(KeyboardExecutorTest, CancelAllReturnsWhileThePosterStallsAndNoCancelledKeyGoesDown) {
    ASSERT_TRUE(executor.enqueue("Q", 12, 1, 60'000, "first"));
    ASSERT_TRUE(executor.enqueue("R", 15, 2, 20, "second"));
    ASSERT_EQ(poster.waitForEvents(1, patience).size(), 1U);
    poster.stallDelivery();
    executor.cancelAll();
    ASSERT_TRUE(executor.enqueue("Z", 6, 1, 20, "after"));
    EXPECT_EQ(keysOf(poster.events()), (std::vector<Key>{{12, down}}));

    poster.resumeDelivery();
    EXPECT_EQ(keysOf(waitForRelease(6)), presses({12, 6}));
}

TEST_F(KeyboardExecutorTest, AFailedPressEndsOnlyItsOwnCommand) {
    poster.refuseKey(7);
    ASSERT_TRUE(executor.enqueue("A", 0, 1, 20, "s"));
    ASSERT_TRUE(executor.enqueue("X", 7, 3, 20, "s"));
    ASSERT_TRUE(executor.enqueue("S", 1, 1, 20, "s"));

    EXPECT_EQ(log.waitFor(4, patience),
              (std::vector<std::string>{"[KEY] A ×1 ← s", "[KEY] X ×3 ← s", notCreatedLine,
                                        "[KEY] S ×1 ← s"}));
    EXPECT_EQ(keysOf(poster.waitForEvents(4, patience)), presses({0, 1}));
}

TEST_F(KeyboardExecutorTest, WithoutPermissionEveryCommandFailsWithoutPostingAnything) {
    poster.setMayPostEvents(false);
    ASSERT_TRUE(executor.enqueue("A", 0, 2, 20, "s"));
    ASSERT_TRUE(executor.enqueue("B", 11, 1, 20, "s"));
    EXPECT_EQ(log.waitFor(4, patience),
              (std::vector<std::string>{"[KEY] A ×2 ← s", noPermissionLine, "[KEY] B ×1 ← s",
                                        noPermissionLine}));
    EXPECT_TRUE(poster.events().empty());

    poster.setMayPostEvents(true);
    ASSERT_TRUE(executor.enqueue("C", 8, 1, 20, "s"));
    EXPECT_EQ(keysOf(poster.waitForEvents(2, patience)), presses({8}));
}

TEST_F(KeyboardExecutorTest, ZeroPressesOnlyLogAndANegativeHoldReleasesAtOnce) {
    ASSERT_TRUE(executor.enqueue("A", 0, 0, 80, "s"));
    ASSERT_TRUE(executor.enqueue("B", 11, 1, -5, "s"));
    const auto events = poster.waitForEvents(2, patience);
    ASSERT_EQ(keysOf(events), presses({11}));
    EXPECT_LT(between(events[0], events[1]), 1000ms);
    EXPECT_EQ(log.waitFor(2, patience),
              (std::vector<std::string>{"[KEY] A ×0 ← s", "[KEY] B ×1 ← s"}));
}

TEST_F(KeyboardExecutorTest, ARefusedKeyDownEndsItsCommandAndEachRunOfRefusalsIsReportedOnce) {
    LogLines skips;
    executor.setOnSkip([sink = skips.sink()](KeyDestination refusal, const std::string& key) {
        sink(key + (refusal == KeyDestination::noFocusedWindow ? " nowhere" : " elsewhere"));
    });
    constexpr auto elsewhere = KeyDestination::pinnedWindowNotFocused;
    destination.script({KeyDestination::allowed, elsewhere, elsewhere,
                        KeyDestination::noFocusedWindow, KeyDestination::allowed, elsewhere});
    ASSERT_TRUE(executor.enqueue("A", 0, 3, 20, "s")); // the second press is refused
    ASSERT_TRUE(executor.enqueue("B", 11, 1, 20, "s"));
    ASSERT_TRUE(executor.enqueue("C", 8, 1, 20, "s"));
    ASSERT_TRUE(executor.enqueue("D", 2, 1, 20, "s"));
    ASSERT_TRUE(executor.enqueue("E", 14, 1, 20, "s"));

    EXPECT_EQ(skips.waitFor(3, patience),
              (std::vector<std::string>{"A elsewhere", "C nowhere", "E elsewhere"}));
    EXPECT_EQ(keysOf(poster.events()), presses({0, 2}));
    // Only the commands that pressed something read as pressed.
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[KEY] A ×3 ← s", "[KEY] D ×1 ← s"}));
    executor.setOnSkip({}); // before `skips` goes
}

// Also runs without a log sink.
TEST(KeyboardExecutor, DestructionReleasesTheHeldKeyWithoutWaitingForTheHold) {
    RecordingKeyPoster poster;
    auto executor = std::make_unique<KeyboardExecutor>(poster);
    ASSERT_TRUE(executor->enqueue("SHIFT", 56, 5, 3000, "s"));
    ASSERT_TRUE(executor->enqueue("CTRL", 59, 5, 3000, "s"));
    ASSERT_EQ(poster.waitForEvents(1, patience).size(), 1U);

    const auto started = std::chrono::steady_clock::now();
    executor.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1000ms);
    EXPECT_TRUE(poster.heldKeys().empty());
    for (const PostedKey& event : poster.events())
        EXPECT_EQ(event.code, 56);
}

// Mostly for ThreadSanitizer: callers on several threads while the worker presses.
TEST_F(KeyboardExecutorTest, ConcurrentCallersLeaveNoKeyHeld) {
    std::atomic<int> accepted = 0;
    std::vector<std::thread> callers;
    for (int caller = 0; caller < 4; ++caller) {
        callers.emplace_back([&, caller] {
            for (int round = 0; round < 100; ++round) {
                const auto code = static_cast<std::uint16_t>(caller * 10 + round % 10);
                if (executor.enqueue("K", code, 2, round % 3, "thread"))
                    ++accepted;
                if (round % 25 == caller)
                    executor.cancelAll();
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_GT(accepted.load(), 0);

    // Commands run in order, so once the one accepted last has run, all others have ended.
    ASSERT_TRUE(enqueueWhenAccepted("END", 99, 0));
    const auto events = waitForRelease(99);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().code, 99);
    EXPECT_TRUE(poster.heldKeys().empty());
}

} // namespace
