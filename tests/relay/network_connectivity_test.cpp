// The machine's connectivity as Qt reads it from NetworkManager, played by python3-dbusmock on a
// private system bus. A binary of its own: Qt loads its network information once per process,
// from the system bus it finds first.
#include "relay/network_connectivity.h"
#include "support/private_bus.h"
#include "support/wait.h"

#include <QDBusMessage>
#include <QTest>

#include <gtest/gtest.h>

using vindaro::test::eventually;

namespace {

constexpr int waitLimitMs = 15000;

// NetworkManager's global states.
constexpr quint32 disconnected = 20;
constexpr quint32 connectedLocal = 50;
constexpr quint32 connectedGlobal = 70;

} // namespace

TEST(SystemNetworkConnectivity, FollowsNetworkManagersState) {
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
    const auto setState = [&](quint32 state) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(networkManager, QStringLiteral("/org/freedesktop"),
                                           QStringLiteral("org.freedesktop.DBus.Mock"),
                                           QStringLiteral("SetGlobalConnectionState"));
        call << state;
        const QDBusMessage reply = client.call(call, QDBus::Block, waitLimitMs);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    };

    const std::unique_ptr<vindaro::NetworkConnectivity> connectivity =
        vindaro::systemNetworkConnectivity();
    int changes = 0;
    connectivity->setOnChange([&] { ++changes; });
    EXPECT_FALSE(connectivity->isOffline());

    setState(disconnected);
    EXPECT_TRUE(eventually([&] { return connectivity->isOffline(); }));
    EXPECT_GE(changes, 1);
    // A network without a way out is not "none": an attempt may still reach the service.
    setState(connectedLocal);
    EXPECT_TRUE(eventually([&] { return !connectivity->isOffline(); }));
    setState(disconnected);
    EXPECT_TRUE(eventually([&] { return connectivity->isOffline(); }));
    setState(connectedGlobal);
    EXPECT_TRUE(eventually([&] { return !connectivity->isOffline(); }));
}
