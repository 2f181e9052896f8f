// Pause pressed on a private Xvfb through XTest, as a keyboard would, while other programs hold
// the key or the whole keyboard; counted where the agent acts on it, on the main thread.
#include "platform/linux/x11/x11_stop_key.h"
#include "support/wait.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <QTest>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using vindaro::StopKey;
using vindaro::X11StopKey;
using vindaro::test::eventually;
using vindaro::test::patience;
using vindaro::test::TestWindow;
using vindaro::test::XKeyRecorder;
using vindaro::test::XvfbServer;

namespace {

class StopKeyTest : public ::testing::Test {
protected:
    void tap() {
        recorder.typeKey("Pause", true);
        recorder.typeKey("Pause", false);
    }

    XvfbServer server;
    XKeyRecorder recorder{server.displayName()};
    int presses = 0;
};

TEST_F(StopKeyTest, EachPressStopsOnceAlsoWhileAGameHoldsTheKeyboard) {
    X11StopKey stopKey(server.displayName());
    EXPECT_EQ(stopKey.state(), StopKey::State::ready);
    stopKey.observe([this] { ++presses; });

    // Held until the server repeats it, and heard through both the grab and the raw events.
    recorder.typeKey("Pause", true);
    ASSERT_TRUE(eventually([&] { return presses == 1; }));
    std::this_thread::sleep_for(900ms); // the server's first repeat comes after 660 ms
    recorder.typeKey("Pause", false);

    // A full-screen game takes the whole keyboard; the grab on Pause no longer fires.
    const TestWindow game =
        recorder.createWindow("game", "game", static_cast<unsigned long>(getppid()));
    ASSERT_TRUE(recorder.grabKeyboard(game));
    tap();
    ASSERT_TRUE(eventually([&] { return presses >= 2; }));
    // Anything the held press had counted twice would have arrived before this press.
    EXPECT_EQ(presses, 2);
}

TEST_F(StopKeyTest, PauseHeldByAnotherProgramIsReportedAndStillHeard) {
    recorder.grabKey("Pause");
    X11StopKey stopKey(server.displayName());
    EXPECT_EQ(stopKey.state(), StopKey::State::takenByAnotherProgram);
    stopKey.observe([this] { ++presses; });
    tap();
    EXPECT_TRUE(eventually([&] { return presses == 1; }));
}

TEST(StopKeyWithoutServer, AsksForADesktopShortcut) {
    const X11StopKey stopKey(":9999");
    EXPECT_EQ(stopKey.state(), StopKey::State::needsDesktopShortcut);
}

} // namespace
