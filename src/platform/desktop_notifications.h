#pragma once

#include <QString>

namespace vindaro {

// Messages a player must not miss while the game covers the agent's window, shown by the
// desktop's notification service.
class DesktopNotifications {
public:
    virtual ~DesktopNotifications() = default;

    // Shows one notification, replacing the one shown before. Without a notification service
    // nothing happens and nothing is reported. Main thread; never waits for the service.
    virtual void notify(const QString& summary, const QString& body) = 0;
};

} // namespace vindaro
