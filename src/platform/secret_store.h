#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace vindaro {

// How one call to the keyring ended.
class SecretOutcome {
public:
    enum class Status {
        done,        // stored, removed, or (for a lookup) found: value() holds the bytes
        absent,      // a lookup found no item
        failed,      // not done: locked and the prompt refused or dismissed, a service error, or no
                     // answer at all; for a lookup, "could not read"
        unavailable, // not done: no Secret Service could be reached (none runs yet, say)
    };

    static SecretOutcome done(QByteArray value = {}) {
        return {Status::done, std::move(value), {}};
    }
    static SecretOutcome absent() { return {Status::absent, {}, {}}; }
    static SecretOutcome failed(QString reason) { return {Status::failed, {}, std::move(reason)}; }
    static SecretOutcome unavailable(QString reason) {
        return {Status::unavailable, {}, std::move(reason)};
    }

    Status status() const { return m_status; }
    const QByteArray& value() const { return m_value; }
    // Why it failed, in the keyring's own words; for diagnosis, never shown to the user.
    const QString& reason() const { return m_reason; }

private:
    SecretOutcome(Status status, QByteArray value, QString reason)
        : m_status(status)
        , m_value(std::move(value))
        , m_reason(std::move(reason)) {}

    Status m_status;
    QByteArray m_value;
    QString m_reason;
};

// The operating system's store of secrets: one value per (service, account) pair, kept for
// this user only and readable only while the user's keyring is unlocked.
//
// Every call returns at once and answers later: exactly once, on the main thread, never before
// the call has returned. Unlocking may show the desktop's prompt, so an answer can take as long
// as the person at the keyboard does. A store destroyed with calls in flight abandons them and
// answers none of them.
class SecretStore {
public:
    using Done = std::function<void(const SecretOutcome&)>;

    virtual ~SecretStore() = default;

    // Stores the value in the default collection, replacing the item of the same service and
    // account there, then removes any other item of that service and account (another tool's,
    // another collection's). After a failure the item may hold its former value or none.
    virtual void store(const QString& service, const QString& account, const QByteArray& value,
                       Done done) = 0;

    // The stored bytes, absent when there is no item, failed when it could not be read. Of
    // several items, one in the default collection comes first, then the most recently changed.
    // Absent only from a store with nothing locked: a locked collection may hide its items.
    virtual void lookup(const QString& service, const QString& account, Done done) = 0;

    // Removes every item of the service and account. Done only when none is left; nothing
    // stored is done too.
    virtual void remove(const QString& service, const QString& account, Done done) = 0;
};

} // namespace vindaro
