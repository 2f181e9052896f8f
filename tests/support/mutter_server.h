#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <string>

namespace vindaro::test {

// A private headless mutter (Wayland only, one 800x600 virtual monitor) on the session bus this
// process uses, which must be a private one (tests/support/private-session): mutter takes
// well-known names on it. Its runtime folder is its own.
class MutterServer {
public:
    // Throws std::runtime_error when mutter and its remote-desktop service are not up within
    // twenty seconds.
    MutterServer();
    ~MutterServer();

    MutterServer(const MutterServer&) = delete;
    MutterServer& operator=(const MutterServer&) = delete;

    // Absolute path of its Wayland socket.
    const std::string& waylandDisplay() const { return m_waylandDisplay; }

private:
    QTemporaryDir m_folder;
    std::string m_waylandDisplay;
    QProcess m_process;
};

} // namespace vindaro::test
