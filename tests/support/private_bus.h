#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A D-Bus daemon of the test's own, with services the test starts on it. Everything is stopped,
// by process id, when the object goes. Nothing on it can be activated: a name has an owner only
// when the test started one.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon could not be started; error() then says why.
    const QString& address() const { return m_address; }
    const QString& error() const { return m_error; }

    // A new connection of this process to the bus, closed with the bus.
    QDBusConnection connect(const QString& name);

    // Runs the command with this bus as its session and system bus and waits until it owns the
    // name; false, with error() set, if it does not within the wait limit.
    bool startService(const QStringList& command, const QString& busName);

private:
    QTemporaryDir m_directory;
    QString m_address;
    QString m_error;
    QStringList m_connections;
    std::vector<std::unique_ptr<QProcess>> m_processes; // the daemon first
};
