#pragma once

#include "platform/key_poster.h"
#include "platform/stop_key.h"
#include "platform/window_focus.h"

#include <QDBusConnection>
#include <QProcessEnvironment>
#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace vindaro {

// How the agent's keys reach the desktop; chosen once, at start-up.
enum class KeyBackendKind {
    x11,             // XTest on an X desktop
    virtualKeyboard, // a wlroots compositor's virtual keyboard
    mutter,          // GNOME's remote-desktop service
    kwin,            // KWin's fake input on KDE Plasma
    portal,          // the desktop portal's remote desktop: sandboxed, or no other way in
    xwaylandOnly,    // a Wayland desktop with neither: XTest, so only X11/XWayland windows
};

struct KeyBackend {
    KeyBackendKind kind = KeyBackendKind::x11;
    std::unique_ptr<KeyPoster> poster;
    std::unique_ptr<WindowFocus> focus;
    std::unique_ptr<StopKey> stopKey;
    // For the log at start-up, in Thai: which way keys go, and on a Wayland desktop without a
    // way in, that only X11/XWayland windows will receive them (on Plasma, with what to install).
    QString startLine;
    // Sets who hears, once, on any thread, a Thai line saying that keys can no longer be posted
    // and why (the compositor left, the session was closed). The X backends say nothing here;
    // their state shows in mayPostEvents().
    std::function<void(std::function<void(const std::string& line)>)> observeLoss;
    // Sets who hears, once, on the main thread, a Thai line when keys become possible after the
    // start: the portal's session starts only once the desktop (or the user) has agreed.
    std::function<void(std::function<void(const std::string& line)>)> observeReady;
};

// The X desktop's pin and Pause key, made by the X code and plugged in here; each gets the
// X display's name. Either may be empty: then the pin is not offered and Pause waits for a
// desktop shortcut to `vindaro-agent --stop`.
struct XDesktopPieces {
    std::function<std::unique_ptr<WindowFocus>(const std::string& display)> focus;
    std::function<std::unique_ptr<StopKey>(const std::string& display)> stopKey;
};

// Where the held-key journal lives for this way of posting keys, in `agentFolder` (the one
// agent's private folder, whose fallback when the session names no XDG_RUNTIME_DIR is the lock's
// own); empty where no journal is needed. An X server, XWayland included, and KWin keep a dead
// client's keys down; sway and mutter let them go themselves. KDE's portal keeps a key down when
// its session ends, closed by the desktop or by the agent's death; its journal can only be
// released once the next run's session has started.
std::string heldKeyJournalPath(KeyBackendKind kind, const QString& agentFolder);

// Chooses by what the session offers: X when WAYLAND_DISPLAY is unset; else on Plasma
// (XDG_CURRENT_DESKTOP names KDE) KWin's fake input with its window management; else the
// compositor's virtual keyboard (with sway's focus when $SWAYSOCK answers); else mutter's service
// on the session bus; else XTest through XWayland. Main thread; may wait up to a few seconds for a
// compositor or mutter that does not answer.
KeyBackend chooseKeyBackend(const QProcessEnvironment& environment,
                            const QDBusConnection& sessionBus, const XDesktopPieces& x);

} // namespace vindaro
