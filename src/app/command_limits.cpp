#include "command_limits.h"

#include "platform/user_defaults.h"

#include <utility>

namespace vindaro {

namespace {

QString cooldownKey() {
    return QStringLiteral("vindaro.agent.cooldown-ms");
}

QString perMinuteKey() {
    return QStringLiteral("vindaro.agent.commands-per-minute");
}

std::optional<int> storedValue(const UserDefaults& defaults, const QString& key,
                               bool (*allowed)(qint64), bool& outOfBounds) {
    if (!defaults.contains(key))
        return std::nullopt;
    const qint64 value = defaults.integer(key);
    if (!allowed(value)) {
        outOfBounds = true;
        return std::nullopt;
    }
    return static_cast<int>(value);
}

bool parsed(const QString& text, bool (*allowed)(qint64), std::optional<int>& into) {
    const QString typed = text.trimmed();
    bool number = false;
    const int value = typed.toInt(&number);
    if (typed.isEmpty())
        into.reset();
    else if (number && allowed(value))
        into = value;
    else
        return false;
    return true;
}

} // namespace

CommandLimits::Stored CommandLimits::stored(const UserDefaults& defaults) {
    Stored stored;
    stored.settings.cooldownMs =
        storedValue(defaults, cooldownKey(), &cooldownAllowed, stored.outOfBounds);
    stored.settings.perMinute =
        storedValue(defaults, perMinuteKey(), &perMinuteAllowed, stored.outOfBounds);
    return stored;
}

bool CommandLimits::store(UserDefaults& defaults, const Settings& settings) {
    for (const auto& [key, value] : {std::pair{cooldownKey(), settings.cooldownMs},
                                     std::pair{perMinuteKey(), settings.perMinute}}) {
        if (value)
            defaults.setInteger(key, *value);
        else
            defaults.remove(key);
    }
    return defaults.flush();
}

bool CommandLimits::parseCooldown(const QString& typed, std::optional<int>& into) {
    return parsed(typed, &cooldownAllowed, into);
}

bool CommandLimits::parsePerMinute(const QString& typed, std::optional<int>& into) {
    return parsed(typed, &perMinuteAllowed, into);
}

QString CommandLimits::shown(const std::optional<int>& value) {
    return value ? QString::number(*value) : QString();
}

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
