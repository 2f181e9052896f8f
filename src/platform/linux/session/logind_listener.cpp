#include "logind_listener.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

#include <chrono>

namespace vindaro {

namespace {

const QString service = QStringLiteral("org.freedesktop.login1");
const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");

// logind answers at once; this only bounds the wait when it hangs.
constexpr std::chrono::milliseconds callTimeout{5000};

// Shown by tools that list what holds up sleep (systemd-inhibit --list, desktop dialogs).
QString inhibitorReason() {
    return QStringLiteral("ปล่อยปุ่มที่กดค้างไว้ก่อนเครื่องพัก");
}

} // namespace

LogindListener::LogindListener(const QDBusConnection& systemBus, QObject* parent)
    : QObject(parent)
    , m_bus(systemBus) {
    if (!m_bus.isConnected())
        return;
    // Naming the service makes Qt deliver only what the current owner of the name sends: it
    // tracks the owner and compares it with each signal's sender, even for signals addressed
    // to this connection directly. QtDBus connects signals by slot signature only.
    m_bus.connect(service, managerPath, managerInterface, QStringLiteral("PrepareForSleep"), this,
                  SLOT(onPrepareForSleep(bool)));
    // Every session has its own object; the path is checked against this process's session.
    m_bus.connect(service, QString(), sessionInterface, QStringLiteral("Lock"), this,
                  SLOT(onLock(QDBusMessage)));
    m_bus.connect(service, QString(), sessionInterface, QStringLiteral("Unlock"), this,
                  SLOT(onUnlock(QDBusMessage)));

    // The session the process runs in; when it was started outside one (by a user service, for
    // instance), logind's "auto" picks the user's graphical session.
    const auto pid = static_cast<quint32>(QCoreApplication::applicationPid());
    askForSession(QStringLiteral("GetSessionByPID"), QVariant::fromValue(pid), [this] {
        askForSession(QStringLiteral("GetSession"), QStringLiteral("auto"), [] {});
    });
    takeSleepInhibitor();
}

void LogindListener::takeSleepInhibitor() {
    if (m_sleepInhibitor.isValid() ||
        !(m_bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(service, managerPath, managerInterface,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Vindaro Agent") << inhibitorReason()
         << QStringLiteral("delay");
    const quint64 request = ++m_inhibitorRequest;
    auto* watcher = new QDBusPendingCallWatcher(
        m_bus.asyncCall(call, static_cast<int>(callTimeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, request](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
                // An answer that comes once sleep is under way would only hold the sleep up;
                // dropping it gives the inhibitor straight back.
                if (reply.isValid() && request == m_inhibitorRequest && !m_preparingForSleep)
                    m_sleepInhibitor = reply.value();
            });
}

void LogindListener::askForSession(const QString& method, const QVariant& argument,
                                   const std::function<void()>& otherwise) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, managerPath, managerInterface, method);
    call << argument;
    auto* watcher = new QDBusPendingCallWatcher(
        m_bus.asyncCall(call, static_cast<int>(callTimeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, otherwise](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *finished;
                if (reply.isValid() && !reply.value().path().isEmpty())
                    m_sessionPath = reply.value().path();
                else
                    otherwise();
            });
}

void LogindListener::onPrepareForSleep(bool starting) {
    m_preparingForSleep = starting;
    if (!starting) {
        takeSleepInhibitor();
        return;
    }
    // Receivers run synchronously: the keys are up when this returns, and logind may go on.
    Q_EMIT preparingForSleep();
    m_sleepInhibitor = QDBusUnixFileDescriptor();
}

void LogindListener::onLock(const QDBusMessage& message) {
    if (!m_sessionPath.isEmpty() && message.path() == m_sessionPath)
        Q_EMIT sessionLocked();
}

void LogindListener::onUnlock(const QDBusMessage& message) {
    if (!m_sessionPath.isEmpty() && message.path() == m_sessionPath)
        Q_EMIT sessionUnlocked();
}

} // namespace vindaro
