#include "pairing_client.h"

#include "model/text_rules.h"
#include "pairing_exchange.h"
#include "pairing_request.h"

#include <QSysInfo>

namespace vindaro {

std::optional<QString> currentHostName() {
    const QString name = QSysInfo::machineHostName();
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

PairingClient::PairingClient(QObject* parent)
    : PairingClient(PairingClientOptions(), parent) {}

PairingClient::PairingClient(PairingClientOptions options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options)) {}

PairingClient::~PairingClient() = default;

void PairingClient::pair(const QString& code, const QString& installId, Completion completion) {
    if (!isValidPairingCode(code)) {
        completion(AgentError::invalidPairingCode());
        return;
    }
    cancel();
    const QByteArray body = PairingRequest::make(code, installId, m_options.hostName()).encode();
    auto* exchange =
        new PairingExchange(body, m_options.requestTimeout, m_options.exchangeTimeout, this);
    m_exchange = exchange;
    exchange->start(
        [this, exchange, completion = std::move(completion)](const PairingResult& result) {
            // A newer exchange may already be in flight; only this one's own place is cleared.
            if (m_exchange == exchange)
                m_exchange = nullptr;
            exchange->deleteLater();
            completion(result);
        });
}

void PairingClient::cancel() {
    if (PairingExchange* exchange = m_exchange.data()) {
        m_exchange = nullptr;
        exchange->cancel();
    }
}

} // namespace vindaro
