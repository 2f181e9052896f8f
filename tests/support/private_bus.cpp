#include "private_bus.h"

#include <QDBusConnectionInterface>
#include <QFile>
#include <QTest>

namespace {

constexpr int waitLimitMs = 15000;

// Anyone may own any name and talk to anyone; no service directories, so nothing is activated.
const char* const configuration =

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
)";

} // namespace

PrivateBus::PrivateBus() {
    const QString configPath = m_directory.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!m_directory.isValid() || !config.open(QIODevice::WriteOnly) ||
        config.write(QString::fromLatin1(configuration).arg(m_directory.path()).toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write ") + configPath;
        return;
    }
    config.close();
    QProcess& daemon = *m_processes.emplace_back(std::make_unique<QProcess>());
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                  QStringLiteral("--print-address")});
    QByteArray output;
    while (!output.contains('\n') && daemon.waitForReadyRead(waitLimitMs))
        output += daemon.readAllStandardOutput();
    m_address = QString::fromUtf8(output).trimmed();
    if (m_address.isEmpty())
        m_error = QStringLiteral("dbus-daemon printed no address: ") + daemon.errorString() +
                  QString::fromUtf8(daemon.readAllStandardError());
}

PrivateBus::~PrivateBus() {
    for (const QString& name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    // The services first, the daemon last.
    for (auto process = m_processes.rbegin(); process != m_processes.rend(); ++process) {
        (*process)->terminate();
        if (!(*process)->waitForFinished(waitLimitMs)) {
            (*process)->kill();
            (*process)->waitForFinished(waitLimitMs);
        }
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
    QProcess& process = *m_processes.emplace_back(std::make_unique<QProcess>());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(command.first(), command.mid(1));
    QDBusConnection watcher = connect(QStringLiteral("service-watcher"));
    if (process.waitForStarted(waitLimitMs) &&
        QTest::qWaitFor(
            [&] {
                return process.state() != QProcess::Running ||
                       watcher.interface()->isServiceRegistered(busName).value();
            },
            waitLimitMs) &&
        process.state() == QProcess::Running)
        return true;
    m_error = command.join(QLatin1Char(' ')) + QStringLiteral(" did not come up on the bus: ") +
              process.errorString();
    return false;
}
