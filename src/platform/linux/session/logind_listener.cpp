#include "logind_listener.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <chrono>

namespace vindaro {

namespace {

const QString service = QStringLiteral("org.freedesktop.login1");
const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");

// logind answers at once; this only bounds the wait when it hangs.
constexpr std::chrono::milliseconds callTimeout{5000};

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
    // The same signal with false announces the wake-up, which changes nothing here.
    if (starting)
        Q_EMIT preparingForSleep();
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
