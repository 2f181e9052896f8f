// How fast key commands get from the relay to the controller, through the path production uses:
// TLS over loopback to "vindaro.net:443", Qt's WebSocket, the client's checks and decoding, the
// delegate. The process runs in a private namespace where vindaro.net is 127.0.0.1 (so it needs
// root); the fake relay runs on a thread of its own, the client on the main thread as in the
// agent. Prints figures; asserts nothing.
#include "relay/web_socket_client.h"
#include "relay/web_socket_client_delegate.h"

#include "bench_support.h"
#include "support/fake_relay_service.h"
#include "support/service_namespace.h"
#include "support/test_pki.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

using namespace vindaro;
using namespace vindaro::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int latencyMessages = 20000;
constexpr int floodRatePerSecond = 10000;
constexpr int floodSeconds = 5;

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// The send time travels in the command's viewer field, as a real command of ordinary size.
QString commandSentNow(int sequence) {
    return QStringLiteral(R"({"type":"key","key":"space","pressCount":1,"holdMs":40,)"
                          R"("source":"gift-)") +
           QString::number(sequence) + QStringLiteral(R"(","viewer":")") +
           QString::number(nowNs()) + QStringLiteral("\"}");
}

class LatencyDelegate : public WebSocketClientDelegate {
public:
    void webSocketClientConnecting(WebSocketClient&) noexcept override {}
    void webSocketClientConnected(WebSocketClient&) noexcept override { connected = true; }
    void webSocketClientDisconnected(WebSocketClient&, const QString& message,
                                     bool) noexcept override {
        std::printf("disconnected: %s\n", qPrintable(message));
        lost = true;
        if (afterEvent)
            afterEvent();
    }
    void webSocketClientWaitingForNetwork(WebSocketClient&, const QString&) noexcept override {}
    void webSocketClientReceived(WebSocketClient&, const KeyCommand& command) noexcept override {
        const qint64 sent = command.viewer.value_or(QString()).toLongLong();
        if (received < latenciesUs.size())
            latenciesUs[received] = static_cast<double>(nowNs() - sent) / 1000.0;
        ++received;
        if (onReceived)
            onReceived();
        if (afterEvent)
            afterEvent();
    }

    // Written in place, so that recording adds nothing to the memory the flood is judged by.
    void expect(size_t count) {
        latenciesUs.assign(count, 0.0);
        received = 0;
    }
    std::vector<double> recorded() const {
        return {latenciesUs.begin(),
                latenciesUs.begin() + static_cast<long>(std::min(received, latenciesUs.size()))};
    }

    bool connected = false;
    bool lost = false;
    size_t received = 0;
    std::vector<double> latenciesUs;
    std::function<void()> onReceived;
    std::function<void()> afterEvent;
};

// Runs the event loop as the agent does, sleeping until something happens, until done() holds
// after a delegate event or the limit passes. (QTest::qWaitFor polls every 10 ms instead, which
// would be measured as latency.)
void runUntil(LatencyDelegate& delegate, const std::function<bool()>& done,
              std::chrono::milliseconds limit) {
    QEventLoop loop;
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    delegate.afterEvent = [&] {
        if (done())
            loop.quit();
    };
    if (!done())
        loop.exec();
    delegate.afterEvent = nullptr;
}

void measureLatency(RelayThread& relayThread, LatencyDelegate& delegate) {
    // One message in flight at a time: each arrival asks for the next, so nothing queues.
    int sent = 0;
    const auto sendNext = [&relayThread, &sent] {
        const int sequence = ++sent;
        relayThread.post([&relayThread, sequence] {
            relayThread.relay().lastPeer().sendText(commandSentNow(sequence));
        });
    };
    delegate.expect(latencyMessages);
    delegate.onReceived = [&] {
        if (sent < latencyMessages)
            sendNext();
    };
    sendNext();
    runUntil(
        delegate, [&] { return delegate.received >= size_t(latencyMessages) || delegate.lost; },
        std::chrono::minutes(5));
    delegate.onReceived = nullptr;
    std::printf("relay to delegate, one at a time, %zu messages\n", delegate.received);
    print("  latency", summarize(delegate.recorded()));
}

void measureFlood(RelayThread& relayThread, LatencyDelegate& delegate) {
    const int total = floodRatePerSecond * floodSeconds;
    delegate.expect(total);
    const long before = residentKiB();
    std::vector<long> samples;

    // The relay sends on a 1 ms timer, as many as keep the average at the rate from the start.
    relayThread.run([&relayThread, total] {
        auto* timer = new QTimer(&relayThread.context());
        timer->setTimerType(Qt::PreciseTimer);
        const auto start = Clock::now();
        auto sent = std::make_shared<int>(0);
        QObject::connect(timer, &QTimer::timeout, timer, [&relayThread, timer, start, sent, total] {
            const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const int due = std::min(total, static_cast<int>(elapsed * floodRatePerSecond));
            while (*sent < due)
                relayThread.relay().lastPeer().sendText(commandSentNow(++*sent));
            if (*sent >= total)
                timer->deleteLater();
        });
        timer->start(1);
    });

    const auto start = Clock::now();
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { samples.push_back(residentKiB()); });
    sampler.start(1000);
    runUntil(
        delegate, [&] { return delegate.received >= size_t(total) || delegate.lost; },
        std::chrono::seconds(floodSeconds + 30));
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    sampler.stop();

    std::printf("flood of %d messages/s for %d s: %zu of %d handled in %.2f s (%.0f/s)\n",
                floodRatePerSecond, floodSeconds, delegate.received, total, took,
                static_cast<double>(delegate.received) / took);
    print("  latency under flood", summarize(delegate.recorded()));
    std::printf("  resident memory: before %ld KiB, each second", before);
    for (long sample : samples)
        std::printf(" %ld", sample);
    std::printf(", after %ld KiB\n", residentKiB());
}

} // namespace

int main(int argc, char** argv) {
    if (!ServiceNamespace::enter())
        return 1;
    QCoreApplication application(argc, argv);
    ServiceNamespace::routeServiceToLoopback(TestPki::instance());

    RelayThread relayThread;
    LatencyDelegate delegate;
    WebSocketClient client;
    client.setDelegate(&delegate);
    client.connectTo(
        QUrl(QStringLiteral("wss://vindaro.net/ws?role=agent&sessionId=BENCH&agentId=a")),
        QStringLiteral("bench-token"));
    bool ready = false;
    (void)QTest::qWaitFor(
        [&] {
            relayThread.run([&] { ready = relayThread.relay().peerCount() == 1; });
            return delegate.connected && ready;
        },
        20000);
    if (!ready) {
        std::fprintf(stderr, "the client did not connect to the fake relay\n");
        return 1;
    }

    measureLatency(relayThread, delegate);
    measureFlood(relayThread, delegate);
    client.disconnect(false);
    return delegate.lost ? 1 : 0;
}
