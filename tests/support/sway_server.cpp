#include "sway_server.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <stdexcept>

namespace vindaro::test {

HeadlessCompositor::~HeadlessCompositor() {
    m_process.terminate();
    m_process.waitForFinished();
}

void HeadlessCompositor::start(const QString& program, const QStringList& arguments,
                               const std::function<bool()>& up, int limitMs) {
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(program, arguments);
    if (!QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning || up(); },
                         limitMs) ||
        m_process.state() != QProcess::Running)
        throw std::runtime_error(program.toStdString() + " did not start");
}

SwayServer::SwayServer() {
    constexpr uid_t nobody = 65534;
    const QString config = m_folder.filePath(QStringLiteral("config"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) || file.write("xwayland disable\n") < 0)
        throw std::runtime_error("cannot write sway's configuration");
    file.close();
    if (chown(QFile::encodeName(m_folder.path()).constData(), nobody, nobody) != 0 ||
        chown(QFile::encodeName(config).constData(), nobody, nobody) != 0)
        throw std::runtime_error("chown failed");
    QProcessEnvironment environment;
    for (const auto& [name, value] : {std::pair{"XDG_RUNTIME_DIR", m_folder.path()},
                                      {"HOME", m_folder.path()},
                                      {"WLR_BACKENDS", QStringLiteral("headless")},
                                      {"WLR_HEADLESS_OUTPUTS", QStringLiteral("1")},
                                      {"WLR_LIBINPUT_NO_DEVICES", QStringLiteral("1")},
                                      {"WLR_RENDERER", QStringLiteral("pixman")}})
        environment.insert(QString::fromLatin1(name), value);
    m_process.setProcessEnvironment(environment);
    m_process.setChildProcessModifier([] {
        if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
            setresuid(nobody, nobody, nobody) != 0)
            _exit(126);
        // After the change of user, which clears it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    const QDir folder(m_folder.path());
    const auto up = [&] {
        for (const QFileInfo& entry : folder.entryInfoList(QDir::System)) {
            if (entry.fileName().startsWith(QStringLiteral("wayland-")) &&
                !entry.fileName().endsWith(QStringLiteral(".lock")))
                m_waylandDisplay = entry.filePath().toStdString();
            else if (entry.fileName().startsWith(QStringLiteral("sway-ipc.")))
                m_ipcSocket = entry.filePath().toStdString();
        }
        return !m_waylandDisplay.empty() && !m_ipcSocket.empty();
    };
    start(QStringLiteral("/usr/bin/sway"), {QStringLiteral("--config"), config}, up, 10000);
}

bool SwayServer::command(const std::string& command) const {
    return QProcess::execute(QStringLiteral("swaymsg"), {QStringLiteral("-q"), QStringLiteral("-s"),
                                                         QString::fromStdString(m_ipcSocket),
                                                         QString::fromStdString(command)}) == 0;
}

void SwayServer::kill() {
    m_process.kill();
    m_process.waitForFinished();
}

} // namespace vindaro::test
