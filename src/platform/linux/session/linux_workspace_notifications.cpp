#include "linux_workspace_notifications.h"

namespace vindaro {

LinuxWorkspaceNotifications::LinuxWorkspaceNotifications(const QDBusConnection& systemBus,
                                                         const QDBusConnection& sessionBus,
                                                         std::chrono::milliseconds lockRepeatWindow,
                                                         QObject* parent)
    : QObject(parent)
    , m_logind(systemBus)
    , m_screenSaver(sessionBus)
    , m_lockRepeatWindow(lockRepeatWindow) {
    connect(&m_logind, &LogindListener::preparingForSleep, this,
            [this] { report(m_handlers.willSleep); });
    connect(&m_logind, &LogindListener::sessionLocked, this, &LinuxWorkspaceNotifications::locked);
    connect(&m_screenSaver, &ScreenSaverListener::activated, this,
            &LinuxWorkspaceNotifications::locked);
    connect(&m_logind, &LogindListener::sessionUnlocked, this,
            &LinuxWorkspaceNotifications::unlocked);
    connect(&m_screenSaver, &ScreenSaverListener::deactivated, this,
            &LinuxWorkspaceNotifications::unlocked);
}

void LinuxWorkspaceNotifications::observe(Handlers handlers) {
    m_handlers = std::move(handlers);
}

void LinuxWorkspaceNotifications::report(const std::function<void()>& handler) {
    // A copy, so that a handler may replace the handlers while it runs.
    if (const std::function<void()> call = handler)
        call();
}

void LinuxWorkspaceNotifications::locked() {
    // Asking logind to lock makes the screen saver lock too, and some desktops publish their
    // screen saver under both names: the one lock comes in two or three notices.
    if (m_sinceLockReported.isValid() &&
        !m_sinceLockReported.hasExpired(m_lockRepeatWindow.count()))
        return;
    m_sinceLockReported.start();
    report(m_handlers.sessionDidResignActive);
}

void LinuxWorkspaceNotifications::unlocked() {
    m_sinceLockReported.invalidate();
}

} // namespace vindaro
