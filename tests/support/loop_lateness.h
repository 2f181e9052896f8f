#pragma once

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <vector>

// How late a 10 ms timer fires on this thread's event loop while the probe lives: how late the
// window would repaint or take a click.
class LoopLateness {
public:
    LoopLateness() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(period);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            m_lateness.push_back(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - m_last - period));
            m_last = now;
        });
        m_last = Clock::now();
        m_timer.start();
    }

    std::size_t ticks() const { return m_lateness.size(); }

    std::chrono::milliseconds percentile99() const {
        if (m_lateness.empty())
            return std::chrono::milliseconds::max();
        std::vector<std::chrono::milliseconds> sorted = m_lateness;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() * 99 / 100];
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds period{10};

    QTimer m_timer;
    Clock::time_point m_last;
    std::vector<std::chrono::milliseconds> m_lateness;
};
