#include "private_bus.h"

#include <QDBusConnectionInterface>
#include <QFile>
#include <QTest>

namespace {

constexpr int waitLimitMs = 15000;

} // namespace

PrivateBus::PrivateBus() {
    if (!m_directory.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return;
    }
    // Anyone may own any name and talk to anyone, as on a session bus; no service directories,
    // so nothing of the machine's own is ever started on it.
    const QString configPath = m_directory.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write ") + configPath;
        return;
    }
    config.write(
        QStringLiteral(
            R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
            .arg(m_directory.path())
            .toUtf8());
    config.close();

    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                    QStringLiteral("--print-address")});
    if (!m_daemon.waitForStarted(waitLimitMs)) {
        m_error = QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString();
        return;
    }
    QByteArray output;
    while (!output.contains('\n') && m_daemon.waitForReadyRead(waitLimitMs))
        output += m_daemon.readAllStandardOutput();
    m_address = QString::fromUtf8(output).trimmed();
    if (m_address.isEmpty())
        m_error = QStringLiteral("dbus-daemon printed no address: ") +
                  QString::fromUtf8(m_daemon.readAllStandardError());
}

PrivateBus::~PrivateBus() {
    for (const QString& name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    for (const auto& service : m_services)
        stop(*service);
    stop(m_daemon);
}

void PrivateBus::stop(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(waitLimitMs)) {
        process.kill();
        process.waitForFinished(waitLimitMs);
    }
}

QDBusConnection PrivateBus::connect(const QString& name) {
    // Connection names are process-wide; make them unique to this bus.
    const QString unique = name + QLatin1Char('@') + m_address;
    m_connections << unique;
    return QDBusConnection::connectToBus(m_address, unique);
}

bool PrivateBus::startService(const QStringList& command, const QString& busName) {
    if (m_address.isEmpty())
        return false;
    auto& process = m_services.emplace_back(std::make_unique<QProcess>());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->start(command.first(), command.mid(1));
    if (!process->waitForStarted(waitLimitMs)) {
        m_error = command.first() + QStringLiteral(" did not start: ") + process->errorString();
        return false;
    }
    QDBusConnection watcher = connect(QStringLiteral("service-watcher"));
    if (QTest::qWaitFor(
            [&] {
                return process->state() != QProcess::Running ||
                       watcher.interface()->isServiceRegistered(busName).value();
            },
            waitLimitMs) &&
        process->state() == QProcess::Running)
        return true;
    m_error = command.join(QLatin1Char(' ')) + QStringLiteral(" did not come up on the bus");
    return false;
}
