#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

namespace vindaro {

// The one running agent of this user: a lock only one process can hold, and the local socket
// through which `vindaro-agent --stop` asks it to stop. Both live in a folder only the user may
// enter ($XDG_RUNTIME_DIR/vindaro-agent, mode 0700). The lock is the kernel's (flock), so a
// killed agent never leaves it held. Main thread.
class AgentInstance final : public QObject {
public:
    enum class Claim {
        claimed,          // this is the one agent; stop requests are heard
        anotherIsRunning, // another agent of this user holds the lock
        unusableFolder,   // the folder could not be made private to the user
    };
    enum class StopOutcome {
        stopped,  // the running agent stopped
        noAgent,  // nothing listens: no agent is running
        noAnswer, // an agent is there but did not confirm in time
    };

    // $XDG_RUNTIME_DIR/vindaro-agent, or Qt's private fallback when the variable is unset.
    static QString defaultFolder();

    explicit AgentInstance(QString folder = defaultFolder());
    ~AgentInstance() override;

    AgentInstance(const AgentInstance&) = delete;
    AgentInstance& operator=(const AgentInstance&) = delete;

    const QString& folder() const { return m_folder; }

    // Takes the lock and, holding it, listens for stop requests.
    Claim claim();

    // Runs on the main thread for each stop request; the client is told once it has returned.
    void onStopRequested(std::function<void()> handler) { m_onStop = std::move(handler); }

    // The other side: asks the agent that holds the folder's lock to stop, and waits for it to
    // confirm. Blocks; for the one-shot `--stop` command.
    static StopOutcome requestStop(const QString& folder = defaultFolder(),
                                   std::chrono::milliseconds timeout = std::chrono::seconds(3));

private:
    void accept();

    const QString m_folder;
    int m_lock = -1;
    QLocalServer m_server;
    std::function<void()> m_onStop;
};

} // namespace vindaro
