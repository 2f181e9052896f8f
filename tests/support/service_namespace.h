#pragma once

#include <QString>

class TestPki;

// Lets the real executable reach a fake service: a private network and mount namespace with only
// loopback, where vindaro.net is 127.0.0.1 and /etc/ssl/certs trusts only the test CA, so a fake
// on 127.0.0.1:443 is the service for every child started afterwards. Needs root.
namespace ServiceNamespace {

// Before the process starts any thread, which would stay outside. False, said on standard error,
// when it may not enter one.
bool enter();

// Replaces /etc/hosts and /etc/ssl/certs (OpenSSL's bundle file and Qt's hashed entry) inside the
// namespace; throws when it cannot. www.vindaro.net may be another loopback address, so a second
// fake service can have port 443 too.

void routeServiceToLoopback(const TestPki& pki,
                            const QString& wwwAddress = QStringLiteral("127.0.0.1"));

} // namespace ServiceNamespace
