#include "keyboard_executor.h"

#include "model/agent_error.h"
#include "platform/key_poster.h"

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

KeyboardExecutor::KeyboardExecutor(KeyPoster& poster)
    : m_poster(poster)
    , m_failureLines{failureLine(AgentError::accessibilityRequired()),
                     failureLine(AgentError::eventCreationFailed())}
    , m_worker([this] { runWorker(); }) {}

KeyboardExecutor::~KeyboardExecutor() {
    {
        std::scoped_lock lock(m_mutex);
        m_stopping = true;
    }
    m_workAvailable.notify_all();
    cancelAll();
    m_worker.join();
    // A key whose release failed while the worker ran is still recorded as held: one last try.
    cancelAll();
}

bool KeyboardExecutor::enqueue(std::string name, std::uint16_t code, int count, int holdMs,
                               std::string source) {
    {
        std::scoped_lock lock(m_mutex);
        if (m_pendingCommands >= maxPendingCommands)
            return false;
        ++m_pendingCommands;
        m_queue.push_back({std::move(name), code, count, holdMs, std::move(source), m_generation});
    }
    m_workAvailable.notify_one();
    return true;
}

void KeyboardExecutor::cancelAll() {
    {
        std::scoped_lock lock(m_mutex);
        ++m_generation; // unsigned, so it wraps to 0 after its largest value
    }
    // A key-down already on its way is let through first, so that our key-up follows it.
    { std::scoped_lock posting(m_postingKeyDown); }
    std::vector<std::uint16_t> held;
    {
        std::scoped_lock lock(m_mutex);
        held.assign(m_activeKeys.begin(), m_activeKeys.end());
        m_activeKeys.clear();
    }
    m_cancelled.notify_all();
    for (const std::uint16_t code : held) {
        // A key that cannot be released now stays recorded as held, so that the next
        // cancelAll(), the destructor's last one at the latest, tries again. Nobody could act on
        // a message about it, and the interrupted press posts its own key-up as well.
        if (!m_poster.postKey(code, KeyDirection::up)) {
            std::scoped_lock lock(m_mutex);
            m_activeKeys.insert(code);
        }
    }
}

void KeyboardExecutor::setOnLog(LogSink sink) {
    std::scoped_lock lock(m_logMutex);
    m_onLog = std::move(sink);
}

void KeyboardExecutor::runWorker() {
    for (;;) {
        Command command;
        {
            std::unique_lock lock(m_mutex);
            m_workAvailable.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
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
    log("[KEY] " + command.name + " ×" + std::to_string(command.count) + " ← " + command.source);
    for (int pressed = 0; pressed < command.count; ++pressed) {
        if (isCancelled(command.generation))
            return;
        if (const auto failure = press(command.code, command.holdMs, command.generation)) {
            log(m_failureLines[static_cast<std::size_t>(*failure)]);
            return;
        }
        if (pressed + 1 < command.count)
            waitUnlessCancelled(std::chrono::steady_clock::now() + pressGap, command.generation);
    }
}

std::optional<KeyboardExecutor::PressFailure>
KeyboardExecutor::press(std::uint16_t code, int holdMs, std::uint64_t generation) {
    if (!m_poster.mayPostEvents())
        return PressFailure::accessibilityRequired;
    bool wentDown = false;
    {
        std::scoped_lock posting(m_postingKeyDown);
        {
            std::scoped_lock lock(m_mutex);
            // Cancelled since the last check: better not to put the key down at all.
            if (m_generation != generation)
                return std::nullopt;
            m_activeKeys.insert(code);
        }
        wentDown = m_poster.postKey(code, KeyDirection::down);
    }
    if (!wentDown) {
        // The key may have gone down all the same (a connection that failed after sending);
        // release it, and if even that fails leave it recorded for the next cancelAll().
        if (m_poster.postKey(code, KeyDirection::up))
            forgetHeldKey(code);
        return PressFailure::eventCreationFailed;
    }
    const auto hold = std::chrono::milliseconds(std::max(holdMs, 0));
    waitUnlessCancelled(std::chrono::steady_clock::now() + hold, generation);
    // Also after a cancellation: the key-up of cancelAll() may have been lost, and posting it twice
    // does no harm.
    if (!m_poster.postKey(code, KeyDirection::up))
        return PressFailure::eventCreationFailed;
    forgetHeldKey(code);
    return std::nullopt;
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

void KeyboardExecutor::forgetHeldKey(std::uint16_t code) {
    std::scoped_lock lock(m_mutex);
    m_activeKeys.erase(code);
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
