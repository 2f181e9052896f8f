#include "agent_error.h"

#include "constants.h"

namespace vindaro {

namespace {

QString pairingFailedMessage(int status) {
    switch (status) {
    case 400:
    case 404:
        return QStringLiteral("รหัสจับคู่ไม่ถูกต้องหรือหมดอายุ กรุณาสร้างรหัสใหม่บนหน้า Vindaro");
    case 409:
        return QStringLiteral("รหัสจับคู่นี้ถูกใช้งานแล้ว กรุณาสร้างรหัสใหม่");
    case 429:
        return QStringLiteral("ลองจับคู่ถี่เกินไป กรุณารอสักครู่แล้วลองใหม่");
    default:
        return QStringLiteral("เซิร์ฟเวอร์ไม่สามารถจับคู่ Agent ได้ (รหัส ") + QString::number(status) +
               QLatin1Char(')');
    }
}

QString messageFor(AgentError::Kind kind, int status, const QString& key) {
    using Kind = AgentError::Kind;
    switch (kind) {
    case Kind::pairingFailed:
        return pairingFailedMessage(status);
    case Kind::unsupportedKey:
        return QStringLiteral("ไม่รองรับปุ่ม ") + key;
    case Kind::invalidBundle:
        return QStringLiteral("ข้อมูล Agent รุ่นเดิมไม่ถูกต้อง กรุณาคัดลอกจากหน้า Vindaro ใหม่");
    case Kind::invalidPairingCode:
        return QStringLiteral("กรุณากรอกรหัสจับคู่ตัวเลข 6 หลักจากหน้า Vindaro");
    case Kind::invalidPairingResponse:
        return QStringLiteral("ข้อมูลตอบกลับจากเซิร์ฟเวอร์ไม่ถูกต้อง กรุณาลองสร้างรหัสจับคู่ใหม่");
    case Kind::unsupportedProtocol:
        return QStringLiteral("โปรโตคอลของ Agent และเว็บไซต์ไม่ตรงกัน กรุณาอัปเดต Agent");
    case Kind::invalidServer:
        return QStringLiteral("ที่อยู่เซิร์ฟเวอร์ไม่ถูกต้อง");
    case Kind::insecureServer:
        return QStringLiteral("เพื่อความปลอดภัย Agent ยอมรับเฉพาะ HTTPS และ WSS");
    case Kind::unsupportedHost:
        // Fixed text naming the one service host, not built from the allowed-host set.
        return QStringLiteral("Agent รุ่นนี้เชื่อมต่อได้เฉพาะ vindaro.net");
    case Kind::missingCredentials:
        return QStringLiteral("รหัสห้องหรือ Token ไม่ครบ");
    case Kind::accessibilityRequired:
        return QStringLiteral("กรุณาอนุญาต Vindaro Agent ใน Privacy & Security → Accessibility");
    case Kind::eventCreationFailed:
        return QStringLiteral("macOS ไม่สามารถสร้างคำสั่งคีย์บอร์ดได้");
    }
    return {};
}

} // namespace

AgentError::AgentError(Kind kind, int status, const QString& key)
    : m_kind(kind)
    , m_status(status)
    , m_key(key)
    , m_message(messageFor(kind, status, key))
    , m_utf8(m_message.toUtf8()) {}

} // namespace vindaro
