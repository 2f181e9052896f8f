// Prints how exactly the keyboard executor keeps its hold and gap times, how fast cancelAll()
// releases a held key, and what enqueue() costs: p50, p99 and max of each; then the hold and gap
// figures again while stress-ng loads every core, with the worker at normal and at real-time
// priority. Figures only; it asserts nothing.
// Usage: vindaro_keyboard_bench [commands per timing run, default 40]
#include "cpu_load.h"
#include "keyboard/keyboard_executor.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "platform/linux/realtime/realtime_scheduling.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vindaro::KeyboardExecutor;
using vindaro::KeyDelivery;
using vindaro::KeyDirection;
using vindaro::KeyPoster;
using vindaro::KeyTicket;
using vindaro::PostedKey;
using vindaro::RecordingKeyPoster;
using vindaro::XTestKeyPoster;
using vindaro::test::RecordedKey;
using vindaro::test::XKeyRecorder;
using vindaro::test::XvfbServer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int pressesPerCommand = 5;
constexpr int holdMs = 20;
constexpr auto patience = 30s;
constexpr int loadedRunMinimum = 10;

double millis(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "vindaro_keyboard_bench: %s\n", what);
    std::exit(1);
}

// The X poster opens its display in the background.
void waitUntilReady(KeyPoster& poster) {
    const auto deadline = Clock::now() + patience;
    while (!poster.mayPostEvents()) {
        if (Clock::now() > deadline)
            fail("the X display did not open");
        std::this_thread::sleep_for(1ms);
    }
}

// Every command here fits the queue; one refused would make the figures meaningless.
void expectAccepted(bool accepted) {
    if (!accepted)
        fail("the executor refused a command");
}

void printRow(const char* measure, std::vector<double> samples, const char* unit) {
    if (samples.empty()) {
        std::printf("%-46s %7s\n", measure, "none");
        return;
    }
    std::ranges::sort(samples);
    const auto at = [&](double fraction) {
        const auto rank =
            static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
        return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
    };
    std::printf("%-46s %7zu %9.3f %9.3f %9.3f  %s\n", measure, samples.size(), at(0.5), at(0.99),
                samples.back(), unit);
}

// Wraps a poster and notes when each of its events was handed over (sendKey() or postKey()
// returned) and when it was confirmed delivered.
class TimingPoster final : public KeyPoster {
public:
    struct Posted {
        KeyDirection direction;
        Clock::time_point time;
        bool confirmed;
    };

    explicit TimingPoster(KeyPoster& inner)
        : m_inner(inner) {}

    bool mayPostEvents() override { return m_inner.mayPostEvents(); }
    bool postKey(std::uint16_t code, KeyDirection direction) override {
        const bool posted = m_inner.postKey(code, direction);
        note(direction, false);
        if (posted)
            note(direction, true);
        return posted;
    }
    KeyTicket sendKey(std::uint16_t code, KeyDirection direction) override {
        const KeyTicket ticket = m_inner.sendKey(code, direction);
        {
            std::scoped_lock lock(m_mutex);
            m_directions[ticket] = direction;
        }
        note(direction, false);
        return ticket;
    }
    KeyDelivery awaitKey(KeyTicket ticket, Clock::time_point deadline) override {
        const KeyDelivery delivery = m_inner.awaitKey(ticket, deadline);
        if (delivery == KeyDelivery::delivered) {
            KeyDirection direction = KeyDirection::down;
            {
                std::scoped_lock lock(m_mutex);
                direction = m_directions[ticket];
            }
            note(direction, true);
        }
        return delivery;
    }

    std::size_t count() {
        std::scoped_lock lock(m_mutex);
        return m_posted.size();
    }

    // The first event from index `from` on that `matches`, once there is one.
    Posted waitFor(std::size_t from, const std::function<bool(const Posted&)>& matches) {
        std::unique_lock lock(m_mutex);
        std::optional<Posted> found;
        m_changed.wait_for(lock, patience, [&] {
            for (std::size_t index = from; index < m_posted.size() && !found; ++index) {
                if (matches(m_posted[index]))
                    found = m_posted[index];
            }
            return found.has_value();
        });
        if (!found)
            fail("a key event did not come");
        return *found;
    }

private:
    void note(KeyDirection direction, bool confirmed) {
        const auto now = Clock::now();
        {
            std::scoped_lock lock(m_mutex);
            m_posted.push_back({direction, now, confirmed});
        }
        m_changed.notify_all();
    }

    KeyPoster& m_inner;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Posted> m_posted;
    std::map<KeyTicket, KeyDirection> m_directions;
};

// Hold and gap errors (actual minus requested, in ms) of `commands` commands of five presses.
struct TimingErrors {
    std::vector<double> hold;
    std::vector<double> gap;
};

template <typename Event, typename Elapsed>
TimingErrors timingErrors(const std::vector<Event>& events, Elapsed elapsedMs) {
    TimingErrors errors;
    const std::size_t perCommand = 2 * pressesPerCommand;
    for (std::size_t start = 0; start + perCommand <= events.size(); start += perCommand) {
        for (std::size_t press = 0; press < pressesPerCommand; ++press) {
            const std::size_t down = start + 2 * press;
            errors.hold.push_back(elapsedMs(events[down], events[down + 1]) - holdMs);
            if (press + 1 < pressesPerCommand)
                errors.gap.push_back(elapsedMs(events[down + 1], events[down + 2]) -
                                     static_cast<double>(KeyboardExecutor::pressGap.count()));
        }
    }
    return errors;
}

void enqueueTimingRun(KeyboardExecutor& executor, int commands) {
    for (int command = 0; command < commands; ++command)
        expectAccepted(executor.enqueue("W", 13, pressesPerCommand, holdMs, "bench"));
}

TimingErrors fakeTiming(int commands, std::function<void()> onWorkerStart = {}) {
    RecordingKeyPoster poster;
    KeyboardExecutor executor(poster, nullptr, std::move(onWorkerStart));
    enqueueTimingRun(executor, commands);
    const auto events = poster.waitForEvents(
        static_cast<std::size_t>(commands * 2 * pressesPerCommand), patience * commands);
    return timingErrors(events, [](const PostedKey& earlier, const PostedKey& later) {
        return millis(later.time - earlier.time);
    });
}

TimingErrors xClientTiming(const std::string& display, int commands,
                           std::function<void()> onWorkerStart = {}) {
    XKeyRecorder recorder(display);
    XTestKeyPoster poster(display);
    waitUntilReady(poster);
    KeyboardExecutor executor(poster, nullptr, std::move(onWorkerStart));
    enqueueTimingRun(executor, commands);
    const auto events = recorder.waitForEvents(
        static_cast<std::size_t>(commands * 2 * pressesPerCommand), patience * commands);
    return timingErrors(events, [](const RecordedKey& earlier, const RecordedKey& later) {
        return static_cast<double>(later.serverTime - earlier.serverTime);
    });
}

// The first release the X client recorded from index `from` on, after a press.
std::optional<RecordedKey> releaseAfter(const std::vector<RecordedKey>& events, std::size_t from) {
    bool pressed = false;
    for (std::size_t index = from; index < events.size(); ++index) {
        pressed = pressed || events[index].pressed;
        if (pressed && !events[index].pressed)
            return events[index];
    }
    return std::nullopt;
}

RecordedKey waitForRelease(const XKeyRecorder& recorder, std::size_t from) {
    const auto released = releaseAfter(
        recorder.waitUntil(
            [&](const auto& events) { return releaseAfter(events, from).has_value(); }, patience),
        from);
    if (!released)
        fail("the X client saw no release");
    return *released;
}

// From the call of cancelAll() during a long hold to its return, to the key-up handed to the
// poster, to the key-up confirmed delivered, and, with an X client, to the release it records
// (in the server's whole milliseconds).
struct CancelLatency {
    std::vector<double> returned;
    std::vector<double> keyUp;
    std::vector<double> confirmed;
    std::vector<double> atXClient;
};

CancelLatency cancelLatency(KeyPoster& inner, int rounds, XKeyRecorder* recorder = nullptr) {
    TimingPoster poster(inner);
    KeyboardExecutor executor(poster);
    CancelLatency latency;
    for (int round = 0; round < rounds; ++round) {
        const std::size_t from = poster.count();
        const std::size_t recordedFrom = recorder != nullptr ? recorder->events().size() : 0;
        expectAccepted(executor.enqueue("SPACE", 49, 1, 3000, "bench"));
        poster.waitFor(from, [](const TimingPoster::Posted& posted) {
            return posted.direction == KeyDirection::down && posted.confirmed;
        });
        const auto called = Clock::now();
        executor.cancelAll();
        latency.returned.push_back(millis(Clock::now() - called));
        const auto upAnd = [](bool confirmed) {
            return [confirmed](const TimingPoster::Posted& posted) {
                return posted.direction == KeyDirection::up && posted.confirmed == confirmed;
            };
        };
        latency.keyUp.push_back(millis(poster.waitFor(from, upAnd(false)).time - called));
        latency.confirmed.push_back(millis(poster.waitFor(from, upAnd(true)).time - called));
        if (recorder == nullptr)
            continue;
        const RecordedKey released = waitForRelease(*recorder, recordedFrom);
        const auto calledMs = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(called.time_since_epoch())
                .count());
        latency.atXClient.push_back(
            static_cast<double>(static_cast<std::int32_t>(released.serverTime - calledMs)));
    }
    return latency;
}

// How long cancelAll() takes while the X server is stopped with a key held.
std::vector<double> stoppedServerCancel(XvfbServer& server, int rounds) {
    XKeyRecorder recorder(server.displayName());
    XTestKeyPoster poster(server.displayName());
    waitUntilReady(poster);
    KeyboardExecutor executor(poster);
    std::vector<double> returned;
    for (int round = 0; round < rounds; ++round) {
        const std::size_t from = recorder.events().size();
        expectAccepted(executor.enqueue("SPACE", 49, 1, 3000, "bench"));
        if (recorder.waitForEvents(from + 1, patience).size() < from + 1)
            fail("the X client saw no press");
        server.suspend();
        const auto called = Clock::now();
        executor.cancelAll();
        returned.push_back(millis(Clock::now() - called));
        server.resume();
        waitForRelease(recorder, from);
    }
    return returned;
}

std::vector<double> enqueueCost(int rounds) {
    RecordingKeyPoster poster;
    KeyboardExecutor executor(poster);
    std::vector<double> costs;
    for (int round = 0; round < rounds; ++round) {
        const std::size_t before = poster.events().size();
        expectAccepted(executor.enqueue("SPACE", 49, 1, 3000, "bench"));
        poster.waitForEvents(before + 1, patience); // the worker now holds a key
        for (int command = 1; command < KeyboardExecutor::maxPendingCommands; ++command) {
            std::string name = "SPACE";
            std::string source = "ทดสอบจาก Agent";
            const auto start = Clock::now();
            const bool accepted = executor.enqueue(std::move(name), 49, 1, 80, std::move(source));
            costs.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            expectAccepted(accepted);
        }
        executor.cancelAll();
        // Wait until the skipped commands have drained.
        const auto deadline = Clock::now() + patience;
        while (!executor.enqueue("END", 99, 1, 0, "bench") && Clock::now() < deadline)
            std::this_thread::yield();
        poster.waitUntil(
            [](const std::vector<PostedKey>& events) {
                return !events.empty() && events.back().code == 99 &&
                       events.back().direction == KeyDirection::up;
            },
            patience);
    }
    return costs;
}

} // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    std::printf("Keyboard executor: %d commands of %d presses held %d ms, gaps %lld ms\n\n",
                commands, pressesPerCommand, holdMs,
                static_cast<long long>(KeyboardExecutor::pressGap.count()));
    std::printf("%-46s %7s %9s %9s %9s\n", "measure", "samples", "p50", "p99", "max");

    const TimingErrors fake = fakeTiming(commands);
    printRow("hold error, fake poster", fake.hold, "ms");
    printRow("gap error, fake poster", fake.gap, "ms");

    XvfbServer server;
    const TimingErrors x = xClientTiming(server.displayName(), commands);
    printRow("hold error, X client (server ms)", x.hold, "ms");
    printRow("gap error, X client (server ms)", x.gap, "ms");

    RecordingKeyPoster fakePoster;
    const CancelLatency fakeCancel = cancelLatency(fakePoster, 5 * commands);
    printRow("cancelAll returns, fake poster", fakeCancel.returned, "ms");
    printRow("cancelAll -> key-up posted, fake poster", fakeCancel.keyUp, "ms");
    {
        XKeyRecorder recorder(server.displayName());
        XTestKeyPoster xtest(server.displayName());
        waitUntilReady(xtest);
        const CancelLatency xCancel = cancelLatency(xtest, 5 * commands, &recorder);
        printRow("cancelAll returns, X server", xCancel.returned, "ms");
        printRow("cancelAll -> key-up confirmed by X server", xCancel.confirmed, "ms");
        printRow("cancelAll -> release at X client (server ms)", xCancel.atXClient, "ms");
    }
    printRow("cancelAll returns, X server stopped", stoppedServerCancel(server, commands), "ms");

    printRow("enqueue", enqueueCost(commands), "us");

    // The test suite's short run leaves this out: it must never load a shared machine.
    if (commands >= loadedRunMinimum) {
        vindaro::bench::CpuLoad load(2);
        auto grant = vindaro::RealtimeGrant::none;
        const auto raise = [&grant] { grant = vindaro::makeCurrentThreadRealtime(); };
        const TimingErrors fakeNormal = fakeTiming(commands);
        const TimingErrors fakeRealtime = fakeTiming(commands, raise);
        const TimingErrors normal = xClientTiming(server.displayName(), commands);
        const TimingErrors realtime = xClientTiming(server.displayName(), commands, raise);
        printRow("hold error, fake poster, loaded, normal priority", fakeNormal.hold, "ms");
        printRow("gap error, fake poster, loaded, normal priority", fakeNormal.gap, "ms");
        printRow("hold error, fake poster, loaded, real-time", fakeRealtime.hold, "ms");
        printRow("gap error, fake poster, loaded, real-time", fakeRealtime.gap, "ms");
        printRow("hold error, X client, loaded, normal priority", normal.hold, "ms");
        printRow("gap error, X client, loaded, normal priority", normal.gap, "ms");
        printRow("hold error, X client, loaded, real-time", realtime.hold, "ms");
        printRow("gap error, X client, loaded, real-time", realtime.gap, "ms");
        if (grant == vindaro::RealtimeGrant::none)
            std::printf("(the worker did not get real-time priority here)\n");
    }
    return 0;
}
