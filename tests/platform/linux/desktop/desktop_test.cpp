#include "platform/linux/desktop/autostart_entry.h"
#include "platform/linux/desktop/freedesktop_notifications.h"
#include "platform/linux/desktop/help_settings_opener.h"
#include "support/private_bus.h"
#include "support/qt_printers.h"
#include "support/wait.h"

#include <QDesktopServices>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using vindaro::AutostartEntry;
using vindaro::FreedesktopNotifications;
using vindaro::HelpSettingsOpener;

namespace {

// Stands in for the desktop's browser: records what it was asked to open.
class UrlRecorder : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

    UrlRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }
    ~UrlRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

public Q_SLOTS:
    void open(const QUrl& url) { opened << url; }
};

} // namespace

TEST(HelpSettingsOpener, OpensTheHelpPageItWroteAndReportsAPlaceItCannotWriteTo) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const UrlRecorder browser;
    HelpSettingsOpener opener(home.filePath(QStringLiteral("cache/vindaro-agent")));
    ASSERT_TRUE(opener.openAccessibilitySettings());
    ASSERT_EQ(browser.opened.size(), 1);
    const QUrl page = browser.opened.front();
    ASSERT_TRUE(page.isLocalFile());
    EXPECT_TRUE(page.toLocalFile().startsWith(home.path()));
    QFile file(page.toLocalFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("XTEST")));
    EXPECT_TRUE(text.contains(QStringLiteral("“ขอสิทธิ์ Accessibility”")));
    EXPECT_TRUE(opener.openAccessibilitySettings());
    EXPECT_EQ(browser.opened.size(), 2);

    HelpSettingsOpener blocked(page.toLocalFile() + QStringLiteral("/below-a-file"));
    EXPECT_FALSE(blocked.openAccessibilitySettings());
    EXPECT_EQ(browser.opened.size(), 2);
}

// What a notification service, played by python3-dbusmock, was asked to show.
TEST(FreedesktopNotifications, EachReplacesTheOneBeforeAndNoServiceIsNoHarm) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << bus.error().toStdString();
    FreedesktopNotifications notifications(bus.connect(QStringLiteral("agent")));
    // Nobody to show it: the call fails, silently, and the next one is not held up by it.
    notifications.notify(QStringLiteral("nobody"), QStringLiteral("-"));

    QTemporaryDir directory;
    const QString logPath = directory.filePath(QStringLiteral("calls.log"));
    ASSERT_TRUE(
        bus.startService({QStringLiteral("/usr/bin/python3"), QStringLiteral("-m"),
                          QStringLiteral("dbusmock"), QStringLiteral("--template"),
                          QStringLiteral("notification_daemon"), QStringLiteral("-l"), logPath},
                         QStringLiteral("org.freedesktop.Notifications")))
        << bus.error().toStdString();
    const auto notifyCalls = [&] {
        QFile log(logPath);
        QStringList calls;
        if (log.open(QIODevice::ReadOnly)) {
            for (const QString& line : QString::fromUtf8(log.readAll()).split(u'\n')) {
                if (line.contains(QStringLiteral(" Notify ")))
                    calls << line.section(u' ', 1);
            }
        }
        return calls;
    };

    // Asked for before the first has its id: the middle one is passed over, the last replaces
    // the first.
    notifications.notify(QStringLiteral("หยุดแล้ว"), QStringLiteral("first"));
    notifications.notify(QStringLiteral("ข้าม"), QStringLiteral("passed over"));
    notifications.notify(QStringLiteral("หยุดแล้ว"), QStringLiteral("last"));
    ASSERT_TRUE(vindaro::test::eventually([&] { return notifyCalls().size() == 2; }))
        << notifyCalls().join(u'\n').toStdString();
    const QString shape =
        QStringLiteral(R"(Notify "Vindaro Agent" %1 "net.vindaro.agent" "%2" "%3" )"
                       R"([] {"desktop-entry": "net.vindaro.agent"} -1)");
    EXPECT_EQ(notifyCalls(),
              (QStringList{shape.arg(0).arg(QStringLiteral("หยุดแล้ว"), QStringLiteral("first")),
                           shape.arg(1).arg(QStringLiteral("หยุดแล้ว"), QStringLiteral("last"))}));
}

#include "desktop_test.moc"

// The box writes an entry that runs what the installed entry runs, marked as started by the
// desktop, and takes it away again; a folder it cannot write to is reported.
TEST(AutostartEntry, RunsTheInstalledCommandMarkedAsADesktopStartAndGoesAway) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const auto read = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    QFile installed(home.filePath(QStringLiteral("installed.desktop")));
    ASSERT_TRUE(installed.open(QIODevice::WriteOnly));
    installed.write("[Desktop Entry]\nName=Vindaro Agent\nExec=/opt/v/vindaro-agent %U\n"
                    "[Desktop Action stop]\nExec=/opt/v/vindaro-agent --stop\n");
    installed.close();
    AutostartEntry entry(home.filePath(QStringLiteral("config/autostart")), installed.fileName(),
                         QStringLiteral("/unused"));
    EXPECT_FALSE(entry.exists());
    ASSERT_EQ(entry.set(true), std::nullopt);
    EXPECT_EQ(entry.filePath(),
              home.filePath(QStringLiteral("config/autostart/net.vindaro.agent.desktop")));
    const QString written = read(entry.filePath());
    EXPECT_TRUE(written.startsWith(QStringLiteral("[Desktop Entry]\nType=Application\n")))
        << written.toStdString();
    EXPECT_TRUE(written.contains(QStringLiteral("\nExec=/opt/v/vindaro-agent --autostart\n")));
    EXPECT_TRUE(AutostartEntry::startedByDesktopIn(
        QProcess::splitCommand(QStringLiteral("/opt/v/vindaro-agent --autostart"))));
    EXPECT_FALSE(AutostartEntry::startedByDesktopIn({QStringLiteral("vindaro-agent")}));
    ASSERT_EQ(entry.set(false), std::nullopt);
    EXPECT_FALSE(entry.exists());
    EXPECT_EQ(entry.set(false), std::nullopt);

    // Not installed: this program, quoted.
    AutostartEntry bare(home.filePath(QStringLiteral("bare")), QString(),
                        QStringLiteral("/home/a b/vindaro-agent"));
    ASSERT_EQ(bare.set(true), std::nullopt);
    EXPECT_TRUE(read(bare.filePath())
                    .contains(QStringLiteral("\nExec=\"/home/a b/vindaro-agent\" --autostart\n")));
    AutostartEntry blocked(installed.fileName() + QStringLiteral("/autostart"), QString(),
                           QString());
    EXPECT_TRUE(blocked.set(true));
    EXPECT_FALSE(blocked.exists());
}
