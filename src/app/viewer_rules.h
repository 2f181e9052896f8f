#pragma once

#include "app/command_limits.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace vindaro {

class AgentView;
class UserDefaults;

// The streamer's rules on what the viewers may press: keys they may not press at all, and how
// often they may press (CommandLimits). Read from the settings at start-up, kept there when the
// streamer edits them, and asked about every command that reached a known key. It says what it
// did through `log` and refuses typed text through `alert`, so the controller only wires it up.
// Main thread only.
class ViewerRules {
public:
    struct Output {
        std::function<void(const QString&)> log;
        std::function<void(const QString&)> alert;
    };

    ViewerRules(UserDefaults& defaults, CommandLimits::Clock clock, Output output);

    // Puts the stored rules in force, shows them and logs those that are on.
    void restore(AgentView* view);
    void blockedKeysEdited(AgentView& view);
    void limitsEdited(AgentView& view);

    // Whether a command for the key may be queued; a refusal is logged, once per run of
    // refusals by the limits.
    bool allows(const QString& key);
    // A command for the key was queued: it counts toward the limits and ends a run of skips.
    void accepted(const QString& key);

private:
    void showLimits(AgentView& view, const CommandLimits::Settings& settings);

    UserDefaults& m_defaults;
    Output m_output;
    QStringList m_blockedKeys;
    CommandLimits m_limits;
    // Why commands are being skipped by the limits; a run of skips is logged once.
    std::optional<CommandLimits::Refusal> m_limitSkips;
};

} // namespace vindaro
