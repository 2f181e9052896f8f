#include "stored_credential.h"

#include "platform/user_defaults.h"

#include <QTimer>

#include <memory>
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

// One save from its first read to its answer. The keyring may still take a token after the
// agent has stopped waiting for it (a time-out ends only the wait), so a token write that did
// not confirm is treated as one that may have landed: the former token is put back, and when
// that cannot be confirmed either, the keyring is read to learn what it holds. The settings are
// written only after the token is confirmed, so what loads is the former credential or the new
// one, whole, or nothing at all: never the new token beside the former settings.
struct SaveRun {
    KeychainStore keychain;
    UserDefaults& defaults;
    QString account;
    Snapshot before; // the settings as they were before the save
    std::optional<QString> formerToken;
    StorageDone done;

    // Puts the former token back, then answers with failure.
    static void undo(const std::shared_ptr<SaveRun>& run, const StorageError& failure) {
        const StorageDone settled = [run, failure](const std::optional<StorageError>& error) {
            if (!error) {
                run->done(failure);
                return;
            }
            run->keychain.get(run->account, [run, failure](const KeychainStore::Read& now) {
                const QString* token = now.value();
                const bool former =
                    run->formerToken ? token && *token == *run->formerToken : now.isAbsent();
                if (former) {
                    run->done(failure);
                    return;
                }
                // Neither the former credential nor the new one is whole in the keyring: its
                // settings go too, so that nothing loads rather than a mix.
                for (const auto& [key, value] : run->before)
                    run->defaults.remove(key);
                static_cast<void>(run->defaults.flush());
                run->done(StorageError(failure.kind(), failure.reason(),
                                       StorageError::Detail::formerLost));
            });
        };
        if (run->formerToken)
            run->keychain.set(*run->formerToken, run->account, settled);
        else
            run->keychain.remove(run->account, settled);
    }
};

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
    auto run = std::make_shared<SaveRun>(
        SaveRun{m_keychain, m_defaults, m_tokenAccount, {}, std::nullopt, std::move(done)});
    // The former token is read first, so that it can be put back; a keyring that cannot be read
    // would not take the new one either.
    m_keychain.get(m_tokenAccount, [run, token, fields, textKeys = m_textKeys,
                                    integerKeys =
                                        m_integerKeys](const KeychainStore::Read& former) {
        if (const StorageError* error = former.error()) {
            run->done(
                StorageError(StorageError::Kind::keychainWrite, error->reason(), error->detail()));
            return;
        }
        if (const QString* text = former.value())
            run->formerToken = *text;
        run->before = snapshot(run->defaults, textKeys, integerKeys);
        run->keychain.set(token, run->account,
                          [run, fields](const std::optional<StorageError>& error) {
                              if (error) {
                                  SaveRun::undo(run, *error);
                                  return;
                              }
                              for (const auto& [key, value] : fields)
                                  write(run->defaults, key, value);
                              if (run->defaults.flush()) {
                                  run->done(std::nullopt);
                                  return;
                              }
                              // The settings on disk are still the former ones; memory and the
                              // keyring go back to match them. The settings error is what the user
                              // needs to hear about.
                              restore(run->defaults, run->before);
                              SaveRun::undo(run, StorageError(StorageError::Kind::settingsWrite));
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
