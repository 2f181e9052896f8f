#include "service_namespace.h"

#include "test_pki.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("service namespace: " + what + ": " + std::strerror(errno));
}

void bringLoopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    const int savedErrno = errno;
    ::close(fd);
    errno = savedErrno;
    if (!up)
        fail("bringing loopback up");
}

void bindMount(const QString& source, const char* target) {
    if (::mount(QFile::encodeName(source).constData(), target, nullptr, MS_BIND, nullptr) != 0)
        fail(std::string("bind-mounting over ") + target);
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error("service namespace: cannot write " + path.toStdString());
}

} // namespace

bool ServiceNamespace::enter() {
    try {
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            fail("unshare (this needs root)");
        // Mounts made from here on stay inside this namespace.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail("making mounts private");
        bringLoopbackUp();
        return true;
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return false;
    }
}

void ServiceNamespace::routeServiceToLoopback(const TestPki& pki, const QString& wwwAddress) {
    const QString root = pki.directory() + QStringLiteral("/namespace");
    const QString certs = root + QStringLiteral("/certs");
    if (!QDir().mkpath(certs))
        throw std::runtime_error("service namespace: cannot create " + certs.toStdString());

    writeFile(root + QStringLiteral("/hosts"), "127.0.0.1 localhost\n"
                                               "::1 localhost\n"
                                               "127.0.0.1 vindaro.net\n" +
                                                   wwwAddress.toLatin1() + " www.vindaro.net\n");
    QFile ca(pki.caFile());
    if (!ca.open(QIODevice::ReadOnly))
        throw std::runtime_error("service namespace: cannot read the test CA");
    const QByteArray pem = ca.readAll();
    writeFile(certs + QStringLiteral("/ca-certificates.crt"), pem);
    writeFile(certs + u'/' + QString::fromLatin1(pki.caSubjectHash()) + QStringLiteral(".0"), pem);

    bindMount(root + QStringLiteral("/hosts"), "/etc/hosts");
    bindMount(certs, "/etc/ssl/certs");
}
