#include "app/event_log.h"
#include "model/text_rules.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

#include <deque>

using vindaro::EventLog;

namespace {

QDateTime at(int hour, int minute, int second) {
    return QDateTime(QDate(2024, 5, 17), QTime(hour, minute, second));
}

EventLog::Clock fixedClock(QDateTime time) {
    return [time] { return time; };
}

// Each of these is exactly one user-perceived character, most of them longer than one UTF-16
// unit: Thai letters with their marks, emoji with a skin tone, joined by zero-width joiners, with
// a variation selector, a flag, a letter with two accents, CR LF. Side by side they stay apart.
const QStringList characters = {
    QStringLiteral("ที่"),
    QStringLiteral("อ"),
    QStringLiteral("ยู่"),
    QStringLiteral("เ"),
    QStringLiteral("ก่ำ"),
    QStringLiteral("👍🏽"),
    QStringLiteral("👨‍👩‍👧‍👦"),
    QStringLiteral("🇹🇭"),
    QStringLiteral("⏸️"),
    QStringLiteral("e\u0301\u0301"),
    QStringLiteral("\r\n"),
    QStringLiteral("a"),
    QStringLiteral(" "),
};

} // namespace

TEST(EventLog, StampsEachLineWithTheTwentyFourHourLocalTime) {
    QDateTime now = at(9, 5, 3);
    EventLog log([&now] { return now; });
    log.append(QStringLiteral("เชื่อมต่อสำเร็จ"));
    now = at(21, 15, 0);
    log.append(QStringLiteral("two\nlines"));
    EXPECT_EQ(log.text(), QStringLiteral("[09:05:03] เชื่อมต่อสำเร็จ\n[21:15:00] two\nlines\n"));
}

TEST(EventLog, KeepsExactlyTheNewestTwentyThousandCharacters) {
    EventLog log(fixedClock(at(12, 0, 0)));
    std::deque<QString> everything; // one entry per character
    const auto expectedText = [&] {
        QString text;
        const auto from = everything.size() > 20000 ? everything.end() - 20000 : everything.begin();
        for (auto character = from; character != everything.end(); ++character)
            text += *character;
        return text;
    };
    int linesPastTheLimit = 0;
    for (int i = 0; linesPastTheLimit < 40; ++i) {
        for (const QChar c : QStringLiteral("[12:00:00] "))
            everything.push_back(c);
        QString message;
        for (int k = 0; k <= i % 40; ++k) {
            const QString& character = characters[(i * 7 + k * 3) % characters.size()];
            message += character;
            everything.push_back(character);
        }
        everything.push_back(QStringLiteral("\n"));
        log.append(message);
        ASSERT_EQ(log.text(), expectedText());
        if (everything.size() <= 20000)
            continue;
        ++linesPastTheLimit;
        ASSERT_EQ(log.characterCount(), 20000);
        ASSERT_TRUE(
            log.text().endsWith(QStringLiteral("[12:00:00] ") + message + QLatin1Char('\n')));
    }
}

// A view that applies the changes must end up with exactly the log's text, whether it catches up
// after every line, after a few, or after so many that nothing it showed survives.
TEST(EventLog, ChangesLetAViewMirrorTheText) {
    EventLog log(fixedClock(at(23, 59, 59)));
    QString mirror;
    const auto catchUp = [&] {
        const EventLog::Change change = log.takeChange();
        ASSERT_LE(change.removedFromFront, mirror.size());
        mirror.remove(0, change.removedFromFront);
        mirror += change.appended;
        ASSERT_EQ(mirror, log.text());
    };
    catchUp();
    int line = 0;
    for (const int batch : {1, 1, 3, 250, 1, 2, 400, 5000, 1, 0, 7, 2500}) {
        for (int i = 0; i < batch; ++i, ++line)
            log.append(characters[line % characters.size()].repeated(1 + line % 13));
        catchUp();
    }
    EXPECT_EQ(log.takeChange().appended, QString());
}
