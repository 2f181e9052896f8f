#pragma once

#include "support/connect_proxy.h"
#include "support/test_pki.h"
#include "support/wait.h"

#include <gtest/gtest.h>

namespace vindaro::test {

// Production code dials vindaro.net and www.vindaro.net on 443 and trusts the system's CAs. Here
// the process trusts only the test CA, and a CONNECT proxy carries both names to fake services on
// loopback: route() points a name (or both) at a service's port.
class TrustedServiceTest : public ::testing::Test {
protected:
    TrustedServiceTest() {
        TestPki::instance().trustTestCaInThisProcess();
        proxy.installAsApplicationProxy();
    }

    // Every service name to this port.
    void route(quint16 port) { proxy.setTargetPort(port); }
    // One name ("vindaro.net" or "www.vindaro.net") to this port.
    void route(const QString& host, quint16 port) { proxy.setTargetPort(host, port); }

    ConnectProxy proxy{0};
};

} // namespace vindaro::test
