#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A D-Bus daemon of the test's own, nothing activatable, with services the test starts on it;
// all stopped by process id with this object.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const QString& address() const { return m_address; } // empty on failure; see error()
    const QString& error() const { return m_error; }

    QDBusConnection connect(const QString& name); // closed with the bus

    // Runs the command on this bus (session and system) until it owns the name; else false.

    bool startService(const QStringList& command, const QString& busName);

private:
    QTemporaryDir m_directory;
    QString m_address;
    QString m_error;
    QStringList m_connections;
    std::vector<std::unique_ptr<QProcess>> m_processes; // the daemon first
};
