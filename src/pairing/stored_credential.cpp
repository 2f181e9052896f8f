#include "stored_credential.h"

#include "platform/user_defaults.h"

#include <QTimer>

#include <optional>

namespace vindaro {

namespace {

// The fields as they are now, to be put back when a change cannot be written.
using Snapshot = QList<std::pair<QString, std::optional<StoredCredential::Value>>>;

Snapshot snapshot(const UserDefaults& defaults, const QStringList& textKeys,
                  const QStringList& integerKeys) {
    Snapshot before;
    for (const QString& key : textKeys) {
        std::optional<StoredCredential::Value> former;
        if (const std::optional<QString> text = defaults.string(key))
            former = *text;
        before.append({key, std::move(former)});
    }
    for (const QString& key : integerKeys) {
        std::optional<StoredCredential::Value> former;
        if (defaults.contains(key))
            former = defaults.integer(key);
        before.append({key, std::move(former)});
    }
    return before;
}

void write(UserDefaults& defaults, const QString& key, const StoredCredential::Value& value) {
    if (const auto* number = std::get_if<qint64>(&value))
        defaults.setInteger(key, *number);
    else
        defaults.setString(key, std::get<QString>(value));
}

void restore(UserDefaults& defaults, const Snapshot& before) {
    for (const auto& [key, former] : before) {
        if (former)
            write(defaults, key, *former);
        else
            defaults.remove(key);
    }
}

} // namespace

StoredCredential::StoredCredential(const KeychainStore& keychain, UserDefaults& defaults,
                                   QString tokenAccount, QStringList textKeys,
                                   QStringList integerKeys)
    : m_keychain(keychain)
    , m_defaults(defaults)
    , m_tokenAccount(std::move(tokenAccount))
    , m_textKeys(std::move(textKeys))
    , m_integerKeys(std::move(integerKeys)) {}

void StoredCredential::save(const QString& token, const QList<Field>& fields,
                            StorageDone done) const {
    // The former token is read first, so that it can be put back; a keyring that cannot be read
    // would not take the new one either.
    m_keychain.get(m_tokenAccount, [keychain = m_keychain, &defaults = m_defaults,
                                    account = m_tokenAccount, textKeys = m_textKeys,
                                    integerKeys = m_integerKeys, token, fields,
                                    done = std::move(done)](const KeychainStore::Read& former) {
        if (const StorageError* error = former.error()) {
            done(StorageError(StorageError::Kind::keychainWrite, error->reason()));
            return;
        }
        const std::optional<QString> formerToken =
            former.value() ? std::optional<QString>(*former.value()) : std::nullopt;
        keychain.set(token, account,
                     [keychain, &defaults, account, textKeys, integerKeys, fields, formerToken,
                      done](const std::optional<StorageError>& error) {
                         if (error) {
                             done(error);
                             return;
                         }
                         const Snapshot before = snapshot(defaults, textKeys, integerKeys);
                         for (const auto& [key, value] : fields)
                             write(defaults, key, value);
                         if (defaults.flush()) {
                             done(std::nullopt);
                             return;
                         }
                         // The settings on disk are still the former ones; memory and the keyring
                         // go back to match them. The settings error is what the user needs to hear
                         // about, however the token's return goes.
                         restore(defaults, before);
                         const StorageError failure(StorageError::Kind::settingsWrite);
                         const auto report = [done, failure](const std::optional<StorageError>&) {
                             done(failure);
                         };
                         if (formerToken)
                             keychain.set(*formerToken, account, report);
                         else
                             keychain.remove(account, report);
                     });
    });
}

void StoredCredential::loadToken(bool fieldsStored,
                                 std::function<void(const KeychainStore::Read&)> done) const {
    if (fieldsStored) {
        m_keychain.get(m_tokenAccount, std::move(done));
        return;
    }
    // Answered later all the same, as every operation is.
    QTimer::singleShot(0, [done = std::move(done)] { done(KeychainStore::Read::absent()); });
}

void StoredCredential::clear(StorageDone done) const {
    m_keychain.remove(m_tokenAccount,
                      [&defaults = m_defaults, textKeys = m_textKeys, integerKeys = m_integerKeys,
                       done = std::move(done)](const std::optional<StorageError>& error) {
                          if (error) {
                              done(error);
                              return;
                          }
                          const Snapshot before = snapshot(defaults, textKeys, integerKeys);
                          for (const auto& [key, former] : before)
                              defaults.remove(key);
                          if (defaults.flush()) {
                              done(std::nullopt);
                              return;
                          }
                          // The fields stay on disk without their token, which loads as nothing;
                          // memory goes back to match the disk.
                          restore(defaults, before);
                          done(StorageError(StorageError::Kind::settingsWrite));
                      });
}

} // namespace vindaro
