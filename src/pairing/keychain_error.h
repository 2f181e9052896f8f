#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace vindaro {

// A storage step failed, thrown by the waiting forms of the stores (waiting_adapter.cpp) that
// the controller uses until its flows take the answers as they come. The user sees only the
// description.
class KeychainError : public std::exception {
public:
    explicit KeychainError(QString description)
        : m_description(std::move(description))
        , m_utf8(m_description.toUtf8()) {}

    const QString& description() const { return m_description; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

} // namespace vindaro
