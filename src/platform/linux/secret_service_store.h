#pragma once

#include "platform/secret_store.h"

#include <QTimer>

#include <chrono>
#include <memory>
#include <vector>

namespace vindaro {

class SecretServiceCall;

// Secrets kept by the desktop's Secret Service (gnome-keyring, KWallet, KeePassXC) through
// libsecret. Items carry the attributes "service" and "account", so
// `secret-tool lookup service <service> account <account>` finds them.
//
// Calls use libsecret's asynchronous API on the GLib main loop, which Qt's event dispatcher
// already runs on the main thread, so nothing ever waits on the service. A locked keyring is
// unlocked through the desktop's prompt, and a call waits for an open prompt as long as the
// person needs. Outside a prompt, a service that stays silent for silenceLimit fails the call:
// it has hung or will never reply.
class SecretServiceStore final : public SecretStore {
public:
    explicit SecretServiceStore(std::chrono::milliseconds silenceLimit = std::chrono::seconds(10));
    ~SecretServiceStore() override;

    SecretServiceStore(const SecretServiceStore&) = delete;
    SecretServiceStore& operator=(const SecretServiceStore&) = delete;

    void store(const QString& service, const QString& account, const QByteArray& value,
               Done done) override;
    void lookup(const QString& service, const QString& account, Done done) override;
    void remove(const QString& service, const QString& account, Done done) override;

private:
    void begin(const std::shared_ptr<SecretServiceCall>& call);
    void forgetFinishedCalls();

    std::chrono::milliseconds m_silenceLimit;
    std::vector<std::weak_ptr<SecretServiceCall>> m_calls;
    // Runs GLib's loop by hand while calls are in flight, only when Qt's event dispatcher is not
    // the GLib one (QT_NO_GLIB, or a Qt built without it): libsecret answers on that loop.
    QTimer m_glibPump;
    bool m_dispatcherRunsGlib;
};

} // namespace vindaro
