#include "agent_app_delegate.h"

#include "keyboard/key_map.h"
#include "model/agent_error.h"
#include "model/text_rules.h"
#include "pairing/keychain_error.h"
#include "platform/clipboard.h"
#include "platform/key_poster.h"
#include "platform/settings_opener.h"
#include "platform/workspace_notifications.h"

#include <QPointer>

#include <algorithm>

namespace vindaro {

namespace {

constexpr int minPressCount = 1;
constexpr int maxPressCount = 20;
constexpr int defaultPressCount = 1;
constexpr int minHoldMs = 20;
constexpr int maxHoldMs = 3000;
constexpr int defaultHoldMs = 80;
const char* const defaultSource = "Vindaro event";
const char* const testKeyName = "SPACE";
const char* const testSource = "ทดสอบจาก Agent";

int clamped(const std::optional<qint64>& value, int low, int high, int absent) {
    if (!value)
        return absent;
    return static_cast<int>(std::clamp<qint64>(*value, low, high));
}

} // namespace

AgentAppDelegate::AgentAppDelegate(AgentPlatform platform)
    : AgentAppDelegate(platform, Options{}) {}

AgentAppDelegate::AgentAppDelegate(AgentPlatform platform, Options options)
    : m_platform(platform)
    , m_client(std::move(options.relayTiming))
    , m_pairingClient(std::move(options.pairing))
    , m_keyboard(platform.keyPoster)
    , m_keychain(platform.secrets)
    , m_sessions(m_keychain, platform.defaults)
    , m_legacyPairings(m_keychain, platform.defaults)
    , m_identity(m_keychain) {}

AgentAppDelegate::~AgentAppDelegate() {
    // Nothing may reach this controller once it starts going: the executor's worker stops
    // calling the sink before setOnLog returns, and the client and the desktop stop reporting.
    m_keyboard.setOnLog({});
    m_client.setDelegate(nullptr);
    m_platform.workspace.observe({});
}

void AgentAppDelegate::applicationDidFinishLaunching(AgentView& view) {
    m_view = &view;
    updateControls();
    m_client.setDelegate(this);

    // The executor logs on its worker thread; the line is handed to the main thread, where the
    // window lives, and dropped if the controller has gone by then.
    m_keyboard.setOnLog([context = QPointer<QObject>(&m_context), this](const std::string& line) {
        if (QObject* target = context.data())
            QMetaObject::invokeMethod(
                target, [this, text = QString::fromStdString(line)] { appendLog(text); },
                Qt::QueuedConnection);
    });

    if (std::optional<AgentSession> session = m_sessions.load()) {
        m_currentSession = std::move(session);
        appendLog(QStringLiteral("พบการจับคู่เครื่องนี้แล้ว กดเชื่อมต่อเพื่อใช้งานต่อ"));
    } else if (std::optional<AgentPairing> pairing = m_legacyPairings.load()) {
        m_currentPairing = std::move(pairing);
        appendLog(QStringLiteral("พบข้อมูล Agent รุ่นเดิมของห้อง ") + m_currentPairing->room());
    }

    m_platform.workspace.observe(
        {[this] { workspaceWillSleep(); }, [this] { sessionDidResign(); }});
    refreshPermission();
}

void AgentAppDelegate::applicationDidBecomeActive() {
    refreshPermission();
}

void AgentAppDelegate::applicationWillTerminate() {
    m_isArmed = false;
    m_keyboard.cancelAll();
    // The abandoned pairing still answers, with its cancellation; it must not raise an alert
    // while the agent is quitting.
    m_isPairing = false;
    m_pairingClient.cancel();
    m_client.disconnect(false);
}

void AgentAppDelegate::workspaceWillSleep() {
    disarm();
    appendLog(QStringLiteral("Mac กำลังพัก — ปล่อยปุ่มทั้งหมดแล้ว"));
    updateControls();
}

void AgentAppDelegate::sessionDidResign() {
    disarm();
    appendLog(QStringLiteral("หน้าจอถูกล็อก — พักรับคำสั่งอัตโนมัติ"));
    updateControls();
}

void AgentAppDelegate::connect(const AgentSession& session) {
    openRelay(session.socketURL(),
              QStringLiteral("กำลังเชื่อม Session ") + session.sessionId() + QStringLiteral("…"),
              session.token());
}

void AgentAppDelegate::connect(const AgentPairing& pairing) {
    // The legacy URL carries its credentials in its query.
    openRelay(pairing.socketURL(),
              QStringLiteral("กำลังเชื่อมห้องรุ่นเดิม ") + pairing.room() + QStringLiteral("…"),
              std::nullopt);
}

void AgentAppDelegate::openRelay(const std::optional<QUrl>& url, const QString& logLine,
                                 const std::optional<QString>& bearerToken) {
    if (!url) {
        show(AgentError::invalidServer().description());
        return;
    }
    // Connecting arms the agent: commands are pressed as soon as the socket is open.
    m_isArmed = true;
    updateControls();
    appendLog(logLine);
    m_client.connectTo(*url, bearerToken);
}

void AgentAppDelegate::refreshPermission() {
    const bool granted = m_platform.keyPoster.mayPostEvents();
    if (m_view) {
        if (granted)
            m_view->setPermissionLine(
                QStringLiteral("🟢 Accessibility พร้อมใช้งาน"),
                StatusColor::green);
        else
            m_view->setPermissionLine(QStringLiteral("🔴 ต้องอนุญาต Accessibility ก่อน"),
                                      StatusColor::red);
        m_view->setTestEnabled(granted);
    }
}

void AgentAppDelegate::updateControls() {
    if (!m_view)
        return;
    m_view->setConnectEnabled(!m_isConnected && !m_isPairing);
    m_view->setPauseEnabled(m_isConnected);
    m_view->setStopEnabled(m_isConnected || m_isPairing);
    m_view->setPauseTitle(m_isArmed ? QStringLiteral("พักรับคำสั่ง") : QStringLiteral("พร้อมเล่นต่อ"));
    if (m_isArmed)
        m_view->setActivityLine(QStringLiteral("🎮 พร้อมกดคีย์ — คลิกกลับเข้าเกม"), StatusColor::green);
    else
        m_view->setActivityLine(
            QStringLiteral("⏸️ ยังไม่ส่งคีย์เข้าเกม"),
            StatusColor::secondary);
}

void AgentAppDelegate::connectTapped() {
    if (!obtainPermission()) {
        openAccessibilitySettings();
        appendLog(QStringLiteral("ยังไม่ได้รับสิทธิ์ Accessibility"));
        return;
    }
    const QString text = trimmedText(m_view ? m_view->inputText() : QString());
    if (isValidPairingCode(text))
        startPairing(text);
    else if (text.contains(u'|'))
        connectLegacy(text);
    else if (text.isEmpty() && m_currentSession)
        connect(*m_currentSession);
    else if (text.isEmpty() && m_currentPairing)
        connect(*m_currentPairing);
    else
        show(AgentError::invalidPairingCode().description());
}

void AgentAppDelegate::startPairing(const QString& code) {
    QString installId;
    try {
        installId = m_identity.loadOrCreate();
    } catch (const KeychainError& error) {
        show(error.description());
        return;
    }
    m_isPairing = true;
    const quint64 attempt = ++m_pairingAttempt;
    setConnectionLine(
        QStringLiteral("🟡 กำลังจับคู่เครื่อง…"),
        StatusColor::orange);
    updateControls();
    appendLog(QStringLiteral("กำลังตรวจสอบรหัสจับคู่ 6 หลัก…"));
    m_pairingClient.pair(
        code, installId,
        [context = QPointer<QObject>(&m_context), this, attempt](const PairingResult& result) {
            if (context && attempt == m_pairingAttempt)
                pairingFinished(result);
        });
}

void AgentAppDelegate::pairingFinished(const PairingResult& result) {
    // Stop and clear abandon the pairing in flight; its answer, whatever it says, changes nothing.
    if (!m_isPairing)
        return;
    m_isPairing = false;

    if (const AgentSession* session = result.session()) {
        try {
            m_sessions.save(*session);
        } catch (const KeychainError& error) {
            setConnectionLine(QStringLiteral("🔴 จับคู่ไม่สำเร็จ"), StatusColor::red);
            updateControls();
            show(error.description());
            return;
        }
        m_legacyPairings.clear();
        m_currentSession = *session;
        m_currentPairing.reset();
        if (m_view)
            m_view->setInputText(QString());
        appendLog(QStringLiteral("จับคู่เครื่องสำเร็จ — Token ถูกเก็บใน Keychain"));
        connect(*session);
        return;
    }

    setConnectionLine(QStringLiteral("🔴 จับคู่ไม่สำเร็จ"), StatusColor::red);
    updateControls();
    appendLog(result.errorDescription());
    show(result.errorDescription());
}

void AgentAppDelegate::connectLegacy(const QString& bundle) {
    try {
        const AgentPairing pairing = AgentPairing::fromBundle(bundle);
        m_legacyPairings.save(pairing);
        m_sessions.clear();
        m_currentPairing = pairing;
        m_currentSession.reset();
    } catch (const AgentError& error) {
        show(error.description());
        return;
    } catch (const KeychainError& error) {
        show(error.description());
        return;
    }
    if (m_view)
        m_view->setInputText(QString());
    appendLog(QStringLiteral("ใช้ข้อมูล Agent รุ่นเดิม — Token ถูกซ่อนจากหน้าจอ"));
    connect(*m_currentPairing);
}

void AgentAppDelegate::pauseTapped() {
    if (!m_isConnected)
        return;
    m_isArmed = !m_isArmed;
    if (m_isArmed) {
        appendLog(QStringLiteral("พร้อมรับคำสั่ง — คลิกกลับเข้าเกมได้เลย"));
    } else {
        m_keyboard.cancelAll();
        appendLog(QStringLiteral("พักรับคำสั่งแล้ว"));
    }
    updateControls();
}

void AgentAppDelegate::stopTapped() {
    m_isPairing = false;
    m_pairingClient.cancel();
    m_isArmed = false;
    m_isConnected = false;
    m_keyboard.cancelAll();
    // Reports "หยุดการเชื่อมต่อแล้ว" before it returns, so that line comes first.
    m_client.disconnect(true);
    appendLog(QStringLiteral("หยุด Agent แล้ว"));
    updateControls();
}

void AgentAppDelegate::testSpaceTapped() {
    if (!obtainPermission()) {
        openAccessibilitySettings();
        return;
    }
    const std::optional<KeyMapEntry> space = KeyMap::code(QString::fromLatin1(testKeyName));
    if (!space)
        return;
    if (!m_keyboard.enqueue(testKeyName, space->code, 1, defaultHoldMs, testSource))
        appendLog(QStringLiteral("คิวเต็ม กรุณากดหยุดแล้วลองใหม่"));
}

void AgentAppDelegate::requestPermissionTapped() {
    refreshPermission();
    if (!m_platform.keyPoster.mayPostEvents())
        openAccessibilitySettings();
}

void AgentAppDelegate::openSettingsTapped() {
    openAccessibilitySettings();
}

void AgentAppDelegate::pasteTapped() {
    const std::optional<QString> text = m_platform.clipboard.plainText();
    if (!text || text->isEmpty() || !m_view)
        return;
    m_view->setInputText(trimmedText(*text));
}

void AgentAppDelegate::clearTapped() {
    stopTapped();
    m_sessions.clear();
    m_legacyPairings.clear();
    m_currentSession.reset();
    m_currentPairing.reset();
    if (m_view)
        m_view->setInputText(QString());
    appendLog(QStringLiteral("ล้างการจับคู่และ Token จาก Keychain แล้ว (คงรหัสติดตั้งเครื่องไว้)"));
}

void AgentAppDelegate::webSocketClientConnecting(WebSocketClient&) noexcept {
    setConnectionLine(QStringLiteral("🟡 กำลังเชื่อมต่อ…"),
                      StatusColor::orange);
    updateControls();
}

void AgentAppDelegate::webSocketClientConnected(WebSocketClient&) noexcept {
    m_isConnected = true;
    setConnectionLine(QStringLiteral("🟢 เชื่อม Vindaro แล้ว"),
                      StatusColor::green);
    appendLog(QStringLiteral("เชื่อมต่อสำเร็จ — เปิดเกมและคลิกให้เกมเป็นหน้าต่างหลัก"));
    updateControls();
}

void AgentAppDelegate::webSocketClientDisconnected(WebSocketClient&, const QString& message,
                                                   bool willReconnect) noexcept {
    m_isConnected = false;
    // Nothing queued outlives a lost connection, and no key stays held. The agent stays armed:
    // after an automatic reconnection it goes on pressing keys without the user's action.
    m_keyboard.cancelAll();
    if (willReconnect)
        setConnectionLine(QStringLiteral("🟡 หลุดชั่วคราว "
                                         "กำลังเชื่อมใหม่…"),
                          StatusColor::orange);
    else
        setConnectionLine(QStringLiteral("🔴 ยังไม่เชื่อมต่อ"), StatusColor::red);
    appendLog(willReconnect ? message + QStringLiteral(" — จะลองใหม่อัตโนมัติ") : message);
    updateControls();
}

void AgentAppDelegate::webSocketClientWaitingForNetwork(WebSocketClient&,
                                                        const QString& message) noexcept {
    appendLog(message);
}

void AgentAppDelegate::webSocketClientReceived(WebSocketClient&,
                                               const KeyCommand& command) noexcept {
    if (!m_isArmed) {
        appendLog(QStringLiteral("พักอยู่ จึงข้ามคำสั่ง ") +
                  trimmedText(command.key.value_or(QString())).toUpper());
        return;
    }
    if (!m_platform.keyPoster.mayPostEvents()) {
        disarm();
        refreshPermission();
        appendLog(QStringLiteral("สิทธิ์ Accessibility ถูกปิด จึงหยุดรับคำสั่ง"));
        updateControls();
        return;
    }
    const std::optional<KeyMapEntry> key = KeyMap::code(command.key);
    if (!key) {
        appendLog(QStringLiteral("ข้ามปุ่มที่ไม่รองรับ: ") +
                  trimmedText(command.key.value_or(QString())).toUpper());
        return;
    }
    const int count = clamped(command.pressCount, minPressCount, maxPressCount, defaultPressCount);
    const int holdMs = clamped(command.holdMs, minHoldMs, maxHoldMs, defaultHoldMs);
    const std::string source = command.source && !command.source->isEmpty()
                                   ? command.source->toStdString()
                                   : std::string(defaultSource);
    if (!m_keyboard.enqueue(key->name.toStdString(), key->code, count, holdMs, source))
        appendLog(QStringLiteral("คิวคำสั่งเต็ม — ข้าม ") + key->name);
}

void AgentAppDelegate::openAccessibilitySettings() {
    // When nothing can be opened there is nowhere else to send the user; the permission line
    // already says what is missing.
    static_cast<void>(m_platform.settings.openAccessibilitySettings());
}

bool AgentAppDelegate::obtainPermission() {
    if (m_platform.keyPoster.mayPostEvents())
        return true;
    // This desktop has no prompt to raise: the permission is the X display with XTEST, so
    // asking for it is looking again.
    refreshPermission();
    return m_platform.keyPoster.mayPostEvents();
}

void AgentAppDelegate::disarm() {
    m_isArmed = false;
    m_keyboard.cancelAll();
}

void AgentAppDelegate::show(const QString& description) {
    if (m_view)
        m_view->showAlert(description);
}

void AgentAppDelegate::appendLog(const QString& message) {
    if (m_view)
        m_view->appendLog(message);
}

void AgentAppDelegate::setConnectionLine(const QString& text, StatusColor color) {
    if (m_view)
        m_view->setConnectionLine(text, color);
}

} // namespace vindaro
