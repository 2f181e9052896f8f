#pragma once

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

// Certificates for the fake service, made once per process with openssl: a test CA and leaves.
class TestPki {
public:
    enum class Leaf {
        service,   // vindaro.net and www.vindaro.net, signed by the test CA
        otherHost, // other.example, signed by the test CA
        expired,   // vindaro.net, signed by the test CA, no longer valid
        untrusted, // vindaro.net, signed by a CA nobody trusts
    };

    static const TestPki& instance();

    const QString& caFile() const { return m_caFile; }                  // PEM
    const QByteArray& caSubjectHash() const { return m_caSubjectHash; } // for "<hash>.0"
    const QString& directory() const { return m_directory; }

    QSslConfiguration serverConfiguration(Leaf leaf = Leaf::service) const;
    // Every TLS client created from now on in this process trusts the test CA and nothing else.

    void trustTestCaInThisProcess() const;

private:
    TestPki();
    QString m_directory;
    QString m_caFile;
    QByteArray m_caSubjectHash;
    QSslCertificate m_ca;
    QSslCertificate m_certificates[4];
    QSslKey m_keys[4];
};
