#include "agent_pairing.h"

#include "agent_error.h"
#include "constants.h"
#include "query_text.h"
#include "text_rules.h"
#include "validation.h"

namespace vindaro {

namespace {

constexpr qsizetype minRoomLength = 4;
constexpr qsizetype maxRoomLength = 64;
constexpr qsizetype minTokenLength = 8;
constexpr qsizetype maxTokenLength = 512;

void checkCredentials(const QString& room, const QString& token) {
    if (room.size() < minRoomLength || room.size() > maxRoomLength ||
        !isIdentifierCharacters(room, false))
        throw AgentError::missingCredentials();
    const qsizetype tokenLength = characterCount(token);
    if (tokenLength < minTokenLength || tokenLength > maxTokenLength)
        throw AgentError::missingCredentials();
    if (containsLineBreak(token))
        throw AgentError::missingCredentials();
}

QUrl checkedServerURL(const QString& serverText) {
    QUrl url = parseURL(serverText);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        throw AgentError::invalidServer();
    if (url.scheme().toLower() != u"wss")
        throw AgentError::insecureServer();
    if (!isAllowedHost(url.host().toLower()))
        throw AgentError::unsupportedHost();
    if (hasUserOrPassword(url) || (url.port() != -1 && url.port() != 443) || url.hasFragment())
        throw AgentError::invalidServer();

    const QString path = url.path(QUrl::FullyDecoded);
    if (path.isEmpty() || path == u"/")
        url.setPath(toQString(socketPath));
    else if (path != toQString(socketPath))
        throw AgentError::invalidServer();

    if (!url.isValid())
        throw AgentError::invalidServer();
    return url;
}

} // namespace

AgentPairing::AgentPairing(QUrl baseURL, QString room, QString token)
    : m_baseURL(std::move(baseURL))
    , m_room(std::move(room))
    , m_token(std::move(token)) {}

AgentPairing AgentPairing::fromBundle(const QString& bundle) {
    // Only the first two "|" separate; the token may contain more.
    const qsizetype first = bundle.indexOf(QLatin1Char('|'));
    const qsizetype second = first < 0 ? -1 : bundle.indexOf(QLatin1Char('|'), first + 1);
    if (second < 0)
        throw AgentError::invalidBundle();

    const QString serverText = trimmedText(bundle.first(first));
    const QString room = trimmedText(bundle.sliced(first + 1, second - first - 1)).toUpper();
    QString token = trimmedText(bundle.sliced(second + 1));

    // Credentials are judged before the URL, so a bad room wins over a bad scheme.
    checkCredentials(room, token);
    return AgentPairing(checkedServerURL(serverText), room, std::move(token));
}

std::optional<QUrl> AgentPairing::socketURL() const {
    QUrl url = m_baseURL;
    if (!url.isValid())
        return std::nullopt;
    QueryText query(url);
    query.append(u"role", u"agent");
    query.append(u"sessionId", m_room);
    query.append(u"token", m_token);
    return query.applyTo(std::move(url));
}

QString AgentPairing::bundle() const {
    return m_baseURL.toString(QUrl::FullyEncoded) + QLatin1Char('|') + m_room + QLatin1Char('|') +
           m_token;
}

} // namespace vindaro
