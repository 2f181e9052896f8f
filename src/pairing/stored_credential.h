#pragma once

#include "keychain_store.h"

#include <QList>
#include <QStringList>

#include <utility>
#include <variant>

namespace vindaro {

class UserDefaults;

// A credential kept in two places: its token in the keyring, its other fields in the defaults
// database. Saving and clearing keep the two consistent, so that what loads is either the whole
// credential or nothing of it. The shared part of SessionStore and LegacyPairingStore.
//
// Answers never need this object: they reach only the KeychainStore's SecretStore and the
// UserDefaults, which must outlive the operations.
class StoredCredential {
public:
    using Value = std::variant<QString, qint64>;
    using Field = std::pair<QString, Value>;

    // The fields are kept under textKeys and integerKeys.
    StoredCredential(const KeychainStore& keychain, UserDefaults& defaults, QString tokenAccount,
                     QStringList textKeys, QStringList integerKeys = {});

    // The token first, then the fields. When the token cannot be stored, nothing else is
    // written. When the fields cannot be written, the former token and fields are put back, and
    // the error is settingsWrite.
    void save(const QString& token, const QList<Field>& fields, StorageDone done) const;

    // The token, read only when the caller found the fields stored: without them there is no
    // credential, and the keyring is not asked.
    void loadToken(bool fieldsStored, std::function<void(const KeychainStore::Read&)> done) const;

    // Removes the token, and only once it is gone, the fields: a token that could not be
    // removed keeps the credential whole.
    void clear(StorageDone done) const;

private:
    KeychainStore m_keychain;
    UserDefaults& m_defaults;
    QString m_tokenAccount;
    QStringList m_textKeys;
    QStringList m_integerKeys;
};

} // namespace vindaro
