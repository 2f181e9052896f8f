#include "silent_dbus_name.h"

SilentDBusName::SilentDBusName(const QString& name)
    : m_name(name)
    , m_connection(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                 QStringLiteral("silent ") + name)) {
    m_owned = m_connection.isConnected() &&
              m_connection.registerVirtualObject(QStringLiteral("/"), &m_swallower,
                                                 QDBusConnection::SubPath) &&
              m_connection.registerService(name);
}

SilentDBusName::~SilentDBusName() {
    m_connection.unregisterService(m_name);
    m_connection.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus(m_connection.name());
}
