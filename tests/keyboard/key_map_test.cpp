#include "keyboard/key_map.h"
#include "support/qt_printers.h"

#include <QSet>

#include <gtest/gtest.h>

using vindaro::KeyMapEntry;
namespace KeyMap = vindaro::KeyMap;

TEST(KeyMap, NormalisesSpaceAndCaseBeforeAnExactLookup) {
    const KeyMapEntry space{QStringLiteral("SPACE"), 49};
    EXPECT_EQ(KeyMap::code(QStringLiteral(" space\n")), space);
    EXPECT_EQ(KeyMap::code(QStringLiteral("Space")), space);
    EXPECT_EQ(KeyMap::code(QStringLiteral("\u00a0SPACE\u2029")), space);
    EXPECT_EQ(KeyMap::code(QStringLiteral("w")), (KeyMapEntry{QStringLiteral("W"), 13}));
    EXPECT_EQ(KeyMap::code(QStringLiteral("f1")), (KeyMapEntry{QStringLiteral("F1"), 122}));
    EXPECT_EQ(KeyMap::code(QStringLiteral("backspace")),
              (KeyMapEntry{QStringLiteral("BACKSPACE"), 51}));
}

TEST(KeyMap, HasNoEntryForUnknownBlankOrAliasNames) {
    for (const char* name : {"UNKNOWN", "", "   ", "SPA CE", "RETURN", "ESCAPE", "CONTROL", "ALT",
                             "CMD", "F13", "F0", "DELETE", "KP_1", "ß"})
        EXPECT_FALSE(KeyMap::code(QString::fromUtf8(name))) << name;
    EXPECT_FALSE(KeyMap::code(std::nullopt));
    // Full Unicode upper-casing must not turn a foreign letter into a table name.
    EXPECT_FALSE(KeyMap::code(QStringLiteral("ａ")));
}

TEST(KeyMap, HoldsTheFiftyNineMacKeyCodes) {
    ASSERT_EQ(KeyMap::values().size(), 59u);
    QSet<QString> names;
    QSet<quint16> codes;
    for (const auto& key : KeyMap::values()) {
        names.insert(QString::fromLatin1(key.name));
        codes.insert(key.code);
        EXPECT_EQ(KeyMap::code(QString::fromLatin1(key.name))->code, key.code) << key.name;
    }
    EXPECT_EQ(names.size(), 59);
    EXPECT_EQ(codes.size(), 59) << "two names share a key code";
    // Which key each code types is checked against a real X server in xtest_key_poster_test.cpp.
}
