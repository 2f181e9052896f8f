#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace vindaro {

// Legacy credentials: a WebSocket endpoint, a room and a room token, as pasted from the
// service's page ("url|ROOM|token") before pairing codes existed.
class AgentPairing {
public:
    // Validates bundle text; throws AgentError chosen by the first failing check.
    static AgentPairing fromBundle(const QString& bundle);

    // Takes the fields as they are, without checks (used to rebuild a stored pairing).
    AgentPairing(QUrl baseURL, QString room, QString token);

    const QUrl& baseURL() const { return m_baseURL; }
    const QString& room() const { return m_room; }
    const QString& token() const { return m_token; }

    // baseURL with role, sessionId (the room) and token appended to its query.
    std::optional<QUrl> socketURL() const;

    // The pairing written back as bundle text; parsing it again gives an equal pairing.
    QString bundle() const;

    friend bool operator==(const AgentPairing&, const AgentPairing&) = default;

private:
    QUrl m_baseURL;
    QString m_room;
    QString m_token;
};

} // namespace vindaro
