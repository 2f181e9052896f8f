// Real key posting into a private Xvfb, watched by a second X client that records what the server
// delivers.
#include "keyboard/key_map.h"
#include "keyboard/keyboard_executor.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "support/wait.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <map>

using namespace std::chrono_literals;
using vindaro::KeyboardExecutor;
using vindaro::KeyDirection;
using vindaro::XTestKeyPoster;
using vindaro::test::eventually;
using vindaro::test::patience;
using vindaro::test::RecordedKey;
using vindaro::test::XKeyRecorder;
using vindaro::test::XvfbServer;

namespace {

// What an X keyboard types for each key name, worked out from the name rather than the code.
std::string keysymNameFor(const std::string& keyName) {
    static const std::map<std::string, std::string> named = {{"SPACE", "space"},
                                                             {"ENTER", "Return"},
                                                             {"TAB", "Tab"},
                                                             {"ESC", "Escape"},
                                                             {"UP", "Up"},
                                                             {"DOWN", "Down"},
                                                             {"LEFT", "Left"},
                                                             {"RIGHT", "Right"},
                                                             {"SHIFT", "Shift_L"},
                                                             {"CTRL", "Control_L"},
                                                             {"BACKSPACE", "BackSpace"}};
    if (const auto found = named.find(keyName); found != named.end())
        return found->second;
    if (keyName.size() == 1) // letters type in lower case without Shift
        return std::string(1, static_cast<char>(std::tolower(keyName[0])));
    return keyName; // F1 ... F12
}

std::string describe(const std::vector<RecordedKey>& events) {
    std::string text;
    for (const RecordedKey& event : events)
        text += (event.pressed ? "+" : "-") + XKeyRecorder::keysymName(event.keysym) + "@" +
                std::to_string(event.serverTime) + " ";
    return text;
}

class XTestKeyPosterTest : public ::testing::Test {
protected:
    // The poster opens its display in the background.
    void SetUp() override {
        ASSERT_TRUE(eventually([&] { return poster.mayPostEvents(); }));
    }

    XvfbServer server;
    XKeyRecorder recorder{server.displayName()};
    XTestKeyPoster poster{server.displayName()};
};

} // namespace

TEST_F(XTestKeyPosterTest, EveryKeyOfTheMapArrivesAsItsKeysym) {
    const auto keys = vindaro::KeyMap::values();
    for (const auto& key : keys) {
        EXPECT_TRUE(poster.postKey(key.code, KeyDirection::down)) << key.name;
        EXPECT_TRUE(poster.postKey(key.code, KeyDirection::up)) << key.name;
    }
    const auto events = recorder.waitForEvents(2 * keys.size(), patience);
    ASSERT_EQ(events.size(), 2 * keys.size()) << describe(events);
    for (std::size_t index = 0; index < keys.size(); ++index) {
        const std::string expected = keysymNameFor(keys[index].name);
        EXPECT_EQ(XKeyRecorder::keysymName(events[2 * index].keysym), expected);
        EXPECT_TRUE(events[2 * index].pressed && !events[2 * index + 1].pressed) << expected;
        EXPECT_EQ(events[2 * index + 1].keysym, events[2 * index].keysym) << expected;
    }
    EXPECT_TRUE(recorder.keysDown().empty());
}

TEST_F(XTestKeyPosterTest, PressesArriveWithFullHoldsAndGapsAndNoneIsDownOnceCancelAllReturns) {
    KeyboardExecutor executor(poster);
    ASSERT_TRUE(executor.enqueue("W", 13, 3, 80, "test"));
    const auto events = recorder.waitForEvents(6, patience);
    ASSERT_EQ(events.size(), 6U) << describe(events);
    for (std::size_t press = 0; press < 3; ++press)
        EXPECT_GE(events[2 * press + 1].serverTime - events[2 * press].serverTime, 80U)
            << describe(events);
    for (std::size_t gap = 0; gap < 2; ++gap)
        EXPECT_GE(events[2 * gap + 2].serverTime - events[2 * gap + 1].serverTime, 35U)
            << describe(events);

    ASSERT_TRUE(executor.enqueue("SHIFT", 56, 2, 60'000, "test"));
    ASSERT_EQ(recorder.waitForEvents(7, patience).size(), 7U);
    EXPECT_EQ(recorder.keysDown().size(), 1U);
    executor.cancelAll();
    EXPECT_TRUE(eventually([&] { return recorder.keysDown().empty(); }));
}

// The key's place counts, not what the layout types there.
TEST_F(XTestKeyPosterTest, AKeyIsPressedAtItsPlaceEvenWhenTheKeyboardTypesNothingThere) {
    ASSERT_TRUE(poster.postKey(111, KeyDirection::down));
    ASSERT_TRUE(poster.postKey(111, KeyDirection::up));
    recorder.removeKeysym("F12");
    EXPECT_TRUE(poster.postKey(111, KeyDirection::down));
    EXPECT_TRUE(poster.postKey(111, KeyDirection::up));
    const auto events = recorder.waitForEvents(4, patience);
    ASSERT_EQ(events.size(), 4U) << describe(events);
    EXPECT_EQ(events[2].keycode, events[0].keycode);
}

// A screen locker or a game may grab the X server; the keys still get through, and a key
// already down can still come up.
TEST_F(XTestKeyPosterTest, KeysGetThroughWhileAnotherClientHoldsAServerGrab) {
    // Connected and with the keyboard's layout read before the grab, as after any first key.
    ASSERT_TRUE(poster.postKey(0, KeyDirection::down));
    recorder.grabServer(true);
    EXPECT_TRUE(poster.postKey(0, KeyDirection::up));
    EXPECT_TRUE(poster.postKey(0, KeyDirection::down));
    recorder.grabServer(false);
    EXPECT_TRUE(poster.postKey(0, KeyDirection::up));
    EXPECT_EQ(recorder.waitForEvents(4, patience).size(), 4U);
}

TEST(XTestKeyPoster, WithoutXTestNothingMayBePosted) {
    XvfbServer server({"-extension", "XTEST"});
    XTestKeyPoster poster(server.displayName());
    EXPECT_FALSE(poster.mayPostEvents());
    EXPECT_FALSE(poster.postKey(0, KeyDirection::down));
}

// Xlib ends the process when a connection breaks, unless the poster keeps it from doing so.
TEST(XTestKeyPoster, ALostServerFailsThePressInsteadOfHangingOrEndingTheProcess) {
    XvfbServer server;
    auto recorder = std::make_unique<XKeyRecorder>(server.displayName());
    XTestKeyPoster poster(server.displayName());
    ASSERT_TRUE(poster.postKey(0, KeyDirection::down));
    ASSERT_EQ(recorder->waitForEvents(1, patience).size(), 1U);
    std::atomic<bool> toldLost = false;
    poster.setPermissionHandler([&](bool mayPost) { toldLost = !mayPost; });

    recorder.reset(); // the recorder's own connection would end the process
    server.stop();
    EXPECT_TRUE(eventually([&] { return toldLost.load(); }));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(poster.postKey(0, KeyDirection::up));
    EXPECT_LT(std::chrono::steady_clock::now() - started, XTestKeyPoster::confirmationTimeout + 4s);
    EXPECT_FALSE(poster.mayPostEvents());
}
