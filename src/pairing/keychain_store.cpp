#include "keychain_store.h"

#include "keychain_error.h"
#include "platform/secret_store.h"

#include <QStringDecoder>

namespace vindaro {

namespace {

QString serviceName() {
    return QStringLiteral("net.vindaro.agent");
}

} // namespace

KeychainStore::KeychainStore(SecretStore& secrets)
    : m_secrets(secrets) {}

void KeychainStore::set(const QString& value, const QString& account) const {
    if (!m_secrets.store(serviceName(), account, value.toUtf8()))
        throw KeychainError();
}

std::optional<QString> KeychainStore::get(const QString& account) const {
    const std::optional<QByteArray> bytes = m_secrets.lookup(serviceName(), account);
    if (!bytes || bytes->isEmpty())
        return std::nullopt;
    // Bytes that are not UTF-8, a sequence cut short at the end included, are not a credential
    // this agent wrote.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder(*bytes);
    if (decoder.hasError() || text.isEmpty())
        return std::nullopt;
    return text;
}

void KeychainStore::remove(const QString& account) const {
    m_secrets.remove(serviceName(), account);
}

} // namespace vindaro
