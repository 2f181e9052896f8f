#include "connection_probe.h"

#include "relay/handshake.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSemaphore>
#include <QTimer>
#include <QWebSocket>

#include <atomic>
#include <limits>
#include <memory>
#include <thread>

namespace vindaro {

namespace {

// How long the probe waits for its close handshake once the answer is known.
constexpr std::chrono::seconds closingGrace{1};

// The handshake, on the probe's own thread: wakes the caller when it ends either way, and keeps
// the socket until the caller has finished waiting and the socket has been closed.
class ProbeHandshake : public QObject {
public:
    ProbeHandshake(const QNetworkRequest& request, QSemaphore& woken, std::atomic<bool>& succeeded,
                   QEventLoop& loop)
        : m_request(request)
        , m_woken(woken)
        , m_succeeded(succeeded)
        , m_loop(loop) {}

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
        if (socket.state() != QAbstractSocket::ConnectedState) {
            socket.abort(); // also ends a refused handshake, whose TCP connection Qt leaves open
            m_loop.quit();
            return;
        }
        // The close frame may still sit in the TLS socket's buffer: let it go out.
        connect(&socket, &QWebSocket::disconnected, &m_loop, &QEventLoop::quit);
        QTimer::singleShot(closingGrace, &m_loop, &QEventLoop::quit);
        socket.close(QWebSocketProtocol::CloseCodeNormal);
        if (socket.state() == QAbstractSocket::UnconnectedState)
            m_loop.quit();
    }

private:
    QNetworkRequest m_request;
    QSemaphore& m_woken;
    std::atomic<bool>& m_succeeded;
    QEventLoop& m_loop;
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

    const QNetworkRequest request = handshakeRequest(url, bearerToken, AgentIdentity::omitted);
    QSemaphore woken;
    std::atomic<bool> succeeded = false;
    std::atomic<ProbeHandshake*> handshake = nullptr;
    QSemaphore started;
    // A thread we join rather than a QThread: Qt's threads are detached, and their last steps
    // (OpenSSL freeing its per-thread random generators, for one) could still be running when
    // the caller goes on, or when `--connection-test` exits.
    std::thread worker([&] {
        {
            QEventLoop loop;
            ProbeHandshake probe(request, woken, succeeded, loop);
            probe.start();
            handshake = &probe;
            started.release();
            loop.exec();
        }
        // What Qt let go of with deleteLater() goes now: no loop is left on this thread to do it.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
    started.acquire();

    // Open, failed or out of time: which one woke us does not matter, only whether it opened.
    woken.tryAcquire(1, toWaitMilliseconds(timeout));
    // The handshake lives until its loop ends, and only finish() ends it.
    QMetaObject::invokeMethod(handshake.load(), &ProbeHandshake::finish, Qt::QueuedConnection);
    worker.join();
    return succeeded;
}

} // namespace vindaro
