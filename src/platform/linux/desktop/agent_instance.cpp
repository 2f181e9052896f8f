#include "agent_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vindaro {

namespace {

const QByteArray stopRequest = "stop\n";
const QByteArray stopConfirmed = "stopped\n";
// Nothing the server expects is longer than the request; more is someone else talking.
constexpr qint64 requestLimit = 16;
constexpr int idleLimitMs = 2000;
constexpr int connectionLimit = 4;

QString socketPath(const QString& folder) {
    return QDir(folder).filePath(QStringLiteral("stop"));
}

// Makes the folder, or accepts one already there only if it is a real folder of this user that
// nobody else may enter.
bool privateFolder(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder);
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat status {};
    if (lstat(path.constData(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != geteuid())
        return false;
    return (status.st_mode & 0077) == 0 || chmod(path.constData(), 0700) == 0;
}

} // namespace

QString AgentInstance::defaultFolder() {
    // Qt checks that the runtime folder belongs to the user and is private, and makes a private
    // one when the session names none.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
        .filePath(QStringLiteral("vindaro-agent"));
}

AgentInstance::AgentInstance(QString folder)
    : m_folder(std::move(folder)) {
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_server.setMaxPendingConnections(connectionLimit);
    QObject::connect(&m_server, &QLocalServer::newConnection, this, [this] { accept(); });
}

AgentInstance::~AgentInstance() {
    m_server.close();
    if (m_lock >= 0)
        close(m_lock);
}

AgentInstance::Claim AgentInstance::claim() {
    if (m_lock >= 0)
        return Claim::claimed;
    if (!privateFolder(m_folder))
        return Claim::unusableFolder;
    const QByteArray lockPath = QFile::encodeName(QDir(m_folder).filePath(QStringLiteral("lock")));
    const int lock = open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0)
        return Claim::unusableFolder;
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        close(lock);
        return errno == EWOULDBLOCK ? Claim::anotherIsRunning : Claim::unusableFolder;
    }
    m_lock = lock;
    // With the lock held, a socket left by an agent that was killed is ours to replace.
    QLocalServer::removeServer(socketPath(m_folder));
    if (!m_server.listen(socketPath(m_folder)))
        return Claim::unusableFolder;
    return Claim::claimed;
}

void AgentInstance::accept() {
    while (QLocalSocket* client = m_server.nextPendingConnection()) {
        client->setParent(this);
        if (findChildren<QLocalSocket*>().size() > connectionLimit) {
            client->abort();
            client->deleteLater();
            continue;
        }
        client->setReadBufferSize(requestLimit);
        auto* idle = new QTimer(client);
        idle->setSingleShot(true);
        QObject::connect(idle, &QTimer::timeout, client, &QLocalSocket::abort);
        idle->start(idleLimitMs);
        QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] {
            const QByteArray received = client->peek(requestLimit);
            if (received.size() < stopRequest.size() && stopRequest.startsWith(received))
                return; // the rest of the request is on its way
            client->read(requestLimit);
            if (received == stopRequest) {
                if (m_onStop)
                    m_onStop();
                client->write(stopConfirmed);
                client->disconnectFromServer();
            } else {
                client->abort();
            }
        });
    }
}

AgentInstance::StopOutcome AgentInstance::requestStop(const QString& folder,
                                                      std::chrono::milliseconds timeout) {
    QLocalSocket socket;
    socket.connectToServer(socketPath(folder));
    const int waitMs = static_cast<int>(timeout.count());
    if (!socket.waitForConnected(waitMs))
        return StopOutcome::noAgent;
    socket.write(stopRequest);
    if (!socket.waitForBytesWritten(waitMs))
        return StopOutcome::noAnswer;
    QByteArray answer;
    while (answer.size() < stopConfirmed.size() && socket.waitForReadyRead(waitMs))
        answer += socket.read(stopConfirmed.size() - answer.size());
    return answer == stopConfirmed ? StopOutcome::stopped : StopOutcome::noAnswer;
}

} // namespace vindaro
