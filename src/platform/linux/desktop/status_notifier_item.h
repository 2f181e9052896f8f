#pragma once

#include "platform/panel_item.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>

#include <memory>

namespace vindaro {

// The panel item of freedesktop desktops: a StatusNotifierItem with its menu over dbusmenu, on
// the session bus. It registers with the panel's StatusNotifierWatcher whenever one is there, so
// a panel started or restarted later shows it too. Where no watcher is, it is on no panel and
// says so; the caller may show the item another way.
class StatusNotifierItem final : public PanelItem {
public:
    // The bus may be disconnected; the item is then on no panel.
    explicit StatusNotifierItem(const QDBusConnection& sessionBus);
    ~StatusNotifierItem() override;
    Q_DISABLE_COPY_MOVE(StatusNotifierItem)

    void show(const QList<QAction*>& menu, const Look& look, Hooks hooks) override;
    void setLook(const Look& look) override;
    void hide() override;

    struct Exported;

private:
    void registerWithWatcher();
    void onPanel(bool shown);

    QDBusConnection m_bus;
    const QString m_service;
    std::unique_ptr<Exported> m_exported; // while shown
    Hooks m_hooks;
    QDBusServiceWatcher m_watcher;
    // Parent of the calls in flight: destroyed with this object, they can no longer reach it.
    std::unique_ptr<QObject> m_context;
};

} // namespace vindaro
