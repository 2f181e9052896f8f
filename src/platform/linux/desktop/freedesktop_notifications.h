#pragma once

#include "platform/desktop_notifications.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>
#include <utility>

namespace vindaro {

// Notifications through the desktop's notification service (org.freedesktop.Notifications on
// the session bus), named and shown with the icon of the agent's desktop entry. Each one replaces
// the one shown before. Calls never wait: a notification asked for while the previous one is
// still on its way goes once the service has given that one's id, so that it can replace it.
class FreedesktopNotifications : public DesktopNotifications {
public:
    // The bus may be disconnected; nothing is then ever shown.
    explicit FreedesktopNotifications(
        const QDBusConnection& sessionBus,
        std::chrono::milliseconds callTimeout = std::chrono::seconds(5));

    void notify(const QString& summary, const QString& body) override;

private:
    void send(const QString& summary, const QString& body);

    QDBusConnection m_bus;
    std::chrono::milliseconds m_callTimeout;
    uint m_shownId = 0; // the service's id of the last notification; 0 for none
    bool m_sending = false;
    std::optional<std::pair<QString, QString>> m_next; // summary and body waiting to go
    // Parent of the calls in flight: destroyed with this object, they can no longer reach it.
    QObject m_context;
};

} // namespace vindaro
