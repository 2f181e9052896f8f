#pragma once

#include <QString>

class TestPki;

// Lets the real executable reach a fake service with no hook of its own: this process moves into
// a private network and mount namespace where only loopback exists, /etc/hosts names vindaro.net
// (and www.vindaro.net) 127.0.0.1, and /etc/ssl/certs trusts the test CA and nothing else. A fake
// service on 127.0.0.1:443 is then the service for every child process started afterwards.
// Needs root (or CAP_SYS_ADMIN and CAP_NET_ADMIN).
namespace ServiceNamespace {

// Must run before the process starts any thread: a namespace applies to the thread that enters
// it and to the threads that thread starts afterwards. False, having said why on standard error,
// when the process may not enter one.
bool enter();

// Replaces /etc/hosts and /etc/ssl/certs inside the namespace; throws std::runtime_error when it
// cannot. www.vindaro.net may lead to another loopback address, such as 127.0.0.2, so that a
// second fake service can have port 443 too. Both the bundle file that OpenSSL
// reads by default (ca-certificates.crt) and the hashed directory entry that Qt looks up on
// demand hold only the test CA.
void routeServiceToLoopback(const TestPki& pki,
                            const QString& wwwAddress = QStringLiteral("127.0.0.1"));

} // namespace ServiceNamespace
