#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace vindaro {

// The operating system's store of secrets: one value per (service, account) pair, kept for
// this user only and readable only while the user's keyring is unlocked.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    // Stores the value, replacing the item of the same service and account if there is one.
    // False when the store cannot be reached, refuses, or does not answer in time; the item may
    // then hold its former value or none.
    virtual bool store(const QString& service, const QString& account, const QByteArray& value) = 0;

    // The stored bytes, or nothing when there is no item or the store cannot be read in time.
    virtual std::optional<QByteArray> lookup(const QString& service, const QString& account) = 0;

    // Removes the item if there is one; failures are not reported.
    virtual void remove(const QString& service, const QString& account) = 0;
};

} // namespace vindaro
