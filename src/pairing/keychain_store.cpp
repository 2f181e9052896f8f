#include "keychain_store.h"

#include "platform/secret_store.h"

#include <QStringDecoder>

namespace vindaro {

namespace {

QString serviceName() {
    return QStringLiteral("net.vindaro.agent");
}

// Bytes that are not UTF-8, a sequence cut short at the end included, are not a credential this
// agent wrote.
std::optional<QString> credentialText(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder(bytes);
    if (decoder.hasError() || text.isEmpty())
        return std::nullopt;
    return text;
}

StorageError failure(StorageError::Kind kind, const SecretOutcome& outcome) {
    return StorageError(kind, outcome.reason(),
                        outcome.status() == SecretOutcome::Status::unavailable
                            ? StorageError::Detail::noService
                            : StorageError::Detail::none);
}

} // namespace

KeychainStore::KeychainStore(SecretStore& secrets)
    : m_secrets(secrets) {}

void KeychainStore::set(const QString& value, const QString& account, StorageDone done) const {
    m_secrets.store(serviceName(), account, value.toUtf8(),
                    [done = std::move(done)](const SecretOutcome& outcome) {
                        if (outcome.status() == SecretOutcome::Status::done)
                            done(std::nullopt);
                        else
                            done(failure(StorageError::Kind::keychainWrite, outcome));
                    });
}

void KeychainStore::get(const QString& account, std::function<void(const Read&)> done) const {
    m_secrets.lookup(serviceName(), account,
                     [done = std::move(done)](const SecretOutcome& outcome) {
                         if (outcome.status() == SecretOutcome::Status::absent) {
                             done(Read::absent());
                             return;
                         }
                         if (outcome.status() != SecretOutcome::Status::done) {
                             done(failure(StorageError::Kind::keychainRead, outcome));
                             return;
                         }
                         const std::optional<QString> text = credentialText(outcome.value());
                         done(text ? Read(*text) : Read::absent());
                     });
}

void KeychainStore::remove(const QString& account, StorageDone done) const {
    m_secrets.remove(serviceName(), account,
                     [done = std::move(done)](const SecretOutcome& outcome) {
                         if (outcome.status() == SecretOutcome::Status::done)
                             done(std::nullopt);
                         else
                             done(failure(StorageError::Kind::keychainRemove, outcome));
                     });
}

} // namespace vindaro
