#pragma once

#include "sway_server.h"

#include <QProcessEnvironment>

#include <memory>

#include <string>
#include <vector>

namespace vindaro::test {

// A headless KWin on this process's session bus, which must be a private one: KWin takes
// well-known names on it. It runs from a copy of its binary, still named kwin_wayland (its Qt
// platform plugin insists), since the packaged one carries a file capability a container refuses;
// with home, config, data and runtime folders of its own. Throws unless it is up in 20 s.
//
// KWin offers its fake input and window management only to executables that a desktop entry
// names by absolute path: allow() writes one, which KWin reads when the client connects.
class KWinServer : public HeadlessCompositor {
public:
    explicit KWinServer(const std::vector<std::string>& allowedExecutables);
    ~KWinServer() override;

    void allow(const std::string& executable);
    // Runs a KWin script (JavaScript over KWin's D-Bus scripting); true when KWin ran it.
    bool runScript(const QString& script);
    // Gives the keyboard focus to the window with this title, as a click on it would.
    bool activate(const QString& title);
    void kill(); // at once, as a crash would
    // Starts xdg-desktop-portal with its KDE backend on this KWin and bus; throws unless up in 20
    // s.
    void startPortal();
    void killPortal(); // the portal's front end, at once

    static std::string thisExecutable();

private:
    int m_entries = 0;
    int m_scripts = 0;
    QProcessEnvironment m_environment;
    std::unique_ptr<QProcess> m_portalBackend;
    std::unique_ptr<QProcess> m_portal;
};

} // namespace vindaro::test
