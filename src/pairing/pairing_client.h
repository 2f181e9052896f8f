#pragma once

#include "pairing_result.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace vindaro {

class PairingExchange;

// This computer's user-visible name, or nothing when it has none.
std::optional<QString> currentHostName();

struct PairingClientOptions {
    // How long the service may stay silent, and how long one exchange may take in all.
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(15);
    std::chrono::milliseconds exchangeTimeout = std::chrono::seconds(20);
    // The name the service shows for this computer.
    std::function<std::optional<QString>()> hostName = currentHostName;
};

// Exchanges a six-digit pairing code for a paired session with one HTTPS POST to the pairing
// endpoint. Lives on the main thread; its completions run there.
class PairingClient : public QObject {
    Q_OBJECT
public:
    // Called exactly once per pair() call. Must not throw.
    using Completion = std::function<void(const PairingResult&)>;

    explicit PairingClient(QObject* parent = nullptr);
    explicit PairingClient(PairingClientOptions options, QObject* parent = nullptr);
    // Abandons an exchange in flight without calling its completion.
    ~PairingClient() override;
    Q_DISABLE_COPY_MOVE(PairingClient)

    // A code that is not six ASCII digits fails with invalidPairingCode before this returns,
    // and an exchange in flight is left alone. Otherwise an exchange in flight is cancelled (its
    // completion gets the cancellation) and a new one starts; its result comes from the event
    // loop.
    void pair(const QString& code, const QString& installId, Completion completion);

    // Cancels the exchange in flight, if any; its completion still comes, with the cancellation.
    void cancel();

    // Whether an exchange is in flight.
    bool isExchanging() const { return !m_exchange.isNull(); }

private:
    PairingClientOptions m_options;
    QPointer<PairingExchange> m_exchange;
};

} // namespace vindaro
