#include "platform/fake/recording_key_poster.h"
#include "platform/linux/keyboard/held_key_journal.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>

using namespace vindaro;

// Keys still held, or whose release failed, when a run ends are what the next run lets go.
TEST(HeldKeyJournal, TheNextRunReleasesWhatThisOneStillHolds) {
    QTemporaryDir directory;
    const std::string path = directory.filePath(QStringLiteral("held")).toStdString();
    RecordingKeyPoster firstPoster;
    firstPoster.refuseKey(7);
    HeldKeyJournal first(firstPoster, path);
    ASSERT_TRUE(first.postKey(1, KeyDirection::down));
    ASSERT_TRUE(first.postKey(2, KeyDirection::down));
    ASSERT_TRUE(first.postKey(1, KeyDirection::up));
    EXPECT_FALSE(first.postKey(7, KeyDirection::down)); // it may have gone down all the same

    RecordingKeyPoster nextPoster;
    HeldKeyJournal next(nextPoster, path);
    EXPECT_EQ(next.releaseLeftovers(), 2);
    const auto events = nextPoster.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].code, 2);
    EXPECT_EQ(events[1].code, 7);
    EXPECT_EQ(events[1].direction, KeyDirection::up);
    EXPECT_FALSE(std::filesystem::exists(path));
}
