// The pairing client against a fake endpoint over TLS on loopback, reached as vindaro.net:443.

#include "pairing/pairing_client.h"
#include "pairing/pairing_request.h"
#include "support/fake_pairing_service.h"
#include "support/qt_printers.h"
#include "support/samples.h"
#include "support/trusted_service.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

using namespace std::chrono_literals;
using namespace vindaro;
using namespace vindaro::test;
using Reply = FakePairingService::Reply;

namespace {

const QString installId = QStringLiteral("0f8e2d3c-4b5a-4697-8877-665544332211");
const QString deviceName = QStringLiteral("ห้อง \"สตรีม\"\n's PC");

// A valid answer made exactly `size` bytes long with white space JSON allows.
QByteArray answerOfSize(qsizetype size) {
    return pairingAnswer() + QByteArray(size - pairingAnswer().size(), ' ');
}

Reply redirect(int status, const QByteArray& location) {
    return Reply(status, {}, {{"Location", location}});
}

// A reply changed by `change`, which sets one of its special ways.
template <typename Change> Reply special(Change change, Reply reply = Reply(200, pairingAnswer())) {
    change(reply);
    return reply;
}
const auto silent = [](Reply& r) { r.silent = true; };

std::string describe(const PairingResult& result) {
    return result.isSuccess() ? std::string("success") : result.errorDescription().toStdString();
}

class PairingClientTest : public TrustedServiceTest {
protected:
    PairingClientTest() { route(service.port()); }

    static PairingClientOptions options() {
        PairingClientOptions options;
        options.hostName = [] { return std::optional<QString>(deviceName); };
        return options;
    }

    // Starts an exchange whose completion must come exactly once, on the main thread.
    void start(PairingClient& pairing, std::vector<PairingResult>& results,
               const QString& code = QStringLiteral("123456")) {
        pairing.pair(code, installId, [&results](const PairingResult& result) {
            EXPECT_EQ(QThread::currentThread(), qApp->thread());
            results.push_back(result);
        });
    }
    // One exchange to its end, answered with these replies.
    PairingResult pair(std::deque<Reply> replies, PairingClient* with = nullptr) {
        service.plan(std::move(replies));
        std::vector<PairingResult> results;
        start(with ? *with : client, results);
        EXPECT_TRUE(eventually([&] { return !results.empty(); }));
        QCoreApplication::processEvents();
        EXPECT_EQ(results.size(), 1u);
        return results.empty() ? PairingResult(AgentError::eventCreationFailed()) : results.front();
    }
    void expectError(const PairingResult& result, const AgentError& expected) {
        ASSERT_NE(result.agentError(), nullptr) << describe(result);
        EXPECT_EQ(*result.agentError(), expected) << describe(result);
    }
    void expectTransportError(const PairingResult& result, QNetworkReply::NetworkError expected) {
        ASSERT_NE(result.transportError(), nullptr) << describe(result);
        EXPECT_EQ(result.transportError()->code, expected) << describe(result);
    }

    FakePairingService service;
    PairingClient client{options()};
};

} // namespace

TEST_F(PairingClientTest, TheServiceReceivesOneJsonPostWithTheAgentsHeadersAndNoCookie) {
    Reply moved = redirect(307, "/api/v1/agent/pair");
    moved.headers.append(std::pair<QByteArray, QByteArray>("Set-Cookie", "visit=1; Secure"));
    const PairingResult result = pair({moved, Reply(200, pairingAnswer())});
    ASSERT_TRUE(result.isSuccess()) << describe(result);
    EXPECT_EQ(*result.session(), sampleSession());
    ASSERT_EQ(service.requests().size(), 2);
    const HttpRequest& request = service.requests().last();
    EXPECT_EQ(request.method, QByteArray("POST"));
    EXPECT_EQ(request.target, QByteArray("/api/v1/agent/pair"));
    for (const auto& [name, value] :
         FakePairingService::Headers{{"Host", "vindaro.net"},
                                     {"Content-Type", "application/json"},
                                     {"Accept", "application/json"},
                                     {"User-Agent", "Vindaro-Agent-macOS/0.2.0"}})
        EXPECT_EQ(request.header(name), value) << name.toStdString();
    EXPECT_TRUE(request.header("Cookie").isNull());
    EXPECT_TRUE(request.header("Authorization").isNull());
    EXPECT_EQ(QJsonDocument::fromJson(request.body).object(),
              (QJsonObject{{QStringLiteral("code"), QStringLiteral("123456")},
                           {QStringLiteral("installId"), installId},
                           {QStringLiteral("deviceName"), deviceName},
                           {QStringLiteral("platform"), QStringLiteral("macos")},
                           {QStringLiteral("appVersion"), QStringLiteral("0.2.0")},
                           {QStringLiteral("protocolVersion"), 2}}));

    // The device name is cut by characters the user sees, never through one.
    EXPECT_EQ(PairingRequest::deviceNameFor(std::nullopt), QStringLiteral("Mac"));
    const QString thumbs = QStringLiteral("👍🏽");
    EXPECT_EQ(PairingRequest::deviceNameFor(thumbs.repeated(200)), thumbs.repeated(128));
}

TEST_F(PairingClientTest, RefusalsAndUnusableAnswersGetTheirOwnErrors) {
    for (const int status : {400, 409, 503})
        expectError(pair({Reply(status, R"({"error":"refused"})")}),
                    AgentError::pairingFailed(status));
    // A refusal whose body never ends is decided on its status at once.
    expectError(pair({special([](Reply& r) { r.announcedLength = 100'000'000; },
                              Reply(500, QByteArray(4096, 'x')))}),
                AgentError::pairingFailed(500));

    const AgentError invalid = AgentError::invalidPairingResponse();
    expectError(pair({Reply(200, "not json")}), invalid);
    expectError(pair({Reply(200, pairingAnswer("2", "wss://vindaro.net.example/ws"))}), invalid);
    expectError(pair({Reply(200, pairingAnswer("3"))}), AgentError::unsupportedProtocol());
    // At most 32 KiB.
    EXPECT_TRUE(pair({Reply(201, answerOfSize(32768))}).isSuccess());
    expectError(pair({Reply(200, answerOfSize(32769))}), invalid);
    expectError(pair({special([](Reply& r) { r.announcedLength = 100'000'000; },
                              Reply(200, QByteArray(65536, ' ')))}),
                invalid);
}

TEST_F(PairingClientTest, RedirectsAreFollowedOnlyAsAPostToTheEndpointOnItsOwnHost) {
    for (const auto& moved : {redirect(308, "/api/v1/agent/pair?attempt=2"),
                              redirect(307, "https://VINDARO.NET:443/api/v1/agent/pair")}) {
        const qsizetype before = service.requests().size();
        EXPECT_TRUE(pair({moved, Reply(200, pairingAnswer())}).isSuccess());
        ASSERT_EQ(service.requests().size(), before + 2);
        EXPECT_EQ(service.requests().last().body, service.requests()[before].body);
    }
    for (const auto& moved : {
             redirect(301, "https://vindaro.net/api/v1/agent/pair"), // a POST becomes a GET
             redirect(307, "https://www.vindaro.net/api/v1/agent/pair"),
             redirect(307, "https://example.com/api/v1/agent/pair"),
             redirect(308, "https://vindaro.net:8443/api/v1/agent/pair"),
             Reply(307),
         }) {
        const qsizetype before = service.requests().size();
        expectError(pair({moved, Reply(200, pairingAnswer())}),
                    AgentError::pairingFailed(moved.status));
        EXPECT_EQ(service.requests().size(), before + 1);
    }
}

TEST_F(PairingClientTest, HangUpsSilenceAndSlowAnswersEndInQtsOwnErrors) {
    expectTransportError(pair({special([](Reply& r) { r.hangUp = true; })}),
                         QNetworkReply::RemoteHostClosedError);
    PairingClientOptions quick = options();
    quick.requestTimeout = 300ms;
    PairingClient impatient(quick);
    PairingResult result = pair({special(silent)}, &impatient);
    expectTransportError(result, QNetworkReply::TimeoutError);
    EXPECT_EQ(result.errorDescription(), QStringLiteral("Socket operation timed out"));
    // Bytes keep arriving, so only the limit on the whole exchange ends it.
    quick = options();
    quick.exchangeTimeout = 1s;
    PairingClient deadline(quick);
    result = pair({special([](Reply& r) { r.byteInterval = 50ms; })}, &deadline);
    expectTransportError(result, QNetworkReply::TimeoutError);
}

TEST_F(PairingClientTest, CancelASecondPairOrDestroyingTheClientEachEndTheExchangeOnce) {
    service.plan({special(silent), Reply(200, pairingAnswer())});
    std::vector<PairingResult> first;
    std::vector<PairingResult> second;
    start(client, first, QStringLiteral("111111"));
    ASSERT_TRUE(eventually([&] { return service.requests().size() == 1; }));
    // An invalid code fails before pair() returns and leaves the exchange in flight alone.
    std::vector<PairingResult> invalid;
    start(client, invalid, QStringLiteral("12345"));
    ASSERT_EQ(invalid.size(), 1u);
    expectError(invalid.front(), AgentError::invalidPairingCode());
    EXPECT_TRUE(client.isExchanging());

    start(client, second, QStringLiteral("222222"));
    ASSERT_TRUE(eventually([&] { return !second.empty(); }));
    QCoreApplication::processEvents();
    ASSERT_EQ(first.size(), 1u);
    expectTransportError(first.front(), QNetworkReply::OperationCanceledError);
    EXPECT_TRUE(second.front().isSuccess()) << describe(second.front());
    EXPECT_TRUE(service.requests()[1].body.contains("\"code\":\"222222\""));

    service.plan({special(silent)});
    std::vector<PairingResult> cancelled;
    start(client, cancelled);
    ASSERT_TRUE(eventually([&] { return service.requests().size() == 3; }));
    client.cancel();
    EXPECT_TRUE(cancelled.empty()) << "delivered from the event loop, not inside cancel()";
    ASSERT_TRUE(eventually([&] { return !cancelled.empty(); }));
    client.cancel();
    QCoreApplication::processEvents();
    EXPECT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(cancelled.front().errorDescription(), QStringLiteral("Operation canceled"));

    std::vector<PairingResult> abandoned;
    {
        PairingClient shortLived(options());
        start(shortLived, abandoned);
        ASSERT_TRUE(eventually([&] { return service.requests().size() == 4; }));
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(abandoned.empty());
}
