#include "entry/mode.h"
#include "entry/self_test.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace vindaro;

TEST(SelfTest, NamesMissingKeysInListOrder) {
    const KeyLookup withoutTabAndF12 = [](const std::optional<QString>& name) {
        if (name == u"F12" || name == u"TAB")
            return std::optional<KeyMapEntry>();
        return KeyMap::code(name);
    };
    EXPECT_EQ(missingKeyNames(withoutTabAndF12), QStringLiteral("TAB,F12"));
    EXPECT_EQ(missingKeyNames(KeyMap::code), QString());
}

TEST(Mode, MatchesWholeArgumentsCaseSensitivelyWithSelfTestWinning) {
    using Args = std::vector<const char*>;
    const auto mode = [](Args args) { return selectMode(args); };
    EXPECT_EQ(mode({"agent"}), Mode::application);
    EXPECT_EQ(mode({"agent", "--self-test"}), Mode::selfTest);
    EXPECT_EQ(mode({"agent", "--connection-test", "x", "--self-test"}), Mode::selfTest);
    EXPECT_EQ(mode({"agent", "--connection-test"}), Mode::connectionTest);
    EXPECT_EQ(mode({"--connection-test"}), Mode::connectionTest); // the program path counts too
    EXPECT_EQ(mode({"agent", "--stop"}), Mode::stop);
    EXPECT_EQ(mode({"agent", "--stop", "--connection-test"}), Mode::connectionTest);
    EXPECT_EQ(mode({"agent", "--Self-Test", "--self-test=1", "-self-test", "--connection-test "}),
              Mode::application);
}
