#include "app/agent_app_delegate.h"
#include "app/agent_text.h"
#include "app/main_window.h"
#include "app/own_key_filter.h"
#include "app/status_item.h"
#include "entry/connection_test.h"
#include "entry/mode.h"
#include "entry/self_test.h"
#include "entry/termination_signals.h"
#include "model/constants.h"
#include "platform/linux/desktop/agent_instance.h"
#include "platform/linux/desktop/autostart_entry.h"
#include "platform/linux/desktop/desktop_session.h"
#include "platform/linux/desktop/freedesktop_notifications.h"
#include "platform/linux/desktop/help_settings_opener.h"
#include "platform/linux/desktop/status_notifier_item.h"
#include "platform/linux/desktop/system_clipboard.h"
#include "platform/linux/key_backend.h"
#include "platform/linux/keyboard/held_key_journal.h"
#include "platform/linux/realtime/realtime_scheduling.h"
#include "platform/linux/secret_service_store.h"
#include "platform/linux/session/linux_workspace_notifications.h"
#include "platform/linux/settings_user_defaults.h"
#include "platform/linux/x11/x11_stop_key.h"
#include "platform/linux/x11/x11_window_focus.h"
#include "relay/connection_probe.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QProcessEnvironment>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <span>

namespace {

constexpr std::chrono::seconds connectionTestTimeout{10};

constexpr std::chrono::milliseconds startUpPermissionWait{500};

// How long quitting may wait for the relay connection's close frame to leave.
constexpr std::chrono::milliseconds closingLimit{1000};
constexpr std::chrono::milliseconds closingPoll{5};
// As long as the keyring's own silence limit: a keyring that stays silent longer has hung.
constexpr std::chrono::milliseconds keyringLimit{10000};

int runApplication(int argc, char** argv) {
    QApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("net.vindaro.agent"));
    // Closing the window quits, but through the agent's own way out below, which lets go of
    // every key and says goodbye to the relay before the event loop ends.
    QApplication::setQuitOnLastWindowClosed(false);

    // One agent per user, settled before any key is touched: a second one would press every
    // key twice, and would release the keys the first one holds.
    vindaro::AgentInstance instance;
    if (const auto claim = instance.claim(); claim != vindaro::AgentInstance::Claim::claimed) {
        const QString text = claim == vindaro::AgentInstance::Claim::anotherIsRunning
                                 ? QStringLiteral("Vindaro Agent เปิดอยู่แล้ว จึงเปิดซ้ำอีกไม่ได้")
                                 : QStringLiteral("เปิด Vindaro Agent ไม่ได้: โฟลเดอร์ของโปรแกรมใน "
                                                  "XDG_RUNTIME_DIR ไม่ใช่ของผู้ใช้นี้คนเดียว");
        std::cerr << text.toStdString() << '\n' << std::flush;
        QMessageBox::warning(nullptr, QStringLiteral("Vindaro Agent"), text);
        return 1;
    }

    vindaro::XDesktopPieces x;
    x.focus = [](const std::string& display) {
        return std::make_unique<vindaro::X11WindowFocus>(display);
    };
    x.stopKey = [](const std::string& display) {
        return std::make_unique<vindaro::X11StopKey>(display);
    };
    vindaro::KeyBackend backend = vindaro::chooseKeyBackend(
        QProcessEnvironment::systemEnvironment(), QDBusConnection::sessionBus(), x);
    // A run that was killed mid-hold left its key down on an X server, or in KWin, which keeps a
    // dead fake input's keys pressed too; it comes up before anything else. The journal is kept
    // in the folder this agent has just claimed as the one.
    vindaro::HeldKeyJournal keyPoster(*backend.poster,
                                      vindaro::heldKeyJournalPath(backend.kind, instance.folder()));
    keyPoster.releaseLeftovers();
    // The display opens on the poster's own thread. A moment's wait lets the window open showing
    // the permission it has, instead of "missing" for a blink; a display slower than that is not
    // waited for, and the line turns green when it answers. The portal's session starts through
    // answers on the bus, which only the event loop reads; where nobody is asked, it is up by then.
    QDeadlineTimer displayWait(startUpPermissionWait);
    while (!keyPoster.mayPostEvents() && !displayWait.hasExpired()) {
        if (backend.kind == vindaro::KeyBackendKind::portal)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        QThread::msleep(2);
    }
    vindaro::SecretServiceStore secrets;
    vindaro::SettingsUserDefaults defaults;
    vindaro::SystemClipboard clipboard;
    vindaro::HelpSettingsOpener settings;
    vindaro::LinuxWorkspaceNotifications workspace(QDBusConnection::systemBus(),
                                                   QDBusConnection::sessionBus());
    vindaro::FreedesktopNotifications notifications(QDBusConnection::sessionBus());
    vindaro::AgentAppDelegate::Options options;
    options.keyWorkerStart = [] { static_cast<void>(vindaro::makeCurrentThreadRealtime()); };
    vindaro::AgentAppDelegate delegate({keyPoster, secrets, defaults, clipboard, settings,
                                        workspace, *backend.focus, *backend.stopKey, notifications},
                                       std::move(options));
    vindaro::MainWindow window(delegate);
    const vindaro::OwnKeyFilter ownKeys([&delegate] { return delegate.keysInFlight(); });
    vindaro::AutostartEntry autostart;
    window.setStartWithDesktop(autostart.exists());
    QObject::connect(
        &window, &vindaro::MainWindow::startWithDesktopToggled, &application, [&](bool wanted) {
            if (const std::optional<QString> error = autostart.set(wanted)) {
                window.setStartWithDesktop(autostart.exists());
                window.showAlert(vindaro::text(vindaro::AgentText::startWithDesktopFailed, *error));
                return;
            }
            window.appendLog(vindaro::text(wanted ? vindaro::AgentText::startWithDesktopOn
                                                  : vindaro::AgentText::startWithDesktopOff));
        });
    vindaro::TerminationSignals terminationSignals;
    // `vindaro-agent --stop`, bound to Pause in the desktop's shortcuts, is the stop button.
    instance.onStopRequested([&delegate] { delegate.stopRequested(); });
    // A compositor that goes away, or a desktop session closed from outside, may say so on a
    // thread of its own; the controller hears it on the main thread.
    QObject lossContext;
    backend.observeLoss([context = QPointer<QObject>(&lossContext),
                         &delegate](const std::string& line) {
        if (QObject* target = context.data())
            QMetaObject::invokeMethod(
                target,
                [&delegate, why = QString::fromStdString(line)] { delegate.keyOutputLost(why); },
                Qt::QueuedConnection);
    });
    // The portal's session may start long after the choice, once the user has agreed; only then
    // can the keys a previous run left down be let go.
    backend.observeReady([context = QPointer<QObject>(&lossContext), &delegate,
                          &keyPoster](const std::string& line) {
        if (QObject* target = context.data())
            QMetaObject::invokeMethod(
                target,
                [&delegate, &keyPoster, ready = QString::fromStdString(line)] {
                    keyPoster.releaseLeftovers();
                    delegate.keyOutputChosen(ready);
                },
                Qt::QueuedConnection);
    });

    // The one way out, from the menu, Ctrl+Q, the window's close button, SIGINT and SIGTERM.
    bool quitting = false;
    QTimer closing;
    QElapsedTimer closingFor;
    vindaro::StatusNotifierItem panelItem(QDBusConnection::sessionBus());
    std::optional<vindaro::StatusItem> statusItem;
    const auto quit = [&] {
        if (quitting)
            return;
        quitting = true;
        window.hide();
        if (statusItem)
            statusItem->hide();
        delegate.applicationWillTerminate();
        closingFor.start();
        closing.start(closingPoll);
    };
    QObject::connect(&closing, &QTimer::timeout, &application, [&] {
        const bool closed =
            !delegate.isClosingConnection() || closingFor.hasExpired(closingLimit.count());
        // A keyring flow already sent is seen to its end, so that its settings follow its token.
        const bool stored =
            !delegate.isStoringCredentials() || closingFor.hasExpired(keyringLimit.count());
        if (closed && stored)
            QCoreApplication::quit();
    });
    QObject::connect(&window, &vindaro::MainWindow::quitRequested, &application, quit);
    QObject::connect(&terminationSignals, &vindaro::TerminationSignals::received, &application,
                     quit);
    // However else the application ends (the session manager, say), the keys are let go.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &application,
                     [&] { delegate.applicationWillTerminate(); });
    QObject::connect(&application, &QGuiApplication::applicationStateChanged, &application,
                     [&](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive)
                             delegate.applicationDidBecomeActive();
                     });

    delegate.applicationDidFinishLaunching(window);
    delegate.keyOutputChosen(backend.startLine);
    statusItem.emplace(delegate, window, &panelItem);
    // Started by the desktop at login, the agent keeps out of the way until the streamer wants it;
    // it connects only when they press connect, as always.
    window.showAtStart(vindaro::AutostartEntry::startedByDesktopIn(QCoreApplication::arguments()));
    const int status = QApplication::exec();
    statusItem.reset();
    backend.observeLoss({});
    backend.observeReady({});
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // Parse the fixed endpoint before anything else: the process does not go on without it.
    (void)vindaro::pairingEndpoint();

    const std::span<const char* const> arguments(argv, static_cast<size_t>(argc));
    switch (vindaro::selectMode(arguments)) {
    case vindaro::Mode::selfTest: {
        const bool passed = vindaro::runSelfTest(std::cout);
        std::cout << (passed ? "SELF_TEST_OK" : "SELF_TEST_FAILED") << '\n' << std::flush;
        return passed ? 0 : 1;
    }
    case vindaro::Mode::connectionTest: {
        // The probe needs an event loop for its socket, but no window.
        QCoreApplication application(argc, argv);
        const int status = vindaro::runConnectionTest(stdin, std::cout, [](const QUrl& url) {
            return vindaro::ConnectionProbe().run(url, std::nullopt, connectionTestTimeout);
        });
        std::cout << std::flush;
        return status;
    }
    case vindaro::Mode::stop: {
        QCoreApplication application(argc, argv);
        switch (vindaro::AgentInstance::requestStop()) {
        case vindaro::AgentInstance::StopOutcome::stopped:
            return 0;
        case vindaro::AgentInstance::StopOutcome::noAgent:
            std::cerr << "vindaro-agent --stop: ไม่มี Vindaro Agent ที่กำลังทำงานอยู่ "
                         "(no running agent to stop)\n";
            return 1;
        case vindaro::AgentInstance::StopOutcome::noAnswer:
            std::cerr << "vindaro-agent --stop: Vindaro Agent ไม่ตอบรับคำสั่งหยุด "
                         "(the agent did not confirm)\n";
            return 1;
        }
        return 1;
    }
    case vindaro::Mode::application:
        if (!vindaro::desktopSessionReachable(QProcessEnvironment::systemEnvironment())) {
            std::cerr << "vindaro-agent: หน้าต่างของโปรแกรมต้องเปิดในเดสก์ท็อป ไม่พบ X server หรือ "
                         "Wayland — ใช้ --self-test และ --connection-test ได้โดยไม่ต้องมีเดสก์ท็อป "
                         "(the window needs a desktop session; --self-test and --connection-test "
                         "work without one)\n";
            return 1;
        }
        return runApplication(argc, argv);
    }
    return 1;
}
