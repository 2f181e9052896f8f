// Real key posting into private X servers, watched by a second X client.
#include "keyboard/key_map.h"
#include "keyboard/keyboard_executor.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/linux/keyboard/held_key_journal.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "platform/linux/x11/x11_stop_key.h"
#include "support/wait.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using namespace std::chrono_literals;
using namespace vindaro;
using namespace vindaro::test;
using Clock = std::chrono::steady_clock;

namespace {

std::string describe(const std::vector<RecordedKey>& events) {
    std::string text;
    for (const RecordedKey& event : events)
        text += (event.pressed ? "+" : "-") + XKeyRecorder::keysymName(event.keysym) + "@" +
                std::to_string(event.serverTime) + " ";
    return text;
}

// Keys still held, or whose release failed, when a run ends are what the next run lets go; a late
// key-up leaves a newer press on record. The record is replaced whole, never rewritten in place.
TEST(HeldKeyJournal, TheNextRunReleasesWhatThisOneStillHolds) {
    QTemporaryDir directory;
    const std::string path = directory.filePath(QStringLiteral("held")).toStdString();
    RecordingKeyPoster firstPoster;
    firstPoster.refuseKey(7);
    firstPoster.failNext(3, KeyDirection::up, 1, false);
    HeldKeyJournal first(firstPoster, path);
    firstPoster.confirmKeyDownsLate(1ms); // the journal keeps its poster's way of timing holds
    EXPECT_TRUE(first.timesHoldsFromSending());
    ASSERT_TRUE(first.postKey(1, KeyDirection::down));
    std::ifstream earlier(path); // what a reader that opened the record then goes on seeing
    ASSERT_TRUE(first.postKey(2, KeyDirection::down) && first.postKey(1, KeyDirection::up));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(earlier), {}), "1\n");
    EXPECT_FALSE(first.postKey(7, KeyDirection::down)); // it may have gone down all the same
    ASSERT_TRUE(first.postKey(3, KeyDirection::down));
    EXPECT_FALSE(first.postKey(3, KeyDirection::up));
    ASSERT_TRUE(first.postKey(4, KeyDirection::down));
    const KeyTicket olderUp = first.sendKey(4, KeyDirection::up);
    ASSERT_TRUE(first.postKey(4, KeyDirection::down));
    ASSERT_EQ(first.awaitKey(olderUp, Clock::now()), KeyDelivery::delivered);

    RecordingKeyPoster nextPoster;
    nextPoster.refuseKey(7); // a code it cannot release is dropped
    EXPECT_EQ(HeldKeyJournal(nextPoster, path).releaseLeftovers(), 4);
    std::vector<int> released;
    for (const PostedKey& event : nextPoster.events())
        released.push_back(event.direction == KeyDirection::up ? event.code : -1);
    EXPECT_EQ(released, (std::vector{2, 3, 4}));
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Key codes name places on the keyboard, whatever the layout, switched while one poster runs;
// Pause stops all along, and the stop key's state follows each new grab.
TEST(XTestKeyPosterTest, EveryKeyArrivesAtItsPlaceWhateverTheLayoutTypesThere) {
    if (geteuid() != 0)
        GTEST_SKIP() << "Xorg needs root";
    XorgServer server;
    server.setKeymap({"-rules", "evdev", "-model", "pc105", "-layout", "us"});
    XKeyRecorder recorder(server.displayName());
    XTestKeyPoster poster(server.displayName());
    ASSERT_TRUE(eventually([&] { return poster.mayPostEvents(); }));
    X11StopKey stopKey(server.displayName());
    int presses = 0;
    int changes = 0;
    stopKey.observe([&] { ++presses; });
    stopKey.observeState([&] { ++changes; });
    const auto pauseStops = [&] {
        const int before = presses;
        recorder.typeKey("Pause", true);
        recorder.typeKey("Pause", false);
        return eventually([&] { return presses > before; }, 5s);
    };
    // For each key of the map by name: the keycode that arrived, and what it typed.
    using Arrived =
        std::pair<std::map<std::string, unsigned>, std::map<std::string, unsigned long>>;
    const auto pressEveryKey = [&] {
        const std::size_t before = recorder.events().size();
        for (const auto& key : KeyMap::values()) {
            EXPECT_TRUE(poster.postKey(key.code, KeyDirection::down)) << key.name;
            EXPECT_TRUE(poster.postKey(key.code, KeyDirection::up)) << key.name;
        }
        const auto events = recorder.waitForEvents(before + 2 * KeyMap::values().size(), patience);
        Arrived arrived;
        for (std::size_t index = 0; before + 2 * index + 1 < events.size(); ++index) {
            const RecordedKey& down = events[before + 2 * index];
            const RecordedKey& up = events[before + 2 * index + 1];
            EXPECT_TRUE(down.pressed && !up.pressed && down.keycode == up.keycode)
                << KeyMap::values()[index].name << ": " << describe(events);
            arrived.first[KeyMap::values()[index].name] = down.keycode;
            arrived.second[KeyMap::values()[index].name] = down.keysym;
        }
        EXPECT_EQ(arrived.first.size(), KeyMap::values().size());
        return arrived;
    };
    const Arrived us = pressEveryKey();
    for (const auto& key : KeyMap::values())
        EXPECT_EQ(us.second.at(key.name), usKeysymOf(key.name)) << key.name;

    for (const auto& [layout, typedAtA] :
         std::initializer_list<std::pair<const char*, const char*>>{{"fr", "q"},
                                                                    {"th", "Thai_fofan"}}) {
        server.setKeymap({"-layout", layout});
        const Arrived other = pressEveryKey();
        EXPECT_EQ(other.second.at("A"), XKeyRecorder::keysym(typedAtA)); // the layout did change
        EXPECT_EQ(other.first, us.first) << layout;
        EXPECT_TRUE(pauseStops()) << layout;
    }
    // Two layouts, the second one active: the group changes what a key types, not where it is.
    server.setKeymap({"-layout", "th,fr"});
    recorder.lockGroup(1);
    EXPECT_EQ(pressEveryKey().first, us.first);

    // The older keycodes: arrows move, and Pause moves onto the key of Home, which another
    // program holds.
    recorder.grabKey("Home");
    server.setKeymap({"-rules", "base", "-layout", "us"});
    ASSERT_TRUE(eventually([&] { return changes == 1; }));
    EXPECT_EQ(stopKey.state(), StopKey::State::takenByAnotherProgram);
    EXPECT_TRUE(pauseStops()); // heard all the same
    const Arrived older = pressEveryKey();
    EXPECT_NE(older.first.at("UP"), us.first.at("UP"));
    EXPECT_EQ(older.second, us.second);
    // A key held while a new keymap moves it comes up where it went down.
    const std::size_t before = recorder.events().size();
    ASSERT_TRUE(poster.postKey(126, KeyDirection::down));
    server.setKeymap({"-rules", "evdev", "-layout", "us"});
    ASSERT_TRUE(poster.postKey(126, KeyDirection::up));
    ASSERT_GE(recorder.waitForEvents(before + 2, patience).size(), before + 2);
    EXPECT_TRUE(recorder.keysDown().empty());
    ASSERT_TRUE(eventually([&] { return stopKey.state() == StopKey::State::ready; }));
    EXPECT_TRUE(pauseStops());

    // A keymap changed without a new keyboard: A and S swap names, and so places.
    recorder.swapKeyNames(us.first.at("A"), us.first.at("S"));
    EXPECT_EQ(pressEveryKey().first.at("A"), us.first.at("S"));
}

TEST(XTestKeyPoster, WithoutXTestNothingMayBePosted) {
    XvfbServer server({"-extension", "XTEST"});
    XTestKeyPoster poster(server.displayName());
    EXPECT_FALSE(poster.mayPostEvents());
    EXPECT_FALSE(poster.postKey(0, KeyDirection::down));
}

// On one Xvfb: holds and gaps, cancelAll(), a server grab, a stalled server (SIGSTOP) that
// neither cancelling nor quitting waits for, whose held key the journal lets go, and a lost one.

TEST(XTestKeyPosterTest, HoldsGapsCancelAGrabAStalledServerAndALostOne) {
    XvfbServer server;
    auto recorder = std::make_unique<XKeyRecorder>(server.displayName());
    QTemporaryDir directory;
    const std::string journalPath = directory.filePath(QStringLiteral("held")).toStdString();
    auto poster = std::make_unique<XTestKeyPoster>(server.displayName());
    auto journal = std::make_unique<HeldKeyJournal>(*poster, journalPath);
    auto executor = std::make_unique<KeyboardExecutor>(*journal);
    ASSERT_TRUE(eventually([&] { return poster->mayPostEvents(); }));
    ASSERT_TRUE(executor->enqueue("W", 13, 3, 80, "test"));
    auto events = recorder->waitForEvents(6, patience);
    ASSERT_EQ(events.size(), 6U) << describe(events);
    for (std::size_t press = 0; press < 3; ++press)
        EXPECT_GE(events[2 * press + 1].serverTime - events[2 * press].serverTime, 80U)
            << describe(events);
    for (std::size_t gap = 0; gap < 2; ++gap)
        EXPECT_GE(events[2 * gap + 2].serverTime - events[2 * gap + 1].serverTime, 35U)
            << describe(events);
    ASSERT_TRUE(executor->enqueue("SHIFT", 56, 2, 60'000, "test"));
    ASSERT_EQ(recorder->waitForEvents(7, patience).size(), 7U);
    EXPECT_EQ(recorder->keysDown().size(), 1U);
    executor->cancelAll();
    EXPECT_TRUE(eventually([&] { return recorder->keysDown().empty(); }));

    // Posted before the grab, as after any first key: connected, the layout read. A key already
    // down can come up during the grab.
    ASSERT_TRUE(poster->postKey(0, KeyDirection::down));
    recorder->grabServer(true);
    EXPECT_TRUE(poster->postKey(0, KeyDirection::up));
    EXPECT_TRUE(poster->postKey(0, KeyDirection::down));
    recorder->grabServer(false);
    EXPECT_TRUE(poster->postKey(0, KeyDirection::up));
    ASSERT_EQ(recorder->waitForEvents(12, patience).size(), 12U);

    const auto holdShiftAndStall = [&](std::size_t seen) {
        ASSERT_TRUE(executor->enqueue("SHIFT", 56, 1, 60'000, "test"));
        ASSERT_TRUE(executor->enqueue("A", 0, 3, 20, "test")); // cancelled before it runs
        ASSERT_EQ(recorder->waitForEvents(seen + 1, patience).size(), seen + 1);
        server.suspend();
    };
    // The journal's record of held keys, one code a line.
    const auto onRecord = [&] {
        std::stringstream text;
        text << std::ifstream(journalPath).rdbuf();
        return text.str();
    };
    holdShiftAndStall(12);
    auto started = Clock::now();
    executor->cancelAll();
    EXPECT_TRUE(journal->mayPostEvents()); // as last seen
    EXPECT_LT(Clock::now() - started, 100ms);
    EXPECT_EQ(onRecord(), "56\n"); // its release is not confirmed yet
    server.resume();
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(journalPath); }));
    ASSERT_TRUE(executor->enqueue("Z", 6, 1, 20, "after"));
    events = recorder->waitForEvents(16, patience);
    ASSERT_EQ(events.size(), 16U) << describe(events);
    EXPECT_TRUE(events[12].pressed && !events[13].pressed);
    EXPECT_EQ(events[13].keycode, events[12].keycode);
    // Nothing of the cancelled command went down; the next command runs as usual.
    EXPECT_EQ(XKeyRecorder::keysymName(events[14].keysym), "z");
    EXPECT_TRUE(recorder->keysDown().empty());

    // A key whose release is unconfirmed when the agent quits stays on record, and the next run
    // lets it go.
    holdShiftAndStall(16);
    started = Clock::now();
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
    events = recorder->waitForEvents(18, patience);
    ASSERT_GE(events.size(), 18U) << describe(events);
    EXPECT_FALSE(events[17].pressed);
    EXPECT_TRUE(recorder->keysDown().empty());

    // Xlib ends the process when a connection breaks, unless the poster keeps it from doing so.
    std::atomic<bool> toldLost = false;
    nextPoster.setPermissionHandler([&](bool mayPost) { toldLost = !mayPost; });
    recorder.reset(); // the recorder's own connection would end the process
    server.stop();
    EXPECT_TRUE(eventually([&] { return toldLost.load(); }));
    started = Clock::now();
    EXPECT_FALSE(nextPoster.postKey(0, KeyDirection::up));
    EXPECT_LT(Clock::now() - started, XTestKeyPoster::confirmationTimeout + 4s);
    EXPECT_FALSE(nextPoster.mayPostEvents());
}

} // namespace
