// Connectivity from NetworkManager (python3-dbusmock on a private system bus), in a binary of its
// own: Qt loads its network information once per process, from the first system bus it finds.
#include "relay/network_connectivity.h"
#include "support/private_bus.h"
#include "support/wait.h"

#include <QDBusMessage>

#include <gtest/gtest.h>

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

    const std::unique_ptr<vindaro::NetworkConnectivity> connectivity =
        vindaro::systemNetworkConnectivity();
    int changes = 0;
    connectivity->setOnChange([&] { ++changes; });
    EXPECT_FALSE(connectivity->isOffline());
    // Disconnected; connected without a way out, where an attempt may still work; connected.

    for (const auto& [state, offline] : {std::pair{20U, true}, std::pair{50U, false},
                                         std::pair{20U, true}, std::pair{70U, false}}) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(networkManager, QStringLiteral("/org/freedesktop"),
                                           QStringLiteral("org.freedesktop.DBus.Mock"),
                                           QStringLiteral("SetGlobalConnectionState"));
        const QDBusMessage reply = client.call(call << state, QDBus::Block, 15000);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        EXPECT_TRUE(vindaro::test::eventually([&] { return connectivity->isOffline() == offline; }))
            << state;
    }
    EXPECT_GE(changes, 4);
}
