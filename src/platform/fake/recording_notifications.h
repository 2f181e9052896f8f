#pragma once

#include "platform/desktop_notifications.h"

#include <QStringList>

namespace vindaro {

// Keeps every notification as "summary: body".
class RecordingNotifications final : public DesktopNotifications {
public:
    void notify(const QString& summary, const QString& body) override {
        shown << summary + QStringLiteral(": ") + body;
    }

    QStringList shown;
};

} // namespace vindaro
