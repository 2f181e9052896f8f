#pragma once

#include "platform/key_poster.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace vindaro {

// Posts key events to an X server through the XTEST extension, on a display connection of its
// own (never the toolkit's) that only a thread of its own touches: opening the display, sending
// and reading all happen there, so a caller never waits on the server for longer than it asks to.
//
// Keys are found by their XKB key names, so a code presses the same physical key whatever the
// layout or its active group; the names are looked up again whenever the server's keymap
// changes. Posting is allowed once the display has opened with XTEST; a connection that breaks
// is dropped and opened again when mayPostEvents() is next asked.
class XTestKeyPoster final : public KeyPoster {
public:
    // An empty display name means the one named by the DISPLAY environment variable. Starts
    // opening the display at once, on the poster's thread.
    explicit XTestKeyPoster(std::string displayName = {});
    // Lets events still on their way go out, and returns within shutdownLimit even while the
    // server stalls.
    ~XTestKeyPoster() override;

    XTestKeyPoster(const XTestKeyPoster&) = delete;
    XTestKeyPoster& operator=(const XTestKeyPoster&) = delete;

    bool mayPostEvents() override;
    // sendKey() and then awaitKey() for at most confirmationTimeout.
    bool postKey(VirtualKeyCode code, KeyDirection direction) override;
    // Delivered once the server has processed the event.
    KeyTicket sendKey(VirtualKeyCode code, KeyDirection direction) override;
    KeyDelivery awaitKey(KeyTicket ticket, std::chrono::steady_clock::time_point deadline) override;
    void setPermissionHandler(PermissionHandler handler) override;

    static constexpr std::chrono::milliseconds confirmationTimeout{1000};
    static constexpr std::chrono::milliseconds shutdownLimit{1000};

private:
    struct State;
    // Shared with the thread, which may have to be left behind on a server that never answers.
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace vindaro
