#include "screen_saver_listener.h"

namespace vindaro {

ScreenSaverListener::ScreenSaverListener(const QDBusConnection& sessionBus, QObject* parent)
    : QObject(parent) {
    if (!sessionBus.isConnected())
        return;
    // Naming the service makes Qt deliver only what the owner of the name sends. Any object
    // path: desktops publish the same screen saver under more than one.
    QDBusConnection bus = sessionBus;
    for (const QString& name :
         {QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("org.gnome.ScreenSaver")})
        bus.connect(name, QString(), name, QStringLiteral("ActiveChanged"), this,
                    SLOT(onActiveChanged(bool)));
}

void ScreenSaverListener::onActiveChanged(bool active) {
    if (active)
        Q_EMIT activated();
    else
        Q_EMIT deactivated();
}

} // namespace vindaro
