#pragma once

#include "platform/key_poster.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace vindaro {

class XTestConnection;

// Posts key events to an X server through the XTEST extension, on a display connection of its
// own (never the toolkit's). Posting is allowed when the display opens and offers XTEST; a
// connection that breaks is dropped and opened again on the next use.
class XTestKeyPoster final : public KeyPoster {
public:
    // An empty display name means the one named by the DISPLAY environment variable. The
    // display is opened on first use, not here.
    explicit XTestKeyPoster(std::string displayName = {});
    ~XTestKeyPoster() override;

    XTestKeyPoster(const XTestKeyPoster&) = delete;
    XTestKeyPoster& operator=(const XTestKeyPoster&) = delete;

    bool mayPostEvents() override;
    // True once the server has processed the event. Gives up after confirmationTimeout
    // rather than wait for a stalled server forever.
    bool postKey(std::uint16_t code, KeyDirection direction) override;

    static constexpr std::chrono::milliseconds confirmationTimeout{1000};

private:
    // The open connection, opened now if there is none; null when the display cannot be used.
    XTestConnection* connection();

    const std::string m_displayName;
    // Serialises the worker's presses and cancelAll()'s releases on the one connection.
    std::mutex m_mutex;
    std::unique_ptr<XTestConnection> m_connection;
};

} // namespace vindaro
