#include "test_pki.h"

#include <QFile>
#include <QTemporaryDir>

#include <stdexcept>

#include <spawn.h>
#include <sys/wait.h>

namespace {

// Every certificate in one run of sh: a CA, a rogue CA, and leaves as "name CA hosts days".
const char* const script = R"(set -e
exec >openssl.log 2>&1
key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
for ca in test-ca rogue-ca; do
  openssl req -x509 $key -keyout $ca.key -out $ca.pem -subj /CN=$ca -days 30
done
leaf() {
  openssl req $key -keyout $1.key -out $1.csr -subj /CN=$1
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$3" >$1.ext
  openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -out $1.pem -days $4 \
    -extfile $1.ext
}
leaf service test-ca DNS:vindaro.net,DNS:www.vindaro.net 30
leaf other-host test-ca DNS:other.example 30
leaf expired test-ca DNS:vindaro.net,DNS:www.vindaro.net -1
leaf untrusted rogue-ca DNS:vindaro.net,DNS:www.vindaro.net 30
openssl x509 -hash -noout -in test-ca.pem >test-ca.hash
)";

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("test PKI: cannot read " + path.toStdString());
    return file.readAll();
}

} // namespace

const TestPki& TestPki::instance() {
    static const TestPki pki;
    return pki;
}

// posix_spawn, not QProcess: Qt's vfork-style children make ThreadSanitizer report false races
// in every test that made the certificates.

TestPki::TestPki() {
    static QTemporaryDir folder; // removed when the test process ends
    m_directory = folder.path();
    const QByteArray dir = QFile::encodeName(m_directory);
    const char* argv[] = {"sh", "-c", script, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    pid_t pid = 0;
    int status = 0;
    const bool made =
        folder.isValid() &&
        posix_spawnp(&pid, "sh", &actions, nullptr, const_cast<char**>(argv), environ) == 0 &&
        waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!made)
        throw std::runtime_error(
            "test PKI: openssl failed: " +
            readFile(m_directory + QStringLiteral("/openssl.log")).toStdString());

    m_caFile = m_directory + QStringLiteral("/test-ca.pem");
    m_caSubjectHash = readFile(m_directory + QStringLiteral("/test-ca.hash")).trimmed();
    m_ca = QSslCertificate(readFile(m_caFile));
    const char* const names[] = {"service", "other-host", "expired", "untrusted"};
    for (int i = 0; i < 4; ++i) {
        const QString base = m_directory + u'/' + QLatin1String(names[i]);
        m_certificates[i] = QSslCertificate(readFile(base + QStringLiteral(".pem")));
        m_keys[i] = QSslKey(readFile(base + QStringLiteral(".key")), QSsl::Ec);
        if (m_certificates[i].isNull() || m_keys[i].isNull())
            throw std::runtime_error(std::string("test PKI: cannot load ") + names[i]);
    }
}

QSslConfiguration TestPki::serverConfiguration(Leaf leaf) const {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(m_certificates[static_cast<int>(leaf)]);
    configuration.setPrivateKey(m_keys[static_cast<int>(leaf)]);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

void TestPki::trustTestCaInThisProcess() const {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({m_ca});
    QSslConfiguration::setDefaultConfiguration(configuration);
}
