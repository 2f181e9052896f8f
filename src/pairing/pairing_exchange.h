#pragma once

#include "pairing_result.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkReply;

namespace vindaro {

// One POST of a pairing request to the pairing endpoint and the judging of its answer. Each
// exchange has a network manager of its own, so no cookie, cache entry, credential or
// connection is kept after it or shared with another exchange.
class PairingExchange : public QObject {
    Q_OBJECT
public:
    using Finished = std::function<void(const PairingResult&)>;

    // requestTimeout: how long the service may stay silent; exchangeTimeout: how long the whole
    // exchange, redirects included, may take.
    PairingExchange(QByteArray requestBody, std::chrono::milliseconds requestTimeout,
                    std::chrono::milliseconds exchangeTimeout, QObject* parent);

    // Sends the request. onFinished gets the result exactly once, from the event loop, unless
    // the exchange is destroyed first.
    void start(Finished onFinished);

    // Ends the exchange now. The cancellation is still delivered, after this returns.
    void cancel();

private:
    void send(const QUrl& url);
    void readHeaders();
    void readBody();
    void replyFinished();
    void judgeStatus(int status);
    std::optional<QUrl> acceptedRedirect(int status) const;
    void judgeBody();
    void finish(const PairingResult& result);
    void dropReply();

    QNetworkAccessManager m_manager;
    QTimer m_deadline;
    QNetworkReply* m_reply = nullptr; // owned by m_manager
    QByteArray m_requestBody;
    QByteArray m_responseBody;
    std::chrono::milliseconds m_requestTimeout;
    int m_status = 0; // of the current reply, once its headers are in
    int m_redirects = 0;
    bool m_finished = false;
    Finished m_onFinished;
};

} // namespace vindaro
