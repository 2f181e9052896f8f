#include "termination_signals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace vindaro {

namespace {

constexpr std::array<int, 2> watchedSignals = {SIGINT, SIGTERM};

// Written by the handler, read by the event loop.
int writeEnd = -1;
int readEnd = -1;

extern "C" void noteSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing more is needed.
    static_cast<void>(!::write(writeEnd, &byte, 1));
    errno = savedErrno;
}

void setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : watchedSignals)
        ::sigaction(signal, &action, nullptr);
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent) {
    std::array<int, 2> fds{};
    if (writeEnd >= 0 || ::pipe2(fds.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readEnd = fds[0];
    writeEnd = fds[1];
    m_notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        std::array<char, 64> drained{};
        while (::read(readEnd, drained.data(), drained.size()) > 0) {
        }
        Q_EMIT received();
    });
    setHandler(noteSignal);
}

TerminationSignals::~TerminationSignals() {
    if (!m_notifier)
        return;
    setHandler(SIG_DFL);
    delete m_notifier;
    ::close(std::exchange(writeEnd, -1));
    ::close(std::exchange(readEnd, -1));
}

} // namespace vindaro
