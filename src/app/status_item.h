#pragma once

#include "app/agent_app_delegate.h"

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
    // The desktop theme's icon where it has one; else one drawn here.
    static QIcon icon(Standing standing);
    static QString toolTip(const AgentState& state, const ViewContent& content);

    // Both must outlive the item. Shows it at once, with the controller's current state.
    StatusItem(AgentAppDelegate& agent, MainWindow& window);
    ~StatusItem() override;
    Q_DISABLE_COPY_MOVE(StatusItem)

    // Takes it off the panel, as quitting does.
    void hide() { m_item.hide(); }

private:
    void follow(const AgentState& state, const ViewContent& content);
    void showWindow();

    AgentAppDelegate& m_agent;
    MainWindow& m_window;
    QMenu m_menu;
    QAction* m_pause = nullptr;
    QAction* m_stop = nullptr;
    QSystemTrayIcon m_item;
    std::optional<Standing> m_standing;
};

} // namespace vindaro
