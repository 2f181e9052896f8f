#include "desktop_session.h"

#include <wayland-client.h>
#include <xcb/xcb.h>

namespace vindaro {

bool desktopSessionReachable(const QProcessEnvironment& environment) {
    if (!environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty())
        return true;
    const QByteArray wayland = environment.value(QStringLiteral("WAYLAND_DISPLAY")).toLocal8Bit();
    if (!wayland.isEmpty()) {
        if (wl_display* display = wl_display_connect(wayland.constData())) {
            wl_display_disconnect(display);
            return true;
        }
    }
    const QByteArray x = environment.value(QStringLiteral("DISPLAY")).toLocal8Bit();
    if (x.isEmpty())
        return false;
    xcb_connection_t* connection = xcb_connect(x.constData(), nullptr);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reachable;
}

} // namespace vindaro
