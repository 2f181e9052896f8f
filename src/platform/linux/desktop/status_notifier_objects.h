#pragma once

// The two D-Bus objects behind the panel item, kept apart so that they can be registered with
// QtDBus, which reads their slots, signals and properties through moc.

#include "platform/panel_item.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QObject>
#include <QPointer>

#include <functional>
#include <vector>

namespace vindaro::sni {

// The wire types of the two interfaces.
struct IconPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb; // 32-bit ARGB, each pixel in network byte order
};
using IconPixmaps = QList<IconPixmap>;

struct ToolTip {
    QString iconName;
    IconPixmaps pixmaps;
    QString title;
    QString text;
};

struct MenuLayout {
    int id = 0;
    QVariantMap properties;
    std::vector<MenuLayout> children;
};

struct MenuItemProperties {
    int id = 0;
    QVariantMap properties;
};
using MenuItemPropertiesList = QList<MenuItemProperties>;

QDBusArgument& operator<<(QDBusArgument& argument, const IconPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, IconPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const ToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& argument, ToolTip& tip);
QDBusArgument& operator<<(QDBusArgument& argument, const MenuLayout& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, MenuLayout& item);
QDBusArgument& operator<<(QDBusArgument& argument, const MenuItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, MenuItemProperties& item);

// Where the item's menu is on the bus.
inline const QString menuPath = QStringLiteral("/MenuBar");

// The icon at the sizes panels draw, as the wire wants it.
IconPixmaps pixmapsOf(const QIcon& icon);
QString statusName(PanelItem::Status status);

// The D-Bus types in these two classes' slots and properties are spelled out in full: QtDBus finds
// each by the name moc records.

// What the panel reads: the item's face.
class ItemObject final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ none)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(QList<vindaro::sni::IconPixmap> IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(QList<vindaro::sni::IconPixmap> OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ iconName)
    Q_PROPERTY(QList<vindaro::sni::IconPixmap> AttentionIconPixmap READ iconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(vindaro::sni::ToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    std::function<void()> activated;

    void setLook(const PanelItem::Look& look) {
        const QString status = statusName(look.status);
        if (status != m_status) {
            m_status = status;
            Q_EMIT NewStatus(m_status);
        }
        if (look.icon.cacheKey() != m_icon.cacheKey()) {
            m_icon = look.icon;
            m_pixmaps = pixmapsOf(look.icon);
            Q_EMIT NewIcon();
            Q_EMIT NewAttentionIcon();
        }
        if (look.toolTip != m_toolTip) {
            m_toolTip = look.toolTip;
            Q_EMIT NewToolTip();
        }
    }

    static QString category() { return QStringLiteral("ApplicationStatus"); }
    static QString id() { return QCoreApplication::applicationName(); }
    static QString title() { return QStringLiteral("Vindaro Agent"); }
    QString status() const { return m_status; }
    static int windowId() { return 0; }
    static QString none() { return {}; }
    QString iconName() const { return m_icon.name(); }
    IconPixmaps iconPixmap() const { return m_pixmaps; }
    static IconPixmaps noPixmaps() { return {}; }
    // The whole tip as its title, which is what panels show first.
    ToolTip toolTip() const { return {m_icon.name(), m_pixmaps, m_toolTip, {}}; }
    static bool itemIsMenu() { return false; }
    static QDBusObjectPath menu() { return QDBusObjectPath(menuPath); }

public Q_SLOTS:
    void Activate(int /*x*/, int /*y*/) {
        if (activated)
            activated();
    }
    void SecondaryActivate(int /*x*/, int /*y*/) {}
    void ContextMenu(int /*x*/, int /*y*/) {} // the panel shows the menu from Menu
    void Scroll(int /*delta*/, const QString& /*orientation*/) {}

Q_SIGNALS:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    QString m_status = QStringLiteral("Active");
    QIcon m_icon;
    IconPixmaps m_pixmaps;
    QString m_toolTip;
};

// The item's menu: the actions, in order, with ids from 1; 0 is the menu itself.
class MenuObject final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    explicit MenuObject(const QList<QAction*>& actions) {
        for (QAction* action : actions) {
            m_actions << action;
            // Each change of a label or of enabled goes to the panel as a new layout.
            connect(action, &QAction::changed, this,
                    [this] { Q_EMIT LayoutUpdated(++m_revision, 0); });
        }
    }

    static uint version() { return 3; }
    static QString textDirection() { return QStringLiteral("ltr"); }
    static QString status() { return QStringLiteral("normal"); }
    static QStringList iconThemePath() { return {}; }

public Q_SLOTS:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   vindaro::sni::MenuLayout& layout) {
        layout = {parentId, properties(parentId, propertyNames), {}};
        if (parentId == 0 && recursionDepth != 0)
            for (int id = 1; id <= m_actions.size(); ++id)
                layout.children.push_back({id, properties(id, propertyNames), {}});
        return m_revision;
    }

    QList<vindaro::sni::MenuItemProperties> GetGroupProperties(const QList<int>& ids,
                                                               const QStringList& propertyNames) {
        MenuItemPropertiesList items;
        for (const int id : ids)
            if (id >= 0 && id <= m_actions.size())
                items << MenuItemProperties{id, properties(id, propertyNames)};
        return items;
    }

    QDBusVariant GetProperty(int id, const QString& name) {
        return QDBusVariant(properties(id, {name}).value(name));
    }

    void Event(int id, const QString& eventId, const QDBusVariant& /*data*/, uint /*time*/) {
        QAction* action = actionOf(id);
        // After the reply: quitting, say, must not end the call half-way.
        if (action != nullptr && eventId == QLatin1String("clicked") && action->isEnabled())
            QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    }

    static bool AboutToShow(int /*id*/) { return false; }

Q_SIGNALS:
    void LayoutUpdated(uint revision, int parent);

private:
    QAction* actionOf(int id) const {
        return id >= 1 && id <= m_actions.size() ? m_actions[id - 1].data() : nullptr;
    }

    QVariantMap properties(int id, const QStringList& wanted) const {
        QVariantMap all;
        if (id == 0) {
            all[QStringLiteral("children-display")] = QStringLiteral("submenu");
        } else if (const QAction* action = actionOf(id); action == nullptr) {
            return {};
        } else if (action->isSeparator()) {
            all[QStringLiteral("type")] = QStringLiteral("separator");
        } else {
            // An underscore marks the access key; a plain one is written twice.
            all[QStringLiteral("label")] =
                QString(action->text()).replace(u'_', QStringLiteral("__"));
            all[QStringLiteral("enabled")] = action->isEnabled();
            all[QStringLiteral("visible")] = action->isVisible();
        }
        if (wanted.isEmpty())
            return all;
        QVariantMap some;
        for (const QString& name : wanted)
            if (all.contains(name))
                some[name] = all[name];
        return some;
    }

    QList<QPointer<QAction>> m_actions;
    uint m_revision = 1;
};

} // namespace vindaro::sni
