#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

#include <functional>

class QDBusMessage;

namespace vindaro {

// Listens to systemd-logind on the system bus: the machine about to sleep, and this process's
// login session being locked or unlocked. Only signals sent by the owner of
// org.freedesktop.login1 count, so no other client on the bus can fake them. Without a bus, or
// without logind, no signal ever comes.
//
// While it lives it holds a "delay" inhibitor for sleep, so that logind waits for the agent
// before suspending: preparingForSleep() is emitted first, and whatever its receivers do
// synchronously (letting go of every key) is done before the inhibitor is given back. It is taken
// again after the wake-up.
class LogindListener : public QObject {
    Q_OBJECT

public:
    explicit LogindListener(const QDBusConnection& systemBus, QObject* parent = nullptr);

    // The object path of this process's login session once logind has named it; empty before,
    // and when the process belongs to no session.
    const QString& sessionPath() const { return m_sessionPath; }

    // Whether the sleep inhibitor is held right now.
    bool holdsSleepInhibitor() const { return m_sleepInhibitor.isValid(); }

Q_SIGNALS:
    void preparingForSleep();
    void sessionLocked();
    void sessionUnlocked();

private Q_SLOTS:
    void onPrepareForSleep(bool starting);
    void onLock(const QDBusMessage& message);
    void onUnlock(const QDBusMessage& message);

private:
    void askForSession(const QString& method, const QVariant& argument,
                       const std::function<void()>& otherwise);
    void takeSleepInhibitor();

    QDBusConnection m_bus;
    QString m_sessionPath;
    // Closing the descriptor gives the inhibitor back.
    QDBusUnixFileDescriptor m_sleepInhibitor;
    bool m_preparingForSleep = false;
    // Numbers the requests for an inhibitor, so that only the answer to the newest one counts.
    quint64 m_inhibitorRequest = 0;
};

} // namespace vindaro
