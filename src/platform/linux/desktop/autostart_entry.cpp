#include "autostart_entry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

namespace vindaro {

namespace {

const char* const entryName = "net.vindaro.agent.desktop";

// The Exec line of a desktop entry's main group, without the field codes (%u, %F, …) that only
// a launcher given files or URLs fills in.
QString execOf(const QString& path) {
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QTextStream in(&file);
    bool mainGroup = false;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(u'['))
            mainGroup = line == QStringLiteral("[Desktop Entry]");
        else if (mainGroup && line.startsWith(QStringLiteral("Exec="))) {
            QStringList words = line.mid(5).split(u' ', Qt::SkipEmptyParts);
            words.removeIf([](const QString& word) { return word.startsWith(u'%'); });
            return words.join(u' ');
        }
    }
    return {};
}

} // namespace

AutostartEntry::AutostartEntry()
    : AutostartEntry(
          QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
              QStringLiteral("/autostart"),
          QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                 QStringLiteral("applications/") + QString::fromLatin1(entryName)),
          QCoreApplication::applicationFilePath()) {}

AutostartEntry::AutostartEntry(QString directory, QString installedEntry, QString program)
    : m_directory(std::move(directory))
    , m_installedEntry(std::move(installedEntry))
    , m_program(std::move(program)) {}

QString AutostartEntry::filePath() const {
    return QDir(m_directory).filePath(QString::fromLatin1(entryName));
}

bool AutostartEntry::exists() const {
    return QFile::exists(filePath());
}

QString AutostartEntry::command() const {
    QString exec = execOf(m_installedEntry);
    if (exec.isEmpty()) {
        // Not installed: this very program, quoted as desktop entries quote.
        exec = m_program;
        exec.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
        exec = u'"' + exec + u'"';
    }
    return exec + u' ' + QString::fromLatin1(startedByDesktop);
}

std::optional<QString> AutostartEntry::set(bool wanted) {
    if (!wanted) {
        QFile entry(filePath());
        if (!entry.exists() || entry.remove())
            return std::nullopt;
        return entry.errorString();
    }
    if (!QDir().mkpath(m_directory))
        return QStringLiteral("cannot create ") + m_directory;
    QSaveFile entry(filePath());
    if (!entry.open(QIODevice::WriteOnly | QIODevice::Text))
        return entry.errorString();
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Vindaro Agent\n"
                                        "Exec=%1\n"
                                        "Icon=net.vindaro.agent\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(command());
    if (entry.write(text.toUtf8()) < 0 || !entry.commit())
        return entry.errorString();
    return std::nullopt;
}

} // namespace vindaro
