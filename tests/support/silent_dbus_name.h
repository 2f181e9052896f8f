#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>

// Owns a well-known name on the session bus and never answers anything sent to it, on any
// object path: a service that has hung. Uses a bus connection of its own, apart from the
// process's other D-Bus users.
class SilentDBusName {
public:
    explicit SilentDBusName(const QString& name);
    ~SilentDBusName();
    SilentDBusName(const SilentDBusName&) = delete;
    SilentDBusName& operator=(const SilentDBusName&) = delete;

    // Whether the name is ours on the bus.
    bool isOwned() const { return m_owned; }

private:
    class Swallower : public QDBusVirtualObject {
    public:
        QString introspect(const QString&) const override { return {}; }
        // Claims every message as handled, so no reply, not even an error, is ever sent.
        bool handleMessage(const QDBusMessage&, const QDBusConnection&) override { return true; }
    };

    QString m_name;
    Swallower m_swallower;
    QDBusConnection m_connection;
    bool m_owned = false;
};
