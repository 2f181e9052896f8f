#pragma once

#include <QIcon>
#include <QList>
#include <QString>

#include <functional>

class QAction;

namespace vindaro {

// An item in the desktop's panel: an icon, a status that tells the panel how much the item
// matters right now, a tooltip and a menu. It appears on every panel that comes, including one
// started or restarted after the item.
class PanelItem {
public:
    enum class Status {
        passive,        // nothing needs the user; a panel may tuck it away
        active,         // worth a glance
        needsAttention, // waiting for the user to act
    };
    struct Look {
        Status status = Status::active;
        QIcon icon;
        QString toolTip;
    };
    struct Hooks {
        std::function<void()> activated;          // the item itself was clicked
        std::function<void(bool)> onPanelChanged; // whether a panel shows the item now
    };

    virtual ~PanelItem() = default;

    // The menu's actions (each triggered when chosen, and followed as their text or state
    // changes) must outlive the item, or its hide(). Main thread, as is everything here.
    virtual void show(const QList<QAction*>& menu, const Look& look, Hooks hooks) = 0;
    virtual void setLook(const Look& look) = 0;
    // Takes it off every panel, as quitting does.
    virtual void hide() = 0;
};

} // namespace vindaro
