#include "freedesktop_notifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace vindaro {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
// The desktop entry's name and icon, so the desktop groups and labels these as the agent's.
const QString desktopEntry = QStringLiteral("net.vindaro.agent");
const QString appName = QStringLiteral("Vindaro Agent");
constexpr int serverDecidesExpiry = -1;

} // namespace

FreedesktopNotifications::FreedesktopNotifications(const QDBusConnection& sessionBus,
                                                   std::chrono::milliseconds callTimeout)
    : m_bus(sessionBus)
    , m_callTimeout(callTimeout) {}

void FreedesktopNotifications::notify(const QString& summary, const QString& body) {
    if (!m_bus.isConnected())
        return;
    if (m_sending) {
        // Only the newest counts: it would replace the ones before it at once anyway.
        m_next.emplace(summary, body);
        return;
    }
    send(summary, body);
}

void FreedesktopNotifications::send(const QString& summary, const QString& body) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    call << appName << m_shownId << desktopEntry << summary << body << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), desktopEntry}} << serverDecidesExpiry;
    m_sending = true;
    auto* watcher = new QDBusPendingCallWatcher(
        m_bus.asyncCall(call, static_cast<int>(m_callTimeout.count())), &m_context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &m_context,
                     [this](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         const QDBusPendingReply<uint> reply = *finished;
                         // Without an answer (no service, a failing one, a timeout) the next
                         // notification simply replaces the last one that was shown.
                         if (reply.isValid())
                             m_shownId = reply.value();
                         m_sending = false;
                         if (auto next = std::exchange(m_next, std::nullopt))
                             send(next->first, next->second);
                     });
}

} // namespace vindaro
