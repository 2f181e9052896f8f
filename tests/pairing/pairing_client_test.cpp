// The pairing client against a fake pairing endpoint over real TLS on loopback, reached the way
// production reaches the service: by the name vindaro.net on port 443, through the test CA and
// a CONNECT proxy installed for the process.
#include "pairing/pairing_client.h"
#include "support/connect_proxy.h"
#include "support/fake_pairing_service.h"
#include "support/qt_printers.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <vector>

using namespace std::chrono_literals;
using vindaro::AgentError;
using vindaro::AgentSession;
using vindaro::PairingClient;
using vindaro::PairingClientOptions;
using vindaro::PairingResult;
using Reply = FakePairingService::Reply;

namespace {

const QString installId = QStringLiteral("0f8e2d3c-4b5a-4697-8877-665544332211");
const QString token = QStringLiteral("tok-PAIRED-9d8c7b6a");
const QString deviceName = QStringLiteral("ห้อง \"สตรีม\"\n's PC");

QByteArray responseBody(const QByteArray& protocolVersion = "2",
                        const QByteArray& wsUrl = "wss://vindaro.net/ws") {
    return R"({"wsUrl":")" + wsUrl +
           R"(","sessionId":"session_123","agentId":"agent_456","agentToken":")" + token.toUtf8() +
           R"(","protocolVersion":)" + protocolVersion + "}";
}

// A valid response made exactly `size` bytes long with white space JSON allows.
QByteArray responseBodyOfSize(qsizetype size) {
    QByteArray body = responseBody();
    return body + QByteArray(size - body.size(), ' ');
}

QByteArray gzip(const QByteArray& bytes) {
    QProcess process;
    process.start(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n")});
    process.write(bytes);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(30000));
    return process.readAllStandardOutput();
}

Reply redirect(int status, const QByteArray& location) {
    return Reply(status, {}, {{"Location", location}});
}

Reply silence() {
    Reply reply;
    reply.silent = true;
    return reply;
}

AgentSession expectedSession() {
    return AgentSession(QStringLiteral("wss://vindaro.net/ws"), QStringLiteral("session_123"),
                        QStringLiteral("agent_456"), token, 2);
}

// Every result a completion was called with, and whether each call came on the main thread.
struct Completions {
    PairingClient::Completion callback() {
        return [this](const PairingResult& result) {
            onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
            results.push_back(result);
        };
    }
    bool waitFor(std::size_t count) {
        return QTest::qWaitFor([&] { return results.size() >= count; }, 30000);
    }
    std::vector<PairingResult> results;
    bool onMainThread = true;
};

std::string describe(const PairingResult& result) {
    return result.isSuccess() ? std::string("success") : result.errorDescription().toStdString();
}

void expectAgentError(const PairingResult& result, const AgentError& expected) {
    ASSERT_NE(result.agentError(), nullptr) << describe(result);
    EXPECT_EQ(*result.agentError(), expected) << describe(result);
    EXPECT_EQ(result.errorDescription(), expected.description());
}

void expectTransportError(const PairingResult& result, QNetworkReply::NetworkError expected) {
    ASSERT_NE(result.transportError(), nullptr) << describe(result);
    EXPECT_EQ(result.transportError()->code, expected) << describe(result);
    EXPECT_FALSE(result.errorDescription().isEmpty());
}

PairingClientOptions testOptions() {
    PairingClientOptions options;
    options.hostName = [] { return std::optional<QString>(deviceName); };
    return options;
}

class PairingClientTest : public ::testing::Test {
protected:
    PairingClientTest() {
        TestPki::instance().trustTestCaInThisProcess();
        proxy.installAsApplicationProxy();
    }

    // One exchange to its end. Its completion must come exactly once, on the main thread, and
    // the client is idle afterwards.
    PairingResult pairAndWait(PairingClient& pairingClient,
                              const QString& code = QStringLiteral("123456")) {
        Completions completions;
        pairingClient.pair(code, installId, completions.callback());
        EXPECT_TRUE(completions.waitFor(1));
        QCoreApplication::processEvents();
        EXPECT_EQ(completions.results.size(), 1u);
        EXPECT_TRUE(completions.onMainThread);
        EXPECT_FALSE(pairingClient.isExchanging());
        if (completions.results.empty())
            return AgentError::eventCreationFailed(); // a result no exchange gives
        return completions.results.front();
    }
    PairingResult pairAndWait() { return pairAndWait(client); }

    FakePairingService service;
    ConnectProxy proxy{service.port()};
    PairingClient client{testOptions()};
};

TEST_F(PairingClientTest, TheServiceReceivesOneJsonPostWithTheAgentsHeaders) {
    service.plan({Reply(200, responseBody())});
    const PairingResult result = pairAndWait();

    ASSERT_TRUE(result.isSuccess()) << describe(result);
    EXPECT_EQ(*result.session(), expectedSession());
    EXPECT_EQ(proxy.requestedTunnels(), QStringList{QStringLiteral("vindaro.net:443")});
    ASSERT_EQ(service.requests().size(), 1);
    const FakePairingService::Request& request = service.requests().first();
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
                           {QStringLiteral("protocolVersion"), 2}}))
        << request.body.toStdString();
}

TEST_F(PairingClientTest, NoCookieIsKeptOrSentEvenWhenTheServiceSetsOne) {
    Reply moved = redirect(307, "/api/v1/agent/pair");
    moved.headers.append(
        std::pair<QByteArray, QByteArray>("Set-Cookie", "visit=1; Path=/; Secure"));
    Reply paired(200, responseBody(), {{"Set-Cookie", "visit=2; Path=/; Secure"}});
    service.plan({moved, paired});
    ASSERT_TRUE(pairAndWait().isSuccess());
    ASSERT_TRUE(pairAndWait().isSuccess());

    ASSERT_EQ(service.requests().size(), 3);
    for (const auto& request : service.requests())
        EXPECT_TRUE(request.header("Cookie").isNull()) << request.header("Cookie").toStdString();
}

TEST_F(PairingClientTest, RefusalsAreShownWithTheirOwnMessagesAndTheirBodiesAreNotRead) {
    // Each status's message is the model's to choose; here, that the status reaches it.
    for (const int status : {400, 404, 409, 429, 503}) {
        service.plan({Reply(status, R"({"error":"refused"})")});
        expectAgentError(pairAndWait(), AgentError::pairingFailed(status));
    }

    // A refusal whose body never ends is decided on its status at once.
    Reply endless(500, QByteArray(4096, 'x'));
    endless.announcedLength = 100'000'000;
    service.plan({endless});
    expectAgentError(pairAndWait(), AgentError::pairingFailed(500));
}

TEST_F(PairingClientTest, SuccessStatusesWithUnusableBodiesAreInvalidResponses) {
    const AgentError invalid = AgentError::invalidPairingResponse();
    const std::vector<std::pair<Reply, AgentError>> cases = {
        {Reply(200), invalid},
        {Reply(200, "not json"), invalid},
        {Reply(200, responseBody("2", "wss://vindaro.net.example/ws")), invalid},
        {Reply(200, responseBody("3")), AgentError::unsupportedProtocol()},
    };
    for (const auto& [reply, expected] : cases) {
        service.plan({reply});
        SCOPED_TRACE(reply.body.toStdString());
        expectAgentError(pairAndWait(), expected);
    }
    service.plan({Reply(201, responseBody())});
    EXPECT_TRUE(pairAndWait().isSuccess());
}

TEST_F(PairingClientTest, TheBodyLimitCountsTheBytesAsQtHandsThemOver) {
    const AgentError invalid = AgentError::invalidPairingResponse();
    service.plan({Reply(200, responseBodyOfSize(32768))});
    EXPECT_TRUE(pairAndWait().isSuccess());
    service.plan({Reply(200, responseBodyOfSize(32769))});
    expectAgentError(pairAndWait(), invalid);

    // Qt decompresses on the fly, so the limit applies to what the body expands to.
    service.plan({Reply(200, gzip(responseBodyOfSize(32768)), {{"Content-Encoding", "gzip"}})});
    EXPECT_TRUE(pairAndWait().isSuccess());
    const QByteArray bomb = gzip(responseBodyOfSize(32769));
    ASSERT_LT(bomb.size(), 1000);
    service.plan({Reply(200, bomb, {{"Content-Encoding", "gzip"}})});
    expectAgentError(pairAndWait(), invalid);

    // Reading stops past the limit: a body that never ends is refused, not waited for.
    Reply endless(200, QByteArray(65536, ' '));
    endless.announcedLength = 100'000'000;
    service.plan({endless});
    expectAgentError(pairAndWait(), invalid);
}

TEST_F(PairingClientTest, RedirectsAreFollowedOnlyAsAPostToTheEndpointOnItsOwnHost) {
    for (const auto& moved : {redirect(307, "https://vindaro.net/api/v1/agent/pair"),
                              redirect(308, "/api/v1/agent/pair?attempt=2"),
                              redirect(307, "https://VINDARO.NET:443/api/v1/agent/pair")}) {
        const qsizetype before = service.requests().size();
        service.plan({moved, Reply(200, responseBody())});
        SCOPED_TRACE(moved.headers.first().second.toStdString());
        EXPECT_TRUE(pairAndWait().isSuccess());
        ASSERT_EQ(service.requests().size(), before + 2);
        const auto& followed = service.requests().last();
        EXPECT_EQ(followed.method, QByteArray("POST"));
        EXPECT_EQ(followed.body, service.requests()[before].body);
        EXPECT_EQ(followed.header("Content-Type"), QByteArray("application/json"));
    }

    for (const auto& moved : {
             redirect(301, "https://vindaro.net/api/v1/agent/pair"), // a POST becomes a GET
             redirect(302, "https://vindaro.net/api/v1/agent/pair"),
             redirect(303, "https://vindaro.net/api/v1/agent/pair"),
             redirect(307, "https://www.vindaro.net/api/v1/agent/pair"),
             redirect(307, "https://example.com/api/v1/agent/pair"),
             redirect(307, "http://vindaro.net/api/v1/agent/pair"),
             redirect(308, "https://vindaro.net:8443/api/v1/agent/pair"),
         }) {
        const qsizetype before = service.requests().size();
        service.plan({moved, Reply(200, responseBody())});
        SCOPED_TRACE(moved.headers.first().second.toStdString());
        expectAgentError(pairAndWait(), AgentError::pairingFailed(moved.status));
        EXPECT_EQ(service.requests().size(), before + 1);
    }

    // A redirect with nowhere to go is a refusal with its status.
    service.plan({Reply(307)});
    expectAgentError(pairAndWait(), AgentError::pairingFailed(307));
}

TEST_F(PairingClientTest, TransportFailuresArriveAsQtReportsThem) {
    Reply hangUp;
    hangUp.hangUp = true;
    service.plan({hangUp});
    expectTransportError(pairAndWait(), QNetworkReply::RemoteHostClosedError);

    for (const auto leaf :
         {TestPki::Leaf::untrusted, TestPki::Leaf::expired, TestPki::Leaf::otherHost}) {
        FakePairingService impostor(leaf);
        proxy.setTargetPort(impostor.port());
        expectTransportError(pairAndWait(), QNetworkReply::SslHandshakeFailedError);
        EXPECT_TRUE(impostor.requests().isEmpty());
    }
}

TEST_F(PairingClientTest, SilenceAndSlowAnswersEndInQtsTimeoutError) {
    const QString timedOut = QStringLiteral("Socket operation timed out");

    PairingClientOptions quickRequest = testOptions();
    quickRequest.requestTimeout = 300ms;
    PairingClient impatient(quickRequest);
    service.plan({silence()});
    PairingResult result = pairAndWait(impatient);
    expectTransportError(result, QNetworkReply::TimeoutError);
    EXPECT_EQ(result.errorDescription(), timedOut);

    // Bytes keep arriving, so only the limit on the whole exchange ends it.
    PairingClientOptions quickExchange = testOptions();
    quickExchange.exchangeTimeout = 1s;
    PairingClient deadline(quickExchange);
    Reply trickle(200, responseBody());
    trickle.byteInterval = 50ms;
    service.plan({trickle});
    result = pairAndWait(deadline);
    expectTransportError(result, QNetworkReply::TimeoutError);
    EXPECT_EQ(result.errorDescription(), timedOut);
}

TEST_F(PairingClientTest, AnInvalidCodeFailsBeforePairReturnsAndSendsNothing) {
    service.plan({silence()});
    client.pair(QStringLiteral("123456"), installId, [](const PairingResult&) {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.requests().size() == 1; }, 30000));

    // Which codes are valid is the model's rule; here, that the client applies it.
    for (const QString& code : {QStringLiteral("12345"), QStringLiteral("123456\n")}) {
        Completions completions;
        client.pair(code, installId, completions.callback());
        ASSERT_EQ(completions.results.size(), 1u) << code.toStdString();
        expectAgentError(completions.results.front(), AgentError::invalidPairingCode());
        // The exchange already in flight is left alone.
        EXPECT_TRUE(client.isExchanging());
    }
    client.cancel();
    EXPECT_EQ(service.requests().size(), 1);
}

TEST_F(PairingClientTest, CancelStillDeliversTheCancellationOnce) {
    service.plan({silence()});
    Completions completions;
    client.pair(QStringLiteral("123456"), installId, completions.callback());
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.requests().size() == 1; }, 30000));

    client.cancel();
    EXPECT_FALSE(client.isExchanging());
    EXPECT_TRUE(completions.results.empty())
        << "delivered from the event loop, not inside cancel()";
    ASSERT_TRUE(completions.waitFor(1));
    QCoreApplication::processEvents();
    ASSERT_EQ(completions.results.size(), 1u);
    EXPECT_TRUE(completions.onMainThread);
    expectTransportError(completions.results.front(), QNetworkReply::OperationCanceledError);
    EXPECT_EQ(completions.results.front().errorDescription(), QStringLiteral("Operation canceled"));

    client.cancel();
    QCoreApplication::processEvents();
    EXPECT_EQ(completions.results.size(), 1u);
}

TEST_F(PairingClientTest, ASecondPairSupersedesTheFirstWhichDeliversItsCancellation) {
    service.plan({silence(), Reply(200, responseBody())});
    Completions first;
    Completions second;
    client.pair(QStringLiteral("111111"), installId, first.callback());
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.requests().size() == 1; }, 30000));
    client.pair(QStringLiteral("222222"), installId, second.callback());

    ASSERT_TRUE(second.waitFor(1));
    QCoreApplication::processEvents();
    ASSERT_EQ(first.results.size(), 1u);
    ASSERT_EQ(second.results.size(), 1u);
    expectTransportError(first.results.front(), QNetworkReply::OperationCanceledError);
    EXPECT_TRUE(second.results.front().isSuccess()) << describe(second.results.front());
    EXPECT_FALSE(client.isExchanging());
    ASSERT_EQ(service.requests().size(), 2);
    EXPECT_TRUE(service.requests()[1].body.contains("\"code\":\"222222\""));
}

TEST_F(PairingClientTest, DestroyingTheClientAbandonsItsExchangeQuietly) {
    service.plan({silence()});
    Completions completions;
    {
        PairingClient shortLived(testOptions());
        shortLived.pair(QStringLiteral("123456"), installId, completions.callback());
        ASSERT_TRUE(QTest::qWaitFor([&] { return service.requests().size() == 1; }, 30000));
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(completions.results.empty());
}

} // namespace
