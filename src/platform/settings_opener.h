#pragma once

namespace vindaro {

// Sends the user to where the agent is allowed to press keys.
class SettingsOpener {
public:
    virtual ~SettingsOpener() = default;

    // Opens that place; false when nothing could be opened.
    [[nodiscard]] virtual bool openAccessibilitySettings() = 0;
};

} // namespace vindaro
