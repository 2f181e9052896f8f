// The pin to a game window, seen from the windows of a recording X client: which window the
// keys reach while the focus moves, with openbox and without a window manager. The agent's part
// in it is played as the agent plays it: the keyboard executor asks before every key-down, and
// the focus leaving the pinned window cancels everything.
#include "keyboard/keyboard_executor.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "platform/linux/x11/x11_window_focus.h"
#include "support/wait.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <QTest>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using vindaro::KeyboardExecutor;
using vindaro::KeyDestination;
using vindaro::X11WindowFocus;
using vindaro::XTestKeyPoster;
using vindaro::test::eventually;
using vindaro::test::patience;
using vindaro::test::RecordedKey;
using vindaro::test::TestWindow;
using vindaro::test::XKeyRecorder;
using vindaro::test::XvfbServer;
using Clock = std::chrono::steady_clock;
using Skip = std::pair<KeyDestination, std::string>;

namespace {

// Windows of a program that is not this one; this process plays the agent.
const auto otherProgram = static_cast<unsigned long>(getppid());

// Mac key codes of W, A and D.
constexpr std::uint16_t keyW = 13;
constexpr std::uint16_t keyA = 0;
constexpr std::uint16_t keyD = 2;

// Well under the 3000 ms hold, so a release in time cannot be the hold ending by itself.
constexpr auto releaseMargin = 1000ms;

std::size_t count(const std::vector<RecordedKey>& keys, const std::string& keysymName,
                  bool pressed) {
    return static_cast<std::size_t>(std::ranges::count_if(keys, [&](const RecordedKey& key) {
        return key.pressed == pressed && key.keysym == XKeyRecorder::keysym(keysymName);
    }));
}

class WindowFocusTest : public ::testing::Test {
protected:
    void TearDown() override {
        // The focus handler uses the executor, and the executor the focus: unhook, then let go.
        if (focus)
            focus->observe({});
        executor.reset();
    }

    void start(bool windowManager) {
        if (windowManager)
            server.startWindowManager();
        recorder.emplace(server.displayName());
        if (windowManager)
            agent = recorder->createWindow("agent", "agent", static_cast<unsigned long>(getpid()));
        focus = std::make_unique<X11WindowFocus>(server.displayName());
        poster = std::make_unique<XTestKeyPoster>(server.displayName());
        // The poster opens its display on a thread of its own.
        ASSERT_TRUE(eventually([&] { return poster->mayPostEvents(); }));
        executor = std::make_unique<KeyboardExecutor>(*poster, focus.get());
        executor->setOnSkip([this](KeyDestination refusal, const std::string& key) {
            std::scoped_lock lock(mutex);
            skipped.emplace_back(refusal, key);
        });
        focus->observe({.pinned = [this](const QString& title) { pinnedTitle = title; },
                        .pinTimedOut = [this] { timedOut = true; },
                        .pinnedWindowClosed = [this] { closed = true; },
                        .focusLeftPinnedWindow =
                            [this] {
                                executor->cancelAll();
                                ++focusLeft;
                            }});
    }

    // Pins the window that `giveFocus` hands the focus to, after the pin button in the agent's
    // window (where there is a window manager to give it the focus) was pressed.
    void pin(const std::function<void()>& giveFocus, const QString& title) {
        if (agent)
            recorder->focus(*agent);
        pinnedTitle.clear();
        focus->pinNextFocusedWindow(10s);
        giveFocus();
        ASSERT_TRUE(eventually([&] { return !pinnedTitle.isEmpty(); }));
        EXPECT_EQ(pinnedTitle, title);
    }

    std::vector<Skip> skips() {
        std::scoped_lock lock(mutex);
        return skipped;
    }

    // Holds W for 3000 ms in `game`, moves the focus away with `moveFocus` and checks that W
    // came up at once, however often that happened before.
    void holdWhileTheFocusMoves(TestWindow game, const std::function<void()>& moveFocus) {
        const std::size_t pressed = count(recorder->keysAt(game), "w", true);
        const std::size_t releases = count(recorder->events(), "w", false);
        ASSERT_TRUE(executor->enqueue("W", keyW, 1, 3000, "gift"));
        ASSERT_TRUE(eventually([&] { return count(recorder->keysAt(game), "w", true) > pressed; }));
        const auto moved = Clock::now();
        moveFocus();
        const auto keys = recorder->waitUntil(
            [&](const auto& events) { return count(events, "w", false) > releases; }, patience);
        ASSERT_GT(count(keys, "w", false), releases);
        const auto released = std::ranges::find_if(keys.rbegin(), keys.rend(), [](const auto& key) {
            return !key.pressed && key.keysym == XKeyRecorder::keysym("w");
        });
        EXPECT_LT(released->receivedAt - moved, releaseMargin);
    }

    XvfbServer server;
    std::optional<XKeyRecorder> recorder;
    std::optional<TestWindow> agent;
    std::unique_ptr<X11WindowFocus> focus;
    std::unique_ptr<XTestKeyPoster> poster;
    std::unique_ptr<KeyboardExecutor> executor;

    QString pinnedTitle;
    bool timedOut = false;
    bool closed = false;
    std::atomic<int> focusLeft = 0;
    std::mutex mutex;
    std::vector<Skip> skipped;
};

TEST_F(WindowFocusTest, FocusFlippingToChatDuringAHoldReleasesTheKeyAndKeepsChatFree) {
    start(true);
    const TestWindow game = recorder->createWindow("เกม ทดสอบ", "game", otherProgram);
    const TestWindow chat = recorder->createWindow("chat", "chat", otherProgram);

    // The agent's own window is never pinned, however long it keeps the focus.
    recorder->focus(*agent);
    focus->pinNextFocusedWindow(300ms);
    ASSERT_TRUE(eventually([&] { return timedOut; }));
    EXPECT_TRUE(pinnedTitle.isEmpty());

    pin([&] { recorder->focus(game); }, QStringLiteral("เกม ทดสอบ"));
    for (std::size_t flip = 1; flip <= 2; ++flip) {
        holdWhileTheFocusMoves(game, [&] { recorder->focus(chat); });
        ASSERT_TRUE(executor->enqueue("A", keyA, 1, 20, "chat"));
        ASSERT_TRUE(eventually([&] { return skips().size() == flip; }));
        recorder->focus(game);
    }
    // Still armed: back in the game, the next command goes through.
    ASSERT_TRUE(executor->enqueue("D", keyD, 1, 20, "gift"));
    ASSERT_TRUE(eventually([&] { return count(recorder->keysAt(game), "d", false) == 1; }));

    EXPECT_EQ(count(recorder->keysAt(chat), "w", true) + count(recorder->keysAt(chat), "a", true),
              0U);
    EXPECT_EQ(count(recorder->events(), "a", true), 0U);
    const Skip notFocused{KeyDestination::pinnedWindowNotFocused, "A"};
    EXPECT_EQ(skips(), (std::vector<Skip>{notFocused, notFocused}));
    EXPECT_TRUE(recorder->keysDown().empty());
}

TEST_F(WindowFocusTest, PinnedWindowClosedMidHoldReleasesTheKeyAndRefusesUntilUnpinned) {
    start(true);
    const TestWindow game = recorder->createWindow("game", "game", otherProgram);
    const TestWindow chat = recorder->createWindow("chat", "chat", otherProgram);
    pin([&] { recorder->focus(game); }, QStringLiteral("game"));

    holdWhileTheFocusMoves(game, [&] { recorder->destroy(game); });
    ASSERT_TRUE(eventually([&] { return closed; }));
    EXPECT_EQ(focus->beforeKeyDown(), KeyDestination::pinnedWindowClosed);
    // The window manager hands the focus to another window, which still gets nothing.
    ASSERT_TRUE(executor->enqueue("A", keyA, 1, 20, "chat"));
    ASSERT_TRUE(eventually([&] { return !skips().empty(); }));
    EXPECT_EQ(skips(), (std::vector<Skip>{{KeyDestination::pinnedWindowClosed, "A"}}));
    EXPECT_EQ(count(recorder->events(), "a", true), 0U);

    // Unpinned, keys go wherever the focus is again.
    focus->unpin();
    recorder->focus(chat);
    ASSERT_TRUE(executor->enqueue("A", keyA, 1, 20, "chat"));
    ASSERT_TRUE(eventually([&] { return count(recorder->keysAt(chat), "a", false) == 1; }));
    EXPECT_TRUE(recorder->keysDown().empty());
}

TEST_F(WindowFocusTest, TwoWindowsOfTheSameProgramAreToldApart) {
    start(true);
    const TestWindow first = recorder->createWindow("game 1", "game", otherProgram);
    const TestWindow second = recorder->createWindow("game 2", "game", otherProgram);
    pin([&] { recorder->focus(first); }, QStringLiteral("game 1"));

    recorder->focus(second);
    // What was queued before the focus moved is dropped; what comes after is refused.
    ASSERT_TRUE(eventually([&] { return focusLeft == 1; }));
    ASSERT_TRUE(executor->enqueue("W", keyW, 1, 20, "gift"));
    ASSERT_TRUE(eventually([&] { return !skips().empty(); }));
    recorder->focus(first);
    ASSERT_TRUE(executor->enqueue("W", keyW, 1, 20, "gift"));
    ASSERT_TRUE(eventually([&] { return count(recorder->keysAt(first), "w", false) == 1; }));

    EXPECT_EQ(count(recorder->keysAt(second), "w", true), 0U);
    EXPECT_EQ(skips(), (std::vector<Skip>{{KeyDestination::pinnedWindowNotFocused, "W"}}));
}

// Without a window manager the focus is PointerRoot: keys go to the window under the pointer.
TEST_F(WindowFocusTest, WithoutAWindowManagerTheWindowUnderThePointerCounts) {
    start(false);
    const TestWindow game = recorder->createWindow("game", "game", otherProgram);
    const TestWindow chat = recorder->createWindow("chat", "chat", otherProgram);

    // Nothing pinned and only the bare desktop under the pointer: no window can take keys.
    recorder->movePointerTo(0);
    EXPECT_EQ(focus->beforeKeyDown(), KeyDestination::noFocusedWindow);
    ASSERT_TRUE(executor->enqueue("W", keyW, 1, 20, "gift"));
    ASSERT_TRUE(eventually([&] { return !skips().empty(); }));

    pin([&] { recorder->movePointerTo(game); }, QStringLiteral("game"));
    holdWhileTheFocusMoves(game, [&] { recorder->movePointerTo(chat); });
    ASSERT_TRUE(executor->enqueue("A", keyA, 1, 20, "chat"));
    ASSERT_TRUE(eventually([&] { return skips().size() == 2; }));
    recorder->movePointerTo(game);
    ASSERT_TRUE(executor->enqueue("D", keyD, 1, 20, "gift"));
    ASSERT_TRUE(eventually([&] { return count(recorder->keysAt(game), "d", false) == 1; }));

    EXPECT_EQ(count(recorder->keysAt(chat), "a", true), 0U);
    EXPECT_EQ(skips(), (std::vector<Skip>{{KeyDestination::noFocusedWindow, "W"},
                                          {KeyDestination::pinnedWindowNotFocused, "A"}}));
    EXPECT_TRUE(recorder->keysDown().empty());
}

TEST(WindowFocusWithoutServer, CannotPinAndLetsKeysThrough) {
    X11WindowFocus focus(":9999");
    bool timedOut = false;
    X11WindowFocus::Handlers handlers;
    handlers.pinTimedOut = [&] { timedOut = true; };
    focus.observe(handlers);
    ASSERT_TRUE(eventually([&] { return !focus.canPin(); }));
    focus.pinNextFocusedWindow(10s);
    EXPECT_TRUE(eventually([&] { return timedOut; }));
    EXPECT_EQ(focus.beforeKeyDown(), KeyDestination::allowed);
}

} // namespace
