#pragma once

// What the benchmarks share: the fake relay on a thread of its own, resident memory, and
// percentiles of a series of timings.
#include "support/fake_relay_service.h"

#include <QFile>
#include <QHostAddress>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace vindaro::bench {

// Resident memory of the process in KiB ("self" for this one); -1 when it cannot be read.
inline long residentKiB(const QString& pid = QStringLiteral("self")) {
    QFile status(QStringLiteral("/proc/") + pid + QStringLiteral("/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

struct Summary {
    double p50, p90, p99, p999, max, mean;
};

inline Summary summarize(std::vector<double> values) {
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        const auto index = static_cast<size_t>(q * static_cast<double>(values.size() - 1));
        return values[index];
    };
    double sum = 0;
    for (double value : values)
        sum += value;
    return {at(0.50),  at(0.90),      at(0.99),
            at(0.999), values.back(), sum / static_cast<double>(values.size())};
}

inline void print(const char* what, const Summary& s, const char* unit = "us") {
    std::printf("%s: p50 %.1f %s, p90 %.1f %s, p99 %.1f %s, p99.9 %.1f %s, max %.1f %s, "
                "mean %.1f %s\n",
                what, s.p50, unit, s.p90, unit, s.p99, unit, s.p999, unit, s.max, unit, s.mean,
                unit);
}

// The fake relay on its own thread, so that sending never waits for the agent's event loop;
// everything that touches it runs there.
class RelayThread {
public:
    explicit RelayThread(const QHostAddress& address = QHostAddress::LocalHost) {
        m_context.moveToThread(&m_thread);
        m_thread.start();
        run([this, address] {
            m_relay = new FakeRelayService();
            if (!m_relay->listen(443, address))
                std::printf("cannot listen on %s:443\n", qPrintable(address.toString()));
        });
    }
    ~RelayThread() {
        run([this] { delete m_relay; });
        m_thread.quit();
        m_thread.wait();
    }
    RelayThread(const RelayThread&) = delete;
    RelayThread& operator=(const RelayThread&) = delete;

    void run(const std::function<void()>& work) {
        QMetaObject::invokeMethod(&m_context, work, Qt::BlockingQueuedConnection);
    }
    void post(std::function<void()> work) {
        QMetaObject::invokeMethod(&m_context, std::move(work), Qt::QueuedConnection);
    }
    FakeRelayService& relay() { return *m_relay; }
    QObject& context() { return m_context; }

private:
    QThread m_thread;
    QObject m_context;
    FakeRelayService* m_relay = nullptr;
};

} // namespace vindaro::bench
