#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace vindaro::test {

// A program the test starts, killed by the kernel should the test die first. fork() and exec
// rather than QProcess: QProcess's child runs in the test's memory until the exec, which the
// thread sanitizer cannot follow, and it then takes the test's own locking for races.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Its error output is discarded, and so is its standard output unless `readOutput`.
    void start(const std::vector<std::string>& command, bool readOutput);
    // One line of its standard output, or nothing when none came within `limit`.
    std::string readLine(std::chrono::milliseconds limit) const;
    void signal(int number) const;
    void stop(); // terminates it, stopped or not, and waits for it

private:
    pid_t m_pid = -1;
    int m_output = -1;
};

// An X server of this test's own on a display it picks itself (-displayfd), so parallel tests
// never collide; stopped with this object, killed by the kernel should the test die first.
class XServerProcess {
public:
    virtual ~XServerProcess();

    XServerProcess(const XServerProcess&) = delete;
    XServerProcess& operator=(const XServerProcess&) = delete;

    const std::string& displayName() const { return m_displayName; } // ":N"

    void stop(); // terminates the server and waits for it
    // Stops the server in its tracks (SIGSTOP), as a hung one would, and lets it go on.
    void suspend();
    void resume();

protected:
    // Throws std::runtime_error when the server does not come up within `startLimit`.
    XServerProcess(std::vector<std::string> command, std::chrono::seconds startLimit);

private:
    ChildProcess m_process;
    std::string m_displayName;
};

// A private Xvfb, and a window manager on it when the test asks for one.
class XvfbServer : public XServerProcess {
public:
    // Extra arguments go to Xvfb, e.g. {"-extension", "XTEST"} to start it without XTEST.
    explicit XvfbServer(const std::vector<std::string>& extraArguments = {});

    // Starts openbox and returns once it manages windows; throws when it does not come up.
    void startWindowManager();

private:
    ChildProcess m_windowManager; // stopped before the server
};

// A private Xorg with the dummy video driver and no input devices of its own. Unlike Xvfb it
// takes keymap changes, so keyboard layouts can be tried on it. Xorg needs root.
class XorgServer : public XServerProcess {
public:
    XorgServer();
    ~XorgServer() override;

    // Runs setxkbmap on this display, e.g. with {"-layout", "fr"}; throws when it fails.

    void setKeymap(const std::vector<std::string>& arguments) const;

private:
    explicit XorgServer(const std::string& directory);
    std::string m_directory; // holds the configuration and the log
};

} // namespace vindaro::test
