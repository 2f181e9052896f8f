#include "network_connectivity.h"

#include <QNetworkInformation>
#include <QObject>
#include <QPointer>

namespace vindaro {

namespace {

class SystemNetworkConnectivity final : public NetworkConnectivity {
public:
    SystemNetworkConnectivity() {
        // On Linux the default backend is NetworkManager's. Qt's other one, over GLib's netlink
        // monitor, is left out on purpose: with Qt 6.4 it reads the state once and never hears
        // a change, and it calls a machine without a default route offline, so an agent started
        // offline would wait for ever. A failed load is not remembered by Qt: a later client
        // tries again.
        if (QNetworkInformation::loadDefaultBackend())
            m_information = QNetworkInformation::instance();
        if (m_information)
            QObject::connect(m_information, &QNetworkInformation::reachabilityChanged, &m_context,
                             [this] {
                                 if (const std::function<void()> changed = m_onChange)
                                     changed();
                             });
    }

    bool isOffline() const override {
        return m_information &&
               m_information->reachability() == QNetworkInformation::Reachability::Disconnected;
    }

    void setOnChange(std::function<void()> changed) override { m_onChange = std::move(changed); }

private:
    QPointer<QNetworkInformation> m_information;
    std::function<void()> m_onChange;
    // Context of the connection to Qt's process-wide object: it ends with this one.
    QObject m_context;
};

} // namespace

std::unique_ptr<NetworkConnectivity> systemNetworkConnectivity() {
    return std::make_unique<SystemNetworkConnectivity>();
}

} // namespace vindaro
