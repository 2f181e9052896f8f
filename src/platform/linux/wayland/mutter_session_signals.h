#pragma once

#include <QDBusAbstractInterface>

namespace vindaro {

// Mutter's remote-desktop session on the bus, declared only for its Closed signal, so that the
// signal can be connected like any Qt signal.
class MutterSessionSignals final : public QDBusAbstractInterface {
    Q_OBJECT

public:
    static constexpr const char* busName = "org.gnome.Mutter.RemoteDesktop";
    static constexpr const char* interfaceName = "org.gnome.Mutter.RemoteDesktop.Session";

    MutterSessionSignals(const QString& path, const QDBusConnection& bus, QObject* parent)
        : QDBusAbstractInterface(QString::fromLatin1(busName), path, interfaceName, bus, parent) {}

Q_SIGNALS:
    // Mutter ended the session: the user stopped sharing, or another client took over.
    void Closed();
};

} // namespace vindaro
