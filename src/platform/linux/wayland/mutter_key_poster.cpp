#include "mutter_key_poster.h"

#include "evdev_key_codes.h"
#include "mutter_session_signals.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>

#include <utility>

namespace vindaro {

namespace {

const QString remoteDesktopService = QString::fromLatin1(MutterSessionSignals::busName);
const QString sessionInterface = QString::fromLatin1(MutterSessionSignals::interfaceName);

const std::string sessionClosedLine = "GNOME ปิดเซสชันควบคุมระยะไกลของ Vindaro Agent แล้ว จึงส่งคีย์ไม่ได้";
const std::string mutterGoneLine = "บริการควบคุมระยะไกลของ GNOME หยุดทำงาน จึงส่งคีย์ไม่ได้";

// KEY_RESERVED: a code the keymap gives no symbol, so a window that receives it types nothing.
constexpr uint keyWithoutSymbol = 0;

int timeoutMs() {
    return static_cast<int>(MutterKeyPoster::callTimeout.count());
}

QDBusMessage keycodeCall(const QString& path, uint code, bool pressed) {
    QDBusMessage call = QDBusMessage::createMethodCall(remoteDesktopService, path, sessionInterface,
                                                       QStringLiteral("NotifyKeyboardKeycode"));
    call << code << pressed;
    return call;
}

} // namespace

std::unique_ptr<MutterKeyPoster> MutterKeyPoster::start(const QDBusConnection& bus) {
    auto codes = EvdevKeyCodes::standard();
    if (!codes || !bus.isConnected())
        return nullptr;
    const QDBusMessage created = QDBusConnection(bus).call(
        QDBusMessage::createMethodCall(remoteDesktopService,
                                       QStringLiteral("/org/gnome/Mutter/RemoteDesktop"),
                                       remoteDesktopService, QStringLiteral("CreateSession")),
        QDBus::Block, timeoutMs());
    if (created.type() != QDBusMessage::ReplyMessage || created.arguments().size() != 1)
        return nullptr;
    const QString path = created.arguments().constFirst().value<QDBusObjectPath>().path();
    if (path.isEmpty())
        return nullptr;
    std::unique_ptr<MutterKeyPoster> poster(
        new MutterKeyPoster(bus, path, std::make_unique<EvdevKeyCodes>(std::move(*codes))));
    // Listening before Start, so that a session closed at once is not missed.
    const QDBusMessage started = poster->m_bus.call(
        QDBusMessage::createMethodCall(remoteDesktopService, path, sessionInterface,
                                       QStringLiteral("Start")),
        QDBus::Block, timeoutMs());
    if (started.type() != QDBusMessage::ReplyMessage || !poster->m_open)
        return nullptr;
    // Mutter makes the session's keyboard only with its first key event. On a seat that had no
    // keyboard (a headless session, a machine without one) the seat gains one at that moment,
    // and a window starts listening to it only a round trip later: the event that made the
    // keyboard is lost to it. Measured on mutter 43: without this, the first key-down of every
    // session was lost. A key without a symbol makes the keyboard now, long before the first
    // command; mutter refuses a release without its press, so both are sent.
    for (const bool pressed : {true, false}) {
        if (poster->m_bus
                .call(keycodeCall(path, keyWithoutSymbol, pressed), QDBus::Block, timeoutMs())
                .type() != QDBusMessage::ReplyMessage)
            return nullptr;
    }
    return poster;
}

MutterKeyPoster::MutterKeyPoster(const QDBusConnection& bus, QString sessionPath,
                                 std::unique_ptr<EvdevKeyCodes> codes)
    : m_bus(bus)
    , m_sessionPath(std::move(sessionPath))
    , m_codes(std::move(codes)) {
    connect(new MutterSessionSignals(m_sessionPath, m_bus, this), &MutterSessionSignals::Closed,
            this, [this] { lose(sessionClosedLine); });
    auto* watcher = new QDBusServiceWatcher(remoteDesktopService, m_bus,
                                            QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { lose(mutterGoneLine); });
}

MutterKeyPoster::~MutterKeyPoster() {
    if (m_open) {
        // No answer is awaited: mutter also ends the session when this process leaves the bus.
        m_bus.send(QDBusMessage::createMethodCall(remoteDesktopService, m_sessionPath,
                                                  sessionInterface, QStringLiteral("Stop")));
    }
}

bool MutterKeyPoster::mayPostEvents() {
    return m_open;
}

bool MutterKeyPoster::postKey(VirtualKeyCode code, KeyDirection direction) {
    const auto evdev = m_codes->code(code);
    if (!evdev || !m_open)
        return false;
    const QDBusMessage call = keycodeCall(m_sessionPath, *evdev, direction == KeyDirection::down);
    // QDBusConnection may be used from any thread; Block waits without an event loop, which the
    // keyboard worker has not got.
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, timeoutMs());
    return reply.type() == QDBusMessage::ReplyMessage;
}

void MutterKeyPoster::lose(const std::string& line) {
    m_open = false;
    LossHandler handler;
    {
        std::scoped_lock lock(m_lossMutex);
        if (!m_lossLine.empty())
            return;
        m_lossLine = line;
        handler = m_onLost;
    }
    if (handler)
        handler(line);
}

void MutterKeyPoster::setOnLost(LossHandler handler) {
    std::string alreadyLost;
    {
        std::scoped_lock lock(m_lossMutex);
        m_onLost = handler;
        alreadyLost = m_lossLine;
    }
    if (handler && !alreadyLost.empty())
        handler(alreadyLost);
}

} // namespace vindaro
