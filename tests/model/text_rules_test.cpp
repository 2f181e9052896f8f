#include "model/text_rules.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

#include <vector>

using vindaro::characterCount;
using vindaro::characterEnds;
using vindaro::leadingCharacters;

TEST(TextRules, CountsThaiEmojiAndMarksAsTheUserSeesThem) {
    EXPECT_EQ(characterCount(QStringLiteral("ที่อยู่")), 3);
    EXPECT_EQ(characterCount(QStringLiteral("ที่ 👍🏽")), 3);
    EXPECT_EQ(characterCount(QStringLiteral("⏸️ ยังไม่ส่ง")), 8);
    EXPECT_EQ(
        characterCount(QStringLiteral("นี่ 🇹🇭 e\u0301 👨‍👩‍👧‍👦")), 7);
    EXPECT_EQ(characterCount(QStringLiteral("ok\r\n")), 3);
    EXPECT_EQ(characterEnds(QStringLiteral("ก่ำ👍🏽x")),
              (std::vector<qsizetype>{3, 7, 8}));
    EXPECT_TRUE(characterEnds(QString()).empty());
}

// Text around a line break does not change how either side is counted, whatever the scripts.
TEST(TextRules, CountsEachSideOfALineBreakOnItsOwn) {
    const QStringList samples = {
        QStringLiteral("[12:00:00] ที่อยู่เซิร์ฟเวอร์ไม่ถูกต้อง"),
        QStringLiteral("[12:00:01] 👍🏽 ok 👍🏽"),
        QStringLiteral("नमस्ते 👍🏽 ⏸️"),
        QStringLiteral("བོད་ 🇹🇭"),
        QStringLiteral("ខ្មែរ e\u0301\u0301"),
        QStringLiteral("မြန်မာ ⏸️"),
    };
    for (const QString& first : samples)
        for (const QString& second : samples)
            EXPECT_EQ(characterCount(first + QLatin1Char('\n') + second),
                      characterCount(first) + 1 + characterCount(second))
                << first.toStdString() << " | " << second.toStdString();
}

TEST(TextRules, LeadingCharactersNeverSplitACharacter) {
    const QString name =
        QStringLiteral("ชื่อ👨‍👩‍👧‍👦เครื่อง");
    EXPECT_EQ(leadingCharacters(name, 2), QStringLiteral("ชื่อ"));
    EXPECT_EQ(leadingCharacters(name, 3), QStringLiteral("ชื่อ👨‍👩‍👧‍👦"));
    EXPECT_EQ(leadingCharacters(name, 99), name);
}
