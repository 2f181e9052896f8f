#include "test_pki.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Started with posix_spawn rather than QProcess: Qt starts children vfork-style, and under
// ThreadSanitizer the child's steps land on this thread's bookkeeping, which then reports
// false races in every test that made the certificates. Returns what the command printed.
QByteArray openssl(const QString& directory, const QStringList& arguments) {
    std::vector<std::string> words{"openssl"};
    for (const QString& argument : arguments)
        words.push_back(argument.toStdString());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const std::string log = (directory + QStringLiteral("/openssl.log")).toStdString();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.toStdString().c_str());
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    const bool succeeded = spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                           WEXITSTATUS(status) == 0;
    QFile output(QString::fromStdString(log));
    static_cast<void>(output.open(QIODevice::ReadOnly));
    const QByteArray printed = output.readAll();
    if (!succeeded)
        throw std::runtime_error("openssl " + arguments.join(u' ').toStdString() + ": " +
                                 printed.toStdString());
    return printed;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

const QStringList ecKey = {QStringLiteral("-newkey"), QStringLiteral("ec"),
                           QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"),
                           QStringLiteral("-nodes")};

void makeCa(const QString& dir, const QString& name) {
    openssl(dir, QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey +
                     QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                 QStringLiteral("-out"), name + QStringLiteral(".pem"),
                                 QStringLiteral("-subj"), QStringLiteral("/CN=") + name,
                                 QStringLiteral("-days"), QStringLiteral("30")});
}

void makeLeaf(const QString& dir, const QString& name, const QString& ca, const QString& hosts,
              int days) {
    openssl(dir, QStringList{QStringLiteral("req")} + ecKey +
                     QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                 QStringLiteral("-out"), name + QStringLiteral(".csr"),
                                 QStringLiteral("-subj"), QStringLiteral("/CN=") + name});
    QStringList names;
    for (const QString& host : hosts.split(u','))
        names.append(QStringLiteral("DNS:") + host);
    writeFile(dir + u'/' + name + QStringLiteral(".ext"),
              (QStringLiteral("subjectAltName=") + names.join(u',') +
               QStringLiteral("\nextendedKeyUsage=serverAuth\n"))
                  .toUtf8());
    openssl(dir, {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                  name + QStringLiteral(".csr"), QStringLiteral("-CA"), ca + QStringLiteral(".pem"),
                  QStringLiteral("-CAkey"), ca + QStringLiteral(".key"),
                  QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                  name + QStringLiteral(".pem"), QStringLiteral("-days"), QString::number(days),
                  QStringLiteral("-extfile"), name + QStringLiteral(".ext")});
}

} // namespace

const TestPki& TestPki::instance() {
    static const TestPki pki;
    return pki;
}

TestPki::TestPki() {
    static QTemporaryDir folder; // removed when the test process ends
    if (!folder.isValid())
        throw std::runtime_error("no temporary folder for the test PKI");
    m_directory = folder.path();
    const QString& dir = m_directory;

    makeCa(dir, QStringLiteral("test-ca"));
    makeCa(dir, QStringLiteral("rogue-ca"));
    const QString serviceHosts = QStringLiteral("vindaro.net,www.vindaro.net");
    makeLeaf(dir, QStringLiteral("service"), QStringLiteral("test-ca"), serviceHosts, 30);
    makeLeaf(dir, QStringLiteral("other-host"), QStringLiteral("test-ca"),
             QStringLiteral("other.example"), 30);
    makeLeaf(dir, QStringLiteral("expired"), QStringLiteral("test-ca"), serviceHosts, -1);
    makeLeaf(dir, QStringLiteral("untrusted"), QStringLiteral("rogue-ca"), serviceHosts, 30);

    m_caFile = dir + QStringLiteral("/test-ca.pem");
    m_caSubjectHash = openssl(dir, {QStringLiteral("x509"), QStringLiteral("-hash"),
                                    QStringLiteral("-noout"), QStringLiteral("-in"), m_caFile})
                          .trimmed();
    m_ca = QSslCertificate(readFile(m_caFile));
    const QString names[] = {QStringLiteral("service"), QStringLiteral("other-host"),
                             QStringLiteral("expired"), QStringLiteral("untrusted")};
    for (int i = 0; i < 4; ++i) {
        m_leaves[i].certificate =
            QSslCertificate(readFile(dir + u'/' + names[i] + QStringLiteral(".pem")));
        m_leaves[i].key =
            QSslKey(readFile(dir + u'/' + names[i] + QStringLiteral(".key")), QSsl::Ec);
        if (m_leaves[i].certificate.isNull() || m_leaves[i].key.isNull())
            throw std::runtime_error("test PKI: cannot load " + names[i].toStdString());
    }
}

QSslConfiguration TestPki::serverConfiguration(Leaf leaf) const {
    const Pair& pair = m_leaves[static_cast<int>(leaf)];
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(pair.certificate);
    configuration.setPrivateKey(pair.key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

void TestPki::trustTestCaInThisProcess() const {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({m_ca});
    QSslConfiguration::setDefaultConfiguration(configuration);
}
