// The agent as a whole: how long it takes to show its window, how much memory it holds, how fast a
// key command from the relay becomes a key-down at the X server (also while stress-ng loads every
// core, with the key worker at normal and at real-time priority), and whether the window's event
// loop keeps up while the relay floods it.
//
// Runs in a private network and mount namespace where vindaro.net is 127.0.0.1 (so it needs root)
// with an Xvfb of its own. Start-up is measured on the real executable; the rest drives the
// agent's controller and window in this process with the real XTest poster, the fake relay on a
// thread of its own and a second X client recording the keys. Run it in a private session with a
// keyring, as the executable would be on a desktop:
//   tests/support/private-session --keyring -- build/bench/vindaro_app_bench [commands]
// Prints figures; asserts nothing.
#include "app/agent_app_delegate.h"
#include "app/main_window.h"
#include "bench_support.h"
#include "cpu_load.h"
#include "platform/fake/counting_settings_opener.h"
#include "platform/fake/fake_clipboard.h"
#include "platform/fake/manual_stop_key.h"
#include "platform/fake/manual_workspace.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "platform/fake/recording_notifications.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "platform/linux/realtime/realtime_scheduling.h"
#include "support/service_namespace.h"
#include "support/test_pki.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

using namespace vindaro;
using namespace vindaro::bench;
using vindaro::test::RecordedKey;
using vindaro::test::XKeyRecorder;
using vindaro::test::XvfbServer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int startUpRuns = 5;
constexpr int loadedCommands = 300;
constexpr int floodMessages = 10000;
constexpr int floodRatePerSecond = 10000;
// How long the window is watched after the flood while it catches up.
constexpr auto settleTime = std::chrono::milliseconds(500);
constexpr auto timerInterval = std::chrono::milliseconds(10);
const char* const windowTitle = "Vindaro Agent for macOS";

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Looks every millisecond until the agent's window has the keyboard focus, as it takes it once
// shown; false when it has not within the limit.
bool focusedWithin(XKeyRecorder& recorder, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (recorder.focusedWindowTitle() != windowTitle) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The executable from launch to its window on screen, and its memory then.
void measureExecutableStartUp(const std::string& display, XKeyRecorder& recorder) {
    std::vector<double> startUps;
    std::vector<double> residents;
    for (int run = 0; run < startUpRuns; ++run) {
        QProcess agent;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(display));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        agent.setProcessEnvironment(environment);
        const auto start = Clock::now();
        agent.start(QStringLiteral(VINDARO_AGENT_PATH), {});
        if (!agent.waitForStarted() || !focusedWithin(recorder, std::chrono::seconds(30))) {
            std::printf("the agent's window did not appear\n");
            agent.kill();
            agent.waitForFinished();
            return;
        }
        startUps.push_back(msBetween(start, Clock::now()));
        // Let it settle into its event loop before reading its memory.
        QTest::qWait(500);
        residents.push_back(static_cast<double>(residentKiB(QString::number(agent.processId()))));
        agent.terminate();
        agent.waitForFinished(10000);
        // The next run looks for a window of its own.
        while (recorder.focusedWindowTitle() == windowTitle)
            QTest::qWait(10);
    }
    print("executable start-up to window shown and focused", summarize(startUps), "ms");
    print("executable resident memory after start-up", summarize(residents), "KiB");
}

// The agent in this process, as main() builds it, with the fakes for what is not measured.
struct Agent {
    explicit Agent(bool realtimeWorker = false)
        : realtime(realtimeWorker) {}

    static AgentAppDelegate::Options options(bool realtime) {
        AgentAppDelegate::Options result;
        if (realtime)
            result.keyWorkerStart = [] {
                if (makeCurrentThreadRealtime() == RealtimeGrant::none)
                    std::printf("(the key worker did not get real-time priority here)\n");
            };
        return result;
    }

    const bool realtime;
    XTestKeyPoster keyPoster;
    MemorySecretStore secrets;
    MemoryUserDefaults defaults;
    FakeClipboard clipboard;
    CountingSettingsOpener settings;
    ManualWorkspace workspace;
    UnknownWindowFocus focus;
    ManualStopKey stopKey;
    RecordingNotifications notifications;
    AgentAppDelegate delegate{{keyPoster, secrets, defaults, clipboard, settings, workspace, focus,
                               stopKey, notifications},
                              options(realtime)};
    MainWindow window{delegate};
};

// Sends each command from the relay's thread and notes the moment it went.
class Sender {
public:
    explicit Sender(RelayThread& relay)
        : m_relay(relay) {}

    void send(const QString& text) {
        m_relay.post([this, text] {
            m_sentAt.store(Clock::now());
            m_relay.relay().lastPeer().sendText(text);
        });
    }
    Clock::time_point sentAt() const { return m_sentAt.load(); }

private:
    RelayThread& m_relay;
    std::atomic<Clock::time_point> m_sentAt{};
};

// Runs the event loop as the agent does, until a driver thread says it is done.
void runWhile(const std::function<void(const std::function<void()>& finished)>& drive) {
    QEventLoop loop;
    std::thread driver(drive, [&loop] {
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    driver.join();
}

// One command at a time: the next goes when the X server has seen the previous one's key-up. A
// thread of its own sends and waits, so the agent's thread only ever runs its event loop.
std::vector<double> keyLatencies(Sender& sender, XKeyRecorder& recorder, int commands) {
    const unsigned long keysym = XKeyRecorder::keysym("a");
    std::vector<double> latencies;
    runWhile([&](const std::function<void()>& finished) {
        for (int i = 0; i < commands; ++i) {
            const std::size_t mark = recorder.events().size();
            sender.send(QStringLiteral(R"({"type":"key","key":"a","holdMs":20,"source":"bench"})"));
            std::optional<RecordedKey> down;
            bool up = false;
            recorder.waitUntil(
                [&](const std::vector<RecordedKey>& events) {
                    for (std::size_t e = mark; e < events.size(); ++e) {
                        if (events[e].keysym != keysym)
                            continue;
                        if (events[e].pressed && !down)
                            down = events[e];
                        else if (!events[e].pressed && down)
                            up = true;
                    }
                    return up;
                },
                std::chrono::seconds(10));
            if (!down || !up) {
                std::printf("command %d never reached the X server\n", i);
                break;
            }
            latencies.push_back(msBetween(sender.sentAt(), down->receivedAt) * 1000.0);
        }
        finished();
    });
    return latencies;
}

// A viewer's command after a quiet spell: three 80 ms presses a second after the last key, the
// first hold apart from the later ones, which the latency rows mix with a thousand others.
void measureFirstHoldAfterIdle(Sender& sender, XKeyRecorder& recorder, int commands) {
    const unsigned long keysym = XKeyRecorder::keysym("space");
    std::vector<double> first;
    std::vector<double> later;
    runWhile([&](const std::function<void()>& finished) {
        for (int i = 0; i < commands; ++i) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const std::size_t mark = recorder.events().size();
            sender.send(QStringLiteral(
                R"({"type":"key","key":"space","pressCount":3,"holdMs":80,"source":"bench"})"));
            std::vector<RecordedKey> keys;
            recorder.waitUntil(
                [&](const std::vector<RecordedKey>& events) {
                    keys.clear();
                    for (std::size_t e = mark; e < events.size(); ++e)
                        if (events[e].keysym == keysym)
                            keys.push_back(events[e]);
                    return keys.size() >= 6;
                },
                std::chrono::seconds(10));
            if (keys.size() < 6) {
                std::printf("command %d after idle never reached the X server\n", i);
                break;
            }
            for (std::size_t press = 0; press < 3; ++press)
                (press == 0 ? first : later)
                    .push_back(std::abs(
                        msBetween(keys[2 * press].receivedAt, keys[2 * press + 1].receivedAt) -
                        80.0));
        }
        finished();
    });
    print("first hold error after 1 s idle, X client", summarize(first), "ms");
    print("later hold error after 1 s idle, X client", summarize(later), "ms");
}

void measureKeyLatency(Sender& sender, XKeyRecorder& recorder, int commands,
                       const char* condition = ", one command at a time") {
    const std::vector<double> latencies = keyLatencies(sender, recorder, commands);
    std::printf("relay to key-down at the X server%s, %zu commands\n", condition, latencies.size());
    print("  latency", summarize(latencies));
}

// The relay sends floodMessages commands at floodRatePerSecond; a 10 ms timer on the window's
// thread says how late the event loop gets to it meanwhile and while the window catches up.
void measureFlood(RelayThread& relay, Agent& agent) {
    const long before = residentKiB();
    std::vector<double> lateness;
    QEventLoop loop;
    QElapsedTimer sinceTick;
    std::optional<Clock::time_point> handledAt;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        lateness.push_back(static_cast<double>(sinceTick.nsecsElapsed()) / 1e6 -
                           static_cast<double>(timerInterval.count()));
        sinceTick.start();
        // The last command names a key the agent does not know, so its line marks the end.
        if (!handledAt && agent.window.logText().contains(QStringLiteral("END-OF-FLOOD")))
            handledAt = Clock::now();
        if (handledAt && Clock::now() - *handledAt > settleTime)
            loop.quit();
    });
    QTimer::singleShot(std::chrono::minutes(2), &loop, &QEventLoop::quit);

    const auto start = Clock::now();
    relay.run([&relay] {
        auto* timer = new QTimer(&relay.context());
        timer->setTimerType(Qt::PreciseTimer);
        const auto begun = Clock::now();
        auto sent = std::make_shared<int>(0);
        QObject::connect(timer, &QTimer::timeout, timer, [&relay, timer, begun, sent] {
            const double elapsed = std::chrono::duration<double>(Clock::now() - begun).count();
            const int due =
                std::min(floodMessages, static_cast<int>(elapsed * floodRatePerSecond) + 1);
            for (; *sent < due; ++*sent) {
                relay.relay().lastPeer().sendText(
                    *sent + 1 < floodMessages
                        ? QStringLiteral(R"({"type":"key","key":"a","holdMs":20,"source":"flood"})")
                        : QStringLiteral(R"({"type":"key","key":"end-of-flood"})"));
            }
            if (*sent >= floodMessages)
                timer->deleteLater();
        });
        timer->start(1);
    });
    sinceTick.start();
    ticker.start(timerInterval);
    loop.exec();
    ticker.stop();
    const long after = residentKiB();
    agent.delegate.stopTapped();

    if (handledAt)
        std::printf("flood of %d commands at %d/s: all handled after %.0f ms\n", floodMessages,
                    floodRatePerSecond, msBetween(start, *handledAt));
    else
        std::printf("flood of %d commands at %d/s: NOT all handled\n", floodMessages,
                    floodRatePerSecond);
    print("  lateness of a 10 ms timer", summarize(lateness), "ms");
    std::printf("  resident memory of this process (the fake relay included): before %ld KiB, "
                "after %ld KiB\n",
                before, after);
}

bool storePairing(Agent& agent) {
    bool stored = false;
    LegacyPairingStore(KeychainStore(agent.secrets), agent.defaults)
        .save(AgentPairing::fromBundle(QStringLiteral("wss://vindaro.net/ws|BENCH|bench-token")),
              [&](const auto&) { stored = true; });
    if (QTest::qWaitFor([&] { return stored; }))
        return true;
    std::printf("the pairing was not stored\n");
    return false;
}

// Start-up reads the keyring as the window comes up; connect waits for it.
bool connect(Agent& agent) {
    if (QTest::qWaitFor([&] { return !agent.delegate.state().waitingOnKeyring; }))
        agent.delegate.connectTapped();
    if (QTest::qWaitFor([&] { return agent.delegate.isConnected(); }, 20000))
        return true;
    std::printf("the agent did not connect to the fake relay\n");
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    if (!ServiceNamespace::enter())
        return 1;
    XvfbServer xvfb;
    qputenv("DISPLAY", QByteArray::fromStdString(xvfb.displayName()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    ServiceNamespace::routeServiceToLoopback(TestPki::instance());
    XKeyRecorder recorder(xvfb.displayName());

    measureExecutableStartUp(xvfb.displayName(), recorder);

    RelayThread relay;
    Agent agent;
    if (!storePairing(agent))
        return 1;
    const auto start = Clock::now();
    agent.delegate.applicationDidFinishLaunching(agent.window);
    agent.window.show();
    if (!QTest::qWaitForWindowExposed(&agent.window)) {
        std::printf("the window was not shown\n");
        return 1;
    }
    std::printf("in-process start-up to window exposed: %.1f ms; resident memory %ld KiB\n",
                msBetween(start, Clock::now()), residentKiB());

    if (!connect(agent))
        return 1;
    Sender sender(relay);
    measureKeyLatency(sender, recorder, commands);
    measureFirstHoldAfterIdle(sender, recorder, std::max(1, commands / 50));
    measureFlood(relay, agent);
    agent.delegate.applicationWillTerminate();
    agent.window.hide();

    // The test suite's short run leaves this out: it must never load a shared machine.
    for (const bool realtime : {false, true}) {
        if (commands < loadedCommands)
            break;
        Agent loaded(realtime);
        if (!storePairing(loaded))
            return 1;
        loaded.delegate.applicationDidFinishLaunching(loaded.window);
        if (!connect(loaded))
            return 1;
        // The first command lets the worker raise itself before anything is measured.
        keyLatencies(sender, recorder, 1);
        CpuLoad load(2);
        measureKeyLatency(sender, recorder, loadedCommands,
                          realtime ? " under load at real-time priority"
                                   : " under load at normal priority");
        loaded.delegate.applicationWillTerminate();
    }
    return 0;
}
