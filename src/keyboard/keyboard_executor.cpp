#include "keyboard_executor.h"

#include "model/agent_error.h"
#include "platform/key_poster.h"
#include "platform/window_focus.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace vindaro {

namespace {

// The messages come from the Qt-based error catalogue; they are turned into plain text once, on
// the constructing thread, so the worker never touches a Qt type.
std::string failureLine(const AgentError& error) {
    return "กดปุ่มไม่สำเร็จ: " + error.description().toStdString();
}

} // namespace

KeyboardExecutor::KeyboardExecutor(KeyPoster& poster, KeyDestinationCheck* destinationCheck,
                                   std::function<void()> onWorkerStart)
    : m_poster(poster)
    , m_destinationCheck(destinationCheck)
    , m_failureLines{failureLine(AgentError::accessibilityRequired()),
                     failureLine(AgentError::eventCreationFailed())}
    , m_worker([this, onStart = std::move(onWorkerStart)] {
        if (onStart)
            onStart();
        runWorker();
    }) {}

KeyboardExecutor::~KeyboardExecutor() {
    {
        std::scoped_lock lock(m_mutex);
        m_stopping = true;
    }
    m_workAvailable.notify_all();
    cancelAll();
    m_worker.join();
    // The last word on every key: the key-ups still on their way are confirmed, and a key whose
    // release failed is tried again, for a bounded time. A stalled display server must not keep
    // the program from ending; what stays unconfirmed stays in the poster's record of held keys.
    const auto deadline = std::chrono::steady_clock::now() + finalReleaseLimit;
    std::vector<std::uint16_t> retry;
    std::deque<Release> unconfirmed;
    {
        std::scoped_lock lock(m_mutex);
        retry.assign(m_activeKeys.begin(), m_activeKeys.end());
        m_activeKeys.clear();
        unconfirmed.swap(m_unconfirmedReleases);
    }
    for (const Release& release : unconfirmed) {
        if (m_poster.awaitKey(release.ticket, deadline) == KeyDelivery::failed)
            retry.push_back(release.code);
    }
    while (!retry.empty() && std::chrono::steady_clock::now() < deadline) {
        std::vector<std::uint16_t> failed;
        for (const std::uint16_t code : retry) {
            const KeyTicket ticket = m_poster.sendKey(code, KeyDirection::up);
            if (m_poster.awaitKey(ticket, deadline) == KeyDelivery::failed)
                failed.push_back(code);
        }
        retry.swap(failed);
    }
}

bool KeyboardExecutor::enqueue(std::string name, std::uint16_t code, int count, int holdMs,
                               std::string source, Origin origin) {
    {
        std::scoped_lock lock(m_mutex);
        if (m_pendingCommands >= maxPendingCommands)
            return false;
        ++m_pendingCommands;
        m_queue.push_back(
            {std::move(name), code, count, holdMs, std::move(source), m_generation, origin});
    }
    m_workAvailable.notify_one();
    return true;
}

void KeyboardExecutor::cancelAll() {
    {
        std::scoped_lock lock(m_mutex);
        ++m_generation; // unsigned, so it wraps to 0 after its largest value
    }
    // A key being handed over is let through first: our key-up follows a key-down, and a key-up
    // the worker is sending has left before this returns.
    std::vector<std::uint16_t> held;
    {
        std::scoped_lock posting(m_postingKey);
        std::scoped_lock lock(m_mutex);
        held.assign(m_activeKeys.begin(), m_activeKeys.end());
        m_activeKeys.clear();
    }
    m_cancelled.notify_all();
    sendReleases(held);
}

bool KeyboardExecutor::waitForReleases(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    return m_releasesConfirmed.wait_for(lock, limit,
                                        [this] { return m_unconfirmedReleases.empty(); });
}

bool KeyboardExecutor::keysInFlight(std::chrono::milliseconds settle) {
    std::scoped_lock lock(m_mutex);
    return !m_activeKeys.empty() || !m_unconfirmedReleases.empty() ||
           std::chrono::steady_clock::now() < m_lastKeyUp + settle;
}

void KeyboardExecutor::setOnLog(LogSink sink) {
    std::scoped_lock lock(m_logMutex);
    m_onLog = std::move(sink);
}

void KeyboardExecutor::setOnSkip(SkipSink sink) {
    std::scoped_lock lock(m_logMutex);
    m_onSkip = std::move(sink);
}

void KeyboardExecutor::runWorker() {
    for (;;) {
        Command command;
        {
            std::unique_lock lock(m_mutex);
            m_workAvailable.wait(lock, [this] {
                return m_stopping || !m_queue.empty() || !m_unconfirmedReleases.empty();
            });
            if (m_stopping)
                return;
            if (m_queue.empty()) {
                lock.unlock();
                // A release that failed stays recorded as held, for the next cancelAll().
                static_cast<void>(confirmReleases());
                continue;
            }
            command = std::move(m_queue.front());
            m_queue.pop_front();
        }
        execute(command);
        finishCommand();
    }
}

void KeyboardExecutor::execute(const Command& command) {
    if (isCancelled(command.generation))
        return;
    if (command.count <= 0)
        announce(command);
    for (int pressed = 0; pressed < command.count; ++pressed) {
        if (isCancelled(command.generation))
            return;
        if (const auto failure = press(command, pressed == 0)) {
            if (*failure != PressFailure::destinationRefused)
                log(m_failureLines[static_cast<std::size_t>(*failure)]);
            return;
        }
        if (pressed + 1 < command.count)
            waitUnlessCancelled(std::chrono::steady_clock::now() + pressGap, command.generation);
    }
}

std::optional<KeyboardExecutor::PressFailure> KeyboardExecutor::press(const Command& command,
                                                                      bool first) {
    const std::uint16_t code = command.code;
    const std::uint64_t generation = command.generation;
    if (!m_poster.mayPostEvents()) {
        if (first)
            announce(command);
        return PressFailure::accessibilityRequired;
    }
    // Asked as late as it can be, but before the key-down's lock: the check may wait on the
    // display server for a moment, and cancelAll() must never wait behind it.
    if (!mayGoDown(command))
        return PressFailure::destinationRefused;
    KeyTicket keyDown{};
    std::chrono::steady_clock::time_point sentAt;
    {
        std::scoped_lock posting(m_postingKey);
        {
            std::scoped_lock lock(m_mutex);
            // Cancelled since the last check: better not to put the key down at all.
            if (m_generation != generation)
                return std::nullopt;
            m_activeKeys.insert(code);
        }
        // Only now: a command whose key-down is refused must not read as pressed in the log.
        if (first)
            announce(command);
        sentAt = std::chrono::steady_clock::now();
        keyDown = m_poster.sendKey(code, KeyDirection::down);
    }
    KeyDelivery wentDown =
        m_poster.awaitKey(keyDown, std::chrono::steady_clock::now() + keyDownLimit);
    if (wentDown == KeyDelivery::delivered) {
        const auto hold = std::chrono::milliseconds(std::max(command.holdMs, 0));
        const auto heldSince =
            m_poster.timesHoldsFromSending() ? sentAt : std::chrono::steady_clock::now();
        waitUnlessCancelled(heldSince + hold, generation);
    }
    // Released here unless cancelAll() already has; also after a failed key-down, which may have
    // gone through all the same.
    {
        std::scoped_lock posting(m_postingKey);
        bool stillHeld = false;
        {
            std::scoped_lock lock(m_mutex);
            stillHeld = m_activeKeys.erase(code) > 0;
        }
        if (stillHeld)
            sendReleases({code});
    }
    const bool released = confirmReleases();
    // Events arrive in order, so a key-down still unanswered is settled once its key-up is.
    if (wentDown == KeyDelivery::pending)
        wentDown = m_poster.awaitKey(keyDown, std::chrono::steady_clock::now());
    if (!released || wentDown != KeyDelivery::delivered)
        return PressFailure::eventCreationFailed;
    return std::nullopt;
}

void KeyboardExecutor::announce(const Command& command) {
    log("[KEY] " + command.name + " ×" + std::to_string(command.count) + " ← " + command.source);
}

bool KeyboardExecutor::mayGoDown(const Command& command) {
    const KeyDestination destination = m_destinationCheck != nullptr
                                           ? m_destinationCheck->beforeKeyDown()
                                           : KeyDestination::allowed;
    if (destination == KeyDestination::allowed ||
        (destination == KeyDestination::agentWindowFocused && command.origin == Origin::streamer)) {
        m_skipping.reset();
        return true;
    }
    if (m_skipping != destination) {
        m_skipping = destination;
        std::scoped_lock lock(m_logMutex);
        if (m_onSkip)
            m_onSkip(destination, command.name);
    }
    return false;
}

bool KeyboardExecutor::isCancelled(std::uint64_t generation) {
    std::scoped_lock lock(m_mutex);
    return m_generation != generation;
}

void KeyboardExecutor::waitUnlessCancelled(std::chrono::steady_clock::time_point deadline,
                                           std::uint64_t generation) {
    std::unique_lock lock(m_mutex);
    m_cancelled.wait_until(lock, deadline, [&] { return m_generation != generation; });
}

void KeyboardExecutor::sendReleases(const std::vector<std::uint16_t>& codes) {
    if (codes.empty())
        return;
    for (const std::uint16_t code : codes) {
        const KeyTicket ticket = m_poster.sendKey(code, KeyDirection::up);
        std::scoped_lock lock(m_mutex);
        m_unconfirmedReleases.push_back({code, ticket});
        m_lastKeyUp = std::chrono::steady_clock::now();
    }
    m_workAvailable.notify_all();
}

bool KeyboardExecutor::confirmReleases() {
    // Waits in short steps, so that a stalled server cannot keep the destructor waiting long.
    constexpr std::chrono::milliseconds step{100};
    bool allDelivered = true;
    for (;;) {
        Release release;
        {
            std::scoped_lock lock(m_mutex);
            if (m_unconfirmedReleases.empty() || m_stopping)
                return allDelivered;
            release = m_unconfirmedReleases.front();
        }
        const KeyDelivery delivery =
            m_poster.awaitKey(release.ticket, std::chrono::steady_clock::now() + step);
        if (delivery == KeyDelivery::pending)
            continue;
        std::scoped_lock lock(m_mutex);
        // Only this thread takes releases off, so the front is still the one confirmed.
        m_unconfirmedReleases.pop_front();
        if (m_unconfirmedReleases.empty())
            m_releasesConfirmed.notify_all();
        if (delivery == KeyDelivery::failed) {
            // Nobody could act on a message about it; it is tried again by the next cancelAll().
            m_activeKeys.insert(release.code);
            allDelivered = false;
        }
    }
}

void KeyboardExecutor::finishCommand() {
    std::scoped_lock lock(m_mutex);
    if (m_pendingCommands > 0)
        --m_pendingCommands;
}

void KeyboardExecutor::log(const std::string& line) {
    std::scoped_lock lock(m_logMutex);
    if (m_onLog)
        m_onLog(line);
}

} // namespace vindaro
