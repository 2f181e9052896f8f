// The pin to a game window and the stop key on private Xvfb servers, with and without a window
// manager, the agent's part played as the agent plays it.
#include "keyboard/keyboard_executor.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "platform/linux/x11/x11_stop_key.h"
#include "platform/linux/x11/x11_window_focus.h"
#include "support/wait.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using namespace vindaro;
using namespace vindaro::test;
using Skip = std::pair<KeyDestination, std::string>;

namespace {

// Windows of a program that is not this one; this process plays the agent.
const auto otherProgram = static_cast<unsigned long>(getppid());

// Mac key codes of W, A and D.
constexpr std::uint16_t keyW = 13;
constexpr std::uint16_t keyA = 0;
constexpr std::uint16_t keyD = 2;

std::size_t count(const std::vector<RecordedKey>& keys, const std::string& keysymName,
                  bool pressed) {
    return static_cast<std::size_t>(std::ranges::count_if(keys, [&](const RecordedKey& key) {
        return key.pressed == pressed && key.keysym == XKeyRecorder::keysym(keysymName);
    }));
}

// Without a window manager first (the focus follows the pointer), then openbox on the same
// windows: chat, the game's other window and chat take the focus during holds; the game closes.
TEST(WindowFocusTest, OnlyThePinnedWindowGetsKeysUntilItClosesAndPauseStopsWithAndWithoutAWM) {
    XvfbServer server;
    XKeyRecorder recorder(server.displayName());
    X11WindowFocus focus(server.displayName());
    XTestKeyPoster poster(server.displayName());
    ASSERT_TRUE(eventually([&] { return poster.mayPostEvents(); }));
    KeyboardExecutor executor(poster, &focus);
    std::mutex mutex;
    std::vector<Skip> skipped;
    executor.setOnSkip([&](KeyDestination refusal, const std::string& key) {
        std::scoped_lock lock(mutex);
        skipped.emplace_back(refusal, key);
    });
    const auto skips = [&] {
        std::scoped_lock lock(mutex);
        return skipped;
    };
    QString pinnedTitle;
    bool timedOut = false;
    bool closed = false;
    focus.observe({.pinned = [&](const QString& title) { pinnedTitle = title; },
                   .pinTimedOut = [&] { timedOut = true; },
                   .pinnedWindowClosed = [&] { closed = true; },
                   .focusLeftPinnedWindow = [&] { executor.cancelAll(); }});
    // Unhooked before the executor or the focus goes, however the test ends.
    const std::shared_ptr<void> unhook(nullptr, [&](void*) { focus.observe({}); });

    const auto pin = [&](const std::function<void()>& giveFocus, const QString& title) {
        pinnedTitle.clear();
        focus.pinNextFocusedWindow(10s);
        giveFocus();
        ASSERT_TRUE(eventually([&] { return !pinnedTitle.isEmpty(); }));
        EXPECT_EQ(pinnedTitle, title);
    };
    // W held for 3 s in `game` comes up at once when `moveFocus` moves the focus away.

    const auto holdWhileTheFocusMoves = [&](TestWindow game,
                                            const std::function<void()>& moveFocus) {
        const std::size_t pressed = count(recorder.keysAt(game), "w", true);
        const std::size_t releases = count(recorder.events(), "w", false);
        ASSERT_TRUE(executor.enqueue("W", keyW, 1, 3000, "gift"));
        ASSERT_TRUE(eventually([&] { return count(recorder.keysAt(game), "w", true) > pressed; }));
        const auto moved = std::chrono::steady_clock::now();
        moveFocus();
        const auto keys = recorder.waitUntil(
            [&](const auto& events) { return count(events, "w", false) > releases; }, patience);
        ASSERT_GT(count(keys, "w", false), releases);
        EXPECT_LT(keys.back().receivedAt - moved, 1000ms);
    };
    // A short press is refused and never reaches the server.
    const auto expectRefused = [&](const std::string& key, std::uint16_t code) {
        const std::size_t before = skips().size();
        ASSERT_TRUE(executor.enqueue(key, code, 1, 20, "chat"));
        ASSERT_TRUE(eventually([&] { return skips().size() > before; }));
    };
    const TestWindow game = recorder.createWindow("เกม ทดสอบ", "game", otherProgram);
    const TestWindow chat = recorder.createWindow("chat", "chat", otherProgram);

    // Nothing pinned and only the bare desktop under the pointer: no window can take keys.
    recorder.movePointerTo(0);
    EXPECT_EQ(focus.beforeKeyDown(), KeyDestination::noFocusedWindow);
    expectRefused("W", keyW);
    // Nor when the server does not say in time which window has the focus.
    recorder.movePointerTo(chat);
    server.suspend();
    EXPECT_EQ(focus.beforeKeyDown(), KeyDestination::noFocusedWindow);
    server.resume();
    recorder.movePointerTo(0);
    pin([&] { recorder.movePointerTo(game); }, QStringLiteral("เกม ทดสอบ"));
    holdWhileTheFocusMoves(game, [&] { recorder.movePointerTo(chat); });
    expectRefused("A", keyA);
    recorder.movePointerTo(game);
    ASSERT_TRUE(executor.enqueue("D", keyD, 1, 20, "gift"));
    ASSERT_TRUE(eventually([&] { return count(recorder.keysAt(game), "d", false) == 1; }));
    focus.unpin();

    server.startWindowManager();
    const TestWindow agent =
        recorder.createWindow("agent", "agent", static_cast<unsigned long>(getpid()));
    const TestWindow twin = recorder.createWindow("game 2", "game", otherProgram);
    // The agent's own window is never pinned, however long it keeps the focus, and a viewer's
    // key never goes into it.
    recorder.focus(agent);
    expectRefused("W", keyW);
    pinnedTitle.clear();
    focus.pinNextFocusedWindow(300ms);
    ASSERT_TRUE(eventually([&] { return timedOut; }));
    EXPECT_TRUE(pinnedTitle.isEmpty());
    // Pinned from the agent's window, where the pin button is.
    pin([&] { recorder.focus(game); }, QStringLiteral("เกม ทดสอบ"));
    for (const TestWindow other : {chat, twin, chat}) {
        holdWhileTheFocusMoves(game, [&] { recorder.focus(other); });
        expectRefused("A", keyA);
        recorder.focus(game);
    }
    // Another program's keyboard grab (a launcher) takes the keys; the game's own grab does not.
    const TestWindow launcher = recorder.createWindow("launcher", "launcher", otherProgram);
    holdWhileTheFocusMoves(game, [&] { ASSERT_TRUE(recorder.grabKeyboard(launcher)); });
    expectRefused("A", keyA);
    ASSERT_TRUE(recorder.grabKeyboard(game)); // taken over by the game itself
    // Still armed: back in the game, the next command goes through.
    ASSERT_TRUE(executor.enqueue("D", keyD, 1, 20, "gift"));
    ASSERT_TRUE(eventually([&] { return count(recorder.keysAt(game), "d", false) == 2; }));
    recorder.grabKeyboard(0); // the game lets go of the keyboard

    holdWhileTheFocusMoves(game, [&] { recorder.destroy(game); });
    ASSERT_TRUE(eventually([&] { return closed; }));
    EXPECT_EQ(focus.beforeKeyDown(), KeyDestination::pinnedWindowClosed);
    // The window manager hands the focus to another window, which still gets nothing.
    expectRefused("A", keyA);
    EXPECT_EQ(count(recorder.events(), "a", true), 0U);
    std::vector<Skip> expected(7, {KeyDestination::pinnedWindowNotFocused, "A"});
    expected[0] = {KeyDestination::noFocusedWindow, "W"};
    expected[2] = {KeyDestination::agentWindowFocused, "W"};
    expected.push_back({KeyDestination::pinnedWindowClosed, "A"});
    EXPECT_EQ(skips(), expected);

    // Unpinned, keys go wherever the focus is again.
    focus.unpin();
    recorder.focus(chat);
    ASSERT_TRUE(executor.enqueue("A", keyA, 1, 20, "chat"));
    ASSERT_TRUE(eventually([&] { return count(recorder.keysAt(chat), "a", false) == 1; }));
    EXPECT_TRUE(recorder.keysDown().empty());
}

// Pause, held past its repeat, stops once; the game gets the key-up of SPACE, not just a focus
// change: with the focus following the pointer, with the game's grab, and under openbox.
TEST(StopKeyTest, EveryKeyComesUpInTheWindowThatHadItDownSoonAfterPause) {
    XvfbServer server;
    XKeyRecorder recorder(server.displayName());
    XTestKeyPoster poster(server.displayName());
    ASSERT_TRUE(eventually([&] { return poster.mayPostEvents(); }));
    KeyboardExecutor executor(poster);
    X11StopKey stopKey(server.displayName());
    ASSERT_EQ(stopKey.state(), StopKey::State::ready);
    int presses = 0;
    stopKey.observe([&] {
        ++presses;
        executor.cancelAll();
    });
    const auto holdSpaceAndPause = [&](bool gameGrabs, const std::function<void(TestWindow)>& use) {
        const TestWindow game = recorder.createWindow("game", "game", otherProgram);
        use(game);
        ASSERT_TRUE(executor.enqueue("SPACE", 49, 1, 3000, "gift"));
        ASSERT_TRUE(eventually([&] { return count(recorder.keysAt(game), "space", true) == 1; }));
        recorder.typeKey("Pause", true); // held on while the keys come up
        const bool released =
            eventually([&] { return count(recorder.keysAt(game), "space", false) == 1; }, 5s);
        const auto seen = recorder.events();
        const std::uint32_t spaceUp = recorder.keysAt(game).back().serverTime;
        const auto pause = std::find_if(seen.rbegin(), seen.rend(), [](const RecordedKey& key) {
            return key.pressed && key.keysym == XKeyRecorder::keysym("Pause");
        });
        std::this_thread::sleep_for(900ms); // the server's first repeat comes after 660 ms
        recorder.typeKey("Pause", false);
        recorder.destroy(game); // and with it the game's grab
        ASSERT_TRUE(released && pause != seen.rend());
        EXPECT_LE(spaceUp - pause->serverTime, 150U);
        EXPECT_EQ(count(recorder.keysAt(game), "Pause", true) > 0, gameGrabs);
    };
    holdSpaceAndPause(false, [&](TestWindow game) { recorder.movePointerTo(game); });
    holdSpaceAndPause(true, [&](TestWindow game) {
        recorder.movePointerTo(game);
        ASSERT_TRUE(recorder.grabKeyboard(game));
    });
    server.startWindowManager();
    holdSpaceAndPause(false, [&](TestWindow game) { recorder.focus(game); });
    EXPECT_EQ(presses, 3);
}

TEST(WindowFocusWithoutServer, CannotPinRefusesKeysAndAsksForAShortcutForPause) {
    X11WindowFocus focus(":9999");
    bool timedOut = false;
    focus.observe({{}, [&] { timedOut = true; }, {}, {}});
    ASSERT_TRUE(eventually([&] { return !focus.canPin(); }));
    focus.pinNextFocusedWindow(10s);
    EXPECT_TRUE(eventually([&] { return timedOut; }));
    EXPECT_EQ(focus.beforeKeyDown(), KeyDestination::noFocusedWindow);
    EXPECT_EQ(X11StopKey(":9999").state(), StopKey::State::needsDesktopShortcut);
}

} // namespace
