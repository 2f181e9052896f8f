#pragma once

#include <functional>
#include <memory>

namespace vindaro {

// What the machine says about its network: the relay connection asks before each attempt, and
// hears when the answer changes, so that it waits for the network instead of failing attempt
// after attempt while there is none.
class NetworkConnectivity {
public:
    virtual ~NetworkConnectivity() = default;

    // True only when the machine says it has no network at all; false when it has some, or
    // cannot tell.
    [[nodiscard]] virtual bool isOffline() const = 0;

    // Called on the main thread whenever the answer may have changed; replaces the one before.
    virtual void setOnChange(std::function<void()> changed) = 0;

protected:
    NetworkConnectivity() = default;
    NetworkConnectivity(const NetworkConnectivity&) = default;
    NetworkConnectivity& operator=(const NetworkConnectivity&) = default;
    NetworkConnectivity(NetworkConnectivity&&) = default;
    NetworkConnectivity& operator=(NetworkConnectivity&&) = default;
};

// The machine's own answer, from NetworkManager through Qt's network information. Where
// NetworkManager does not run, it is never offline, and connecting works as if nobody asked.
std::unique_ptr<NetworkConnectivity> systemNetworkConnectivity();

} // namespace vindaro
