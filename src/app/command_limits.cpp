#include "command_limits.h"

#include <utility>

namespace vindaro {

CommandLimits::CommandLimits(Clock clock)
    : m_clock(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

void CommandLimits::set(Settings settings) {
    if (settings.cooldownMs && !cooldownAllowed(*settings.cooldownMs))
        settings.cooldownMs.reset();
    if (settings.perMinute && !perMinuteAllowed(*settings.perMinute))
        settings.perMinute.reset();
    m_settings = settings;
}

std::optional<CommandLimits::Refusal> CommandLimits::refusal(const QString& key) {
    const auto now = m_clock();
    if (m_settings.cooldownMs) {
        const auto last = m_lastAccepted.constFind(key);
        if (last != m_lastAccepted.cend() &&
            now - *last < std::chrono::milliseconds(*m_settings.cooldownMs))
            return Refusal::coolingDown;
    }
    // Commands let through more than a window ago no longer count.
    while (!m_acceptedInWindow.empty() && now - m_acceptedInWindow.front() >= capWindow)
        m_acceptedInWindow.pop_front();
    if (m_settings.perMinute &&
        m_acceptedInWindow.size() >= static_cast<std::size_t>(*m_settings.perMinute))
        return Refusal::capReached;
    return std::nullopt;
}

void CommandLimits::accepted(const QString& key) {
    const auto now = m_clock();
    m_lastAccepted.insert(key, now);
    m_acceptedInWindow.push_back(now);
    // Only the cap reads the window: without one it would grow for as long as the agent runs.
    const std::size_t kept = m_settings.perMinute ? static_cast<std::size_t>(maxPerMinute) : 0;
    while (m_acceptedInWindow.size() > kept)
        m_acceptedInWindow.pop_front();
}

} // namespace vindaro
