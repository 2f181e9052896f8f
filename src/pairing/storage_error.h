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

    explicit StorageError(Kind kind, QString reason = {})
        : m_kind(kind)
        , m_reason(std::move(reason)) {}

    Kind kind() const { return m_kind; }
    const QString& reason() const { return m_reason; }

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
};

} // namespace vindaro
