#pragma once

#include <QString>

namespace vindaro {

// The named status colours of the window; the view picks the shades.
enum class StatusColor { green, red, orange, secondary };

struct StatusLine {
    QString text;
    StatusColor color = StatusColor::secondary;
    friend bool operator==(const StatusLine&, const StatusLine&) = default;
};

// Everything in the window that the controller decides, in one value.
struct ViewContent {
    StatusLine permission;
    StatusLine connection;
    StatusLine activity;
    bool connectEnabled = false;
    bool pauseEnabled = false;
    bool stopEnabled = false;
    bool testEnabled = false;
    QString pauseTitle;
    StatusLine pin;
    QString pinTitle;
    bool pinEnabled = false;
    StatusLine stopKey;
    friend bool operator==(const ViewContent&, const ViewContent&) = default;
};

// What the controller needs of the window. The controller makes every decision (texts, colours,
// which buttons are enabled) and the window only shows them, so the decisions can be exercised
// with a recording view and no widgets. The window starts blank. Called on the main thread only.
class AgentView {
public:
    virtual ~AgentView() = default;

    virtual void setPermissionLine(const QString& text, StatusColor color) = 0;
    virtual void setConnectionLine(const QString& text, StatusColor color) = 0;
    virtual void setActivityLine(const QString& text, StatusColor color) = 0;

    virtual void setConnectEnabled(bool enabled) = 0;
    virtual void setPauseEnabled(bool enabled) = 0;
    virtual void setStopEnabled(bool enabled) = 0;
    virtual void setTestEnabled(bool enabled) = 0;
    virtual void setPauseTitle(const QString& title) = 0;

    // The pinned game window: its line, and the button that pins or unpins.
    virtual void setPinLine(const QString& text, StatusColor color) = 0;
    virtual void setPinTitle(const QString& title) = 0;
    virtual void setPinEnabled(bool enabled) = 0;
    // Whether the stop key works here, and how.
    virtual void setStopKeyLine(const QString& text, StatusColor color) = 0;

    virtual QString inputText() const = 0;
    virtual void setInputText(const QString& text) = 0;
    // The list of keys the viewers may not press, as the streamer typed it.
    virtual QString blockedKeysText() const = 0;
    virtual void setBlockedKeysText(const QString& text) = 0;
    // The limits on the viewers' commands, as the streamer typed them; empty is off.
    enum class Limit { cooldownMs, perMinute };
    virtual QString limitText(Limit limit) const = 0;
    virtual void setLimitText(Limit limit, const QString& text) = 0;

    // Appends one time-stamped entry "[HH:mm:ss] message" to the event log.
    virtual void appendLog(const QString& message) = 0;

    // A modal alert titled "Vindaro Agent" with the description and one "ตกลง" button;
    // returns when the user dismisses it.
    virtual void showAlert(const QString& description) = 0;
};

// What the window's controls ask of the controller.
class AgentActions {
public:
    virtual ~AgentActions() = default;

    virtual void connectTapped() = 0;
    virtual void pauseTapped() = 0;
    virtual void stopTapped() = 0;
    virtual void testSpaceTapped() = 0;
    virtual void requestPermissionTapped() = 0;
    virtual void openSettingsTapped() = 0;
    virtual void pasteTapped() = 0;
    virtual void clearTapped() = 0;
    virtual void pinTapped() = 0;
    // The streamer finished editing the list of keys the viewers may not press.
    virtual void blockedKeysEdited() = 0;
    // The streamer finished editing one of the limits on the viewers' commands.
    virtual void limitsEdited() = 0;
};

} // namespace vindaro
