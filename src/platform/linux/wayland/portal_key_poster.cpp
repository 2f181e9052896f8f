#include "portal_key_poster.h"

#include "evdev_key_codes.h"
#include "portal_signals.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <utility>

namespace vindaro {

namespace {

const QString portalService = QString::fromLatin1(portalBusName);
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString remoteDesktopInterface = QStringLiteral("org.freedesktop.portal.RemoteDesktop");

// The device types of SelectDevices and Start: 1 is the keyboard.
constexpr uint keyboardDevice = 1;
constexpr uint userRefused = 1;

const std::string readyLine = "✅ เดสก์ท็อปอนุญาตให้ส่งคีย์ผ่าน portal แล้ว: ส่งคีย์ได้ตั้งแต่นี้";
const std::string refusedLine = "ไม่ได้รับอนุญาตให้ควบคุมคีย์บอร์ดผ่าน portal จึงส่งคีย์ไม่ได้ "
                                "(เปิด Vindaro Agent ใหม่แล้วกดอนุญาต)";
const std::string failedLine = "portal ของเดสก์ท็อปเริ่มเซสชันควบคุมระยะไกลไม่ได้ จึงส่งคีย์ไม่ได้";
const std::string sessionClosedLine =
    "เดสก์ท็อปปิดเซสชันควบคุมระยะไกล (portal) ของ Vindaro Agent แล้ว จึงส่งคีย์ไม่ได้";
const std::string portalGoneLine = "บริการ xdg-desktop-portal หยุดทำงาน จึงส่งคีย์ไม่ได้";

} // namespace

std::unique_ptr<PortalKeyPoster> PortalKeyPoster::start(const QDBusConnection& bus) {
    auto codes = EvdevKeyCodes::standard();
    if (!codes || !bus.isConnected())
        return nullptr;
    // A portal whose desktop backend has no remote desktop (wlroots' own, GTK's alone) would only
    // refuse the session later, with XWayland's way still open; asking also starts the portal.
    const QDBusMessage types = QDBusConnection(bus).call(
        QDBusMessage::createMethodCall(portalService, portalPath,
                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                       QStringLiteral("Get"))
            << remoteDesktopInterface << QStringLiteral("AvailableDeviceTypes"),
        QDBus::Block, startTimeoutMs);
    if (types.type() != QDBusMessage::ReplyMessage || types.arguments().isEmpty() ||
        (types.arguments().constFirst().value<QDBusVariant>().variant().toUInt() &
         keyboardDevice) == 0)
        return nullptr;
    std::unique_ptr<PortalKeyPoster> poster(
        new PortalKeyPoster(bus, std::make_unique<EvdevKeyCodes>(std::move(*codes))));
    // A run has one session, but a token the portal saw before may still name a closing one.
    static std::atomic<int> sessions{0};
    QVariantMap options;
    options.insert(QStringLiteral("session_handle_token"),
                   QStringLiteral("vindaro%1").arg(++sessions));
    poster->ask(QStringLiteral("CreateSession"), {}, options,
                [raw = poster.get()](const QVariantMap& results) { raw->sessionMade(results); });
    return poster;
}

PortalKeyPoster::PortalKeyPoster(const QDBusConnection& bus, std::unique_ptr<EvdevKeyCodes> codes)
    : m_bus(bus)
    , m_codes(std::move(codes)) {
    auto* watcher = new QDBusServiceWatcher(portalService, m_bus,
                                            QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { lose(portalGoneLine); });
}

PortalKeyPoster::~PortalKeyPoster() {
    const QString session = sessionPath();
    if (m_open && !session.isEmpty()) {
        // No answer is awaited: the portal also ends the session when this process leaves the bus.
        m_bus.send(QDBusMessage::createMethodCall(portalService, session,
                                                  QStringLiteral("org.freedesktop.portal.Session"),
                                                  QStringLiteral("Close")));
    }
}

void PortalKeyPoster::ask(const QString& method, QVariantList arguments, QVariantMap options,
                          std::function<void(const QVariantMap&)> next) {
    // The portal names the request object after this connection and the token; listening to it
    // before calling, so that a quick answer is not missed.
    const QString token = QStringLiteral("vindaro%1").arg(++m_requests);
    QString sender = m_bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    auto* request = new PortalRequestSignals(
        portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token, m_bus, this);
    connect(request, &PortalRequestSignals::Response, this,
            [this, request, next = std::move(next)](uint response, const QVariantMap& results) {
                request->deleteLater();
                if (response != 0)
                    lose(response == userRefused ? refusedLine : failedLine);
                else if (m_open)
                    next(results);
            });
    options.insert(QStringLiteral("handle_token"), token);
    arguments << options;
    QDBusMessage call =
        QDBusMessage::createMethodCall(portalService, portalPath, remoteDesktopInterface, method);
    call.setArguments(arguments);
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call, callTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, request](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (finished->isError()) {
                    request->deleteLater();
                    lose(failedLine);
                }
            });
}

void PortalKeyPoster::sessionMade(const QVariantMap& results) {
    const QString session = results.value(QStringLiteral("session_handle")).toString();
    if (session.isEmpty())
        return lose(failedLine);
    {
        std::scoped_lock lock(m_mutex);
        m_sessionPath = session;
    }
    connect(new PortalSessionSignals(session, m_bus, this), &PortalSessionSignals::Closed, this,
            [this] { lose(sessionClosedLine); });
    QVariantMap options;
    options.insert(QStringLiteral("types"), keyboardDevice);
    ask(QStringLiteral("SelectDevices"), {QVariant::fromValue(QDBusObjectPath(session))}, options,
        [this, session](const QVariantMap&) {
            ask(QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(session)), QString()},
                {}, [this](const QVariantMap& started) { this->started(started); });
        });
}

void PortalKeyPoster::started(const QVariantMap& results) {
    // The user may grant less than was asked for.
    if ((results.value(QStringLiteral("devices")).toUInt() & keyboardDevice) == 0)
        return lose(refusedLine);
    m_ready = true;
    LineHandler handler;
    {
        std::scoped_lock lock(m_mutex);
        m_readyLine = readyLine;
        handler = m_onReady;
    }
    tell(true);
    if (handler)
        handler(readyLine);
}

bool PortalKeyPoster::mayPostEvents() {
    return m_ready && m_open;
}

bool PortalKeyPoster::postKey(VirtualKeyCode code, KeyDirection direction) {
    const auto evdev = m_codes->code(code);
    if (!evdev || !mayPostEvents())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        portalService, portalPath, remoteDesktopInterface, QStringLiteral("NotifyKeyboardKeycode"));
    call << QVariant::fromValue(QDBusObjectPath(sessionPath())) << QVariantMap()
         << static_cast<int>(*evdev) << uint{direction == KeyDirection::down ? 1U : 0U};
    // QDBusConnection may be used from any thread; Block waits without an event loop, which the
    // keyboard worker has not got.
    return m_bus.call(call, QDBus::Block, callTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

QString PortalKeyPoster::sessionPath() const {
    std::scoped_lock lock(m_mutex);
    return m_sessionPath;
}

void PortalKeyPoster::lose(const std::string& line) {
    const bool wasReady = mayPostEvents();
    m_open = false;
    LineHandler handler;
    {
        std::scoped_lock lock(m_mutex);
        if (!m_lossLine.empty())
            return;
        m_lossLine = line;
        handler = m_onLost;
    }
    if (wasReady)
        tell(false);
    if (handler)
        handler(line);
}

void PortalKeyPoster::tell(bool mayPost) {
    PermissionHandler handler;
    {
        std::scoped_lock lock(m_mutex);
        handler = m_onPermission;
    }
    if (handler)
        handler(mayPost);
}

void PortalKeyPoster::setPermissionHandler(PermissionHandler handler) {
    std::scoped_lock lock(m_mutex);
    m_onPermission = std::move(handler);
}

void PortalKeyPoster::setOnReady(LineHandler handler) {
    std::string already;
    {
        std::scoped_lock lock(m_mutex);
        m_onReady = handler;
        already = m_readyLine;
    }
    if (handler && !already.empty())
        handler(already);
}

void PortalKeyPoster::setOnLost(LineHandler handler) {
    std::string already;
    {
        std::scoped_lock lock(m_mutex);
        m_onLost = handler;
        already = m_lossLine;
    }
    if (handler && !already.empty())
        handler(already);
}

} // namespace vindaro
