#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <string>

namespace vindaro::test {

// A private headless compositor, ended with this object or killed with the test.
class HeadlessCompositor {
public:
    virtual ~HeadlessCompositor();

    HeadlessCompositor(const HeadlessCompositor&) = delete;
    HeadlessCompositor& operator=(const HeadlessCompositor&) = delete;

    const std::string& waylandDisplay() const { return m_waylandDisplay; } // socket path

protected:
    HeadlessCompositor() = default;
    // Throws unless the program is running and `up` holds within `limitMs`.
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

    const std::string& ipcSocket() const { return m_ipcSocket; } // $SWAYSOCK
    bool command(const std::string& command) const; // as swaymsg; true when carried out
    void kill();                                    // at once, as a crash would

private:
    std::string m_ipcSocket;
};

} // namespace vindaro::test
