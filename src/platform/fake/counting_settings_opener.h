#pragma once

#include "platform/settings_opener.h"

namespace vindaro {

// Counts how often the user was sent to the settings; opening always works.
class CountingSettingsOpener final : public SettingsOpener {
public:
    bool openAccessibilitySettings() override { return ++opened > 0; }

    int opened = 0;
};

} // namespace vindaro
