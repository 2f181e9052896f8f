#include "installation_identity.h"

#include "keychain_store.h"

#include <QRegularExpression>
#include <QUuid>

namespace vindaro {

namespace {

const QString& account() {
    static const QString name = QStringLiteral("install-id-v2");
    return name;
}

// The whole text must match: an id with anything after it, even a line break, is malformed.
bool isInstallationId(const QString& text) {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    return pattern.match(text).hasMatch();
}

} // namespace

InstallationIdentity::InstallationIdentity(const KeychainStore& keychain)
    : m_keychain(keychain) {}

void InstallationIdentity::loadOrCreate(
    std::function<void(const StorageResult<QString>&)> done) const {
    m_keychain.get(account(), [keychain = m_keychain,
                               done = std::move(done)](const KeychainStore::Read& stored) {
        if (const StorageError* error = stored.error()) {
            done(StorageError(StorageError::Kind::keychainWrite, error->reason()));
            return;
        }
        if (const QString* id = stored.value(); id && isInstallationId(*id)) {
            done(*id);
            return;
        }
        const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
        keychain.set(created, account(), [created, done](const std::optional<StorageError>& error) {
            if (error)
                done(*error);
            else
                done(created);
        });
    });
}

} // namespace vindaro
