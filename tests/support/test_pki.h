#pragma once

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

// Certificates for the fake service, made once per test process with the openssl command in a
// temporary folder: a test CA, leaves it signs, and leaves the agent must refuse.
class TestPki {
public:
    enum class Leaf {
        service,   // vindaro.net and www.vindaro.net, signed by the test CA
        otherHost, // other.example, signed by the test CA
        expired,   // vindaro.net, signed by the test CA, no longer valid
        untrusted, // vindaro.net, signed by a CA nobody trusts
    };

    static const TestPki& instance();

    // The PEM file of the test CA, e.g. to bind-mount as a system trust store.
    const QString& caFile() const { return m_caFile; }
    // The name OpenSSL looks the CA up by in a hashed certificate folder ("<hash>.0").
    const QByteArray& caSubjectHash() const { return m_caSubjectHash; }
    const QString& directory() const { return m_directory; }

    // A server-side TLS configuration presenting the leaf.
    QSslConfiguration serverConfiguration(Leaf leaf = Leaf::service) const;

    // Makes every TLS client created from now on in this process trust the test CA and nothing
    // else, the way production code reads its trust: from the default configuration.
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
