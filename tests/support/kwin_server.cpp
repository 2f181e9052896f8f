#include "kwin_server.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <signal.h>
#include <sys/prctl.h>

#include <filesystem>
#include <stdexcept>
#include <tuple>

namespace vindaro::test {

namespace {

const QString kwinService = QStringLiteral("org.kde.KWin");

void write(const QString& path, const QByteArray& text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

} // namespace

KWinServer::KWinServer(const std::vector<std::string>& allowedExecutables) {
    const QDir folder(m_folder.path());
    for (const char* name : {"bin", "home", "config", "cache", "runtime", "data/applications"})
        folder.mkpath(QString::fromLatin1(name));
    QFile::setPermissions(folder.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString program = folder.filePath(QStringLiteral("bin/kwin_wayland"));
    if (!QFile::copy(QStringLiteral("/usr/bin/kwin_wayland"), program))
        throw std::runtime_error("cannot copy kwin_wayland");
    for (const auto& executable : allowedExecutables)
        allow(executable);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY", "WAYLAND_SOCKET"})
        environment.remove(QString::fromLatin1(name));
    for (const auto& [name, value] :
         {std::pair{"HOME", folder.filePath(QStringLiteral("home"))},
          {"XDG_CONFIG_HOME", folder.filePath(QStringLiteral("config"))},
          {"XDG_CACHE_HOME", folder.filePath(QStringLiteral("cache"))},
          {"XDG_DATA_HOME", folder.filePath(QStringLiteral("data"))},
          {"XDG_RUNTIME_DIR", folder.filePath(QStringLiteral("runtime"))},
          {"QT_QPA_PLATFORM", QStringLiteral("wayland-org.kde.kwin.qpa")},
          // Software painting: no GPU here, and it costs the least CPU.
          {"KWIN_COMPOSE", QStringLiteral("Q")}})
        environment.insert(QString::fromLatin1(name), value);
    m_process.setProcessEnvironment(environment);
    m_environment = environment;
    m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    const QString socket = folder.filePath(QStringLiteral("runtime/wayland-kwin"));
    start(
        program,
        {QStringLiteral("--virtual"), QStringLiteral("--no-lockscreen"),
         QStringLiteral("--no-global-shortcuts"), QStringLiteral("--no-kactivities"),
         QStringLiteral("--socket"), QStringLiteral("wayland-kwin"), QStringLiteral("--width"),
         QStringLiteral("1280"), QStringLiteral("--height"), QStringLiteral("800")},
        [&] {
            return QFileInfo::exists(socket) &&
                   QDBusConnection::sessionBus().interface()->isServiceRegistered(kwinService);
        },
        20000);
    m_waylandDisplay = socket.toStdString();
}

KWinServer::~KWinServer() {
    for (auto* process : {m_portal.get(), m_portalBackend.get()}) {
        if (process != nullptr) {
            process->kill();
            process->waitForFinished();
        }
    }
}

void KWinServer::allow(const std::string& executable) {
    const QDir applications(m_folder.filePath(QStringLiteral("data/applications")));
    write(applications.filePath(QStringLiteral("vindaro-test-%1.desktop").arg(++m_entries)),
          "[Desktop Entry]\nType=Application\nName=Test\nExec=" + QByteArray(executable.c_str()) +
              "\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input,"
              "org_kde_plasma_window_management\n");
}

bool KWinServer::runScript(const QString& script) {
    // KWin keeps each script under its name for the rest of its run.
    const QString path = m_folder.filePath(QStringLiteral("script-%1.js").arg(++m_scripts));
    write(path, script.toUtf8());
    auto bus = QDBusConnection::sessionBus();
    const QDBusMessage loaded =
        bus.call(QDBusMessage::createMethodCall(kwinService, QStringLiteral("/Scripting"),
                                                QStringLiteral("org.kde.kwin.Scripting"),
                                                QStringLiteral("loadScript"))
                 << path << QFileInfo(path).baseName());
    if (loaded.type() != QDBusMessage::ReplyMessage || loaded.arguments().isEmpty())
        return false;
    const int id = loaded.arguments().constFirst().toInt();
    // KWin 5 puts each script at /<id>, Plasma 6 under /Scripting/Script<id>.
    for (const QString& object :
         {QStringLiteral("/%1").arg(id), QStringLiteral("/Scripting/Script%1").arg(id)}) {
        if (bus.call(QDBusMessage::createMethodCall(kwinService, object, {}, QStringLiteral("run")))
                .type() == QDBusMessage::ReplyMessage)
            return true;
    }
    return false;
}

bool KWinServer::activate(const QString& title) {
    return runScript(
        QStringLiteral("for (const window of workspace.clientList())"
                       "  if (window.caption == '%1') workspace.activeClient = window;")
            .arg(title));
}

void KWinServer::kill() {
    m_process.kill();
    m_process.waitForFinished();
}

void KWinServer::startPortal() {
    // KDE's backend is a Wayland client of this KWin (its own desktop entry lets it use the fake
    // input); the front end finds it through XDG_CURRENT_DESKTOP, and nothing is activated on the
    // test's bus, so both are started here, the backend first.
    QProcessEnvironment environment = m_environment;
    environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QString::fromStdString(m_waylandDisplay));
    for (auto [process, program, name] :
         {std::tuple{&m_portalBackend,
                     QStringLiteral("/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde"),
                     QStringLiteral("org.freedesktop.impl.portal.desktop.kde")},
          {&m_portal, QStringLiteral("/usr/libexec/xdg-desktop-portal"),
           QStringLiteral("org.freedesktop.portal.Desktop")}}) {
        *process = std::make_unique<QProcess>();
        (*process)->setProcessEnvironment(environment);
        (*process)->setStandardOutputFile(QProcess::nullDevice());
        (*process)->setStandardErrorFile(QProcess::nullDevice());
        (*process)->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        (*process)->start(program, {});
        if (!QTest::qWaitFor(
                [&] {
                    return (*process)->state() == QProcess::NotRunning ||
                           QDBusConnection::sessionBus().interface()->isServiceRegistered(name);
                },
                20000) ||
            (*process)->state() != QProcess::Running)
            throw std::runtime_error(program.toStdString() + " did not start");
    }
}

void KWinServer::killPortal() {
    m_portal->kill();
    m_portal->waitForFinished();
}

std::string KWinServer::thisExecutable() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

} // namespace vindaro::test
