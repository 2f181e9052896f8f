#include "credential_keeper.h"

#include <QPointer>
#include <QTimer>

namespace vindaro {

namespace {

// A keyring answer for the keeper, dropped once the keeper has gone.
template <typename Handle> auto whileAlive(QObject* context, Handle handle) {
    return [context = QPointer<QObject>(context), handle = std::move(handle)](const auto& answer) {
        if (context)
            handle(answer);
    };
}

void tell(const StorageDone& done, const std::optional<StorageError>& error) {
    if (done)
        done(error);
}

// A credential whose token is gone but whose settings stayed loads as nothing.
bool removed(const std::optional<StorageError>& error) {
    return !error || error->kind() == StorageError::Kind::settingsWrite;
}

} // namespace

CredentialKeeper::CredentialKeeper(SecretStore& secrets, UserDefaults& defaults,
                                   std::chrono::milliseconds serviceRetry)
    : m_keychain(secrets)
    , m_sessions(m_keychain, defaults)
    , m_legacyPairings(m_keychain, defaults)
    , m_identity(m_keychain)
    , m_serviceRetry(serviceRetry) {}

CredentialKeeper::Stored CredentialKeeper::stored() const {
    if (m_session)
        return Stored::session;
    if (m_pairing)
        return Stored::legacyPairing;
    return m_needsReading ? Stored::unknown : Stored::nothing;
}

void CredentialKeeper::restore(bool atStartUp, StorageDone done) {
    run([this, atStartUp, done = std::move(done)] {
        read(atStartUp, [this, done](const std::optional<StorageError>& error) {
            end(
                Flow::restore, [&] { tell(done, error); }, error);
        });
    });
}

void CredentialKeeper::read(bool retryIfNoService, StorageDone done) {
    // The session first, the legacy pairing only when no session is stored. A keyring that
    // cannot be read changes nothing held.
    m_sessions.load(whileAlive(&m_context, [this, retryIfNoService,
                                            done](const SessionStore::Load& session) {
        if (const StorageError* error = session.error()) {
            if (retryIfNoService && error->detail() == StorageError::Detail::noService) {
                QTimer::singleShot(m_serviceRetry, &m_context, [this, done] { read(false, done); });
                return;
            }
            m_needsReading = true;
            done(*error);
            return;
        }
        if (const AgentSession* found = session.value()) {
            m_session = *found;
            m_pairing.reset();
            m_needsReading = false;
            done(std::nullopt);
            return;
        }
        m_legacyPairings.load(
            whileAlive(&m_context, [this, done](const LegacyPairingStore::Load& legacy) {
                if (const StorageError* error = legacy.error()) {
                    m_needsReading = true;
                    done(*error);
                    return;
                }
                m_session.reset();
                m_pairing = legacy.value() ? std::optional(*legacy.value()) : std::nullopt;
                m_needsReading = false;
                done(std::nullopt);
            }));
    }));
}

void CredentialKeeper::save(const AgentSession& session, StorageDone done) {
    // A legacy pairing left behind is consulted only when no session is stored: the new session
    // stands whether or not it could be removed.
    replace(
        Flow::saveSession,
        [this, session](StorageDone stored) { m_sessions.save(session, stored); },
        [this](StorageDone cleared) {
            m_legacyPairings.clear(
                [cleared](const std::optional<StorageError>&) { cleared(std::nullopt); });
        },
        [this, session] {
            m_session = session;
            m_pairing.reset();
        },
        std::move(done));
}

void CredentialKeeper::save(const AgentPairing& pairing, StorageDone done) {
    // A session left behind would load before the pairing: then the pairing is not in use.
    replace(
        Flow::saveLegacyPairing,
        [this, pairing](StorageDone stored) { m_legacyPairings.save(pairing, stored); },
        [this](StorageDone cleared) { m_sessions.clear(std::move(cleared)); },
        [this, pairing] {
            m_pairing = pairing;
            m_session.reset();
        },
        std::move(done));
}

void CredentialKeeper::replace(Flow flow, const std::function<void(StorageDone)>& store,
                               const std::function<void(StorageDone)>& removeOther,
                               const std::function<void()>& apply, StorageDone done) {
    run([this, flow, store, removeOther, apply, done = std::move(done)] {
        store(whileAlive(&m_context, [this, flow, removeOther, apply,
                                      done](const std::optional<StorageError>& error) {
            if (error) {
                // The keyring could be put back to neither credential: what it holds is known
                // only to the next read.
                if (error->detail() == StorageError::Detail::formerLost) {
                    if (flow == Flow::saveSession)
                        m_session.reset();
                    else
                        m_pairing.reset();
                    m_needsReading = true;
                }
                end(
                    flow, [&] { tell(done, error); }, error);
                return;
            }
            removeOther(whileAlive(
                &m_context, [this, flow, apply, done](const std::optional<StorageError>& left) {
                    if (!left) {
                        apply();
                        m_needsReading = false;
                    }
                    end(
                        flow, [&] { tell(done, left); }, left);
                }));
        }));
    });
}

void CredentialKeeper::clear(StorageDone done) {
    run([this, done = std::move(done)] {
        m_sessions.clear(
            whileAlive(&m_context, [this, done](const std::optional<StorageError>& sessionError) {
                if (removed(sessionError))
                    m_session.reset();
                m_legacyPairings.clear(whileAlive(
                    &m_context,
                    [this, done, sessionError](const std::optional<StorageError>& legacyError) {
                        if (removed(legacyError))
                            m_pairing.reset();
                        if (!sessionError && !legacyError)
                            m_needsReading = false;
                        const std::optional<StorageError> error =
                            sessionError ? sessionError : legacyError;
                        end(
                            Flow::clear, [&] { tell(done, error); }, error);
                    }));
            }));
    });
}

void CredentialKeeper::installationId(std::function<void(const StorageResult<QString>&)> done) {
    run([this, done = std::move(done)] {
        m_identity.loadOrCreate(
            whileAlive(&m_context, [this, done](const StorageResult<QString>& id) {
                end(std::nullopt, [&] {
                    if (done)
                        done(id);
                });
            }));
    });
}

void CredentialKeeper::run(Start start) {
    m_queue.push_back(std::move(start));
    startNext();
    notifyBusy();
}

void CredentialKeeper::startNext() {
    if (m_running || m_queue.empty())
        return;
    m_running = true;
    const Start start = std::move(m_queue.front());
    m_queue.pop_front();
    start();
}

void CredentialKeeper::end(std::optional<Flow> flow, const std::function<void()>& answer,
                           const std::optional<StorageError>& error) {
    m_running = false;
    if (flow && m_listener.ended)
        m_listener.ended(Report{*flow, stored(), error});
    notifyBusy();
    answer();
    startNext();
    notifyBusy();
}

void CredentialKeeper::notifyBusy() {
    if (isBusy() == m_shownBusy)
        return;
    m_shownBusy = isBusy();
    if (m_listener.busyChanged)
        m_listener.busyChanged();
}

} // namespace vindaro
