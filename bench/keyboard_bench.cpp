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
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vindaro::KeyboardExecutor;
using vindaro::KeyDirection;
using vindaro::KeyPoster;
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

// Wraps a poster and notes when each of its events had been posted (the call returned), and
// whether the executor's worker or the thread that made the wrapper posted it.
class TimingPoster final : public KeyPoster {
public:
    struct Posted {
        KeyDirection direction;
        Clock::time_point time;
        bool byWorker;
        Clock::time_point calledAt; // when the poster was asked
    };

    explicit TimingPoster(KeyPoster& inner)
        : m_inner(inner)
        , m_caller(std::this_thread::get_id()) {}

    bool mayPostEvents() override { return m_inner.mayPostEvents(); }
    bool postKey(std::uint16_t code, KeyDirection direction) override {
        const auto called = Clock::now();
        const bool posted = m_inner.postKey(code, direction);
        const auto now = Clock::now();
        {
            std::scoped_lock lock(m_mutex);
            m_posted.push_back({direction, now, std::this_thread::get_id() != m_caller, called});
        }
        m_changed.notify_all();
        return posted;
    }

    std::size_t count() {
        std::scoped_lock lock(m_mutex);
        return m_posted.size();
    }
    std::vector<Posted> posted() {
        std::scoped_lock lock(m_mutex);
        return m_posted;
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
    KeyPoster& m_inner;
    const std::thread::id m_caller;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Posted> m_posted;
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
    KeyboardExecutor executor(poster, std::move(onWorkerStart));
    enqueueTimingRun(executor, commands);
    const auto events = poster.waitForEvents(
        static_cast<std::size_t>(commands * 2 * pressesPerCommand), patience * commands);
    return timingErrors(events, [](const PostedKey& earlier, const PostedKey& later) {
        return millis(later.time - earlier.time);
    });
}

// The errors at the X client (in the server's whole milliseconds), and the worker's own: from an
// event's post returning to the worker asking for the next one, by its clock. The two apart tell
// the worker's lateness from the X server's.
struct XTiming {
    TimingErrors atXClient;
    TimingErrors posted;
};

XTiming xClientTiming(const std::string& display, int commands,
                      std::function<void()> onWorkerStart = {}) {
    XKeyRecorder recorder(display);
    XTestKeyPoster xtest(display);
    TimingPoster poster(xtest);
    KeyboardExecutor executor(poster, std::move(onWorkerStart));
    enqueueTimingRun(executor, commands);
    const auto events = recorder.waitForEvents(
        static_cast<std::size_t>(commands * 2 * pressesPerCommand), patience * commands);
    return {timingErrors(events,
                         [](const RecordedKey& earlier, const RecordedKey& later) {
                             return static_cast<double>(later.serverTime - earlier.serverTime);
                         }),
            timingErrors(poster.posted(), [](const TimingPoster::Posted& earlier,
                                             const TimingPoster::Posted& later) {
                return millis(later.time - earlier.time);
            })};
}

// From the call of cancelAll() during a long hold to the first key-up posted (by cancelAll()
// itself or by the interrupted press, whichever is first), to the interrupted press's own
// key-up, which shows when the worker noticed, and, with an X client, to the release it
// records (in the server's whole milliseconds).
struct CancelLatency {
    std::vector<double> keyUp;
    std::vector<double> pressEnded;
    std::vector<double> atXClient;
};

CancelLatency cancelLatency(KeyPoster& inner, int rounds, XKeyRecorder* recorder = nullptr) {
    TimingPoster poster(inner);
    KeyboardExecutor executor(poster);
    CancelLatency latency;
    const auto isUp = [](const TimingPoster::Posted& posted) {
        return posted.direction == KeyDirection::up;
    };
    for (int round = 0; round < rounds; ++round) {
        const std::size_t from = poster.count();
        const std::size_t recordedFrom = recorder != nullptr ? recorder->events().size() : 0;
        expectAccepted(executor.enqueue("SPACE", 49, 1, 3000, "bench"));
        poster.waitFor(from, [](const TimingPoster::Posted& posted) {
            return posted.direction == KeyDirection::down;
        });
        const auto called = Clock::now();
        executor.cancelAll();
        latency.keyUp.push_back(millis(poster.waitFor(from, isUp).time - called));
        const auto pressEnd = poster.waitFor(from, [&](const TimingPoster::Posted& posted) {
            return isUp(posted) && posted.byWorker;
        });
        latency.pressEnded.push_back(millis(pressEnd.time - called));
        if (recorder == nullptr)
            continue;
        // This round's press, then the first release after it.
        const auto release = [recordedFrom](const std::vector<RecordedKey>& events) {
            bool pressed = false;
            for (std::size_t index = recordedFrom; index < events.size(); ++index) {
                pressed = pressed || events[index].pressed;
                if (pressed && !events[index].pressed)
                    return std::optional(events[index]);
            }
            return std::optional<RecordedKey>();
        };
        const auto released = release(recorder->waitUntil(
            [&](const auto& events) { return release(events).has_value(); }, patience));
        if (!released)
            fail("the X client saw no release");
        const auto calledMs = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(called.time_since_epoch())
                .count());
        latency.atXClient.push_back(
            static_cast<double>(static_cast<std::int32_t>(released->serverTime - calledMs)));
    }
    return latency;
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
    const TimingErrors x = xClientTiming(server.displayName(), commands).atXClient;
    printRow("hold error, X client (server ms)", x.hold, "ms");
    printRow("gap error, X client (server ms)", x.gap, "ms");

    RecordingKeyPoster fakePoster;
    const CancelLatency fakeCancel = cancelLatency(fakePoster, 5 * commands);
    printRow("cancelAll -> key-up posted, fake poster", fakeCancel.keyUp, "ms");
    printRow("cancelAll -> interrupted press ended, fake", fakeCancel.pressEnded, "ms");
    {
        XKeyRecorder recorder(server.displayName());
        XTestKeyPoster xtest(server.displayName());
        const CancelLatency xCancel = cancelLatency(xtest, 5 * commands, &recorder);
        printRow("cancelAll -> key-up confirmed by X server", xCancel.keyUp, "ms");
        printRow("cancelAll -> interrupted press ended, X", xCancel.pressEnded, "ms");
        printRow("cancelAll -> release at X client (server ms)", xCancel.atXClient, "ms");
    }

    printRow("enqueue", enqueueCost(commands), "us");

    // The test suite's short run leaves this out: it must never load a shared machine.
    if (commands >= loadedRunMinimum) {
        vindaro::bench::CpuLoad load(2);
        auto grant = vindaro::RealtimeGrant::none;
        const auto raise = [&grant] { grant = vindaro::makeCurrentThreadRealtime(); };
        const TimingErrors fakeNormal = fakeTiming(commands);
        const TimingErrors fakeRealtime = fakeTiming(commands, raise);
        const XTiming normal = xClientTiming(server.displayName(), commands);
        const XTiming realtime = xClientTiming(server.displayName(), commands, raise);
        printRow("hold error, fake poster, loaded, normal priority", fakeNormal.hold, "ms");
        printRow("gap error, fake poster, loaded, normal priority", fakeNormal.gap, "ms");
        printRow("hold error, fake poster, loaded, real-time", fakeRealtime.hold, "ms");
        printRow("gap error, fake poster, loaded, real-time", fakeRealtime.gap, "ms");
        printRow("hold error, X client, loaded, normal priority", normal.atXClient.hold, "ms");
        printRow("gap error, X client, loaded, normal priority", normal.atXClient.gap, "ms");
        printRow("hold error, X client, loaded, real-time", realtime.atXClient.hold, "ms");
        printRow("gap error, X client, loaded, real-time", realtime.atXClient.gap, "ms");
        printRow("hold error, X poster's worker, loaded, normal", normal.posted.hold, "ms");
        printRow("gap error, X poster's worker, loaded, normal", normal.posted.gap, "ms");
        printRow("hold error, X poster's worker, loaded, real-time", realtime.posted.hold, "ms");
        printRow("gap error, X poster's worker, loaded, real-time", realtime.posted.gap, "ms");
        if (grant == vindaro::RealtimeGrant::none)
            std::printf("(the worker did not get real-time priority here)\n");
    }
    return 0;
}
