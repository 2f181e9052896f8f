#include "viewer_rules.h"

#include "app/agent_text.h"
#include "app/agent_view.h"
#include "app/blocked_keys.h"
#include "pairing/storage_error.h"

#include <utility>

namespace vindaro {

ViewerRules::ViewerRules(UserDefaults& defaults, CommandLimits::Clock clock, Output output)
    : m_defaults(defaults)
    , m_output(std::move(output))
    , m_limits(std::move(clock)) {}

void ViewerRules::restore(AgentView* view) {
    const BlockedKeys::Parsed stored = BlockedKeys::stored(m_defaults);
    m_blockedKeys = stored.keys;
    // A name that matches no key cannot let anything through, so dropping it is safe; the
    // streamer is told all the same.
    if (!stored.unknown.isEmpty())
        m_output.log(
            text(AgentText::storedBlockedKeysBad, stored.unknown.join(QStringLiteral(", "))));
    if (view != nullptr)
        view->setBlockedKeysText(BlockedKeys::format(m_blockedKeys));
    if (!m_blockedKeys.isEmpty())
        m_output.log(text(AgentText::blockedKeysSet, BlockedKeys::format(m_blockedKeys)));

    // A stored value out of bounds is off, and the streamer is told, so a limit they count on is
    // never silently something else.
    const CommandLimits::Stored limits = CommandLimits::stored(m_defaults);
    m_limits.set(limits.settings);
    if (limits.outOfBounds)
        m_output.log(text(AgentText::storedLimitsBad));
    if (view != nullptr)
        showLimits(*view, limits.settings);
    if (limits.settings.cooldownMs)
        m_output.log(text(AgentText::cooldownSet, QString::number(*limits.settings.cooldownMs)));
    if (limits.settings.perMinute)
        m_output.log(text(AgentText::perMinuteSet, QString::number(*limits.settings.perMinute)));
}

void ViewerRules::blockedKeysEdited(AgentView& view) {
    const BlockedKeys::Parsed edited = BlockedKeys::parse(view.blockedKeysText());
    // The field always shows the list in force: refused text is not left standing as if it were.
    view.setBlockedKeysText(
        BlockedKeys::format(edited.unknown.isEmpty() ? edited.keys : m_blockedKeys));
    if (!edited.unknown.isEmpty()) {
        m_output.alert(
            text(AgentText::blockedKeysRefused, edited.unknown.join(QStringLiteral(", "))));
        return;
    }
    if (edited.keys == m_blockedKeys)
        return;
    m_blockedKeys = edited.keys;
    // The list holds for this run either way; the streamer must know it will not outlast it.
    if (!BlockedKeys::store(m_defaults, m_blockedKeys))
        m_output.alert(StorageError(StorageError::Kind::settingsWrite).description());
    m_output.log(m_blockedKeys.isEmpty()
                     ? text(AgentText::blockedKeysNone)
                     : text(AgentText::blockedKeysSet, BlockedKeys::format(m_blockedKeys)));
}

void ViewerRules::showLimits(AgentView& view, const CommandLimits::Settings& settings) {
    view.setLimitText(AgentView::Limit::cooldownMs, CommandLimits::shown(settings.cooldownMs));
    view.setLimitText(AgentView::Limit::perMinute, CommandLimits::shown(settings.perMinute));
}

void ViewerRules::limitsEdited(AgentView& view) {
    const CommandLimits::Settings before = m_limits.settings();
    CommandLimits::Settings edited = before;
    const bool cooldown = CommandLimits::parseCooldown(view.limitText(AgentView::Limit::cooldownMs),
                                                       edited.cooldownMs);
    const bool perMinute = CommandLimits::parsePerMinute(
        view.limitText(AgentView::Limit::perMinute), edited.perMinute);
    // The fields always show the limits in force: refused text is not left standing.
    showLimits(view, edited);
    if (!cooldown)
        m_output.alert(text(AgentText::cooldownRefused));
    if (!perMinute)
        m_output.alert(text(AgentText::perMinuteRefused));
    if (edited == before)
        return;
    m_limits.set(edited);
    if (!CommandLimits::store(m_defaults, edited))
        m_output.alert(StorageError(StorageError::Kind::settingsWrite).description());
    if (edited.cooldownMs != before.cooldownMs)
        m_output.log(edited.cooldownMs
                         ? text(AgentText::cooldownSet, QString::number(*edited.cooldownMs))
                         : text(AgentText::cooldownOff));
    if (edited.perMinute != before.perMinute)
        m_output.log(edited.perMinute
                         ? text(AgentText::perMinuteSet, QString::number(*edited.perMinute))
                         : text(AgentText::perMinuteOff));
}

bool ViewerRules::allows(const QString& key) {
    if (m_blockedKeys.contains(key)) {
        m_output.log(text(AgentText::skippedBlockedKey, key));
        return false;
    }
    const std::optional<CommandLimits::Refusal> refusal = m_limits.refusal(key);
    if (!refusal)
        return true;
    // A flood would bury the log in one line per command: the first of a run says why.
    if (std::exchange(m_limitSkips, refusal) != refusal)
        m_output.log(text(*refusal == CommandLimits::Refusal::coolingDown
                              ? AgentText::skippedCoolingDown
                              : AgentText::skippedPerMinuteCap,
                          key));
    return false;
}

void ViewerRules::accepted(const QString& key) {
    m_limits.accepted(key);
    m_limitSkips.reset();
}

} // namespace vindaro
