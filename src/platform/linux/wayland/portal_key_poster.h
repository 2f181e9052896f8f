#pragma once

#include "platform/key_poster.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vindaro {

class EvdevKeyCodes;

// Posts keys through the desktop portal's remote-desktop keyboard: the way in for a sandboxed
// build (Flatpak, AppImage), which the compositors' own routes refuse, and for a Wayland desktop
// that offers none. One session for the whole run, whose keyboard takes Linux input key codes.
//
// The desktop may ask the user first, and nobody knows for how long, so nothing here waits for
// it: start() returns at once, mayPostEvents() says no until the session has started, and the
// handlers hear when keys become possible or when the session ended. Main thread, except
// postKey() and mayPostEvents().
class PortalKeyPoster final : public QObject, public KeyPoster {
public:
    // Called once, on the main thread, with a Thai line for the log.
    using LineHandler = std::function<void(const std::string& line)>;

    // Asks for a session with a keyboard. Null when the portal offers no keyboard (or is not there
    // within startTimeoutMs), or without key codes.
    static std::unique_ptr<PortalKeyPoster> start(const QDBusConnection& bus);
    // Closes the session; the portal then lets go of it.
    ~PortalKeyPoster() override;

    PortalKeyPoster(const PortalKeyPoster&) = delete;
    PortalKeyPoster& operator=(const PortalKeyPoster&) = delete;

    // True from the session's start until it ends. Never waits.
    bool mayPostEvents() override;
    // True once the portal has answered the call.
    bool postKey(VirtualKeyCode code, KeyDirection direction) override;
    void setPermissionHandler(PermissionHandler handler) override;

    void setOnReady(LineHandler handler);
    void setOnLost(LineHandler handler);

    // The session's object path once the portal made it; empty before.
    QString sessionPath() const;

    static constexpr int callTimeoutMs = 1000;
    static constexpr int startTimeoutMs = 3000;

private:
    PortalKeyPoster(const QDBusConnection& bus, std::unique_ptr<EvdevKeyCodes> codes);
    // Calls a method of the portal's remote desktop whose answer comes as the Response signal of a
    // request object; `options` is the call's last argument.
    void ask(const QString& method, QVariantList arguments, QVariantMap options,
             std::function<void(const QVariantMap& results)> next);
    void sessionMade(const QVariantMap& results);
    void started(const QVariantMap& results);
    void lose(const std::string& line);
    void tell(bool mayPost);

    QDBusConnection m_bus;
    const std::unique_ptr<EvdevKeyCodes> m_codes;
    int m_requests = 0;
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_open{true};

    mutable std::mutex m_mutex;
    QString m_sessionPath;
    LineHandler m_onReady;
    LineHandler m_onLost;
    PermissionHandler m_onPermission;
    std::string m_readyLine;
    std::string m_lossLine;
};

} // namespace vindaro
