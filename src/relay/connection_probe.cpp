#include "connection_probe.h"

#include "relay/handshake.h"

#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <atomic>
#include <limits>
#include <memory>

namespace vindaro {

namespace {

// How long the probe waits for its close handshake once the answer is known.
constexpr std::chrono::seconds closingGrace{1};

// The handshake, on the probe's own thread: wakes the caller when it ends either way, and keeps
// the socket until the caller has finished waiting and the socket has been closed.
class ProbeHandshake : public QObject {
public:
    ProbeHandshake(const QNetworkRequest& request, QSemaphore& woken, std::atomic<bool>& succeeded)
        : m_request(request)
        , m_woken(woken)
        , m_succeeded(succeeded) {}

    void start() {
        // Created here, so that the socket and everything inside it belong to this thread.
        m_socket = std::make_unique<QWebSocket>();
        limitIncomingMessages(*m_socket);
        connect(m_socket.get(), &QWebSocket::connected, this, [this] {
            m_succeeded = true;
            m_woken.release();
        });
        connect(m_socket.get(), qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                [this] { m_woken.release(); });
        connect(m_socket.get(), &QWebSocket::disconnected, this, [this] { m_woken.release(); });
        m_socket->open(m_request);
    }

    void finish() {
        QWebSocket& socket = *m_socket;
        QObject::disconnect(&socket, nullptr, this, nullptr);
        QThread* thread = QThread::currentThread();
        if (socket.state() != QAbstractSocket::ConnectedState) {
            socket.abort(); // also ends a refused handshake, whose TCP connection Qt leaves open
            thread->quit();
            return;
        }
        // The close frame may still sit in the TLS socket's buffer: let it go out. (The thread
        // object itself belongs to the caller's thread, so it cannot be the context here.)
        connect(&socket, &QWebSocket::disconnected, this, [thread] { thread->quit(); });
        QTimer::singleShot(closingGrace, this, [thread] { thread->quit(); });
        socket.close(QWebSocketProtocol::CloseCodeNormal);
        if (socket.state() == QAbstractSocket::UnconnectedState)
            thread->quit();
    }

private:
    QNetworkRequest m_request;
    QSemaphore& m_woken;
    std::atomic<bool>& m_succeeded;
    std::unique_ptr<QWebSocket> m_socket;
};

int toWaitMilliseconds(std::chrono::milliseconds timeout) {
    const auto count = timeout.count();
    if (count <= 0)
        return 0;
    return count > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                   : static_cast<int>(count);
}

} // namespace

bool ConnectionProbe::run(const QUrl& url, const std::optional<QString>& bearerToken,
                          std::chrono::milliseconds timeout) {
    if (!isRelayURL(url) || !isSendableToken(bearerToken))
        return false;

    QSemaphore woken;
    std::atomic<bool> succeeded = false;
    QThread thread;
    // Deleted on its own thread once that thread's loop has ended.
    auto* handshake = new ProbeHandshake(handshakeRequest(url, bearerToken, AgentIdentity::omitted),
                                         woken, succeeded);
    handshake->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, handshake, &ProbeHandshake::start);
    QObject::connect(&thread, &QThread::finished, handshake, &QObject::deleteLater);
    thread.start();

    // Open, failed or out of time: which one woke us does not matter, only whether it opened.
    woken.tryAcquire(1, toWaitMilliseconds(timeout));
    QMetaObject::invokeMethod(handshake, &ProbeHandshake::finish, Qt::QueuedConnection);
    thread.wait();
    return succeeded;
}

} // namespace vindaro
