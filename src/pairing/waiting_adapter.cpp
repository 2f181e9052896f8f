// The waiting forms of the stores, kept only until the controller takes keyring answers as they
// come. Each runs a nested event loop until its answer arrives, so the window still paints, but
// the controller's own code waits; they go when the controller's flows no longer call them.
#include "installation_identity.h"
#include "keychain_error.h"
#include "legacy_pairing_store.h"
#include "session_store.h"

#include <QEventLoop>

namespace vindaro {

namespace {

template <typename Answer, typename Start> Answer waitFor(Start start) {
    std::optional<Answer> answer;
    QEventLoop loop;
    start([&answer, &loop](const Answer& given) {
        answer = given;
        loop.quit();
    });
    if (!answer)
        loop.exec();
    return *answer;
}

void throwIfFailed(const std::optional<StorageError>& error) {
    if (error)
        throw KeychainError(error->description());
}

} // namespace

QString InstallationIdentity::loadOrCreate() const {
    const auto id =
        waitFor<StorageResult<QString>>([this](auto done) { loadOrCreate(std::move(done)); });
    if (const StorageError* error = id.error())
        throw KeychainError(error->description());
    return *id.value();
}

void SessionStore::save(const AgentSession& session) const {
    throwIfFailed(
        waitFor<std::optional<StorageError>>([&](auto done) { save(session, std::move(done)); }));
}

std::optional<AgentSession> SessionStore::load() const {
    const auto loaded = waitFor<Load>([this](auto done) { load(std::move(done)); });
    return loaded.value() ? std::optional<AgentSession>(*loaded.value()) : std::nullopt;
}

void SessionStore::clear() const {
    waitFor<std::optional<StorageError>>([this](auto done) { clear(std::move(done)); });
}

void LegacyPairingStore::save(const AgentPairing& pairing) const {
    throwIfFailed(
        waitFor<std::optional<StorageError>>([&](auto done) { save(pairing, std::move(done)); }));
}

std::optional<AgentPairing> LegacyPairingStore::load() const {
    const auto loaded = waitFor<Load>([this](auto done) { load(std::move(done)); });
    return loaded.value() ? std::optional<AgentPairing>(*loaded.value()) : std::nullopt;
}

void LegacyPairingStore::clear() const {
    waitFor<std::optional<StorageError>>([this](auto done) { clear(std::move(done)); });
}

} // namespace vindaro
