#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace vindaro {

// The one error type the agent shows to the user. Each case has one fixed Thai message;
// pairingFailed carries the HTTP status and unsupportedKey the key name.
class AgentError : public std::exception {
public:
    enum class Kind {
        pairingFailed,
        unsupportedKey,
        invalidBundle,
        invalidPairingCode,
        invalidPairingResponse,
        unsupportedProtocol,
        invalidServer,
        insecureServer,
        unsupportedHost,
        missingCredentials,
        accessibilityRequired,
        eventCreationFailed,
    };

    static AgentError pairingFailed(int status) { return {Kind::pairingFailed, status, {}}; }
    static AgentError unsupportedKey(const QString& key) { return {Kind::unsupportedKey, 0, key}; }
    static AgentError invalidBundle() { return AgentError(Kind::invalidBundle); }
    static AgentError invalidPairingCode() { return AgentError(Kind::invalidPairingCode); }
    static AgentError invalidPairingResponse() { return AgentError(Kind::invalidPairingResponse); }
    static AgentError unsupportedProtocol() { return AgentError(Kind::unsupportedProtocol); }
    static AgentError invalidServer() { return AgentError(Kind::invalidServer); }
    static AgentError insecureServer() { return AgentError(Kind::insecureServer); }
    static AgentError unsupportedHost() { return AgentError(Kind::unsupportedHost); }
    static AgentError missingCredentials() { return AgentError(Kind::missingCredentials); }
    static AgentError accessibilityRequired() { return AgentError(Kind::accessibilityRequired); }
    static AgentError eventCreationFailed() { return AgentError(Kind::eventCreationFailed); }

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }          // pairingFailed only
    const QString& keyName() const { return m_key; } // unsupportedKey only

    // The Thai message shown to the user.
    const QString& description() const { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

    friend bool operator==(const AgentError& a, const AgentError& b) {
        return a.m_kind == b.m_kind && a.m_status == b.m_status && a.m_key == b.m_key;
    }

private:
    explicit AgentError(Kind kind)
        : AgentError(kind, 0, {}) {}
    AgentError(Kind kind, int status, const QString& key);

    Kind m_kind;
    int m_status;
    QString m_key;
    QString m_message;
    QByteArray m_utf8;
};

} // namespace vindaro
