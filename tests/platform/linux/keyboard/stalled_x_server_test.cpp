// An X server that stops answering (SIGSTOP) while a key is held: stopping the keys and asking
// for the permission never wait for it, and the key comes up once the server goes on.
#include "keyboard/keyboard_executor.h"
#include "platform/linux/keyboard/held_key_journal.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "support/wait.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

using namespace std::chrono_literals;
using vindaro::HeldKeyJournal;
using vindaro::KeyboardExecutor;
using vindaro::XTestKeyPoster;
using vindaro::test::eventually;
using vindaro::test::patience;
using vindaro::test::RecordedKey;
using vindaro::test::XKeyRecorder;
using vindaro::test::XvfbServer;
using Clock = std::chrono::steady_clock;

namespace {

// Far above what either call takes, far below what waiting on the server would.
constexpr auto atOnce = 100ms;

class StalledXServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(eventually([&] { return poster->mayPostEvents(); }));
        ASSERT_TRUE(executor->enqueue("SHIFT", 56, 1, 60'000, "test"));
        ASSERT_TRUE(executor->enqueue("A", 0, 3, 20, "test")); // cancelled before it runs
        ASSERT_EQ(recorder.waitForEvents(1, patience).size(), 1U);
        server.suspend();
    }

    // The journal's record of held keys, one code a line.
    std::string onRecord() const {
        std::ifstream file(journalPath);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    XvfbServer server;
    XKeyRecorder recorder{server.displayName()};
    QTemporaryDir directory;
    const std::string journalPath = directory.filePath(QStringLiteral("held")).toStdString();
    std::unique_ptr<XTestKeyPoster> poster = std::make_unique<XTestKeyPoster>(server.displayName());
    std::unique_ptr<HeldKeyJournal> journal =
        std::make_unique<HeldKeyJournal>(*poster, journalPath);
    std::unique_ptr<KeyboardExecutor> executor = std::make_unique<KeyboardExecutor>(*journal);
};

TEST_F(StalledXServerTest, StopReturnsAtOnceAndTheKeyComesUpWhenTheServerGoesOn) {
    const auto started = Clock::now();
    executor->cancelAll();
    EXPECT_TRUE(journal->mayPostEvents()); // as last seen
    EXPECT_LT(Clock::now() - started, atOnce);
    EXPECT_EQ(onRecord(), "56\n"); // its release is not confirmed yet

    server.resume();
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(journalPath); }));
    ASSERT_TRUE(executor->enqueue("Z", 6, 1, 20, "after"));
    const auto events = recorder.waitForEvents(4, patience);
    ASSERT_EQ(events.size(), 4U);
    EXPECT_TRUE(events[0].pressed);
    EXPECT_FALSE(events[1].pressed);
    EXPECT_EQ(events[1].keycode, events[0].keycode);
    // Nothing of the cancelled command went down; the next command runs as usual.
    EXPECT_EQ(XKeyRecorder::keysymName(events[2].keysym), "z");
    EXPECT_TRUE(recorder.keysDown().empty());
}

// A key whose release is unconfirmed when the agent quits stays on record, and the next run lets
// it go.
TEST_F(StalledXServerTest, QuittingDoesNotHangAndTheNextRunReleasesTheKey) {
    const auto started = Clock::now();
    executor.reset();
    journal.reset();
    poster.reset();
    EXPECT_LT(Clock::now() - started,
              KeyboardExecutor::finalReleaseLimit + XTestKeyPoster::shutdownLimit + 2s);
    EXPECT_EQ(onRecord(), "56\n");

    server.resume();
    XTestKeyPoster nextPoster(server.displayName());
    HeldKeyJournal nextJournal(nextPoster, journalPath);
    EXPECT_EQ(nextJournal.releaseLeftovers(), 1);
    EXPECT_FALSE(std::filesystem::exists(journalPath));
    // The key-up sent before quitting may have got through as well: one release or two.
    const auto events = recorder.waitForEvents(2, patience);
    ASSERT_GE(events.size(), 2U);
    EXPECT_FALSE(events[1].pressed);
    EXPECT_TRUE(recorder.keysDown().empty());
}

} // namespace
