#pragma once

#include "installation_identity.h"
#include "keychain_store.h"
#include "legacy_pairing_store.h"
#include "session_store.h"

#include <QObject>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

namespace vindaro {

class SecretStore;
class UserDefaults;

// The credentials the agent holds, a paired session or a legacy pairing, and every keyring flow
// that reads, saves or clears them or gives the installation id. The controller asks for flows
// and hears how they ended; it never sees a keyring call. The rules it keeps:
//
// - One flow at a time, in the order asked: a save still waiting on an unlock prompt finishes
//   before a clear asked after it begins.
// - What it holds changes only once storage has confirmed it.
// - No flow is abandoned. Once asked, a flow runs to its end and its outcome is applied and
//   reported whatever the caller did meanwhile (stop, clear, quit), so what it holds never
//   disagrees with what is stored. A caller that no longer wants what was to follow ignores
//   the flow's answer.
// - Every flow that restores, saves or clears ends with exactly one report saying what is now
//   stored; the controller logs it. The installation id is no credential of the agent's: its
//   flow only answers.
//
// At start-up the desktop may start the agent before its Secret Service: a read that finds no
// service waits serviceRetry and asks once more before it says "could not read".
//
// Main thread only. Answers and reports never come once the keeper is gone.
class CredentialKeeper {
public:
    enum class Flow { restore, saveSession, saveLegacyPairing, clear };
    // What storage holds now, as far as the agent can tell.
    enum class Stored { nothing, session, legacyPairing, unknown };
    struct Report {
        Flow flow = Flow::restore;
        Stored stored = Stored::unknown;
        std::optional<StorageError> error; // why the flow did not do what it was asked
    };
    struct Listener {
        std::function<void(const Report&)> ended;
        // isBusy() may have changed: said before the flow's answer and at every other change.
        std::function<void()> busyChanged;
    };

    CredentialKeeper(SecretStore& secrets, UserDefaults& defaults,
                     std::chrono::milliseconds serviceRetry = std::chrono::seconds(3));
    ~CredentialKeeper() = default;
    CredentialKeeper(const CredentialKeeper&) = delete;
    CredentialKeeper& operator=(const CredentialKeeper&) = delete;
    CredentialKeeper(CredentialKeeper&&) = delete;
    CredentialKeeper& operator=(CredentialKeeper&&) = delete;

    void setListener(Listener listener) { m_listener = std::move(listener); }

    // Reads the stored session, else the legacy pairing. Only atStartUp waits for a service
    // that is not there yet.
    void restore(bool atStartUp, StorageDone done);
    // Stores the credential and removes the other kind, as one replaces the other.
    void save(const AgentSession& session, StorageDone done);
    void save(const AgentPairing& pairing, StorageDone done);
    // Removes both kinds; the installation id stays.
    void clear(StorageDone done);
    void installationId(std::function<void(const StorageResult<QString>&)> done);

    // A flow is running or waiting for its turn.
    bool isBusy() const { return m_running || !m_queue.empty(); }
    // The last read could not tell what is stored, and nothing since has.
    bool needsReading() const { return m_needsReading; }
    Stored stored() const;
    const std::optional<AgentSession>& session() const { return m_session; }
    const std::optional<AgentPairing>& pairing() const { return m_pairing; }

private:
    using Start = std::function<void()>;

    void run(Start start);
    void startNext();
    // The running flow's last step: reports, answers, then lets the next one start.
    void end(std::optional<Flow> flow, const std::function<void()>& answer,
             const std::optional<StorageError>& error = std::nullopt);
    void notifyBusy();
    void read(bool retryIfNoService, StorageDone done);
    void replace(Flow flow, const std::function<void(StorageDone)>& store,
                 const std::function<void(StorageDone)>& removeOther,
                 const std::function<void()>& apply, StorageDone done);

    KeychainStore m_keychain;
    SessionStore m_sessions;
    LegacyPairingStore m_legacyPairings;
    InstallationIdentity m_identity;
    std::chrono::milliseconds m_serviceRetry;
    Listener m_listener;

    std::optional<AgentSession> m_session;
    std::optional<AgentPairing> m_pairing;
    bool m_needsReading = false;

    bool m_running = false;
    bool m_shownBusy = false;
    std::deque<Start> m_queue;
    // Keyring answers and the retry reach the keeper through this, and none once it is gone.
    QObject m_context;
};

} // namespace vindaro
