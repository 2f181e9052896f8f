#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <string>

namespace vindaro::test {

// A private headless compositor in a runtime folder of its own, ended with this object and killed
// by the kernel should the test die first.
class HeadlessCompositor {
public:
    virtual ~HeadlessCompositor();

    HeadlessCompositor(const HeadlessCompositor&) = delete;
    HeadlessCompositor& operator=(const HeadlessCompositor&) = delete;

    // Absolute path of its Wayland socket.
    const std::string& waylandDisplay() const { return m_waylandDisplay; }

protected:
    HeadlessCompositor() = default;
    // Starts the program and waits up to `limitMs` for `up`; throws std::runtime_error unless
    // it is up and running by then.
    void start(const QString& program, const QStringList& arguments,
               const std::function<bool()>& up, int limitMs);

    QTemporaryDir m_folder;
    std::string m_waylandDisplay;
    QProcess m_process;
};

// Sway (software rendering, no input devices, no Xwayland). Sway refuses to run as root, so it
// runs as nobody; this process, as root, still reaches its sockets.
class SwayServer : public HeadlessCompositor {
public:
    SwayServer();

    // Absolute path of its IPC socket ($SWAYSOCK).
    const std::string& ipcSocket() const { return m_ipcSocket; }
    // Runs one sway command, as `swaymsg` does; true when sway carried it out.
    bool command(const std::string& command) const;
    // Ends sway at once, as a crash would.
    void kill();

private:
    std::string m_ipcSocket;
};

} // namespace vindaro::test
