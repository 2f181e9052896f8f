#include "keyboard/key_map.h"
#include "keyboard/keyboard_executor.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "support/log_lines.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using vindaro::KeyboardExecutor;
using vindaro::KeyDirection;
using vindaro::XTestKeyPoster;
using vindaro::test::LogLines;
using vindaro::test::noPermissionLine;
using vindaro::test::notCreatedLine;
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
    XvfbServer server;
    XKeyRecorder recorder{server.displayName()};
    XTestKeyPoster poster{server.displayName()};
    LogLines log;
};

TEST_F(XTestKeyPosterTest, ThreePressesArriveWithFullHoldsAndGaps) {
    KeyboardExecutor executor(poster);
    executor.setOnLog(log.sink());
    ASSERT_TRUE(executor.enqueue("W", 13, 3, 80, "test"));

    const auto events = recorder.waitForEvents(6, patience);
    ASSERT_EQ(events.size(), 6U) << describe(events);
    for (std::size_t index = 0; index < events.size(); ++index) {
        EXPECT_EQ(events[index].keysym, XKeyRecorder::keysym("w")) << describe(events);
        EXPECT_EQ(events[index].pressed, index % 2 == 0) << describe(events);
    }
    for (std::size_t press = 0; press < 3; ++press)
        EXPECT_GE(events[2 * press + 1].serverTime - events[2 * press].serverTime, 80U)
            << describe(events);
    for (std::size_t gap = 0; gap < 2; ++gap)
        EXPECT_GE(events[2 * gap + 2].serverTime - events[2 * gap + 1].serverTime, 35U)
            << describe(events);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[KEY] W ×3 ← test"});
}

TEST_F(XTestKeyPosterTest, EveryKeyOfTheMapArrivesAsItsKeysym) {
    ASSERT_TRUE(poster.mayPostEvents());
    const auto keys = vindaro::KeyMap::values();
    for (const auto& key : keys) {
        EXPECT_TRUE(poster.postKey(key.code, KeyDirection::down)) << key.name;
        EXPECT_TRUE(poster.postKey(key.code, KeyDirection::up)) << key.name;
    }

    const auto events = recorder.waitForEvents(2 * keys.size(), patience);
    ASSERT_EQ(events.size(), 2 * keys.size()) << describe(events);
    for (std::size_t index = 0; index < keys.size(); ++index) {
        const unsigned long expected = XKeyRecorder::keysym(keysymNameFor(keys[index].name));
        ASSERT_NE(expected, 0U) << keys[index].name;
        EXPECT_EQ(XKeyRecorder::keysymName(events[2 * index].keysym),
                  XKeyRecorder::keysymName(expected))
            << keys[index].name;
        EXPECT_TRUE(events[2 * index].pressed) << keys[index].name;
        EXPECT_EQ(events[2 * index + 1].keysym, expected) << keys[index].name;
        EXPECT_FALSE(events[2 * index + 1].pressed) << keys[index].name;
    }
    EXPECT_TRUE(recorder.keysDown().empty());
}

TEST_F(XTestKeyPosterTest, NoKeyIsDownOnceCancelAllReturns) {
    KeyboardExecutor executor(poster);
    ASSERT_TRUE(executor.enqueue("SHIFT", 56, 2, 3000, "test"));
    const auto pressed = recorder.waitForEvents(1, patience);
    ASSERT_EQ(pressed.size(), 1U);
    EXPECT_EQ(recorder.keysDown(), std::vector<unsigned>{pressed[0].keycode});

    executor.cancelAll();
    EXPECT_TRUE(recorder.keysDown().empty());
    const auto released = recorder.waitForEvents(2, patience);
    ASSERT_GE(released.size(), 2U);
    EXPECT_FALSE(released[1].pressed);
    EXPECT_LT(released[1].serverTime - released[0].serverTime, 1000U);
}

TEST_F(XTestKeyPosterTest, AKeyTheKeyboardCannotTypeFailsOnlyItsPress) {
    recorder.removeKeysym("F12");
    KeyboardExecutor executor(poster);
    executor.setOnLog(log.sink());
    ASSERT_TRUE(executor.enqueue("F12", 111, 2, 20, "test"));
    ASSERT_TRUE(executor.enqueue("A", 0, 1, 20, "test"));

    EXPECT_EQ(
        log.waitFor(3, patience),
        (std::vector<std::string>{"[KEY] F12 ×2 ← test", notCreatedLine, "[KEY] A ×1 ← test"}));
    const auto events = recorder.waitForEvents(2, patience);
    ASSERT_EQ(events.size(), 2U) << describe(events);
    EXPECT_EQ(events[0].keysym, XKeyRecorder::keysym("a"));
}

TEST(XTestKeyPoster, WithoutXTestEveryPressFailsForWantOfPermission) {
    XvfbServer server({"-extension", "XTEST"});
    XTestKeyPoster poster(server.displayName());
    EXPECT_FALSE(poster.mayPostEvents());

    LogLines log;
    KeyboardExecutor executor(poster);
    executor.setOnLog(log.sink());
    ASSERT_TRUE(executor.enqueue("A", 0, 1, 20, "test"));
    EXPECT_EQ(log.waitFor(2, patience),
              (std::vector<std::string>{"[KEY] A ×1 ← test", noPermissionLine}));
}

TEST(XTestKeyPoster, ALostServerFailsThePressInsteadOfHangingOrEndingTheProcess) {
    XvfbServer server;
    auto recorder = std::make_unique<XKeyRecorder>(server.displayName());
    XTestKeyPoster poster(server.displayName());
    LogLines log;
    KeyboardExecutor executor(poster);
    executor.setOnLog(log.sink());
    ASSERT_TRUE(executor.enqueue("A", 0, 1, 3000, "test"));
    ASSERT_EQ(recorder->waitForEvents(1, patience).size(), 1U);

    recorder.reset(); // the recorder's own connection would end the process
    server.stop();
    executor.cancelAll();
    ASSERT_TRUE(executor.enqueue("B", 11, 1, 20, "test"));
    EXPECT_EQ(log.waitFor(4, patience),
              (std::vector<std::string>{"[KEY] A ×1 ← test", notCreatedLine, "[KEY] B ×1 ← test",
                                        noPermissionLine}));
    EXPECT_FALSE(poster.mayPostEvents());
}

} // namespace
