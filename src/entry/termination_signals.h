#pragma once

#include <QObject>

class QSocketNotifier;

namespace vindaro {

// SIGINT and SIGTERM delivered as a Qt signal on the thread that made this object. The handler
// itself only writes a byte to a pipe (nothing else is safe inside a signal handler); the event
// loop watches the pipe and emits received(), so the agent can quit the same way as from its
// window and let go of every key first. One instance at a time; the default handling returns
// when it goes.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the pipe or the handlers could not be set up; the signals then end the process
    // as they would by default.
    bool isWatching() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void received();

private:
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace vindaro
