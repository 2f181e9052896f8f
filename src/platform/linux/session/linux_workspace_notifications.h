#pragma once

#include "platform/linux/session/logind_listener.h"
#include "platform/linux/session/screen_saver_listener.h"
#include "platform/workspace_notifications.h"

#include <QElapsedTimer>
#include <QObject>

#include <chrono>

namespace vindaro {

// Sleep and screen lock on a Linux desktop: logind's PrepareForSleep(true) on the system bus
// means the machine is about to sleep; logind locking this session, or the screen saver turning
// on, means the screen is locked. One lock often arrives from more than one of these at once; it
// is reported once.
class LinuxWorkspaceNotifications : public QObject, public WorkspaceNotifications {
    Q_OBJECT

public:
    // Lock notices this close together, with no unlock between them, are one lock.
    static constexpr std::chrono::milliseconds defaultLockRepeatWindow{2000};

    // Either bus may be disconnected; its events then never come.
    LinuxWorkspaceNotifications(
        const QDBusConnection& systemBus, const QDBusConnection& sessionBus,
        std::chrono::milliseconds lockRepeatWindow = defaultLockRepeatWindow,
        QObject* parent = nullptr);

    void observe(Handlers handlers) override;

    const LogindListener& logind() const { return m_logind; }
    const ScreenSaverListener& screenSaver() const { return m_screenSaver; }

private:
    static void report(const std::function<void()>& handler);
    void locked();
    void unlocked();

    LogindListener m_logind;
    ScreenSaverListener m_screenSaver;
    std::chrono::milliseconds m_lockRepeatWindow;
    Handlers m_handlers;
    QElapsedTimer m_sinceLockReported;
};

} // namespace vindaro
