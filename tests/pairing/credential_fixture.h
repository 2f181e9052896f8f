#pragma once

#include "model/agent_pairing.h"
#include "model/agent_session.h"
#include "pairing/installation_identity.h"
#include "pairing/keychain_store.h"
#include "pairing/legacy_pairing_store.h"
#include "pairing/session_store.h"
#include "platform/linux/secret_service_store.h"
#include "platform/linux/settings_user_defaults.h"
#include "support/answer_of.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <chrono>
#include <optional>

// An answer as a test reads it: the text read, "(absent)", "(done)", or the error's kind.
QString shown(const vindaro::KeychainStore::Read& read);
QString shown(const std::optional<vindaro::StorageError>& error);
QString shown(const vindaro::StorageError& error);

// The agent's real credential stores, over the Secret Service and the settings file of the
// private session the test runs in, each operation waiting for its answer.
struct Credentials {
    explicit Credentials(std::chrono::milliseconds silenceLimit = std::chrono::seconds(10))
        : secrets(silenceLimit) {}

    // The settings file as it is on disk; empty when there is none.
    QByteArray settingsFileText() const;

    QString get(const QString& account);
    QString set(const QString& value, const QString& account);
    QString remove(const QString& account);
    QString installationId();
    QString save(const vindaro::AgentSession& session);
    QString save(const vindaro::AgentPairing& pairing);
    vindaro::SessionStore::Load loadSession();
    vindaro::LegacyPairingStore::Load loadLegacy();
    QString clearSession();
    QString clearLegacy();

    vindaro::SecretServiceStore secrets;
    vindaro::SettingsUserDefaults defaults;
    vindaro::KeychainStore keychain{secrets};
    vindaro::SessionStore sessions{keychain, defaults};
    vindaro::LegacyPairingStore legacy{keychain, defaults};
    vindaro::InstallationIdentity identity{keychain};
};

// Locks the login keyring of the private session.
void lockKeyring();

// The person at the desktop's keyring prompt (tests/support/fake-prompter): from the moment a
// prompt opens, they wait, then type the keyring's password, press cancel, or close the prompt.
class KeyringPrompter {
public:
    enum class Person { answers, refuses, closesThePrompt };

    KeyringPrompter(Person person, std::chrono::milliseconds after);
    ~KeyringPrompter();
    KeyringPrompter(const KeyringPrompter&) = delete;
    KeyringPrompter& operator=(const KeyringPrompter&) = delete;

    bool isReady() const { return m_ready; }
    // How many prompts have opened so far.
    int promptsShown();

private:
    QProcess m_process;
    QByteArray m_output;
    bool m_ready = false;
};

struct ToolRun {
    int exitCode = -1;
    QByteArray output;
};

// secret-tool, the desktop's own command for the Secret Service, run in this session.
ToolRun secretTool(const QStringList& arguments);

// `secret-tool lookup service net.vindaro.agent account <account>`.
ToolRun lookUpWithSecretTool(const QString& account);

vindaro::AgentSession sampleSession();
vindaro::AgentPairing samplePairing();
