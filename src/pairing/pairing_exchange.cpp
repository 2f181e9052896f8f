#include "pairing_exchange.h"

#include "model/constants.h"
#include "model/validation.h"
#include "pairing_response.h"

#include <QCoreApplication>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace vindaro {

namespace {

// As many redirects as Qt would follow on its own.
constexpr int maxRedirects = 50;

bool isSuccessStatus(int status) {
    return status >= 200 && status <= 299;
}

// The method a client uses after a redirect of this status, as browsers and Qt do: 307 and 308
// repeat the POST, 301, 302 and 303 turn it into a GET. Nothing for statuses that redirect
// nowhere.
std::optional<QByteArray> redirectMethod(int status) {
    switch (status) {
    case 301:
    case 302:
    case 303:
        return QByteArray("GET");
    case 307:
    case 308:
        return QByteArray("POST");
    default:
        return std::nullopt;
    }
}

TransportError timeoutError() {
    // Qt's own words for a timed-out connection, translated where Qt's translations are loaded.
    return {QNetworkReply::TimeoutError,
            QCoreApplication::translate("QAbstractSocket", "Socket operation timed out")};
}

} // namespace

PairingExchange::PairingExchange(QByteArray requestBody, std::chrono::milliseconds requestTimeout,
                                 std::chrono::milliseconds exchangeTimeout, QObject* parent)
    : QObject(parent)
    , m_requestBody(std::move(requestBody))
    , m_requestTimeout(requestTimeout) {
    m_manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(exchangeTimeout);
    connect(&m_deadline, &QTimer::timeout, this, [this] { finish(timeoutError()); });
}

void PairingExchange::start(Finished onFinished) {
    m_onFinished = std::move(onFinished);
    m_deadline.start();
    send(pairingEndpoint());
}

void PairingExchange::cancel() {
    if (m_finished)
        return;
    // Qt's own words for a cancelled request are those the aborted reply reports.
    QString description;
    if (m_reply) {
        disconnect(m_reply, nullptr, this, nullptr);
        m_reply->abort();
        description = m_reply->errorString();
    }
    finish(TransportError{QNetworkReply::OperationCanceledError, description});
}

void PairingExchange::send(const QUrl& url) {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    request.setRawHeader("Accept", "application/json");
    request.setHeader(QNetworkRequest::UserAgentHeader, toQString(userAgent));
    // Redirects are judged here, so that a refused one ends with its own status.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // Qt's transfer timeout counts silence, not the whole exchange; the deadline does that.
    request.setTransferTimeout(static_cast<int>(m_requestTimeout.count()));

    m_status = 0;
    m_responseBody.clear();
    m_reply = m_manager.post(request, m_requestBody);
    // Qt stops reading from the connection once this much is waiting to be read.
    m_reply->setReadBufferSize(maxPairingResponseBytes + 1);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &PairingExchange::readHeaders);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        if (isSuccessStatus(m_status))
            readBody();
    });
    connect(m_reply, &QNetworkReply::finished, this, &PairingExchange::replyFinished);
}

void PairingExchange::readHeaders() {
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    m_status = status.toInt();
    if (isSuccessStatus(m_status))
        return;
    // A refusal is decided by its status alone; its body is never read. The decision waits for
    // Qt to finish handling these headers, since aborting the reply in the middle of that makes
    // Qt report an error twice.
    disconnect(m_reply, nullptr, this, nullptr);
    QMetaObject::invokeMethod(
        this,
        [this, reply = m_reply, refusal = m_status] {
            if (!m_finished && m_reply == reply)
                judgeStatus(refusal);
        },
        Qt::QueuedConnection);
}

void PairingExchange::readBody() {
    // Qt hands bodies over already decompressed, so this counts what a compressed body expands
    // to, and it never takes more than one byte past the limit.
    const qint64 wanted = maxPairingResponseBytes + 1 - m_responseBody.size();
    m_responseBody += m_reply->read(wanted);
    if (m_responseBody.size() > maxPairingResponseBytes)
        finish(AgentError::invalidPairingResponse());
}

void PairingExchange::replyFinished() {
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Qt turns statuses such as 404 or 500 into errors of its own; they are answers, not
    // transport failures.
    if (status.isValid() && !isSuccessStatus(status.toInt())) {
        judgeStatus(status.toInt());
        return;
    }
    if (const QNetworkReply::NetworkError error = m_reply->error();
        error != QNetworkReply::NoError) {
        // This exchange's own aborts disconnect the reply first, so a cancellation seen here is
        // Qt's transfer timeout, which Qt reports as if the request had been cancelled.
        finish(error == QNetworkReply::OperationCanceledError
                   ? timeoutError()
                   : TransportError{error, m_reply->errorString()});
        return;
    }
    if (!status.isValid()) {
        finish(AgentError::invalidPairingResponse());
        return;
    }
    m_status = status.toInt();
    readBody();
    if (!m_finished)
        judgeBody();
}

void PairingExchange::judgeStatus(int status) {
    const std::optional<QUrl> target = acceptedRedirect(status);
    if (!target) {
        finish(AgentError::pairingFailed(status));
        return;
    }
    if (++m_redirects > maxRedirects) {
        finish(TransportError{QNetworkReply::TooManyRedirectsError,
                              QCoreApplication::translate("QHttp", "Too many redirects")});
        return;
    }
    dropReply();
    send(*target);
}

std::optional<QUrl> PairingExchange::acceptedRedirect(int status) const {
    const std::optional<QByteArray> method = redirectMethod(status);
    const QByteArray location = m_reply->rawHeader("Location");
    if (!method || location.isEmpty())
        return std::nullopt;
    const QUrl target = m_reply->url().resolved(QUrl::fromEncoded(location, QUrl::StrictMode));
    // Only to the endpoint's very host (not its www form), as a POST, to the pairing path.
    if (!target.isValid() || target.host().toLower() != pairingEndpoint().host().toLower())
        return std::nullopt;
    if (*method != "POST")
        return std::nullopt;
    if (!isTrustedURL(target, u"https", toQString(pairingPath)))
        return std::nullopt;
    return target;
}

void PairingExchange::judgeBody() {
    if (!isTrustedURL(m_reply->url(), u"https", toQString(pairingPath)) ||
        m_responseBody.isEmpty()) {
        finish(AgentError::invalidPairingResponse());
        return;
    }
    try {
        const PairingResponse response = PairingResponse::decode(m_responseBody);
        finish(AgentSession(response.wsUrl, response.sessionId, response.agentId,
                            response.agentToken, response.protocolVersion));
    } catch (const AgentError& error) {
        finish(error);
    } catch (const std::exception&) {
        // A body that is not a pairing response.
        finish(AgentError::invalidPairingResponse());
    }
}

void PairingExchange::finish(const PairingResult& result) {
    if (m_finished)
        return;
    m_finished = true;
    m_deadline.stop();
    dropReply();
    // Delivered from the event loop, so the caller never runs inside Qt's network code or
    // inside its own call to cancel().
    QMetaObject::invokeMethod(
        this, [this, result] { m_onFinished(result); }, Qt::QueuedConnection);
}

void PairingExchange::dropReply() {
    if (!m_reply)
        return;
    disconnect(m_reply, nullptr, this, nullptr);
    m_reply->abort();
    m_reply->deleteLater();
    m_reply = nullptr;
}

} // namespace vindaro
