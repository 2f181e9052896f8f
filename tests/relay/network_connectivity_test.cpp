// Connectivity from NetworkManager (python3-dbusmock on a private system bus), in a binary of its
// own: Qt loads its network information once per process, from the first system bus it finds.
#include "relay/back_off.h"
#include "relay/network_connectivity.h"
#include "relay/web_socket_client.h"
#include "support/client_events.h"
#include "support/fake_relay_service.h"
#include "support/private_bus.h"
#include "support/samples.h"
#include "support/trusted_service.h"

#include <QDBusMessage>

using namespace std::chrono_literals;
using namespace vindaro;
using namespace vindaro::test;
using Kind = ClientEvents::Kind;

class SystemNetworkConnectivity : public TrustedServiceTest {};

// "No network" is a hint: the relay connection still tries at the back-off's longest wait.
TEST_F(SystemNetworkConnectivity, FollowsNetworkManagersStateAsAHint) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << bus.error().toStdString();
    const QString networkManager = QStringLiteral("org.freedesktop.NetworkManager");
    ASSERT_TRUE(bus.startService({QStringLiteral("/usr/bin/python3"), QStringLiteral("-m"),
                                  QStringLiteral("dbusmock"), QStringLiteral("--template"),
                                  QStringLiteral("networkmanager")},
                                 networkManager))
        << bus.error().toStdString();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8());
    QDBusConnection client = bus.connect(QStringLiteral("client"));
    const auto setState = [&](uint state) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(networkManager, QStringLiteral("/org/freedesktop"),
                                           QStringLiteral("org.freedesktop.DBus.Mock"),
                                           QStringLiteral("SetGlobalConnectionState"));
        EXPECT_EQ(client.call(call << state).type(), QDBusMessage::ReplyMessage);
    };

    const std::unique_ptr<NetworkConnectivity> connectivity = systemNetworkConnectivity();
    // Disconnected; connected without a way out, where an attempt may still work; disconnected.
    for (const auto& [state, offline] :
         {std::pair{20U, true}, std::pair{50U, false}, std::pair{20U, true}}) {
        setState(state);
        ASSERT_TRUE(eventually([&] { return connectivity->isOffline() == offline; })) << state;
    }
    FakeRelayService relay;
    ASSERT_TRUE(relay.listen());
    route(relay.port());
    std::chrono::milliseconds slowTry = 50ms;
    WebSocketClient::Timing timing;
    timing.reconnectDelay = [&](int attempt) {
        return backOffDelay(attempt, 0) == 24000ms ? slowTry : std::chrono::hours(1);
    };
    WebSocketClient relayClient(timing);
    ClientEvents events;
    relayClient.setDelegate(&events);
    relayClient.connectTo(*sampleSession().socketURL(), sampleToken);
    ASSERT_TRUE(eventually([&] { return events.count(Kind::connected) == 1; }));
    slowTry = std::chrono::hours(1);
    relay.lastPeer().close(1001);
    ASSERT_TRUE(eventually([&] { return events.count(Kind::waiting) == 2; }));
    setState(70);
    EXPECT_TRUE(eventually([&] { return events.count(Kind::connected) == 2; }));
}
