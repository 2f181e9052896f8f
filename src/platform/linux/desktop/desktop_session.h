#pragma once

#include <QProcessEnvironment>

namespace vindaro {

// Whether the window can open at all: a Wayland compositor or an X server answers. Qt itself
// would abort the process when neither does, which on a server or over plain SSH reads like a
// crash. A platform chosen by hand (QT_QPA_PLATFORM, say offscreen) is left to Qt.
bool desktopSessionReachable(const QProcessEnvironment& environment);

} // namespace vindaro
