#pragma once

#include "app/agent_app_delegate.h"
#include "platform/panel_item.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <optional>

namespace vindaro {

class MainWindow;

// The agent in the desktop's panel, for a streamer who is in their game and not looking at the
// window: what state it is in at a glance, and pause, stop, show and quit within reach. It
// follows the controller's one state and acts only through the same controls as the window.
// Where no panel can show it, it shows nowhere and changes nothing else.
class StatusItem final : public QObject {
    Q_OBJECT

public:
    // The five things the streamer needs to tell apart at a glance.
    enum class Standing { notConnected, connecting, armed, paused, halted };

    static Standing standingOf(const AgentState& state);
    // Out of sight when nothing can happen, asking for the streamer after a stop from outside.
    static PanelItem::Status statusOf(Standing standing);
    // The desktop theme's icon where it has one; else one drawn here.
    static QIcon icon(Standing standing);
    static QString toolTip(const AgentState& state, const ViewContent& content);

    // All must outlive the item. Shows it at once, with the controller's current state, on the
    // panel through `panel`; without one, or while no panel takes it, as a Qt tray icon (on X11
    // desktops with an XEmbed tray only).
    StatusItem(AgentAppDelegate& agent, MainWindow& window, PanelItem* panel);
    ~StatusItem() override;
    Q_DISABLE_COPY_MOVE(StatusItem)

    // Takes it off the panel, as quitting does.
    void hide();

private:
    void follow(const AgentState& state, const ViewContent& content);
    void useTrayIcon(bool use);
    void showWindow();

    AgentAppDelegate& m_agent;
    MainWindow& m_window;
    QMenu m_menu;
    QAction* m_pause = nullptr;
    QAction* m_stop = nullptr;
    PanelItem* m_panel;
    // Made only when needed: Qt picks the tray's kind once, when it is made.
    std::optional<QSystemTrayIcon> m_trayIcon;
    std::optional<Standing> m_standing;
    PanelItem::Look m_look;
};

} // namespace vindaro
