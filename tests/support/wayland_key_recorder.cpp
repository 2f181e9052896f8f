#include "wayland_key_recorder.h"

#include "platform/key_poster.h"

#include <QTest>
#include <QTimer>

#include <signal.h>
#include <sys/prctl.h>

#include <sstream>

namespace vindaro::test {

WaylandKeyRecorder::WaylandKeyRecorder(const std::string& waylandDisplay, const std::string& name) {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    environment.insert(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"), QStringLiteral("1"));
    environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QString::fromStdString(waylandDisplay));
    // Qt wants a private runtime folder of the user it runs as.
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_folder.path());
    m_process.setProcessEnvironment(environment);
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { read(); });
    m_process.start(QStringLiteral(VINDARO_WAYLAND_RECORDER_PATH), {QString::fromStdString(name)});
}

WaylandKeyRecorder::~WaylandKeyRecorder() {
    m_process.kill();
    m_process.waitForFinished();
}

void WaylandKeyRecorder::read() {
    while (m_process.canReadLine()) {
        std::istringstream words(m_process.readLine().toStdString());
        std::string kind;
        std::string state;
        words >> kind >> state;
        if (kind == "key") {
            WaylandKey key{};
            long long receivedNs = 0;
            words >> key.keycode >> key.keysym >> key.time >> receivedNs;
            key.pressed = state == "down";
            // steady_clock is CLOCK_MONOTONIC, the clock the window stamps with.
            key.receivedAt =
                std::chrono::steady_clock::time_point(std::chrono::nanoseconds(receivedNs));
            m_keys.push_back(key);
        }
    }
    if (m_waiting != nullptr && m_keys.size() >= m_awaited)
        m_waiting->quit();
}

const std::vector<WaylandKey>& WaylandKeyRecorder::waitForKeys(std::size_t count,
                                                               std::chrono::milliseconds timeout) {
    if (m_keys.size() >= count)
        return m_keys;
    QEventLoop loop;
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    m_awaited = count;
    m_waiting = &loop;
    loop.exec();
    m_waiting = nullptr;
    return m_keys;
}

bool WaylandKeyRecorder::waitUntilReceiving(KeyPoster& poster, std::chrono::milliseconds timeout) {
    constexpr VirtualKeyCode shift = 56;
    const bool receiving = QTest::qWaitFor(
        [&] {
            static_cast<void>(poster.postKey(shift, KeyDirection::down));
            static_cast<void>(poster.postKey(shift, KeyDirection::up));
            // Long enough that a tap seen late is not taken for a key of the caller's.
            return waitForKeys(2, std::chrono::seconds(1)).size() >= 2;
        },
        static_cast<int>(timeout.count()));
    clear();
    return receiving;
}

std::string describe(const std::vector<WaylandKey>& keys) {
    std::string text;
    for (const WaylandKey& key : keys)
        text += (key.pressed ? "+" : "-") + std::to_string(key.keycode) + "@" +
                std::to_string(key.time) + " ";
    return text;
}

} // namespace vindaro::test
