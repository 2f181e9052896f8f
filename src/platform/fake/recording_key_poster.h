#pragma once

#include "platform/key_poster.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace vindaro {

struct PostedKey {
    std::uint16_t code;
    KeyDirection direction;
    std::chrono::steady_clock::time_point time;
};

// An in-memory poster for tests: records every key event it is asked to post, with the
// monotonic time it was delivered, and can be told to refuse the permission or single keys, or
// to stall like a stopped display server. Safe to use from several threads at once.
class RecordingKeyPoster final : public KeyPoster {
public:
    bool mayPostEvents() override;
    bool postKey(std::uint16_t code, KeyDirection direction) override;
    KeyTicket sendKey(std::uint16_t code, KeyDirection direction) override;
    KeyDelivery awaitKey(KeyTicket ticket, std::chrono::steady_clock::time_point deadline) override;

    void setMayPostEvents(bool allowed);
    // Events for this key can no longer be created: posting it fails and records nothing.
    void refuseKey(std::uint16_t code);
    // The next `count` events of this key in this direction fail. With `reachesTheSystem` they
    // are recorded all the same, as when a connection breaks right after sending.
    void failNext(std::uint16_t code, KeyDirection direction, int count, bool reachesTheSystem);

    // While held back, a key-down waits inside postKey() until released: for looking at what
    // happens while one is on its way.
    void holdBackKeyDowns();
    // The same one step earlier: mayPostEvents() waits, before anything is on its way.
    void holdBackPermissionChecks();
    // Lets both kinds through.
    void releaseKeyDowns();
    // Waits until a key-down is being held back, or `timeout` has passed.
    bool waitForHeldBackKeyDown(std::chrono::milliseconds timeout) const;

    // While stalled, events are taken at once but neither recorded nor confirmed, as by a
    // stopped display server; resuming delivers them in order.
    void stallDelivery();
    void resumeDelivery();
    // Key-downs are recorded at once but confirmed only `lag` later, as by a poster whose answers
    // come through a thread that is kept waiting; such a poster times holds from the send.
    void confirmKeyDownsLate(std::chrono::milliseconds lag);
    bool timesHoldsFromSending() const override;

    std::vector<PostedKey> events() const;
    // Waits until at least `count` events have been recorded or `timeout` has passed, and
    // returns what was recorded by then.
    std::vector<PostedKey> waitForEvents(std::size_t count,
                                         std::chrono::milliseconds timeout) const;
    // Waits until `done` holds for the recorded events or `timeout` has passed.
    std::vector<PostedKey> waitUntil(const std::function<bool(const std::vector<PostedKey>&)>& done,
                                     std::chrono::milliseconds timeout) const;
    // Keys whose latest recorded event is a key-down.
    std::set<std::uint16_t> heldKeys() const;
    // Forgets what was recorded, so that a long run need not look through all of it again.
    void clear();

private:
    struct Sent {
        std::uint64_t ticket;
        std::uint16_t code;
        KeyDirection direction;
    };
    struct Failing {
        std::uint16_t code;
        KeyDirection direction;
        int count;
        bool reachesTheSystem;
    };
    void deliver(const Sent& sent); // with m_mutex held

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_recorded;
    std::vector<PostedKey> m_events;
    std::set<std::uint16_t> m_refusedKeys;
    bool m_mayPost = true;
    bool m_holdingBack = false;
    bool m_holdingBackChecks = false;
    std::vector<Failing> m_failing;
    int m_heldBack = 0;
    bool m_stalled = false;
    std::deque<Sent> m_stalledEvents;
    std::map<std::uint64_t, KeyDelivery> m_outcomes;
    std::uint64_t m_lastTicket = 0;
    std::chrono::milliseconds m_confirmationLag{0};
    std::map<std::uint64_t, std::chrono::steady_clock::time_point> m_confirmedAfter;
};

} // namespace vindaro
