#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace vindaro {

// A credential could not be written to the keyring. The user sees only the description; the
// callers that save credentials pass it on to be shown.
class KeychainError : public std::exception {
public:
    KeychainError()
        : m_description(QStringLiteral("บันทึกข้อมูลใน Keychain ไม่สำเร็จ"))
        , m_utf8(m_description.toUtf8()) {}

    const QString& description() const { return m_description; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

} // namespace vindaro
