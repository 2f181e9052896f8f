#pragma once

#include <QDBusAbstractInterface>
#include <QVariantMap>

namespace vindaro {

// The desktop portal's request and session objects on the bus, declared only for their signals,
// so that these can be connected like any Qt signal.
inline constexpr const char* portalBusName = "org.freedesktop.portal.Desktop";

class PortalRequestSignals final : public QDBusAbstractInterface {
    Q_OBJECT

public:
    PortalRequestSignals(const QString& path, const QDBusConnection& bus, QObject* parent)
        : QDBusAbstractInterface(QString::fromLatin1(portalBusName), path,
                                 "org.freedesktop.portal.Request", bus, parent) {}

Q_SIGNALS:
    // The answer to one call: 0 granted, 1 refused by the user, 2 failed otherwise.
    void Response(uint response, const QVariantMap& results);
};

class PortalSessionSignals final : public QDBusAbstractInterface {
    Q_OBJECT

public:
    PortalSessionSignals(const QString& path, const QDBusConnection& bus, QObject* parent)
        : QDBusAbstractInterface(QString::fromLatin1(portalBusName), path,
                                 "org.freedesktop.portal.Session", bus, parent) {}

Q_SIGNALS:
    // The portal or the desktop ended the session (the user stopped it, say).
    void Closed(const QVariantMap& details);
};

} // namespace vindaro
