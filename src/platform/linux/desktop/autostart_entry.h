#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace vindaro {

// The agent's entry in the user's XDG autostart folder: while it is there, the desktop starts
// the agent when the user logs in, with an argument that says so. It runs what the installed
// desktop entry runs, so a packaged agent starts the same program the menu does.
class AutostartEntry {
public:
    static constexpr const char* startedByDesktop = "--autostart";

    // By default the user's autostart folder, the desktop entry installed for the agent (looked
    // up in the XDG data folders), and this program when none is installed.
    AutostartEntry();
    AutostartEntry(QString directory, QString installedEntry, QString program);

    bool exists() const;
    // Writes or removes the entry; what went wrong, in the file system's words, when it could not.
    std::optional<QString> set(bool wanted);
    QString filePath() const;

    // Whether the arguments are those of a start by the desktop at login.
    static bool startedByDesktopIn(const QStringList& arguments) {
        return arguments.contains(QString::fromLatin1(startedByDesktop));
    }

private:
    QString command() const;

    QString m_directory;
    QString m_installedEntry;
    QString m_program;
};

} // namespace vindaro
