// The Wayland backends against sway, mutter and KWin, seen from native Wayland windows; the choice
// of backend; and the one agent per user with its `--stop` command.
#include "keyboard/key_map.h"
#include "keyboard/keyboard_executor.h"
#include "platform/fake/manual_stop_key.h"
#include "platform/linux/desktop/agent_instance.h"
#include "platform/linux/key_backend.h"
#include "platform/linux/keyboard/held_key_journal.h"
#include "platform/linux/wayland/kwin_key_poster.h"
#include "platform/linux/wayland/kwin_window_focus.h"
#include "platform/linux/wayland/mutter_key_poster.h"
#include "platform/linux/wayland/portal_key_poster.h"
#include "platform/linux/wayland/sway_window_focus.h"
#include "platform/linux/wayland/virtual_keyboard_poster.h"
#include "support/bare_compositor.h"
#include "support/kwin_server.h"
#include "support/mutter_server.h"
#include "support/sway_server.h"
#include "support/wait.h"
#include "support/wayland_key_recorder.h"
#include "support/x_key_recorder.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <map>

using namespace std::chrono_literals;
using namespace vindaro;
using namespace vindaro::test;

namespace {

constexpr VirtualKeyCode shift = 56;
constexpr VirtualKeyCode control = 59;
constexpr VirtualKeyCode w = 13;

// 100 commands over the key map, the first three pressed thrice so gaps show; then a 3 s hold
// that cancelAll() ends. A compositor stamps events when its input thread gets to them, in whole
// milliseconds, so a stamp may read `slackMs` short, and on a busy machine up to `shortAllowed`
// presses may look shorter still: most where each key crosses another process first (mutter's
// D-Bus, the portal). A hold or a gap the agent really cuts short shows in every press.

void expectKeysArriveAndCancelReleasesAtOnce(KeyPoster& poster, WaylandKeyRecorder& recorder,
                                             std::size_t shortAllowed, unsigned slackMs) {
    constexpr int holdMs = 30;
    KeyboardExecutor executor(poster);
    std::vector<std::string> pressed;
    for (int command = 0; command < 100; ++command) {
        const auto& key = KeyMap::values()[command % KeyMap::values().size()];
        const int count = command < 3 ? 3 : 1;
        ASSERT_TRUE(executor.enqueue(key.name, key.code, count, holdMs, "test"));
        pressed.insert(pressed.end(), count, key.name);
    }
    const auto keys = recorder.waitForKeys(2 * pressed.size(), patience);
    ASSERT_EQ(keys.size(), 2 * pressed.size()) << describe(keys);
    std::size_t shortOnes = 0;
    for (std::size_t press = 0; press < pressed.size(); ++press) {
        const auto& down = keys[2 * press];
        const auto& up = keys[2 * press + 1];
        ASSERT_TRUE(down.pressed && !up.pressed) << press << ": " << describe(keys);
        EXPECT_EQ(down.keysym, usKeysymOf(pressed[press])) << pressed[press];
        EXPECT_EQ(up.keycode, down.keycode) << pressed[press];
        shortOnes += up.time - down.time + slackMs < static_cast<unsigned>(holdMs);
        if (press < 8 && press % 3 != 2)
            shortOnes += keys[2 * press + 2].time - up.time + slackMs <
                         static_cast<unsigned>(KeyboardExecutor::pressGap.count());
    }
    EXPECT_LE(shortOnes, shortAllowed) << describe(keys);

    recorder.clear();
    ASSERT_TRUE(executor.enqueue("SHIFT", shift, 2, 3000, "test"));
    ASSERT_EQ(recorder.waitForKeys(1, patience).size(), 1U);
    const auto cancelled = std::chrono::steady_clock::now();
    executor.cancelAll();
    const auto held = recorder.waitForKeys(2, patience);
    ASSERT_EQ(held.size(), 2U) << describe(held);
    EXPECT_FALSE(held[1].pressed);
    EXPECT_LT(held[1].receivedAt - cancelled, 1000ms);
}

// Whether the line a poster gave, from whichever thread, when it could post no more names `word`.
bool said(std::promise<std::string>& lost, const std::string& word) {
    auto line = lost.get_future();
    return line.wait_for(patience) == std::future_status::ready &&
           line.get().find(word) != std::string::npos;
}

// With an X Pause key that would say it is ready wherever it is offered.
KeyBackend choose(const std::map<std::string, std::string>& variables) {
    QProcessEnvironment environment;
    for (const auto& [name, value] : variables)
        environment.insert(QString::fromStdString(name), QString::fromStdString(value));
    XDesktopPieces x;
    x.stopKey = [](const std::string&) { return std::make_unique<ManualStopKey>(); };
    return chooseKeyBackend(environment, QDBusConnection::sessionBus(), x);
}

// The keys, the choice of backend, and a compositor that dies mid-hold.
TEST(SwayKeys, ArriveAsCommandedAndEndWhenTheCompositorDies) {
    SwayServer sway;
    WaylandKeyRecorder recorder{sway.waylandDisplay()};
    const auto poster = VirtualKeyboardPoster::connect(sway.waylandDisplay());
    ASSERT_TRUE(poster && recorder.waitUntilReceiving(*poster, patience));
    expectKeysArriveAndCancelReleasesAtOnce(*poster, recorder, 3, 0);

    // wlroots learns a virtual keyboard's modifiers only from its client: held SHIFT and CTRL act
    // on the next key, and stop acting once up.
    recorder.clear();
    const VirtualKeyCode codes[] = {shift, control, w, w, shift, w, w, control, w, w};
    const bool downs[] = {true, true, true, false, false, true, false, false, true, false};
    for (std::size_t event = 0; event < 10; ++event)
        ASSERT_TRUE(
            poster->postKey(codes[event], downs[event] ? KeyDirection::down : KeyDirection::up));
    const auto keys = recorder.waitForKeys(10, patience);
    ASSERT_EQ(keys.size(), 10U) << describe(keys);
    EXPECT_EQ(keys[2].modifiers, unsigned{Qt::ShiftModifier | Qt::ControlModifier});
    EXPECT_EQ(keys[2].keysym, 'W');
    EXPECT_EQ(keys[5].modifiers, unsigned{Qt::ControlModifier});
    EXPECT_EQ(keys[5].keysym, 'w');
    EXPECT_EQ(keys[8].modifiers, 0U);

    const std::filesystem::path socket = sway.waylandDisplay();
    const auto wlroots = choose({{"WAYLAND_DISPLAY", socket.filename()},
                                 {"XDG_RUNTIME_DIR", socket.parent_path()},
                                 {"SWAYSOCK", sway.ipcSocket()}});
    EXPECT_EQ(wlroots.kind, KeyBackendKind::virtualKeyboard);
    EXPECT_TRUE(wlroots.poster->mayPostEvents());
    EXPECT_TRUE(wlroots.focus->canPin());
    EXPECT_EQ(wlroots.stopKey->state(), StopKey::State::needsDesktopShortcut);
    // An X session gets X11, and a Wayland one that offers neither way gets XWayland.
    const auto x11 = choose({{"DISPLAY", ":99"}});
    EXPECT_EQ(x11.kind, KeyBackendKind::x11);
    EXPECT_EQ(x11.stopKey->state(), StopKey::State::ready);

    const auto neither =
        choose({{"WAYLAND_DISPLAY", "/nonexistent/wayland-9"}, {"DISPLAY", ":99"}});
    EXPECT_EQ(neither.kind, KeyBackendKind::xwaylandOnly);
    EXPECT_TRUE(neither.startLine.contains(QStringLiteral("X11/XWayland")))
        << neither.startLine.toStdString();
    EXPECT_FALSE(neither.poster->mayPostEvents());
    // XWayland keeps a killed agent's key down as any X server does.
    EXPECT_EQ(heldKeyJournalPath(neither.kind, QStringLiteral("/a")), "/a/held-keys");
    // The X Pause key would hear only keys typed into X windows: the desktop's shortcut instead.
    EXPECT_EQ(neither.stopKey->state(), StopKey::State::needsDesktopShortcut);

    std::promise<std::string> lost;
    poster->setOnLost([&](const std::string& line) { lost.set_value(line); });
    KeyboardExecutor executor(*poster);
    recorder.clear();
    ASSERT_TRUE(executor.enqueue("W", w, 1, 3000, "test"));
    ASSERT_EQ(recorder.waitForKeys(1, patience).size(), 1U);
    sway.kill();
    ASSERT_TRUE(eventually([&] { return !poster->mayPostEvents(); }));
    EXPECT_TRUE(said(lost, "Wayland"));
    const auto started = std::chrono::steady_clock::now();
    executor.cancelAll();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
    EXPECT_FALSE(poster->postKey(w, KeyDirection::down));
}

// Through the backend chosen for it, whose loss the agent hears and pauses on.
TEST(VirtualKeyboard, AWithdrawnKeyboardTakesNoNewPressButLetsAHeldKeyUp) {
    BareCompositor compositor;
    const auto backend = choose({{"WAYLAND_DISPLAY", compositor.socket()}});
    ASSERT_EQ(backend.kind, KeyBackendKind::virtualKeyboard);
    KeyPoster* const poster = backend.poster.get();
    std::promise<std::string> lost;
    backend.observeLoss([&](const std::string& line) { lost.set_value(line); });
    ASSERT_TRUE(poster->postKey(w, KeyDirection::down));

    compositor.withdrawKeyboardManager();
    ASSERT_TRUE(eventually([&] { return !poster->mayPostEvents(); }));
    EXPECT_FALSE(poster->postKey(0, KeyDirection::down));
    EXPECT_TRUE(poster->postKey(w, KeyDirection::up));
    EXPECT_TRUE(said(lost, "ถอน"));
}

TEST(SwayFocus, ThePinFollowsTheFocusAndEndsWithTheWindowAndStopReachesTheOneAgent) {
    SwayServer sway;
    WaylandKeyRecorder chat(sway.waylandDisplay(), "chat");
    const auto focus = SwayWindowFocus::connect(sway.ipcSocket());
    const auto poster = VirtualKeyboardPoster::connect(sway.waylandDisplay());
    ASSERT_TRUE(focus && poster);
    ASSERT_TRUE(chat.waitUntilReceiving(*poster, patience));
    KeyboardExecutor executor(*poster);
    QString pinned;
    bool timedOut = false;
    bool closed = false;
    std::atomic<int> left = 0;
    focus->observe({[&](const QString& title) { pinned = title; }, [&] { timedOut = true; },
                    [&] { closed = true; },
                    [&] {
                        ++left;
                        executor.cancelAll();
                    }});
    // The executor goes first: from then on the focus's reader thread must not call it.
    const std::shared_ptr<void> unhook(nullptr, [&](void*) { focus->observe({}); });
    EXPECT_EQ(focus->beforeKeyDown(), KeyDestination::allowed);
    focus->pinNextFocusedWindow(50ms);
    EXPECT_TRUE(eventually([&] { return timedOut; }));

    focus->pinNextFocusedWindow(10s);
    WaylandKeyRecorder game(sway.waylandDisplay(), "game"); // a new window takes the focus
    ASSERT_TRUE(eventually([&] { return pinned == QStringLiteral("game"); }));
    ASSERT_TRUE(game.waitUntilReceiving(*poster, patience));
    ASSERT_TRUE(executor.enqueue("W", w, 1, 3000, "test"));
    ASSERT_EQ(game.waitForKeys(1, patience).size(), 1U);

    ASSERT_TRUE(sway.command(R"([app_id="chat"] focus)"));
    const auto moved = std::chrono::steady_clock::now();
    // A held key comes up where the focus went, as on a hardware keyboard; nothing goes down.

    const auto released = chat.waitForKeys(1, patience);
    ASSERT_EQ(released.size(), 1U);
    EXPECT_FALSE(released[0].pressed);
    EXPECT_EQ(released[0].keycode, game.keys()[0].keycode);
    EXPECT_LT(released[0].receivedAt - moved, 1000ms);
    EXPECT_EQ(left, 1);
    EXPECT_EQ(focus->beforeKeyDown(), KeyDestination::pinnedWindowNotFocused);

    // A key held in the pinned window comes up when it closes, long before its hold ends.
    ASSERT_TRUE(sway.command(R"([app_id="game"] focus)"));
    EXPECT_TRUE(eventually([&] { return focus->beforeKeyDown() == KeyDestination::allowed; }));
    game.clear();
    chat.clear();
    ASSERT_TRUE(executor.enqueue("W", w, 1, 3000, "test"));
    ASSERT_EQ(game.waitForKeys(1, patience).size(), 1U);
    ASSERT_TRUE(sway.command(R"([app_id="game"] kill)"));
    const auto gone = std::chrono::steady_clock::now();
    const auto upAfterClose = chat.waitForKeys(1, patience);
    ASSERT_TRUE(upAfterClose.size() == 1 && !upAfterClose[0].pressed) << describe(upAfterClose);
    EXPECT_LT(upAfterClose[0].receivedAt - gone, 1000ms);
    EXPECT_EQ(left, 2);
    EXPECT_TRUE(eventually([&] { return closed; }));
    EXPECT_EQ(focus->beforeKeyDown(), KeyDestination::pinnedWindowClosed);

    // A floating window, as many games are, is a window like any other.
    focus->unpin();
    ASSERT_TRUE(sway.command(R"([app_id="chat"] floating enable)"));
    ASSERT_TRUE(sway.command("workspace 2"));
    EXPECT_TRUE(
        eventually([&] { return focus->beforeKeyDown() == KeyDestination::noFocusedWindow; }));
    ASSERT_TRUE(sway.command("workspace 1"));
    EXPECT_TRUE(eventually([&] { return focus->beforeKeyDown() == KeyDestination::allowed; }));

    // Two agents started together: one says it cannot run twice and ends once its alert is
    // answered; the other stays, and `--stop` reaches it. With no agent left, `--stop` says so.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    for (const auto& [name, value] : {std::pair{"QT_QPA_PLATFORM", std::string("wayland")},
                                      {"WAYLAND_DISPLAY", sway.waylandDisplay()},
                                      {"SWAYSOCK", sway.ipcSocket()}})
        environment.insert(QString::fromLatin1(name), QString::fromStdString(value));
    std::array<QProcess, 2> agents;
    for (QProcess& agent : agents) {
        agent.setProcessEnvironment(environment);
        agent.start(QStringLiteral(VINDARO_AGENT_PATH), {});
    }
    QProcess* second = nullptr;
    ASSERT_TRUE(eventually([&] {
        for (QProcess& agent : agents) {
            if (agent.readAllStandardError().contains("เปิดอยู่แล้ว"))
                second = &agent;
        }
        return second != nullptr;
    }));
    QProcess& first = second == &agents[0] ? agents[1] : agents[0];
    ASSERT_TRUE(eventually([&] {
        // Its alert takes the focus, then Return answers it.
        static_cast<void>(sway.command("[pid=" + std::to_string(second->processId()) + "] focus"));
        static_cast<void>(poster->postKey(36, KeyDirection::down));
        static_cast<void>(poster->postKey(36, KeyDirection::up));
        return second->waitForFinished(200);
    }));
    EXPECT_EQ(second->exitCode(), 1) << second->readAllStandardError().toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);
    // Another agent's window, known by its app_id, is an agent window all the same.
    EXPECT_TRUE(eventually([&] {
        return sway.command(R"([app_id="net.vindaro.agent"] focus)") &&
               focus->beforeKeyDown() == KeyDestination::agentWindowFocused;
    }));

    const auto stop = [] {
        QProcess command;
        command.start(QStringLiteral(VINDARO_AGENT_PATH), {QStringLiteral("--stop")});
        EXPECT_TRUE(command.waitForFinished(30000));
        return std::pair{command.exitCode(), command.readAllStandardError()};
    };
    EXPECT_EQ(stop().first, 0);
    first.terminate();
    EXPECT_TRUE(first.waitForFinished(30000));
    const auto [status, message] = stop();
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(message.contains("no running agent")) << message.toStdString();
}

// The keys, the choice of this backend on GNOME, and the session closed from outside mid-hold.
TEST(MutterKeys, ArriveAsCommandedAndEndWhenTheSessionIsClosedFromOutside) {
    MutterServer mutter;
    const auto poster = MutterKeyPoster::start(QDBusConnection::sessionBus());
    WaylandKeyRecorder recorder{mutter.waylandDisplay()};
    ASSERT_TRUE(poster && eventually([&] { return recorder.focused(); }));
    // The very first key of the session reaches the window whole.
    ASSERT_TRUE(poster->postKey(w, KeyDirection::down) && poster->postKey(w, KeyDirection::up));
    const auto first = recorder.waitForKeys(2, patience);
    ASSERT_EQ(first.size(), 2U) << describe(first);
    EXPECT_TRUE(first[0].pressed && first[0].keysym == 'w') << describe(first);
    ASSERT_TRUE(recorder.waitUntilReceiving(*poster, patience));
    expectKeysArriveAndCancelReleasesAtOnce(*poster, recorder, 30, 1);

    {
        const auto gnome = choose({{"WAYLAND_DISPLAY", mutter.waylandDisplay()}});
        EXPECT_EQ(gnome.kind, KeyBackendKind::mutter);
        EXPECT_TRUE(gnome.poster->mayPostEvents());
        EXPECT_FALSE(gnome.focus->canPin());
        EXPECT_TRUE(gnome.startLine.contains(QStringLiteral("GNOME")));
    }

    std::promise<std::string> lost;
    poster->setOnLost([&](const std::string& line) { lost.set_value(line); });
    recorder.clear();
    ASSERT_TRUE(poster->postKey(w, KeyDirection::down));
    ASSERT_EQ(recorder.waitForKeys(1, patience).size(), 1U);
    // As GNOME's "stop sharing" does; mutter takes Stop only from the session's own connection.
    QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Mutter.RemoteDesktop"), poster->sessionPath(),
        QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session"), QStringLiteral("Stop")));
    ASSERT_TRUE(eventually([&] { return !poster->mayPostEvents(); }));
    EXPECT_TRUE(said(lost, "GNOME"));
    EXPECT_FALSE(poster->postKey(w, KeyDirection::down));
    const auto keys = recorder.waitForKeys(2, patience);
    ASSERT_EQ(keys.size(), 2U) << describe(keys);
    EXPECT_FALSE(keys[1].pressed);
}

// On Plasma: refused until a desktop entry names the executable, then the keys, the backend's
// choice, and KWin killed mid-hold with the agent told why.
TEST(KWinKeys, ArriveOnceAllowedAndEndWhenKWinDies) {
    KWinServer kwin({});
    const std::filesystem::path socket = kwin.waylandDisplay();
    const std::map<std::string, std::string> plasma{{"WAYLAND_DISPLAY", socket.filename()},
                                                    {"XDG_RUNTIME_DIR", socket.parent_path()},
                                                    {"XDG_CURRENT_DESKTOP", "KDE"},
                                                    {"DISPLAY", ":99"}};
    auto refusal = KWinKeyPoster::Refusal::none;
    EXPECT_FALSE(KWinKeyPoster::connect(kwin.waylandDisplay(), refusal));
    EXPECT_EQ(refusal, KWinKeyPoster::Refusal::notOffered);
    const auto refused = choose(plasma);
    EXPECT_EQ(refused.kind, KeyBackendKind::xwaylandOnly);
    EXPECT_TRUE(refused.startLine.contains(QStringLiteral("cmake --install")))
        << refused.startLine.toStdString();

    // KWin reads the new entry within a second or two.
    kwin.allow(KWinServer::thisExecutable());
    KeyBackend backend;
    ASSERT_TRUE(eventually([&] {
        backend = choose(plasma);
        return backend.kind == KeyBackendKind::kwin;
    }));
    EXPECT_TRUE(backend.startLine.contains(QStringLiteral("KWin")));
    EXPECT_TRUE(backend.focus->canPin());
    EXPECT_EQ(backend.stopKey->state(), StopKey::State::needsDesktopShortcut);
    KeyPoster& poster = *backend.poster;
    WaylandKeyRecorder recorder{kwin.waylandDisplay()};
    ASSERT_TRUE(recorder.waitUntilReceiving(poster, patience));
    expectKeysArriveAndCancelReleasesAtOnce(poster, recorder, 3, 0);

    // KWin keeps a key down after the client that pressed it has gone, as an X server does; the
    // next run's journal lets it go.
    EXPECT_EQ(heldKeyJournalPath(backend.kind, QStringLiteral("/a")), "/a/held-keys");
    QTemporaryDir journalFolder;
    const std::string journal = journalFolder.filePath(QStringLiteral("held")).toStdString();
    recorder.clear();
    {
        const auto killed = KWinKeyPoster::connect(kwin.waylandDisplay(), refusal);
        ASSERT_TRUE(killed && HeldKeyJournal(*killed, journal).postKey(w, KeyDirection::down));
    }
    ASSERT_EQ(recorder.waitForKeys(1, patience).size(), 1U);
    EXPECT_EQ(HeldKeyJournal(poster, journal).releaseLeftovers(), 1);
    ASSERT_EQ(recorder.waitForKeys(2, patience).size(), 2U);
    EXPECT_FALSE(recorder.keys()[1].pressed);

    std::promise<std::string> lost;
    backend.observeLoss([&](const std::string& line) { lost.set_value(line); });
    KeyboardExecutor executor(poster);
    recorder.clear();
    ASSERT_TRUE(executor.enqueue("W", w, 1, 3000, "test"));
    ASSERT_EQ(recorder.waitForKeys(1, patience).size(), 1U);
    kwin.kill();
    ASSERT_TRUE(eventually([&] { return !poster.mayPostEvents(); }));
    EXPECT_TRUE(said(lost, "KWin"));
    EXPECT_EQ(backend.focus->beforeKeyDown(), KeyDestination::noFocusedWindow);
    const auto started = std::chrono::steady_clock::now();
    executor.cancelAll();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
    EXPECT_FALSE(poster.postKey(w, KeyDirection::down));
}

TEST(KWinKeys, AWithdrawnFakeInputTakesNoNewPressButLetsAHeldKeyUp) {
    BareCompositor compositor;
    auto refusal = KWinKeyPoster::Refusal::none;
    auto poster = KWinKeyPoster::connect(compositor.socket(), refusal);
    ASSERT_TRUE(poster);
    std::promise<std::string> lost;
    poster->setOnLost([&](const std::string& line) { lost.set_value(line); });
    ASSERT_TRUE(poster->postKey(w, KeyDirection::down));

    compositor.withdrawKeyboardManager();
    ASSERT_TRUE(eventually([&] { return !poster->mayPostEvents(); }));
    EXPECT_FALSE(poster->postKey(0, KeyDirection::down));
    EXPECT_TRUE(poster->postKey(w, KeyDirection::up));
    EXPECT_TRUE(said(lost, "ถอน"));
}

// A sandboxed build on Plasma goes through the portal although KWin would let it in: chosen
// without waiting for the session, keys once it started, and the portal gone mid-hold.
TEST(PortalKeys, ArriveOnceStartedAndEndWhenThePortalGoes) {
    KWinServer kwin({KWinServer::thisExecutable()});
    kwin.startPortal();
    const std::filesystem::path socket = kwin.waylandDisplay();
    const std::map<std::string, std::string> sandboxed{{"WAYLAND_DISPLAY", socket.filename()},
                                                       {"XDG_RUNTIME_DIR", socket.parent_path()},
                                                       {"XDG_CURRENT_DESKTOP", "KDE"},
                                                       {"APPIMAGE", "/opt/Vindaro.AppImage"}};
    auto backend = choose(sandboxed);
    ASSERT_EQ(backend.kind, KeyBackendKind::portal);
    EXPECT_FALSE(backend.poster->mayPostEvents());
    EXPECT_TRUE(backend.startLine.contains(QStringLiteral("portal")));
    std::promise<std::string> ready;
    backend.observeReady([&](const std::string& line) { ready.set_value(line); });
    ASSERT_TRUE(eventually([&] { return backend.poster->mayPostEvents(); }));
    EXPECT_TRUE(said(ready, "portal"));
    KeyPoster& poster = *backend.poster;
    WaylandKeyRecorder recorder{kwin.waylandDisplay()};
    ASSERT_TRUE(recorder.waitUntilReceiving(poster, patience));
    expectKeysArriveAndCancelReleasesAtOnce(poster, recorder, 30, 1);

    std::promise<std::string> lost;
    backend.observeLoss([&](const std::string& line) { lost.set_value(line); });
    EXPECT_FALSE(heldKeyJournalPath(backend.kind, QStringLiteral("/a")).empty());
    QTemporaryDir journalFolder;
    const std::string journal = journalFolder.filePath(QStringLiteral("held")).toStdString();
    HeldKeyJournal journalled(poster, journal);
    KeyboardExecutor executor(journalled);
    recorder.clear();
    ASSERT_TRUE(executor.enqueue("W", w, 1, 3000, "test"));
    ASSERT_EQ(recorder.waitForKeys(1, patience).size(), 1U);
    // As the desktop's own "stop" does: KDE's backend ends the session, and keeps the key down.
    QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.impl.portal.desktop.kde"),
        static_cast<PortalKeyPoster&>(poster).sessionPath(),
        QStringLiteral("org.freedesktop.impl.portal.Session"), QStringLiteral("Close")));
    ASSERT_TRUE(eventually([&] { return !poster.mayPostEvents(); }));
    EXPECT_TRUE(said(lost, "ปิดเซสชัน"));
    const auto started = std::chrono::steady_clock::now();
    executor.cancelAll();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
    EXPECT_FALSE(poster.postKey(w, KeyDirection::down));

    // The next run lets it go once its own session started; then the portal dies.
    const auto next = choose(sandboxed);
    ASSERT_TRUE(eventually([&] { return next.poster->mayPostEvents(); }));
    EXPECT_EQ(HeldKeyJournal(*next.poster, journal).releaseLeftovers(), 1);
    const auto keys = recorder.waitForKeys(2, patience);
    ASSERT_EQ(keys.size(), 2U) << describe(keys);
    EXPECT_FALSE(keys[1].pressed);
    std::promise<std::string> gone;
    next.observeLoss([&](const std::string& line) { gone.set_value(line); });
    kwin.killPortal();
    ASSERT_TRUE(eventually([&] { return !next.poster->mayPostEvents(); }));
    EXPECT_TRUE(said(gone, "xdg-desktop-portal"));
}

TEST(KWinFocus, ThePinSkipsTheAgentsOwnWindowFollowsTheFocusAndEndsWithTheWindow) {
    KWinServer kwin({KWinServer::thisExecutable()});
    // The "agent" window plays the agent's own: its process is the one the pin must skip.
    WaylandKeyRecorder agent(kwin.waylandDisplay(), "agent");
    ASSERT_TRUE(eventually([&] { return agent.focused(); }));
    WaylandKeyRecorder game(kwin.waylandDisplay(), "game");
    ASSERT_TRUE(eventually([&] { return game.focused(); }));
    WaylandKeyRecorder chat(kwin.waylandDisplay(), "chat"); // the newest has the focus
    auto refusal = KWinKeyPoster::Refusal::none;
    const auto poster = KWinKeyPoster::connect(kwin.waylandDisplay(), refusal);
    ASSERT_TRUE(poster && chat.waitUntilReceiving(*poster, patience));
    KeyboardExecutor executor(*poster); // outlives the focus, whose reader thread calls it
    const auto focus =
        KWinWindowFocus::connect(kwin.waylandDisplay(), static_cast<pid_t>(agent.pid()));
    ASSERT_TRUE(focus);
    QString pinned;
    bool closed = false;
    std::atomic<int> left = 0;
    focus->observe({[&](const QString& title) { pinned = title; }, [] {}, [&] { closed = true; },
                    [&] {
                        ++left;
                        executor.cancelAll();
                    }});
    focus->pinNextFocusedWindow(10s);
    ASSERT_TRUE(kwin.activate(QStringLiteral("agent")) && kwin.activate(QStringLiteral("chat")));
    ASSERT_TRUE(eventually([&] { return !pinned.isEmpty(); }));
    EXPECT_EQ(pinned, QStringLiteral("chat"));
    ASSERT_TRUE(eventually([&] { return focus->beforeKeyDown() == KeyDestination::allowed; }));
    ASSERT_TRUE(executor.enqueue("W", w, 1, 3000, "test"));
    ASSERT_EQ(chat.waitForKeys(1, patience).size(), 1U);

    game.clear();
    ASSERT_TRUE(kwin.activate(QStringLiteral("game")));
    const auto moved = std::chrono::steady_clock::now();
    // A held key comes up where the focus went, as on a hardware keyboard; nothing goes down.
    const auto released = game.waitForKeys(1, patience);
    ASSERT_EQ(released.size(), 1U) << describe(released);
    EXPECT_FALSE(released[0].pressed);
    EXPECT_LT(released[0].receivedAt - moved, 1000ms);
    EXPECT_EQ(left, 1);
    EXPECT_EQ(focus->beforeKeyDown(), KeyDestination::pinnedWindowNotFocused);

    // A key held in the pinned window comes up when that window closes.
    ASSERT_TRUE(kwin.activate(QStringLiteral("chat")));
    ASSERT_TRUE(eventually([&] { return focus->beforeKeyDown() == KeyDestination::allowed; }));
    const auto before = chat.keys().size();
    ASSERT_TRUE(executor.enqueue("W", w, 1, 3000, "test"));
    ASSERT_TRUE(
        eventually([&] { return chat.keys().size() > before && chat.keys().back().pressed; }));
    ASSERT_TRUE(
        kwin.runScript(QStringLiteral("for (const window of workspace.clientList())"
                                      "  if (window.caption == 'chat') window.closeWindow();")));
    EXPECT_TRUE(eventually([&] { return closed && left == 2; }));
    EXPECT_EQ(focus->beforeKeyDown(), KeyDestination::pinnedWindowClosed);
    focus->unpin();
    EXPECT_EQ(focus->beforeKeyDown(), KeyDestination::allowed);
}

TEST(AgentInstance, OneAgentPerUserHearsOnlyTheStopRequest) {
    QTemporaryDir runtime;
    const QString folder = runtime.filePath(QStringLiteral("vindaro-agent"));
    auto first = std::make_unique<AgentInstance>(folder);
    int stops = 0;
    first->onStopRequested([&] { ++stops; });
    ASSERT_EQ(first->claim(), AgentInstance::Claim::claimed);
    EXPECT_EQ(QFileInfo(folder).permissions() & (QFile::ReadGroup | QFile::ReadOther),
              QFile::Permissions()); // a private folder
    EXPECT_EQ(AgentInstance(folder).claim(), AgentInstance::Claim::anotherIsRunning);

    QLocalSocket stranger;
    stranger.connectToServer(folder + QStringLiteral("/stop"));
    ASSERT_TRUE(stranger.waitForConnected(5000));
    stranger.write(QByteArray(4096, 's'));
    EXPECT_TRUE(eventually([&] { return stranger.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(stops, 0);

    // The request blocks until answered; the agent's side answers on this thread's event loop.
    auto outcome =
        std::async(std::launch::async, [&] { return AgentInstance::requestStop(folder); });
    ASSERT_TRUE(eventually([&] { return outcome.wait_for(0s) == std::future_status::ready; }));
    EXPECT_EQ(outcome.get(), AgentInstance::StopOutcome::stopped);
    EXPECT_EQ(stops, 1);

    // A killed agent leaves its socket (here a file) behind; the next one takes it over.
    first.reset();
    ASSERT_TRUE(QFile(folder + QStringLiteral("/stop")).open(QIODevice::WriteOnly));
    EXPECT_EQ(AgentInstance(folder).claim(), AgentInstance::Claim::claimed);
}

} // namespace
