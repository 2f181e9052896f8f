#pragma once

#include "pairing/installation_identity.h"
#include "pairing/keychain_store.h"
#include "pairing/legacy_pairing_store.h"
#include "pairing/session_store.h"
#include "platform/linux/secret_service_store.h"
#include "platform/linux/settings_user_defaults.h"
#include "support/answer_of.h"
#include "support/samples.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <chrono>
#include <optional>

// An answer as a test reads it: the text read, "(absent)", "(done)", or the error's kind.
QString shown(const vindaro::StorageError& error);
QString shown(const vindaro::KeychainStore::Read& read);
QString shown(const std::optional<vindaro::StorageError>& error);

// The agent's real credential stores in the test's private session, each operation shown().
struct Credentials {
    using Error = std::optional<vindaro::StorageError>;

    explicit Credentials(std::chrono::milliseconds silenceLimit = std::chrono::seconds(10))
        : secrets(silenceLimit) {}

    // The settings file as it is on disk; empty when there is none.
    QByteArray settingsFileText() const;

    // Runs one operation of a store, `call(store..., done)`, and shows its answer.
    template <typename Answer = Error, typename Call> QString ask(Call call) {
        return shown(answerOf<Answer>(call));
    }
    QString get(const QString& account) {
        return ask<vindaro::KeychainStore::Read>([&](auto d) { keychain.get(account, d); });
    }
    QString set(const QString& value, const QString& account) {
        return ask([&](auto d) { keychain.set(value, account, d); });
    }
    QString remove(const QString& account) {
        return ask([&](auto d) { keychain.remove(account, d); });
    }
    QString installationId() {
        return ask<vindaro::StorageResult<QString>>([&](auto d) { identity.loadOrCreate(d); });
    }
    QString save(const vindaro::AgentSession& s) {
        return ask([&](auto d) { sessions.save(s, d); });
    }
    QString save(const vindaro::AgentPairing& p) {
        return ask([&](auto d) { legacy.save(p, d); });
    }
    QString clearSession() {
        return ask([&](auto d) { sessions.clear(d); });
    }
    QString clearLegacy() {
        return ask([&](auto d) { legacy.clear(d); });
    }
    vindaro::SessionStore::Load loadSession() {
        return answerOf<vindaro::SessionStore::Load>([&](auto d) { sessions.load(d); });
    }
    vindaro::LegacyPairingStore::Load loadLegacy() {
        return answerOf<vindaro::LegacyPairingStore::Load>([&](auto d) { legacy.load(d); });
    }

    vindaro::SecretServiceStore secrets;
    vindaro::SettingsUserDefaults defaults;
    vindaro::KeychainStore keychain{secrets};
    vindaro::SessionStore sessions{keychain, defaults};
    vindaro::LegacyPairingStore legacy{keychain, defaults};
    vindaro::InstallationIdentity identity{keychain};
};

// Every operation fails, none claims nothing is stored, none writes or half clears settings.
void expectEveryOperationFails(Credentials& credentials);

// Locks the login keyring of the private session.
void lockKeyring();

// The person at the keyring prompt (tests/support/fake-prompter): waits, then answers or cancels.
class KeyringPrompter {
public:
    enum class Person { answers, refuses };

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

// `secret-tool lookup service net.vindaro.agent account <account>` in this session.

ToolRun lookUpWithSecretTool(const QString& account);
