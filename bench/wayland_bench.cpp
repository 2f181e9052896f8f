// The Wayland backends as a native Wayland window sees them: how exactly holds and gaps arrive,
// and how long a key command from the relay takes to become a key-down there, for a headless
// sway's virtual keyboard, a headless mutter's remote-desktop session and a headless KWin's fake
// input. Times are the window's own reading of each event on the monotonic clock. The agent's own
// window is on the compositor measured, as a streamer's is.
//
// Runs in a private network and mount namespace where vindaro.net is 127.0.0.1 (so it needs root)
// and on a private session bus, for mutter:
//   tests/support/private-session -- build/bench/vindaro_wayland_bench [commands]
// Prints figures; asserts nothing.
#include "app/agent_app_delegate.h"
#include "app/main_window.h"
#include "bench_support.h"
#include "keyboard/keyboard_executor.h"
#include "platform/clipboard.h"
#include "platform/fake/counting_settings_opener.h"
#include "platform/fake/fake_clipboard.h"
#include "platform/fake/manual_stop_key.h"
#include "platform/fake/manual_workspace.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "platform/fake/recording_notifications.h"
#include "platform/linux/wayland/kwin_key_poster.h"
#include "platform/linux/wayland/mutter_key_poster.h"
#include "platform/linux/wayland/virtual_keyboard_poster.h"
#include "platform/settings_opener.h"
#include "platform/workspace_notifications.h"
#include "support/kwin_server.h"
#include "support/mutter_server.h"
#include "support/service_namespace.h"
#include "support/sway_server.h"
#include "support/test_pki.h"
#include "support/wayland_key_recorder.h"

#include <QApplication>
#include <QDBusConnection>
#include <QProcess>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace vindaro;
using namespace vindaro::bench;
using vindaro::test::WaylandKeyRecorder;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int pressesPerCommand = 5;
constexpr int holdMs = 20;
constexpr auto patience = std::chrono::seconds(30);

double ms(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// "measure  samples  p50  p99  max  unit", the rows bench/run gathers.
void printRow(const std::string& measure, std::vector<double> samples) {
    if (samples.empty()) {
        std::printf("%s: no samples\n", measure.c_str());
        return;
    }
    std::ranges::sort(samples);
    const auto at = [&](double fraction) {
        const auto rank =
            static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
        return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
    };
    std::printf("%-52s  %7zu %9.3f %9.3f %9.3f  ms\n", measure.c_str(), samples.size(), at(0.5),
                at(0.99), samples.back());
}

// The agent's controller and window in this process, posting through the backend measured.
struct Agent {
    explicit Agent(KeyPoster& poster)
        : delegate({poster, secrets, defaults, clipboard, settings, workspace, focus, stopKey,
                    notifications}) {}
    MemorySecretStore secrets;
    MemoryUserDefaults defaults;
    FakeClipboard clipboard;
    CountingSettingsOpener settings;
    ManualWorkspace workspace;
    UnknownWindowFocus focus;
    ManualStopKey stopKey;
    RecordingNotifications notifications;
    AgentAppDelegate delegate;
    MainWindow window{delegate};
};

// Hold and gap errors of five-press commands, as the window received them.
void measureTiming(const std::string& backend, KeyPoster& poster, WaylandKeyRecorder& recorder,
                   int commands) {
    KeyboardExecutor executor(poster);
    for (int command = 0; command < commands; ++command)
        static_cast<void>(executor.enqueue("A", 0, pressesPerCommand, holdMs, "bench"));
    const auto& keys =
        recorder.waitForKeys(static_cast<std::size_t>(2 * pressesPerCommand * commands), patience);
    std::vector<double> holds;
    std::vector<double> gaps;
    for (std::size_t event = 0; event + 1 < keys.size(); ++event) {
        const double between = ms(keys[event + 1].receivedAt - keys[event].receivedAt);
        if (keys[event].pressed)
            holds.push_back(std::abs(between - holdMs));
        else if ((event / 2 + 1) % pressesPerCommand != 0) // not the last press of its command
            gaps.push_back(std::abs(between - ms(KeyboardExecutor::pressGap)));
    }
    printRow("hold error, Wayland window, " + backend, holds);
    printRow("gap error, Wayland window, " + backend, gaps);
    recorder.clear();
}

// One command at a time from the relay's thread; the next goes once the window has its key-up.
void measureRelayToKeyDown(const std::string& backend, Agent& agent, WaylandKeyRecorder& recorder,
                           RelayThread& relay, int commands) {
    bool stored = false;
    LegacyPairingStore(KeychainStore(agent.secrets), agent.defaults)
        .save(AgentPairing::fromBundle(QStringLiteral("wss://vindaro.net/ws|BENCH|bench-token")),
              [&](const auto&) { stored = true; });
    static_cast<void>(QTest::qWaitFor([&] { return stored; }));
    agent.delegate.applicationDidFinishLaunching(agent.window);
    // Start-up reads the keyring as the window comes up; connect waits for it.
    if (QTest::qWaitFor([&] { return !agent.delegate.state().waitingOnKeyring; }))
        agent.delegate.connectTapped();
    if (!QTest::qWaitFor([&] { return agent.delegate.isConnected(); }, 20000)) {
        std::printf("the agent did not connect to the fake relay\n");
        return;
    }
    std::vector<double> latencies;
    std::atomic<Clock::time_point> sentAt{};
    for (int command = 0; command < commands; ++command) {
        recorder.clear();
        relay.post([&] {
            sentAt = Clock::now();
            relay.relay().lastPeer().sendText(
                QStringLiteral(R"({"type":"key","key":"a","holdMs":5,"source":"bench"})"));
        });
        const auto& keys = recorder.waitForKeys(2, std::chrono::seconds(10));
        if (keys.size() < 2) {
            std::printf("command %d never reached the window\n", command);
            break;
        }
        latencies.push_back(ms(keys[0].receivedAt - sentAt.load()));
    }
    printRow("relay to key-down, Wayland window, " + backend, latencies);

    // A viewer's command after a quiet spell: three 80 ms presses a second after the last key,
    // the first hold apart from the later ones, which the rows above mix with hundreds of others.
    constexpr int idleHoldMs = 80;
    std::vector<double> first;
    std::vector<double> later;
    for (int command = 0; command < std::max(1, commands / 25); ++command) {
        QTest::qWait(1000);
        recorder.clear();
        relay.post([&] {
            relay.relay().lastPeer().sendText(QStringLiteral(
                R"({"type":"key","key":"space","pressCount":3,"holdMs":80,"source":"bench"})"));
        });
        const auto& keys = recorder.waitForKeys(6, std::chrono::seconds(10));
        if (keys.size() < 6) {
            std::printf("command %d after idle never reached the window\n", command);
            break;
        }
        for (std::size_t press = 0; press < 3; ++press)
            (press == 0 ? first : later)
                .push_back(std::abs(
                    ms(keys[2 * press + 1].receivedAt - keys[2 * press].receivedAt) - idleHoldMs));
    }
    printRow("first hold error after 1 s idle, Wayland window, " + backend, first);
    printRow("later hold error after 1 s idle, Wayland window, " + backend, later);
    agent.delegate.applicationWillTerminate();
}

// One backend, in a process whose own window is on the compositor measured, as a streamer's is:
// the drawing of a new log line as a command starts competes with the keys. The agent's window
// opens before the recording window, which then has the focus.
int measureOn(const std::string& backend, const std::string& socket, int commands, int argc,
              char** argv) {
    qputenv("QT_QPA_PLATFORM", "wayland");
    qputenv("WAYLAND_DISPLAY", QByteArray::fromStdString(socket));
    QApplication application(argc, argv);
    // Mounts of its own for its own test CA, in the parent's network namespace and on its bus.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return 1;
    ServiceNamespace::routeServiceToLoopback(TestPki::instance());
    RelayThread relay;
    std::unique_ptr<KeyPoster> poster;
    auto refusal = KWinKeyPoster::Refusal::none;
    if (backend == "sway")
        poster = VirtualKeyboardPoster::connect(socket);
    else if (backend == "kwin")
        poster = KWinKeyPoster::connect(socket, refusal);
    else
        poster = MutterKeyPoster::start(QDBusConnection::sessionBus());
    if (poster == nullptr) {
        std::printf("%s: no way to post keys\n", backend.c_str());
        return 1;
    }
    Agent agent(*poster);
    agent.window.show();
    static_cast<void>(QTest::qWaitForWindowExposed(&agent.window));
    WaylandKeyRecorder recorder(socket);
    if (!recorder.waitUntilReceiving(*poster, patience)) {
        std::printf("%s: keys do not reach the window\n", backend.c_str());
        return 1;
    }
    measureTiming(backend, *poster, recorder, commands / pressesPerCommand);
    measureRelayToKeyDown(backend, agent, recorder, relay, commands);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--on")
        return measureOn(argv[2], argv[3], std::atoi(argv[4]), argc, argv);
    const int commands = argc > 1 ? std::max(pressesPerCommand, std::atoi(argv[1])) : 500;
    if (!ServiceNamespace::enter())
        return 1;
    // This process only runs the compositors; each is measured by a child on it.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication application(argc, argv);
    const auto measureChild = [&](const char* backend, const std::string& socket) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--on"), QString::fromLatin1(backend),
                     QString::fromStdString(socket), QString::number(commands)});
        child.waitForFinished(-1);
    };
    {
        const test::SwayServer sway;
        measureChild("sway", sway.waylandDisplay());
    }
    {
        const test::MutterServer mutter;
        measureChild("mutter", mutter.waylandDisplay());
    }
    {
        // The child is this same program, which the entry allows to use the fake input.
        const test::KWinServer kwin({test::KWinServer::thisExecutable()});
        measureChild("kwin", kwin.waylandDisplay());
    }
    return 0;
}
