#include "key_backend.h"

#include "platform/linux/keyboard/xtest_key_poster.h"
#include "platform/linux/wayland/kwin_key_poster.h"
#include "platform/linux/wayland/kwin_window_focus.h"
#include "platform/linux/wayland/mutter_key_poster.h"
#include "platform/linux/wayland/portal_key_poster.h"
#include "platform/linux/wayland/sway_window_focus.h"
#include "platform/linux/wayland/virtual_keyboard_poster.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileInfo>

#include <optional>

namespace vindaro {

namespace {

// A Wayland client sees no keys meant for others; Pause reaches the agent through the desktop's
// own shortcut running `vindaro-agent --stop`.
class DesktopShortcutStopKey final : public StopKey {
public:
    State state() const override { return State::needsDesktopShortcut; }
    void observe(std::function<void()>) override {}
};

QString startLine(KeyBackendKind kind) {
    switch (kind) {
    case KeyBackendKind::x11:
        return QStringLiteral("⌨️ ส่งคีย์ผ่าน X11 (XTest)");
    case KeyBackendKind::virtualKeyboard:
        return QStringLiteral("⌨️ ส่งคีย์ผ่าน"
                              "คีย์บอร์ดเสมือนของ Wayland (wlroots)");
    case KeyBackendKind::mutter:
        return QStringLiteral("⌨️ ส่งคีย์ผ่าน"
                              " Remote Desktop ของ GNOME (mutter)");
    case KeyBackendKind::kwin:
        return QStringLiteral(
            "⌨️ ส่งคีย์ผ่าน fake input ของ KWin (KDE Plasma)");
    case KeyBackendKind::portal:
        return QStringLiteral(
            "⌨️ ส่งคีย์ผ่าน RemoteDesktop ของ xdg-desktop-portal: "
            "กำลังรอเดสก์ท็อปอนุญาต ถ้ามีหน้าต่างถาม "
            "ให้กดอนุญาต (ส่งคีย์ได้เมื่ออนุญาตแล้ว)");
    case KeyBackendKind::xwaylandOnly:
        break;
    }
    return QStringLiteral("⚠️ เดสก์ท็อป Wayland นี้"
                          "ไม่ให้ส่งคีย์โดยตรง จึงส่งผ่าน XTest: "
                          "เฉพาะหน้าต่าง X11/XWayland "
                          "เท่านั้นที่จะได้รับคีย์");
}

QString waylandSocket(const QProcessEnvironment& environment) {
    QString display = environment.value(QStringLiteral("WAYLAND_DISPLAY"));
    if (display.isEmpty() || QDir::isAbsolutePath(display))
        return display;
    const QString runtime = environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    return runtime.isEmpty() ? QString() : QDir(runtime).filePath(display);
}

KeyBackend xBackend(KeyBackendKind kind, const std::string& display, const XDesktopPieces& x) {
    KeyBackend backend;
    backend.kind = kind;
    backend.poster = std::make_unique<XTestKeyPoster>(display);
    if (x.focus)
        backend.focus = x.focus(display);
    // The X Pause key only sees keys while an X window has the focus; on a Wayland desktop the
    // desktop's own shortcut is the way.
    if (kind == KeyBackendKind::x11 && x.stopKey)
        backend.stopKey = x.stopKey(display);
    return backend;
}

// A backend whose poster says when it can post no more: a compositor or a session that ends.
template <class Poster>
KeyBackend postingThrough(KeyBackendKind kind, std::unique_ptr<Poster> poster) {
    KeyBackend backend;
    backend.kind = kind;
    backend.observeLoss = [lossy = poster.get()](auto handler) {
        lossy->setOnLost(std::move(handler));
    };
    backend.poster = std::move(poster);
    return backend;
}

// KWin offers its fake input only to an installed program: a desktop entry must name the running
// executable by its absolute path. Said in the same line as the fallback, with what to do.
QString kwinRefusedLine() {
    return QStringLiteral("⚠️ KWin "
                          "ไม่อนุญาตให้โปรแกรมนี้ส่งคีย์โดยตรง: "
                          "ติดตั้งด้วย cmake --install หรือแพ็กเกจ .deb "
                          "แล้วเปิดจากที่ติดตั้ง (ไม่ใช่จากโฟลเดอร์ build) — ") +
           startLine(KeyBackendKind::xwaylandOnly);
}

std::optional<KeyBackend> kwinBackend(const QProcessEnvironment& environment,
                                      const std::string& socket, bool& refused) {
    const auto desktops = environment.value(QStringLiteral("XDG_CURRENT_DESKTOP"))
                              .split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (!desktops.contains(QStringLiteral("KDE"), Qt::CaseInsensitive))
        return std::nullopt;
    auto refusal = KWinKeyPoster::Refusal::none;
    auto input = KWinKeyPoster::connect(socket, refusal);
    refused = refusal == KWinKeyPoster::Refusal::notOffered;
    if (!input)
        return std::nullopt;
    KeyBackend backend = postingThrough(KeyBackendKind::kwin, std::move(input));
    backend.focus = KWinWindowFocus::connect(socket);
    return backend;
}

// A Flatpak or an AppImage: the compositors' own ways in check the executable, which a sandbox
// hides or moves, so only the portal lets it post keys.
bool sandboxed(const QProcessEnvironment& environment) {
    return QFileInfo::exists(QStringLiteral("/.flatpak-info")) ||
           !environment.value(QStringLiteral("APPIMAGE")).isEmpty();
}

std::optional<KeyBackend> portalBackend(const QDBusConnection& bus) {
    const QString portal = QStringLiteral("org.freedesktop.portal.Desktop");
    QDBusConnectionInterface* daemon = bus.isConnected() ? bus.interface() : nullptr;
    if (daemon == nullptr || (!daemon->isServiceRegistered(portal) &&
                              !daemon->activatableServiceNames().value().contains(portal)))
        return std::nullopt;
    auto started = PortalKeyPoster::start(bus);
    if (!started)
        return std::nullopt;
    auto* poster = started.get();
    KeyBackend backend = postingThrough(KeyBackendKind::portal, std::move(started));
    backend.observeReady = [poster](auto handler) { poster->setOnReady(std::move(handler)); };
    return backend;
}

KeyBackend withDefaults(KeyBackend backend) {
    if (backend.startLine.isEmpty())
        backend.startLine = startLine(backend.kind);
    if (!backend.focus)
        backend.focus = std::make_unique<UnknownWindowFocus>();
    if (!backend.stopKey)
        backend.stopKey = std::make_unique<DesktopShortcutStopKey>();
    if (!backend.observeLoss)
        backend.observeLoss = [](auto) {};
    if (!backend.observeReady)
        backend.observeReady = [](auto) {};
    return backend;
}

} // namespace

std::string heldKeyJournalPath(KeyBackendKind kind, const QString& agentFolder) {
    if (kind != KeyBackendKind::x11 && kind != KeyBackendKind::xwaylandOnly &&
        kind != KeyBackendKind::kwin && kind != KeyBackendKind::portal)
        return {};
    return QDir(agentFolder).filePath(QStringLiteral("held-keys")).toStdString();
}

KeyBackend chooseKeyBackend(const QProcessEnvironment& environment,
                            const QDBusConnection& sessionBus, const XDesktopPieces& x) {
    const std::string xDisplay = environment.value(QStringLiteral("DISPLAY")).toStdString();
    if (environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
        return withDefaults(xBackend(KeyBackendKind::x11, xDisplay, x));
    if (sandboxed(environment)) {
        if (auto portal = portalBackend(sessionBus))
            return withDefaults(std::move(*portal));
    }
    KeyBackend backend;
    const QString socket = waylandSocket(environment);
    bool kwinRefused = false;
    if (auto kwin = socket.isEmpty() ? std::nullopt
                                     : kwinBackend(environment, socket.toStdString(), kwinRefused))
        return withDefaults(std::move(*kwin));
    if (auto keyboard =
            socket.isEmpty() ? nullptr : VirtualKeyboardPoster::connect(socket.toStdString())) {
        backend = postingThrough(KeyBackendKind::virtualKeyboard, std::move(keyboard));
        const QString sway = environment.value(QStringLiteral("SWAYSOCK"));
        if (!sway.isEmpty())
            backend.focus = SwayWindowFocus::connect(sway.toStdString());
    } else if (sessionBus.isConnected() && sessionBus.interface() != nullptr &&
               sessionBus.interface()->isServiceRegistered(
                   QStringLiteral("org.gnome.Mutter.RemoteDesktop"))) {
        if (auto mutter = MutterKeyPoster::start(sessionBus))
            backend = postingThrough(KeyBackendKind::mutter, std::move(mutter));
    }
    if (!backend.poster) {
        if (auto portal = portalBackend(sessionBus))
            return withDefaults(std::move(*portal));
        backend = xBackend(KeyBackendKind::xwaylandOnly, xDisplay, x);
        if (kwinRefused)
            backend.startLine = kwinRefusedLine();
    }
    return withDefaults(std::move(backend));
}

} // namespace vindaro
