// Key codes name places on the keyboard, so every layout gets the same physical keys. Xvfb
// ignores keymap changes; Xorg with the dummy driver takes them.
#include "keyboard/key_map.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "support/wait.h"
#include "support/x_key_recorder.h"
#include "support/xorg_server.h"

#include <QTest>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

using vindaro::KeyDirection;
using vindaro::XTestKeyPoster;
using vindaro::KeyMap::values;
using vindaro::test::eventually;
using vindaro::test::patience;
using vindaro::test::RecordedKey;
using vindaro::test::XKeyRecorder;
using vindaro::test::XorgServer;

namespace {

class KeyboardLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XorgServer::available())
            GTEST_SKIP() << "Xorg needs root";
        server = std::make_unique<XorgServer>();
        server->setKeymap({"-rules", "evdev", "-model", "pc105", "-layout", "us"});
        recorder = std::make_unique<XKeyRecorder>(server->displayName());
        poster = std::make_unique<XTestKeyPoster>(server->displayName());
        ASSERT_TRUE(eventually([&] { return poster->mayPostEvents(); }));
    }

    // What arrived for each key of the map, by key name: its keycode and what it typed.
    struct Arrived {
        std::map<std::string, unsigned> keycodes;
        std::map<std::string, std::string> typed;
    };

    Arrived pressEveryKey() {
        const std::size_t before = recorder->events().size();
        for (const auto& key : values()) {
            EXPECT_TRUE(poster->postKey(key.code, KeyDirection::down)) << key.name;
            EXPECT_TRUE(poster->postKey(key.code, KeyDirection::up)) << key.name;
        }
        const auto events = recorder->waitForEvents(before + 2 * values().size(), patience);
        Arrived arrived;
        for (std::size_t index = 0; before + 2 * index + 1 < events.size(); ++index) {
            const RecordedKey& down = events[before + 2 * index];
            const RecordedKey& up = events[before + 2 * index + 1];
            EXPECT_TRUE(down.pressed && !up.pressed && down.keycode == up.keycode)
                << values()[index].name;
            arrived.keycodes[values()[index].name] = down.keycode;
            arrived.typed[values()[index].name] = XKeyRecorder::keysymName(down.keysym);
        }
        EXPECT_EQ(arrived.keycodes.size(), values().size());
        return arrived;
    }

    std::unique_ptr<XorgServer> server;
    std::unique_ptr<XKeyRecorder> recorder;
    std::unique_ptr<XTestKeyPoster> poster;
};

// The layouts change while the same poster runs.
TEST_F(KeyboardLayoutTest, EveryKeyArrivesAtItsUSKeycodeOnFrenchAndThaiLayoutsInAnyGroup) {
    Arrived us = pressEveryKey();
    EXPECT_EQ(us.typed["A"], "a");

    server->setKeymap({"-layout", "fr"});
    Arrived french = pressEveryKey();
    EXPECT_EQ(french.typed["A"], "q"); // the layout did change: A's place types Q on AZERTY
    EXPECT_EQ(french.keycodes, us.keycodes);

    server->setKeymap({"-layout", "th"});
    Arrived thai = pressEveryKey();
    EXPECT_EQ(thai.typed["A"], "Thai_fofan");
    EXPECT_EQ(thai.keycodes, us.keycodes);

    // Two layouts, the second one active: the group changes what a key types, not where it is.
    server->setKeymap({"-layout", "th,fr"});
    recorder->lockGroup(1);
    EXPECT_EQ(pressEveryKey().keycodes, us.keycodes);
}

// Another keymap may give keys other keycodes; the poster looks them up again.
TEST_F(KeyboardLayoutTest, KeysAreFoundAgainWhenANewKeymapMovesThem) {
    Arrived evdev = pressEveryKey();
    server->setKeymap({"-rules", "base", "-layout", "us"}); // the older keycodes: arrows move
    Arrived older = pressEveryKey();
    EXPECT_NE(older.keycodes["UP"], evdev.keycodes["UP"]);
    // On a US layout each key types what its place says, so the same keysyms mean the same keys.
    EXPECT_EQ(older.typed, evdev.typed);

    // A key held while a new keymap moves it comes up where it went down.
    const std::size_t before = recorder->events().size();
    ASSERT_TRUE(poster->postKey(126, KeyDirection::down));
    server->setKeymap({"-rules", "evdev", "-layout", "us"});
    ASSERT_TRUE(poster->postKey(126, KeyDirection::up));
    ASSERT_GE(recorder->waitForEvents(before + 2, patience).size(), before + 2);
    EXPECT_TRUE(recorder->keysDown().empty());
}

} // namespace
