#include "memory_secret_store.h"

#include <QTimer>

namespace vindaro {

namespace {

SecretOutcome refused(MemorySecretStore::Refusal refusal) {
    if (refusal == MemorySecretStore::Refusal::noService)
        return SecretOutcome::unavailable(QStringLiteral("no service"));
    return SecretOutcome::failed(QStringLiteral("refused"));
}

} // namespace

void MemorySecretStore::store(const QString& service, const QString& account,
                              const QByteArray& value, Done done) {
    enqueue([this, key = qMakePair(service, account), value, done = std::move(done)] {
        if (m_refusal == Refusal::writesLandButFail)
            m_items.insert(key, value);
        if (m_refusal != Refusal::none) {
            done(refused(m_refusal));
            return;
        }
        m_items.insert(key, value);
        done(SecretOutcome::done());
    });
}

void MemorySecretStore::lookup(const QString& service, const QString& account, Done done) {
    enqueue([this, key = qMakePair(service, account), done = std::move(done)] {
        if (m_refusal == Refusal::everything || m_refusal == Refusal::noService) {
            done(refused(m_refusal));
            return;
        }
        const auto found = m_items.constFind(key);
        done(found == m_items.cend() ? SecretOutcome::absent() : SecretOutcome::done(*found));
    });
}

void MemorySecretStore::remove(const QString& service, const QString& account, Done done) {
    enqueue([this, key = qMakePair(service, account), done = std::move(done)] {
        if ((m_refusal == Refusal::everything && m_items.contains(key)) ||
            m_refusal == Refusal::noService) {
            done(refused(m_refusal));
            return;
        }
        m_items.remove(key);
        done(SecretOutcome::done());
    });
}

void MemorySecretStore::holdAnswers(bool hold) {
    m_holding = hold;
}

void MemorySecretStore::answerHeld() {
    std::deque<std::function<void()>> held;
    held.swap(m_held);
    for (const std::function<void()>& answer : held)
        answer();
}

void MemorySecretStore::enqueue(std::function<void()> answer) {
    if (m_holding) {
        m_held.push_back(std::move(answer));
        return;
    }
    QTimer::singleShot(0, &m_context, std::move(answer));
}

} // namespace vindaro
