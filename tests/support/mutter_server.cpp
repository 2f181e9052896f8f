#include "mutter_server.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>

#include <signal.h>
#include <sys/prctl.h>

namespace vindaro::test {

MutterServer::MutterServer() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_folder.path());
    m_process.setProcessEnvironment(environment);
    m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    const QString socket = m_folder.filePath(QStringLiteral("wayland-0"));
    start(
        QStringLiteral("mutter"),
        {QStringLiteral("--headless"), QStringLiteral("--wayland"), QStringLiteral("--no-x11"),
         QStringLiteral("--virtual-monitor"), QStringLiteral("800x600")},
        [&] {
            return QFileInfo::exists(socket) &&
                   QDBusConnection::sessionBus().interface()->isServiceRegistered(
                       QStringLiteral("org.gnome.Mutter.RemoteDesktop"));
        },
        20000);
    m_waylandDisplay = socket.toStdString();
}

} // namespace vindaro::test
