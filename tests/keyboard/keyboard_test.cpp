// Key commands as they arrive, and the executor that presses them, against a poster that records
// each key event with the time it was posted.
#include "keyboard/key_command.h"
#include "keyboard/key_map.h"
#include "keyboard/keyboard_executor.h"
#include "model/agent_error.h"
#include "model/json_fields.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/fake/scripted_key_destination.h"
#include "platform/window_focus.h"
#include "support/qt_printers.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using namespace vindaro;
using vindaro::test::eventually;

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

class KeyboardExecutorTest : public ::testing::Test {
protected:
    KeyboardExecutorTest() {
        executor->setOnLog([this](const std::string& line) {
            std::scoped_lock lock(m_logMutex);
            m_log.push_back(line);
        });
    }

    std::vector<std::string> log() const {
        std::scoped_lock lock(m_logMutex);
        return m_log;
    }
    // The recorded events once there are at least `count`.
    std::vector<PostedKey> events(std::size_t count) {
        EXPECT_TRUE(eventually([&] { return poster.events().size() >= count; })) << count;
        return poster.events();
    }
    bool logged(std::size_t lines) {
        return eventually([&] { return log().size() >= lines; });
    }

    RecordingKeyPoster poster;
    ScriptedKeyDestination destination;
    std::unique_ptr<KeyboardExecutor> executor =
        std::make_unique<KeyboardExecutor>(poster, &destination);

private:
    mutable std::mutex m_logMutex;
    std::vector<std::string> m_log;
};

} // namespace

TEST(KeyCommand, DecodesMembersAsSentAndRefusesAMessageWithOneBadMember) {
    const KeyCommand command = KeyCommand::decode(
        R"({"type":"key","key":" space","pressCount":-5,"holdMs":1e3,"source":"gift","viewer":null})");
    EXPECT_EQ(command.key, QStringLiteral(" space"));
    EXPECT_EQ(command.pressCount, -5);
    EXPECT_EQ(command.holdMs, 1000);
    EXPECT_EQ(command.source, QStringLiteral("gift"));
    EXPECT_FALSE(command.viewer);
    EXPECT_FALSE(KeyCommand::decode(R"({"type":"key","holdMs":null})").holdMs); // as if absent
    for (const char* bytes :
         {R"({"key":"SPACE"})", R"({"type":1})", R"({"type":"key","pressCount":"2"})",
          R"({"type":"key","holdMs":2.5})", R"({"type":"key","holdMs":9223372036854775808})",
          R"({"type":"key","source":{}})", R"([{"type":"key"}])", "not json"})
        EXPECT_THROW(KeyCommand::decode(QByteArray(bytes)), JsonDecodeError) << bytes;

    EXPECT_EQ(KeyMap::code(QStringLiteral("\u00a0backspace\u2029")),
              (KeyMapEntry{QStringLiteral("BACKSPACE"), 51}));
    for (const char* name : {"", "SPA CE", "RETURN", "F13", "ß", "ａ"})
        EXPECT_FALSE(KeyMap::code(QString::fromUtf8(name))) << name;
}

TEST_F(KeyboardExecutorTest, HoldsEachPressAndLeaves35MsBetweenPressesButNotAfterTheLast) {
    executor->cancelAll(); // with nothing to cancel, it must not skip what comes next
    ASSERT_TRUE(executor->enqueue("W", 13, 3, 30, "gift"));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(executor->enqueue("SPACE", 49, 1, 20, "ทดสอบ"));

    const auto posted = events(14);
    ASSERT_EQ(keysOf(posted), presses({13, 13, 13, 49, 49, 49, 49}));
    for (std::size_t press = 0; press < 7; ++press)
        EXPECT_GE(posted[2 * press + 1].time - posted[2 * press].time, press < 3 ? 30ms : 20ms);
    for (std::size_t gap : {1, 3})
        EXPECT_GE(posted[gap + 1].time - posted[gap].time, 35ms) << gap;
    // The next command follows at once: a wait after the last press would make every one of
    // these at least 35 ms.
    auto quickest = std::chrono::steady_clock::duration::max();
    for (std::size_t gap = 5; gap < 13; gap += 2)
        quickest = std::min(quickest, posted[gap + 1].time - posted[gap].time);
    EXPECT_LT(quickest, 35ms);

    // A poster whose answers come late has the hold timed from the send: the key-up follows the
    // key-down by the hold, not by the hold and the answer's delay.
    poster.clear();
    poster.confirmKeyDownsLate(150ms);
    ASSERT_TRUE(executor->enqueue("W", 13, 1, 300, "gift"));
    const auto late = events(2);
    EXPECT_GE(late[1].time - late[0].time, 300ms);
    EXPECT_LT(late[1].time - late[0].time, 420ms);
}

TEST_F(KeyboardExecutorTest, TakesAHundredUnfinishedCommandsAndAllOfThemAgainAfterACancel) {
    poster.holdBackKeyDowns();
    for (int queued = 0; queued < 100; ++queued)
        ASSERT_TRUE(executor->enqueue("B", 11, 1, 60'000, "s")) << queued;
    EXPECT_FALSE(executor->enqueue("C", 8, 1, 20, "s"));
    ASSERT_TRUE(poster.waitForHeldBackKeyDown(vindaro::test::patience));
    poster.releaseKeyDowns();

    // The skipped commands drain, and a count that leaked would keep the last one out for good.
    executor->cancelAll();
    EXPECT_TRUE(poster.heldKeys().empty());
    int accepted = 0;
    ASSERT_TRUE(eventually([&] {
        while (accepted < 100 && executor->enqueue("E", 14, 1, 60'000, "s"))
            ++accepted;
        return accepted == 100;
    }));
    EXPECT_FALSE(executor->enqueue("E", 14, 1, 20, "s"));
}

TEST_F(KeyboardExecutorTest, CancelReleasesAtOnceAndNoKeyOfACancelledCommandGoesDownAfterIt) {
    // A stalled display server: cancelAll() hands the key-up over and returns at once; when
    // delivery resumes the key comes up, and nothing of the cancelled commands goes down.
    ASSERT_TRUE(executor->enqueue("Q", 12, 2, 60'000, "first"));
    ASSERT_TRUE(executor->enqueue("R", 15, 2, 20, "second"));
    events(1);
    poster.stallDelivery();
    executor->cancelAll();
    ASSERT_TRUE(executor->enqueue("Z", 6, 1, 20, "after"));
    EXPECT_EQ(keysOf(poster.events()), (std::vector<Key>{{12, down}}));
    poster.resumeDelivery();
    EXPECT_EQ(keysOf(events(4)), presses({12, 6}));

    // A key-down on its way when cancelAll() is called goes down first; cancelAll() waits for it.
    poster.holdBackKeyDowns();
    ASSERT_TRUE(executor->enqueue("A", 0, 1, 60'000, "s"));
    ASSERT_TRUE(poster.waitForHeldBackKeyDown(vindaro::test::patience));
    auto cancelling = std::async(std::launch::async, [&] { executor->cancelAll(); });
    EXPECT_EQ(cancelling.wait_for(100ms), std::future_status::timeout);
    poster.releaseKeyDowns();
    cancelling.get();
    EXPECT_EQ(keysOf(poster.events()).at(4), (Key{0, down}));
    EXPECT_TRUE(poster.heldKeys().empty()); // released before cancelAll() returned

    // A command that was only about to press when cancelled never does.
    poster.holdBackPermissionChecks();
    ASSERT_TRUE(executor->enqueue("B", 11, 1, 60'000, "s"));
    ASSERT_TRUE(poster.waitForHeldBackKeyDown(vindaro::test::patience));
    executor->cancelAll();
    poster.releaseKeyDowns();
    ASSERT_TRUE(eventually([&] { return executor->enqueue("Z", 6, 1, 20, "after"); }));
    ASSERT_TRUE(eventually([&] { return keysOf(poster.events()).back() == Key{6, up}; }));
    EXPECT_EQ(
        keysOf(poster.events()),
        (std::vector<Key>{
            {12, down}, {12, up}, {6, down}, {6, up}, {0, down}, {0, up}, {6, down}, {6, up}}));
}

TEST_F(KeyboardExecutorTest, ARefusedKeyDownEndsItsCommandAndEachRunOfRefusalsIsReportedOnce) {
    std::mutex mutex;
    std::vector<std::string> skips;
    executor->setOnSkip([&](KeyDestination refusal, const std::string& key) {
        std::scoped_lock lock(mutex);
        skips.push_back(key +
                        (refusal == KeyDestination::noFocusedWindow ? " nowhere" : " elsewhere"));
    });
    constexpr auto elsewhere = KeyDestination::pinnedWindowNotFocused;
    destination.script({KeyDestination::allowed, elsewhere, elsewhere,
                        KeyDestination::noFocusedWindow, KeyDestination::allowed, elsewhere});
    ASSERT_TRUE(executor->enqueue("A", 0, 3, 20, "s")); // the second press is refused
    for (const char* key : {"B", "C", "D", "E"})
        ASSERT_TRUE(executor->enqueue(key, 1, 1, 20, "s"));
    ASSERT_TRUE(eventually([&] {
        std::scoped_lock lock(mutex);
        return skips.size() == 3;
    }));
    EXPECT_EQ(skips, (std::vector<std::string>{"A elsewhere", "C nowhere", "E elsewhere"}));
    EXPECT_EQ(keysOf(poster.events()), presses({0, 1}));
    // Only the commands that pressed something read as pressed.
    EXPECT_EQ(log(), (std::vector<std::string>{"[KEY] A ×3 ← s", "[KEY] D ×1 ← s"}));
    executor->setOnSkip({}); // before `skips` goes
}

TEST_F(KeyboardExecutorTest, AFailedPressEndsItsCommandAndLeavesNoKeyDown) {
    poster.refuseKey(7);
    // This key-down fails after it went out: it must be released all the same.
    poster.failNext(1, down, 1, true);
    ASSERT_TRUE(executor->enqueue("X", 7, 3, 20, "s"));
    ASSERT_TRUE(executor->enqueue("S", 1, 2, 20, "s"));
    ASSERT_TRUE(executor->enqueue("A", 0, 1, 20, "s"));
    ASSERT_TRUE(logged(5));
    const std::string notCreated =
        "กดปุ่มไม่สำเร็จ: " + AgentError::eventCreationFailed().description().toStdString();
    EXPECT_EQ(log(), (std::vector<std::string>{"[KEY] X ×3 ← s", notCreated, "[KEY] S ×2 ← s",
                                               notCreated, "[KEY] A ×1 ← s"}));
    EXPECT_EQ(keysOf(events(4)), presses({1, 0}));

    poster.setMayPostEvents(false);
    ASSERT_TRUE(executor->enqueue("B", 11, 2, 20, "s"));
    ASSERT_TRUE(logged(7));
    EXPECT_EQ(log().back(),
              "กดปุ่มไม่สำเร็จ: " + AgentError::accessibilityRequired().description().toStdString());
    EXPECT_EQ(poster.events().size(), 4u);
}

TEST_F(KeyboardExecutorTest, DestructionReleasesAKeyWhoseReleaseFailedWhileTheWorkerRan) {
    ASSERT_TRUE(executor->enqueue("SHIFT", 56, 5, 60'000, "s"));
    ASSERT_TRUE(executor->enqueue("CTRL", 59, 5, 60'000, "s"));
    events(1);
    // The first release and the interrupted press's own one both fail.
    poster.failNext(56, up, 2, false);
    const auto started = std::chrono::steady_clock::now();
    executor.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(keysOf(poster.events()), presses({56}));
}

// A focus reader calls the controller's handler on its own thread; the controller, going away,
// replaces it and must not be called once that returns.
TEST(FocusLeftHandler, ReplacingItWaitsForTheCallInProgressAndEndsItsCalls) {
    FocusLeftHandler handler;
    std::promise<void> entered;
    std::promise<void> finish;
    int calls = 0;
    handler.set([&] {
        ++calls;
        entered.set_value();
        finish.get_future().wait();
    });
    std::thread reader([&] { handler(); });
    entered.get_future().wait();
    auto replaced = std::async(std::launch::async, [&] { handler.set({}); });
    EXPECT_EQ(replaced.wait_for(100ms), std::future_status::timeout);
    finish.set_value();
    replaced.get();
    reader.join();
    handler();
    EXPECT_EQ(calls, 1);
}
