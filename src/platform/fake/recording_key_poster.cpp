#include "recording_key_poster.h"

#include <algorithm>

namespace vindaro {

bool RecordingKeyPoster::mayPostEvents() {
    std::unique_lock lock(m_mutex);
    if (m_holdingBackChecks) {
        ++m_heldBack;
        m_recorded.notify_all();
        m_recorded.wait(lock, [this] { return !m_holdingBackChecks; });
        --m_heldBack;
    }
    return m_mayPost;
}

bool RecordingKeyPoster::postKey(std::uint16_t code, KeyDirection direction) {
    // Like a poster that waits for as long as a stalled delivery lasts.
    const auto never = std::chrono::steady_clock::now() + std::chrono::hours(24);
    return awaitKey(sendKey(code, direction), never) == KeyDelivery::delivered;
}

KeyTicket RecordingKeyPoster::sendKey(std::uint16_t code, KeyDirection direction) {
    const Sent sent = [&] {
        std::unique_lock lock(m_mutex);
        if (direction == KeyDirection::down && m_holdingBack) {
            ++m_heldBack;
            m_recorded.notify_all();
            m_recorded.wait(lock, [this] { return !m_holdingBack; });
            --m_heldBack;
        }
        const Sent event{++m_lastTicket, code, direction};
        if (m_stalled)
            m_stalledEvents.push_back(event);
        else
            deliver(event);
        return event;
    }();
    m_recorded.notify_all();
    return KeyTicket{sent.ticket};
}

KeyDelivery RecordingKeyPoster::awaitKey(KeyTicket ticket,
                                         std::chrono::steady_clock::time_point deadline) {
    const auto number = static_cast<std::uint64_t>(ticket);
    std::unique_lock lock(m_mutex);
    if (!m_recorded.wait_until(lock, deadline, [&] { return m_outcomes.contains(number); }))
        return KeyDelivery::pending;
    if (const auto late = m_confirmedAfter.find(number); late != m_confirmedAfter.end()) {
        const auto confirmedAt = late->second;
        m_recorded.wait_until(lock, std::min(confirmedAt, deadline), [] { return false; });
        if (std::chrono::steady_clock::now() < confirmedAt)
            return KeyDelivery::pending;
        m_confirmedAfter.erase(number);
    }
    return m_outcomes.extract(number).mapped();
}

void RecordingKeyPoster::deliver(const Sent& sent) {
    if (m_refusedKeys.contains(sent.code)) {
        m_outcomes[sent.ticket] = KeyDelivery::failed;
        return;
    }
    const auto failing = std::ranges::find_if(m_failing, [&](const Failing& f) {
        return f.code == sent.code && f.direction == sent.direction && f.count > 0;
    });
    const bool fails = failing != m_failing.end();
    if (fails)
        --failing->count;
    if (!fails || failing->reachesTheSystem)
        m_events.push_back({sent.code, sent.direction, std::chrono::steady_clock::now()});
    m_outcomes[sent.ticket] = fails ? KeyDelivery::failed : KeyDelivery::delivered;
    if (sent.direction == KeyDirection::down && m_confirmationLag.count() > 0)
        m_confirmedAfter[sent.ticket] = std::chrono::steady_clock::now() + m_confirmationLag;
}

void RecordingKeyPoster::confirmKeyDownsLate(std::chrono::milliseconds lag) {
    std::scoped_lock lock(m_mutex);
    m_confirmationLag = lag;
}

bool RecordingKeyPoster::timesHoldsFromSending() const {
    std::scoped_lock lock(m_mutex);
    return m_confirmationLag.count() > 0;
}

void RecordingKeyPoster::stallDelivery() {
    std::scoped_lock lock(m_mutex);
    m_stalled = true;
}

void RecordingKeyPoster::resumeDelivery() {
    {
        std::scoped_lock lock(m_mutex);
        m_stalled = false;
        for (const Sent& sent : m_stalledEvents)
            deliver(sent);
        m_stalledEvents.clear();
    }
    m_recorded.notify_all();
}

void RecordingKeyPoster::failNext(std::uint16_t code, KeyDirection direction, int count,
                                  bool reachesTheSystem) {
    std::scoped_lock lock(m_mutex);
    m_failing.push_back({code, direction, count, reachesTheSystem});
}

void RecordingKeyPoster::holdBackPermissionChecks() {
    std::scoped_lock lock(m_mutex);
    m_holdingBackChecks = true;
}

void RecordingKeyPoster::holdBackKeyDowns() {
    std::scoped_lock lock(m_mutex);
    m_holdingBack = true;
}

void RecordingKeyPoster::releaseKeyDowns() {
    {
        std::scoped_lock lock(m_mutex);
        m_holdingBack = false;
        m_holdingBackChecks = false;
    }
    m_recorded.notify_all();
}

bool RecordingKeyPoster::waitForHeldBackKeyDown(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_recorded.wait_for(lock, timeout, [this] { return m_heldBack > 0; });
}

void RecordingKeyPoster::setMayPostEvents(bool allowed) {
    std::scoped_lock lock(m_mutex);
    m_mayPost = allowed;
}

void RecordingKeyPoster::refuseKey(std::uint16_t code) {
    std::scoped_lock lock(m_mutex);
    m_refusedKeys.insert(code);
}

std::vector<PostedKey> RecordingKeyPoster::events() const {
    std::scoped_lock lock(m_mutex);
    return m_events;
}

std::vector<PostedKey> RecordingKeyPoster::waitForEvents(std::size_t count,
                                                         std::chrono::milliseconds timeout) const {
    return waitUntil(
        [count](const std::vector<PostedKey>& events) { return events.size() >= count; }, timeout);
}

std::vector<PostedKey>
RecordingKeyPoster::waitUntil(const std::function<bool(const std::vector<PostedKey>&)>& done,
                              std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    m_recorded.wait_for(lock, timeout, [&] { return done(m_events); });
    return m_events;
}

std::set<std::uint16_t> RecordingKeyPoster::heldKeys() const {
    std::scoped_lock lock(m_mutex);
    std::set<std::uint16_t> held;
    for (const PostedKey& event : m_events) {
        if (event.direction == KeyDirection::down)
            held.insert(event.code);
        else
            held.erase(event.code);
    }
    return held;
}

void RecordingKeyPoster::clear() {
    std::scoped_lock lock(m_mutex);
    m_events.clear();
}

} // namespace vindaro
