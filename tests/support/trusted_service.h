#pragma once

#include "support/connect_proxy.h"
#include "support/test_pki.h"
#include "support/wait.h"

#include <gtest/gtest.h>

namespace vindaro::test {

// The process trusts only the test CA, and a CONNECT proxy carries vindaro.net and
// www.vindaro.net to fake services on loopback: route() points a name (or both) at a port.
class TrustedServiceTest : public ::testing::Test {
protected:
    TrustedServiceTest() {
        TestPki::instance().trustTestCaInThisProcess();
        proxy.installAsApplicationProxy();
    }

    void route(quint16 port) { proxy.setTargetPort(port); }
    void route(const QString& host, quint16 port) { proxy.setTargetPort(host, port); }

    ConnectProxy proxy{0};
};

} // namespace vindaro::test
