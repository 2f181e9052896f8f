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

QString InstallationIdentity::loadOrCreate() const {
    if (const std::optional<QString> stored = m_keychain.get(account());
        stored && isInstallationId(*stored))
        return *stored;
    QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    m_keychain.set(created, account());
    return created;
}

} // namespace vindaro
