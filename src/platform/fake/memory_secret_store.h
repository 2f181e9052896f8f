#pragma once

#include "platform/secret_store.h"

#include <QHash>
#include <QObject>
#include <QPair>

#include <deque>
#include <functional>

namespace vindaro {

// A keyring in memory for tests. It answers on the next turn of the event loop, or holds its
// answers as a keyring waiting on its unlock prompt does until the test lets them go; and it can
// refuse, as a locked keyring whose prompt was refused, or a missing Secret Service, does.
class MemorySecretStore final : public SecretStore {
public:
    enum class Refusal {
        none,
        writes,     // stores fail; lookups and removals work
        everything, // stores and removals fail, lookups cannot read
        noService,  // every call fails as if no Secret Service ran yet
        // Stores report failure, yet the value is kept: a time-out ends only the agent's wait,
        // and the service still completes the request.
        writesLandButFail,
    };

    void store(const QString& service, const QString& account, const QByteArray& value,
               Done done) override;
    void lookup(const QString& service, const QString& account, Done done) override;
    void remove(const QString& service, const QString& account, Done done) override;

    // What the calls answered from now on meet; a held call meets the refusal in force when it
    // is let go.
    void setRefusal(Refusal refusal) { m_refusal = refusal; }
    void setRefusesWrites(bool refuses) { m_refusal = refuses ? Refusal::writes : Refusal::none; }

    // While held, calls wait unanswered, as behind an open prompt.
    void holdAnswers(bool hold);
    // Answers every held call, in the order they were made.
    void answerHeld();
    qsizetype heldCalls() const { return static_cast<qsizetype>(m_held.size()); }

    qsizetype itemCount() const { return m_items.size(); }
    bool contains(const QString& service, const QString& account) const {
        return m_items.contains({service, account});
    }

private:
    void enqueue(std::function<void()> answer);

    QHash<QPair<QString, QString>, QByteArray> m_items;
    Refusal m_refusal = Refusal::none;
    bool m_holding = false;
    std::deque<std::function<void()>> m_held;
    // Answers queued on the event loop go with the store.
    QObject m_context;
};

} // namespace vindaro
