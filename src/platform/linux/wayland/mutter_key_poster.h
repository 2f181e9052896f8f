#pragma once

#include "platform/key_poster.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vindaro {

class EvdevKeyCodes;

// Posts keys on GNOME through mutter's remote-desktop service on the session bus: one session
// for the whole run, whose virtual keyboard takes Linux input key codes, so the streamer's own
// layout decides what a key types, as with a hardware keyboard. Mutter accepts calls on a session
// only from the bus connection that made it; Qt's one session-bus connection is that.
class MutterKeyPoster final : public QObject, public KeyPoster {
public:
    // Called once, on the main thread, with a Thai line for the log, when keys can no longer be
    // posted.
    using LossHandler = std::function<void(const std::string& line)>;

    // Makes and starts a session. Main thread. Null when the service is missing or refuses.
    static std::unique_ptr<MutterKeyPoster> start(const QDBusConnection& bus);
    // Stops the session; mutter then lets go of any key it still holds for it.
    ~MutterKeyPoster() override;

    MutterKeyPoster(const MutterKeyPoster&) = delete;
    MutterKeyPoster& operator=(const MutterKeyPoster&) = delete;

    // False once the session was closed, from outside or by mutter leaving the bus. Never waits.
    bool mayPostEvents() override;
    // True once mutter has answered the call, having handed the key to its input thread.
    bool postKey(VirtualKeyCode code, KeyDirection direction) override;
    // Mutter's answer comes through Qt's D-Bus thread, which the drawing of the agent's own
    // window (a new log line as a command starts) and mutter's compositing of it can keep off the
    // processor for tens of milliseconds, while the key has long reached the window: the first
    // hold of a command after a quiet spell came out 20-40 ms long when timed from the answer.
    bool timesHoldsFromSending() const override { return true; }

    void setOnLost(LossHandler handler);

    QString sessionPath() const { return m_sessionPath; }

    static constexpr std::chrono::milliseconds callTimeout{1000};

private:
    MutterKeyPoster(const QDBusConnection& bus, QString sessionPath,
                    std::unique_ptr<EvdevKeyCodes> codes);
    void lose(const std::string& line);

    QDBusConnection m_bus;
    const QString m_sessionPath;
    const std::unique_ptr<EvdevKeyCodes> m_codes;
    std::atomic<bool> m_open{true};

    std::mutex m_lossMutex;
    LossHandler m_onLost;
    std::string m_lossLine;
};

} // namespace vindaro
