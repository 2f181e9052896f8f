#pragma once

#include "pairing/installation_identity.h"
#include "pairing/keychain_store.h"
#include "pairing/legacy_pairing_store.h"
#include "pairing/session_store.h"
#include "platform/linux/secret_service_store.h"
#include "platform/linux/settings_user_defaults.h"

#include <QByteArray>
#include <QStringList>

#include <chrono>

// The agent's real credential stores, over the Secret Service and the settings file of the
// private session the test runs in.
struct Credentials {
    explicit Credentials(std::chrono::milliseconds callLimit = std::chrono::seconds(5))
        : secrets(callLimit) {}

    // The settings file as it is on disk; empty when there is none.
    QByteArray settingsFileText() const;

    vindaro::SecretServiceStore secrets;
    vindaro::SettingsUserDefaults defaults;
    vindaro::KeychainStore keychain{secrets};
    vindaro::SessionStore sessions{keychain, defaults};
    vindaro::LegacyPairingStore legacy{keychain, defaults};
    vindaro::InstallationIdentity identity{keychain};
};

// `secret-tool lookup service net.vindaro.agent account <account>`, the desktop's own command
// for the Secret Service, run in this session; nothing when there is no such item.
std::optional<QByteArray> lookUpWithSecretTool(const QString& account);

// How long the call took.
template <typename Call> std::chrono::milliseconds timed(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}
