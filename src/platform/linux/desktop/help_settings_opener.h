#pragma once

#include "platform/settings_opener.h"

#include <QString>

namespace vindaro {

// This desktop has no setting that grants the right to press keys: the agent may do so whenever
// it reaches an X display with the XTEST extension. So the agent's own help page, which says so
// and how to get there, takes the place of the settings: it is written to a file and opened with
// the desktop's handler for web pages.
class HelpSettingsOpener : public SettingsOpener {
public:
    // The page is written into the directory, created if needed; by default the user's cache.
    explicit HelpSettingsOpener(QString directory = defaultDirectory());

    [[nodiscard]] bool openAccessibilitySettings() override;

    static QString defaultDirectory();

private:
    QString m_directory;
};

} // namespace vindaro
