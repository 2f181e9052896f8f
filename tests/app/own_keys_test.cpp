// The agent's window on a private Xvfb: it never reacts to a key it posted into itself.
#include "app/agent_app_delegate.h"
#include "app/main_window.h"
#include "app/own_key_filter.h"
#include "platform/fake/counting_settings_opener.h"
#include "platform/fake/fake_clipboard.h"
#include "platform/fake/manual_stop_key.h"
#include "platform/fake/manual_workspace.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "platform/fake/recording_notifications.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "platform/linux/x11/x11_window_focus.h"
#include "support/wait.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace vindaro;
using namespace vindaro::test;

namespace {

// The test button has the keyboard focus and is pressed with the space bar: its SPACE goes into
// the button itself, which must not take it for another press.
TEST(OwnKeys, TheTestButtonActivatedFromTheKeyboardPressesSpaceOnce) {
    const auto display = [] { return qEnvironmentVariable("DISPLAY").toStdString(); };
    XKeyRecorder recorder(display());
    XTestKeyPoster poster(display());
    ASSERT_TRUE(eventually([&] { return poster.mayPostEvents(); }));
    X11WindowFocus focus(display());
    MemorySecretStore secrets;
    MemoryUserDefaults defaults;
    FakeClipboard clipboard;
    CountingSettingsOpener settings;
    ManualWorkspace workspace;
    ManualStopKey stopKey;
    RecordingNotifications notifications;
    AgentAppDelegate agent(
        {poster, secrets, defaults, clipboard, settings, workspace, focus, stopKey, notifications});
    MainWindow window(agent);
    const OwnKeyFilter ownKeys([&] { return agent.keysInFlight(); });
    agent.applicationDidFinishLaunching(window);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.findChild<QPushButton*>(QStringLiteral("testButton"))->setFocus();

    const auto testPresses = [&] {
        return window.logText().count(QStringLiteral("[KEY] SPACE ×1 ← ทดสอบจาก Agent"));
    };
    recorder.typeKey("space", true);
    recorder.typeKey("space", false);
    // Once the agent's own SPACE has settled, whatever it set off would have shown.
    ASSERT_TRUE(eventually(
        [&] { return testPresses() > 1 || (testPresses() == 1 && !agent.keysInFlight()); }));
    EXPECT_EQ(testPresses(), 1);
}

} // namespace

int main(int argc, char** argv) {
    XvfbServer server;
    qputenv("DISPLAY", server.displayName().c_str());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv); // gone before the server
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
