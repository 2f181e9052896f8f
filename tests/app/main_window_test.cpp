#include "app/agent_text.h"
#include "app/main_window.h"
#include "app/status_item.h"
#include "support/qt_printers.h"
#include "support/samples.h"
#include "support/wait.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>

#include <gtest/gtest.h>

using vindaro::MainWindow;
using vindaro::StatusColor;
using vindaro::test::eventually;
using vindaro::test::sampleBundle;

namespace {

constexpr int waitLimitMs = 30000;

class RecordingActions : public vindaro::AgentActions {
public:
    QStringList taps;
    void connectTapped() override { taps << QStringLiteral("connect"); }
    void pauseTapped() override { taps << QStringLiteral("pause"); }
    void stopTapped() override { taps << QStringLiteral("stop"); }
    void testSpaceTapped() override { taps << QStringLiteral("test"); }
    void requestPermissionTapped() override { taps << QStringLiteral("requestPermission"); }
    void openSettingsTapped() override { taps << QStringLiteral("openSettings"); }
    void pasteTapped() override { taps << QStringLiteral("paste"); }
    void clearTapped() override { taps << QStringLiteral("clear"); }
    void pinTapped() override { taps << QStringLiteral("pin"); }
    void blockedKeysEdited() override { taps << QStringLiteral("blockedKeys"); }
    void limitsEdited() override { taps << QStringLiteral("limits"); }
};

class MainWindowTest : public ::testing::Test {
protected:
    template <typename Widget> Widget* find(const char* name) {
        auto* widget = window.findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    void waitForLogShown() {
        auto* view = find<QPlainTextEdit>("logView");
        // The document keeps CR LF as one line break.
        const auto shown = [&] {
            return window.logText().replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        };
        ASSERT_TRUE(eventually([&] { return view->toPlainText() == shown(); }));
    }

    RecordingActions actions;
    MainWindow window{actions, [] { return QDateTime(QDate(2024, 5, 17), QTime(20, 14, 5)); }};
};

} // namespace

TEST_F(MainWindowTest, ShowsTextsAsGivenInPlainTextAndHidesWhatIsTyped) {
    const QString markup = QStringLiteral("🟢 <b>เชื่อม</b> &amp;");
    window.setConnectionLine(markup, StatusColor::green);
    window.setPermissionLine(markup, StatusColor::red);
    for (const char* name : {"connectionLabel", "permissionLabel"}) {
        EXPECT_EQ(find<QLabel>(name)->text(), markup) << name;
        EXPECT_EQ(find<QLabel>(name)->textFormat(), Qt::PlainText) << name;
    }
    const QColor green = find<QLabel>("connectionLabel")->palette().color(QPalette::WindowText);
    const QColor red = find<QLabel>("permissionLabel")->palette().color(QPalette::WindowText);
    EXPECT_GT(green.green(), green.red());
    EXPECT_GT(red.red(), red.green());

    // A pasted token shows as bullets, and nothing put in the field is cut short.
    auto* field = find<QLineEdit>("bundleField");
    const QString huge = sampleBundle + QString(40000, u' ') + u'x';
    window.setInputText(huge);
    EXPECT_EQ(window.inputText(), huge);
    EXPECT_FALSE(field->displayText().contains(QStringLiteral("TOKEN")));

    // The log is read-only, at least 150 pixels tall, and its letters line up in columns.
    auto* log = find<QPlainTextEdit>("logView");
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_GE(log->minimumHeight(), 150);
    const QFontMetrics metrics(log->font());
    EXPECT_EQ(metrics.horizontalAdvance(u'i'), metrics.horizontalAdvance(u'W'))
        << QFontInfo(log->font()).family().toStdString();
}

TEST_F(MainWindowTest, ReturnWhileConnectIsEnabledAndEachButtonAskTheControllerForItsAction) {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window, waitLimitMs));
    auto* field = find<QLineEdit>("bundleField");
    EXPECT_TRUE(field->hasFocus());
    QTest::keyClicks(field, QStringLiteral("123456"));
    QTest::keyClick(field, Qt::Key_Return);
    QTest::keyClick(find<QPlainTextEdit>("logView"), Qt::Key_Enter); // the keypad's, elsewhere
    EXPECT_EQ(actions.taps, QStringList(2, QStringLiteral("connect")));
    window.setConnectEnabled(false);
    QTest::keyClick(field, Qt::Key_Return);
    QTest::mouseClick(find<QPushButton>("connectButton"), Qt::LeftButton);
    EXPECT_EQ(actions.taps.size(), 2);

    window.setConnectEnabled(true);
    actions.taps.clear();
    // Return in the list of blocked keys finishes the list; it does not connect.
    auto* blockedKeys = find<QLineEdit>("blockedKeysField");
    blockedKeys->setFocus();
    QTest::keyClicks(blockedKeys, QStringLiteral("ENTER"));
    QTest::keyClick(blockedKeys, Qt::Key_Return);
    auto* cooldown = find<QLineEdit>("cooldownField");
    cooldown->setFocus();
    QTest::keyClicks(cooldown, QStringLiteral("500"));
    QTest::keyClick(cooldown, Qt::Key_Return);
    window.setPinEnabled(true);
    for (const char* name :
         {"requestPermissionButton", "openSettingsButton", "pasteButton", "clearButton",
          "connectButton", "pauseButton", "stopButton", "testButton", "pinButton"})
        QTest::mouseClick(find<QPushButton>(name), Qt::LeftButton);
    EXPECT_EQ(actions.taps.join(u' '),
              QStringLiteral("blockedKeys limits requestPermission openSettings "
                             "paste clear connect pause stop test pin"));
}

TEST_F(MainWindowTest, LogShowsEveryLineWithoutFreezingUnderAFlood) {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, waitLimitMs));
    window.appendLog(QStringLiteral("เชื่อมต่อสำเร็จ — เปิดเกมและคลิกให้เกมเป็นหน้าต่างหลัก"));
    waitForLogShown();
    EXPECT_TRUE(window.logText().endsWith(
        QStringLiteral("] เชื่อมต่อสำเร็จ — เปิดเกมและคลิกให้เกมเป็นหน้าต่างหลัก\n")));

    // Ten thousand lines in one go are kept at once and painted together afterwards.
    for (int i = 0; i < 10000; ++i)
        window.appendLog(QStringLiteral("[KEY] SPACE x1 (viewer %1)").arg(i));
    EXPECT_TRUE(window.logText().endsWith(QStringLiteral("(viewer 9999)\n")));
    waitForLogShown();

    // A line the document stores differently from the text (CR LF becomes one break) still
    // leaves the view showing the log's text.
    window.appendLog(QStringLiteral("from the network:\r\nsecond part"));
    waitForLogShown();
    window.appendLog(QStringLiteral("after it"));
    waitForLogShown();

    auto* view = find<QPlainTextEdit>("logView");
    EXPECT_EQ(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
}

TEST_F(MainWindowTest, AlertShowsTheDescriptionWithOneButton) {
    const QString description = QStringLiteral("ที่อยู่เซิร์ฟเวอร์ไม่ถูกต้อง <b>&amp;</b>");
    bool inspected = false;
    QTimer::singleShot(0, &window, [&] {
        auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(alert, nullptr);
        EXPECT_EQ(QTextDocumentFragment::fromHtml(alert->informativeText()).toPlainText(),
                  description);
        ASSERT_EQ(alert->buttons().size(), 1);
        inspected = true;
        alert->buttons().front()->click();
    });
    window.showAlert(description);
    EXPECT_TRUE(inspected);
    EXPECT_TRUE(actions.taps.isEmpty());
}

TEST_F(MainWindowTest, QuitComesFromTheMenuCtrlQAndClosingTheWindow) {
    QSignalSpy quit(&window, &MainWindow::quitRequested);
    const QList<QAction*> items = find<QMenu>("appMenu")->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[2]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    items[2]->trigger();
    EXPECT_EQ(quit.size(), 1);

    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window, waitLimitMs));
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quit.size(), 2);

    EXPECT_TRUE(window.close());
    EXPECT_EQ(quit.size(), 3);
    EXPECT_FALSE(window.isVisible());
}

// Leaves pictures of the window in build/artifacts: started, connected, and pinned to a game with
// the stop key ready.
TEST_F(MainWindowTest, PicturesOfTheStartedConnectedAndPinnedWindow) {
    using vindaro::AgentText;
    using vindaro::text;
    const QString directory = QStringLiteral(VINDARO_ARTIFACTS_DIR);
    ASSERT_TRUE(QDir().mkpath(directory));
    const auto picture = [&](const char* fileName) {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, waitLimitMs));
        waitForLogShown();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        // No line is cut short.
        for (const auto* label : window.findChildren<QLabel*>()) {
            const int needed = label->wordWrap() ? 0 : label->sizeHint().width();
            EXPECT_GE(label->width(), needed) << label->objectName().toStdString();
        }
        EXPECT_TRUE(window.grab().save(directory + QLatin1Char('/') + QLatin1String(fileName)));
    };
    window.setPermissionLine(text(AgentText::permissionGranted), StatusColor::green);
    window.setConnectionLine(text(AgentText::notConnected), StatusColor::secondary);
    window.setPinLine(text(AgentText::notPinned), StatusColor::secondary);
    window.setPinTitle(text(AgentText::pinButton));
    picture("main-window.png");

    window.setConnectionLine(text(AgentText::connected), StatusColor::green);
    window.setActivityLine(text(AgentText::armed), StatusColor::green);
    window.setPauseTitle(text(AgentText::pause));
    window.appendLog(QStringLiteral("[KEY] SPACE ×1 ← Vindaro event"));
    picture("main-window-connected.png");

    window.setStopKeyLine(text(AgentText::stopKeyReady), StatusColor::green);
    window.setPinLine(text(AgentText::pinnedTo, QStringLiteral("SuperTuxKart")),
                      StatusColor::green);
    window.setPinTitle(text(AgentText::unpinButton));
    window.setBlockedKeysText(QStringLiteral("ENTER, ESC, T"));
    window.setLimitText(vindaro::AgentView::Limit::cooldownMs, QStringLiteral("1500"));
    window.setLimitText(vindaro::AgentView::Limit::perMinute, QStringLiteral("60"));
    picture("main-window-pinned.png");
}

// Leaves a picture of the panel's item in each state in build/artifacts: its icon and tooltip.
// Started by the desktop, the window opens minimised.
TEST_F(MainWindowTest, PicturesOfTheStatusItemInEachStateAndAMinimisedStartByTheDesktop) {
    using vindaro::AgentText;
    using vindaro::ConnectionPhase;
    using vindaro::StatusItem;
    using Standing = StatusItem::Standing;
    struct Case {
        ConnectionPhase phase;
        bool armed, halted;
        Standing standing;
        vindaro::PanelItem::Status status;
        const char* name;
    };
    using Status = vindaro::PanelItem::Status;
    const Case cases[] = {
        {ConnectionPhase::notConnected, false, false, Standing::notConnected, Status::passive,
         "not-connected"},
        {ConnectionPhase::reconnecting, true, false, Standing::connecting, Status::active,
         "connecting"},
        {ConnectionPhase::connected, true, false, Standing::armed, Status::active, "armed"},
        {ConnectionPhase::connected, false, false, Standing::paused, Status::active, "paused"},
        {ConnectionPhase::connected, false, true, Standing::halted, Status::needsAttention,
         "stopped"},
    };
    ASSERT_TRUE(QDir().mkpath(QStringLiteral(VINDARO_ARTIFACTS_DIR)));
    QSet<QByteArray> icons;
    for (const Case& c : cases) {
        vindaro::AgentState state;
        state.phase = c.phase;
        state.armed = c.armed;
        state.halted = c.halted;
        state.pin = vindaro::PinPhase::pinned;
        EXPECT_EQ(StatusItem::standingOf(state), c.standing) << c.name;
        EXPECT_EQ(StatusItem::statusOf(c.standing), c.status) << c.name;
        vindaro::ViewContent content;
        content.connection.text =
            vindaro::text(c.phase == ConnectionPhase::connected      ? AgentText::connected
                          : c.phase == ConnectionPhase::reconnecting ? AgentText::reconnecting
                                                                     : AgentText::notConnected);
        content.activity.text = vindaro::text(c.armed ? AgentText::armed : AgentText::notArmed);
        content.pin.text = vindaro::text(AgentText::pinnedTo, QStringLiteral("SuperTuxKart"));
        const QImage icon = StatusItem::icon(c.standing).pixmap(48).toImage();
        icons << QByteArray(reinterpret_cast<const char*>(icon.constBits()), icon.sizeInBytes());
        QImage card(460, 110, QImage::Format_ARGB32);
        card.fill(Qt::white);
        QPainter painter(&card);
        painter.drawImage(8, 8, icon);
        painter.drawText(QRect(64, 8, 390, 100), StatusItem::toolTip(state, content));
        painter.end();
        EXPECT_TRUE(card.save(QStringLiteral(VINDARO_ARTIFACTS_DIR "/status-item-%1.png")
                                  .arg(QString::fromLatin1(c.name))));
    }
    EXPECT_EQ(icons.size(), 5);
    window.showAtStart(true);
    EXPECT_TRUE(window.isMinimized());
}
