#include "wayland_key_recorder.h"

#include "platform/key_poster.h"
#include "wait.h"

#include <signal.h>
#include <sys/prctl.h>

#include <cstdio>
#include <cstring>

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
        const QByteArray line = m_process.readLine();
        WaylandKey key{};
        char state[5] = {};
        long long receivedNs = 0;
        m_focused = m_focused || line.startsWith("focus");
        if (std::sscanf(line.constData(), "key %4s %u %lu %u %lld %u", state, &key.keycode,
                        &key.keysym, &key.time, &receivedNs, &key.modifiers) != 6)
            continue;
        key.pressed = std::strcmp(state, "down") == 0;
        // steady_clock is CLOCK_MONOTONIC, the clock the window stamps with.
        key.receivedAt =
            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(receivedNs));
        m_keys.push_back(key);
    }
}

const std::vector<WaylandKey>& WaylandKeyRecorder::waitForKeys(std::size_t count,
                                                               std::chrono::milliseconds timeout) {
    eventually([&] { return m_keys.size() >= count; }, timeout);
    return m_keys;
}

bool WaylandKeyRecorder::waitUntilReceiving(KeyPoster& poster, std::chrono::milliseconds timeout) {
    const auto tap = [&](VirtualKeyCode code) {
        static_cast<void>(poster.postKey(code, KeyDirection::down));
        static_cast<void>(poster.postKey(code, KeyDirection::up));
    };
    constexpr VirtualKeyCode shift = 56;
    constexpr VirtualKeyCode control = 59;
    constexpr unsigned long controlKeysym = 0xffe3;
    const bool receiving = eventually(
        [&] {
            tap(shift);
            return !waitForKeys(1, std::chrono::milliseconds(200)).empty();
        },
        timeout);
    // Neither a count nor a quiet spell says the taps are over, but the order of the keys is kept:
    // once the Control sent after them is up, none can follow.

    tap(control);
    const bool over = receiving && eventually(
                                       [&] {
                                           return !m_keys.empty() && !m_keys.back().pressed &&
                                                  m_keys.back().keysym == controlKeysym;
                                       },
                                       timeout);
    clear();
    return over;
}

std::string describe(const std::vector<WaylandKey>& keys) {
    std::string text;
    for (const WaylandKey& key : keys)
        text += (key.pressed ? "+" : "-") + std::to_string(key.keycode) + "@" +
                std::to_string(key.time) + " ";
    return text;
}

} // namespace vindaro::test
