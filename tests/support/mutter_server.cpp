#include "mutter_server.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <QTest>

#include <signal.h>
#include <sys/prctl.h>

#include <stdexcept>

namespace vindaro::test {

MutterServer::MutterServer() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_folder.path());
    m_process.setProcessEnvironment(environment);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.start(QStringLiteral("mutter"),
                    {QStringLiteral("--headless"), QStringLiteral("--wayland"),
                     QStringLiteral("--no-x11"), QStringLiteral("--virtual-monitor"),
                     QStringLiteral("800x600")});

    const QString socket = m_folder.filePath(QStringLiteral("wayland-0"));
    const bool up = QTest::qWaitFor(
        [&] {
            return m_process.state() == QProcess::NotRunning ||
                   (QFileInfo::exists(socket) &&
                    QDBusConnection::sessionBus().interface()->isServiceRegistered(
                        QStringLiteral("org.gnome.Mutter.RemoteDesktop")));
        },
        20000);
    if (!up || m_process.state() != QProcess::Running)
        throw std::runtime_error("mutter did not start");
    m_waylandDisplay = socket.toStdString();
}

MutterServer::~MutterServer() {
    m_process.terminate();
    m_process.waitForFinished();
}

} // namespace vindaro::test
