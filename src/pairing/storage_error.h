#pragma once

#include <QString>

namespace vindaro {

// A credential could not be written, read or removed. The user sees only the description; the
// reason is the platform's own account, kept for diagnosis.
class StorageError {
public:
    enum class Kind {
        keychainWrite,
        keychainRead,
        keychainRemove,
        settingsWrite,
    };

    // What more is known of a failure. noService: nothing answered for the keyring at all, as
    // before the desktop has started it, so asking again a little later may work. formerLost: a
    // save failed and the credential stored before it could not be put back, so its settings were
    // removed too, and nothing of it loads any more.
    enum class Detail { none, noService, formerLost };

    explicit StorageError(Kind kind, QString reason = {}, Detail detail = Detail::none)
        : m_kind(kind)
        , m_reason(std::move(reason))
        , m_detail(detail) {}

    Kind kind() const { return m_kind; }
    const QString& reason() const { return m_reason; }
    Detail detail() const { return m_detail; }

    QString description() const {
        switch (m_kind) {
        case Kind::keychainWrite:
            return QStringLiteral("บันทึกข้อมูลใน Keychain ไม่สำเร็จ");
        case Kind::keychainRead:
            return QStringLiteral("อ่านข้อมูลจาก Keychain ไม่ได้");
        case Kind::keychainRemove:
            return QStringLiteral("ลบข้อมูลจาก Keychain ไม่สำเร็จ");
        case Kind::settingsWrite:
            return QStringLiteral("บันทึกการตั้งค่าของ Agent ลงเครื่องไม่สำเร็จ");
        }
        return {};
    }

private:
    Kind m_kind;
    QString m_reason;
    Detail m_detail;
};

} // namespace vindaro
