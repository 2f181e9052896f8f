#pragma once

#include "platform/key_poster.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace vindaro {

// Posts through another poster and keeps, in a small file, the keys that may be down right now:
// a key stays on record from its key-down until its key-up is confirmed. The X server keeps a key
// down for as long as nobody releases it, even after the XTest client that pressed it has died: a
// run that is killed or crashes mid-hold leaves that key held. The next run reads the file and
// lets those keys go before anything else.
//
// Safe to use from several threads at once, like the poster it wraps.
class HeldKeyJournal final : public KeyPoster {
public:
    // An empty path keeps no file, and then there is nothing to release at start-up either.
    // The file belongs in a folder private to the user (see heldKeyJournalPath()).
    HeldKeyJournal(KeyPoster& poster, std::string path);

    // Posts a key-up for every key a previous run left held and returns how many there were.
    // Waits at most `limit` in all for them to be confirmed; a key whose release is not
    // confirmed by then stays on record for the next run, one the poster refused is dropped.
    int releaseLeftovers(std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

    bool mayPostEvents() override;
    [[nodiscard]] bool postKey(VirtualKeyCode code, KeyDirection direction) override;
    [[nodiscard]] KeyTicket sendKey(VirtualKeyCode code, KeyDirection direction) override;
    [[nodiscard]] KeyDelivery awaitKey(KeyTicket ticket,
                                       std::chrono::steady_clock::time_point deadline) override;
    void setPermissionHandler(PermissionHandler handler) override;
    bool timesHoldsFromSending() const override { return m_poster.timesHoldsFromSending(); }

private:
    struct Sent {
        KeyTicket inner;
        VirtualKeyCode code;
        KeyDirection direction;
        std::uint64_t order;
    };

    // With m_mutex held: notes a key-down (before it is posted) or a key-up, and returns its
    // place in the order of events.
    std::uint64_t note(VirtualKeyCode code, KeyDirection direction);
    // With m_mutex held: a key-up sent as event `order` was confirmed.
    void released(VirtualKeyCode code, std::uint64_t order);
    void save(); // with m_mutex held

    KeyPoster& m_poster;
    const std::string m_path;
    std::mutex m_mutex;
    std::set<VirtualKeyCode> m_held;
    // The order of each key's latest key-down: a confirmed key-up sent before it no longer
    // means the key is up.
    std::map<VirtualKeyCode, std::uint64_t> m_lastKeyDown;
    std::map<std::uint64_t, Sent> m_sent; // by our own ticket
    std::uint64_t m_order = 0;
};

} // namespace vindaro
