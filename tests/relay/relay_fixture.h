#pragma once

#include "support/connect_proxy.h"
#include "support/fake_relay_service.h"
#include "support/qt_printers.h"
#include "support/test_pki.h"

#include "model/agent_pairing.h"
#include "model/agent_session.h"

#include <QTest>

#include <gtest/gtest.h>

#include <functional>

// Production code dials wss://vindaro.net/ws; here the process trusts the test CA and a CONNECT
// proxy carries vindaro.net:443 to the fake relay on loopback.
class RelayFixture : public ::testing::Test {
protected:
    RelayFixture() {
        TestPki::instance().trustTestCaInThisProcess();
        EXPECT_TRUE(service.listen());
        proxy.setTargetPort(service.port());
        proxy.installAsApplicationProxy();
    }

    static QUrl sessionURL() {
        return *vindaro::AgentSession(QStringLiteral("wss://vindaro.net/ws"), QStringLiteral("S-1"),
                                      QStringLiteral("agent_7"), sessionToken(), 2)
                    .socketURL();
    }
    static QString sessionToken() { return QStringLiteral("tok-abcdefgh"); }
    static QUrl legacyURL() {
        return *vindaro::AgentPairing::fromBundle(
                    QStringLiteral("wss://vindaro.net/ws|ROOM1|TOKEN-xyz1"))
                    .socketURL();
    }

    // Waits on the condition while the event loop runs; generous, since the machine may be busy.
    static bool eventually(const std::function<bool()>& condition, int milliseconds = 20000) {
        return QTest::qWaitFor(condition, milliseconds);
    }

    FakeRelayService service;
    ConnectProxy proxy{0};
};

// The headers a WebSocket upgrade needs, before anything the agent adds.
inline QList<QByteArray> upgradeHeaderNames() {
    return {"Host", "Upgrade", "Connection", "Sec-WebSocket-Key", "Sec-WebSocket-Version"};
}
