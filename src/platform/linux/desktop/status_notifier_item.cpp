#include "status_notifier_item.h"

#include "status_notifier_objects.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QImage>
#include <QtEndian>

namespace vindaro::sni {

QDBusArgument& operator<<(QDBusArgument& argument, const IconPixmap& pixmap) {
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.argb;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, IconPixmap& pixmap) {
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.argb;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const ToolTip& tip) {
    argument.beginStructure();
    argument << tip.iconName << tip.pixmaps << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ToolTip& tip) {
    argument.beginStructure();
    argument >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const MenuLayout& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const MenuLayout& child : item.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, MenuLayout& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.beginArray();
    item.children.clear();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        item.children.push_back(qdbus_cast<MenuLayout>(child.variant()));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const MenuItemProperties& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, MenuItemProperties& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");
constexpr int callTimeoutMs = 5000;

} // namespace

IconPixmaps pixmapsOf(const QIcon& icon) {
    IconPixmaps pixmaps;
    for (const int size : {16, 22, 32, 48}) {
        const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            continue;
        IconPixmap pixmap{image.width(), image.height(), {}};
        pixmap.argb.resize(static_cast<qsizetype>(image.width()) * image.height() * 4);
        auto* out = reinterpret_cast<uchar*>(pixmap.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, out += 4)
                qToBigEndian(line[x], out);
        }
        pixmaps << pixmap;
    }
    return pixmaps;
}

QString statusName(PanelItem::Status status) {
    switch (status) {
    case PanelItem::Status::passive:
        return QStringLiteral("Passive");
    case PanelItem::Status::active:
        break;
    case PanelItem::Status::needsAttention:
        return QStringLiteral("NeedsAttention");
    }
    return QStringLiteral("Active");
}

} // namespace vindaro::sni

namespace vindaro {

using sni::callTimeoutMs;
using sni::itemPath;
using sni::menuPath;
using sni::watcherService;

struct StatusNotifierItem::Exported {
    explicit Exported(const QList<QAction*>& actions)
        : menu(actions) {}

    sni::ItemObject item;
    sni::MenuObject menu;
};

StatusNotifierItem::StatusNotifierItem(const QDBusConnection& sessionBus)
    : m_bus(sessionBus)
    , m_service(
          QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid()))
    , m_watcher(watcherService, sessionBus, QDBusServiceWatcher::WatchForOwnerChange) {
    static const bool registered = [] {
        qDBusRegisterMetaType<sni::IconPixmap>();
        qDBusRegisterMetaType<sni::IconPixmaps>();
        qDBusRegisterMetaType<sni::ToolTip>();
        qDBusRegisterMetaType<sni::MenuLayout>();
        qDBusRegisterMetaType<sni::MenuItemProperties>();
        qDBusRegisterMetaType<sni::MenuItemPropertiesList>();
        return true;
    }();
    Q_UNUSED(registered);
    // A panel started or restarted after the item shows it too; one that goes takes it along.
    QObject::connect(&m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, &m_watcher,
                     [this](const QString&, const QString&, const QString& newOwner) {
                         if (!m_exported)
                             return;
                         if (newOwner.isEmpty())
                             onPanel(false);
                         else
                             registerWithWatcher();
                     });
}

StatusNotifierItem::~StatusNotifierItem() {
    hide();
}

void StatusNotifierItem::show(const QList<QAction*>& menu, const Look& look, Hooks hooks) {
    hide();
    m_hooks = std::move(hooks);
    m_exported = std::make_unique<Exported>(menu);
    m_exported->item.activated = m_hooks.activated;
    m_exported->item.setLook(look);
    const auto contents = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                          QDBusConnection::ExportAllProperties;
    if (!m_bus.isConnected() || !m_bus.registerObject(itemPath, &m_exported->item, contents) ||
        !m_bus.registerObject(menuPath, &m_exported->menu, contents) ||
        !m_bus.registerService(m_service)) {
        onPanel(false);
        return;
    }
    registerWithWatcher();
}

void StatusNotifierItem::setLook(const Look& look) {
    if (m_exported)
        m_exported->item.setLook(look);
}

void StatusNotifierItem::hide() {
    m_context.reset(); // an answer still on its way no longer counts
    m_hooks = {};
    if (!m_exported)
        return;
    // The watcher sees the name go and takes the item off the panel.
    m_bus.unregisterService(m_service);
    m_bus.unregisterObject(menuPath);
    m_bus.unregisterObject(itemPath);
    m_exported.reset();
}

void StatusNotifierItem::registerWithWatcher() {
    if (!m_context)
        m_context = std::make_unique<QObject>();
    QDBusMessage call = QDBusMessage::createMethodCall(
        watcherService, QStringLiteral("/StatusNotifierWatcher"), watcherService,
        QStringLiteral("RegisterStatusNotifierItem"));
    call << m_service;
    auto* pending =
        new QDBusPendingCallWatcher(m_bus.asyncCall(call, callTimeoutMs), m_context.get());
    QObject::connect(pending, &QDBusPendingCallWatcher::finished, m_context.get(),
                     [this](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         onPanel(!finished->isError());
                     });
}

void StatusNotifierItem::onPanel(bool shown) {
    if (m_hooks.onPanelChanged)
        m_hooks.onPanelChanged(shown);
}

} // namespace vindaro
