#pragma once

#include <QDBusConnection>
#include <QObject>

namespace vindaro {

// Listens on the session bus for the screen saver turning on and off, from whichever desktop
// provides it: org.freedesktop.ScreenSaver (KDE, Xfce and others) or org.gnome.ScreenSaver.
// Only signals sent by the owner of those names count. Without a bus or a screen saver, no
// signal ever comes.
class ScreenSaverListener : public QObject {
    Q_OBJECT

public:
    explicit ScreenSaverListener(const QDBusConnection& sessionBus, QObject* parent = nullptr);

Q_SIGNALS:
    void activated();
    void deactivated();

private Q_SLOTS:
    void onActiveChanged(bool active);
};

} // namespace vindaro
