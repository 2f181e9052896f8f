#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <string>

namespace vindaro::test {

// A private headless sway (software rendering, no input devices, no Xwayland) in a runtime
// folder of its own. Sway refuses to run as root, so it runs as nobody; this process, as root,
// still reaches its sockets. The kernel ends it should the test die first.
class SwayServer {
public:
    // Throws std::runtime_error when sway does not come up within ten seconds.
    SwayServer();
    ~SwayServer();

    SwayServer(const SwayServer&) = delete;
    SwayServer& operator=(const SwayServer&) = delete;

    // Absolute paths of its Wayland socket and of its IPC socket ($SWAYSOCK).
    const std::string& waylandDisplay() const { return m_waylandDisplay; }
    const std::string& ipcSocket() const { return m_ipcSocket; }

    // Runs one sway command, as `swaymsg` does; true when sway carried it out.
    bool command(const std::string& command) const;

    // Ends sway at once, as a crash would.
    void kill();

private:
    QTemporaryDir m_folder;
    std::string m_waylandDisplay;
    std::string m_ipcSocket;
    QProcess m_process;
};

} // namespace vindaro::test
