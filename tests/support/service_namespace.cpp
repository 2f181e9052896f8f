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

void check(bool succeeded, const std::string& what) {
    if (!succeeded)
        throw std::runtime_error("service namespace: " + what + ": " + std::strerror(errno));
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    check(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size(),
          "writing " + path.toStdString());
}

} // namespace

bool ServiceNamespace::enter() {
    try {
        check(::unshare(CLONE_NEWNET | CLONE_NEWNS) == 0, "unshare (this needs root)");
        // Mounts made from here on stay inside this namespace.
        check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0,
              "making mounts private");
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
        check(up, "bringing loopback up");
        ::close(fd);
        return true;
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return false;
    }
}

void ServiceNamespace::routeServiceToLoopback(const TestPki& pki, const QString& wwwAddress) {
    const QString root = pki.directory() + QStringLiteral("/namespace");
    const QString certs = root + QStringLiteral("/certs");
    check(QDir().mkpath(certs), "creating " + certs.toStdString());
    writeFile(root + QStringLiteral("/hosts"), "127.0.0.1 localhost\n::1 localhost\n"
                                               "127.0.0.1 vindaro.net\n" +
                                                   wwwAddress.toLatin1() + " www.vindaro.net\n");
    QFile ca(pki.caFile());
    check(ca.open(QIODevice::ReadOnly), "reading the test CA");
    const QByteArray pem = ca.readAll();
    writeFile(certs + QStringLiteral("/ca-certificates.crt"), pem);
    writeFile(certs + u'/' + QString::fromLatin1(pki.caSubjectHash()) + QStringLiteral(".0"), pem);
    for (const auto& [source, target] : {std::pair{root + QStringLiteral("/hosts"), "/etc/hosts"},
                                         std::pair{certs, "/etc/ssl/certs"}})
        check(::mount(QFile::encodeName(source).constData(), target, nullptr, MS_BIND, nullptr) ==
                  0,
              std::string("bind-mounting over ") + target);
}
