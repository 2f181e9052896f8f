// Prints what the X11 desktop parts cost and how fast they react, on a private Xvfb: the pin
// check before each key-down, the release of a held key once the focus leaves the pinned window,
// and the stop key from the X server to the handler on the main thread. No window manager runs,
// so that the focus moves the moment the test client asks and the figures are the agent's own.
// Figures only; it asserts nothing. Usage: vindaro_x11_desktop_bench [pin checks, default 2000]
#include "keyboard/keyboard_executor.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "platform/linux/x11/x11_stop_key.h"
#include "platform/linux/x11/x11_window_focus.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vindaro::KeyboardExecutor;
using vindaro::X11StopKey;
using vindaro::X11WindowFocus;
using vindaro::XTestKeyPoster;
using vindaro::test::RecordedKey;
using vindaro::test::TestWindow;
using vindaro::test::XKeyRecorder;
using vindaro::test::XvfbServer;
using Clock = std::chrono::steady_clock;

namespace {

double millis(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

void printRow(const char* measure, std::vector<double> samples, const char* unit) {
    if (samples.empty()) {
        std::printf("%-46s %7s\n", measure, "none");
        return;
    }
    std::ranges::sort(samples);
    const auto rank =
        static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(samples.size())));
    std::printf(
        "%-46s %7zu %9.3f %9.3f %9.3f  %s\n", measure, samples.size(), samples[samples.size() / 2],
        samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1], samples.back(), unit);
}

// Runs the main thread's event loop until `done` is called or `limit` has passed.
void runUntil(const std::function<void(const std::function<void()>& done)>& start,
              std::chrono::milliseconds limit) {
    QEventLoop loop;
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    start([&loop] { loop.quit(); });
    loop.exec();
}

std::vector<double> checkCosts(X11WindowFocus& focus, int samples) {
    std::vector<double> costs;
    for (int sample = 0; sample < samples; ++sample) {
        const auto started = Clock::now();
        static_cast<void>(focus.beforeKeyDown());
        costs.push_back(millis(Clock::now() - started));
    }
    return costs;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const int samples = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    XvfbServer server;
    XKeyRecorder recorder(server.displayName());
    const auto otherProgram = static_cast<unsigned long>(getppid());
    const TestWindow game = recorder.createWindow("game", "game", otherProgram);
    const TestWindow chat = recorder.createWindow("chat", "chat", otherProgram);

    std::printf("X11 desktop on Xvfb\n\n");
    std::printf("%-46s %7s %9s %9s %9s\n", "measure", "samples", "p50", "p99", "max");
    X11WindowFocus focus(server.displayName());
    XTestKeyPoster poster(server.displayName());
    KeyboardExecutor executor(poster, &focus);
    X11WindowFocus::Handlers handlers;
    std::function<void()> pinned;
    handlers.pinned = [&](const QString&) { pinned(); };
    handlers.focusLeftPinnedWindow = [&] { executor.cancelAll(); };
    focus.observe(handlers);
    runUntil(
        [&](const std::function<void()>& done) {
            pinned = done;
            focus.pinNextFocusedWindow(10s);
            recorder.focus(game);
        },
        10s);
    printRow("pin check before a key-down, pinned", checkCosts(focus, samples), "ms");

    // A held key, and the focus moved to chat: from asking the server to the release reaching the
    // recording client.
    const auto isW = [](const RecordedKey& key) { return key.keysym == XKeyRecorder::keysym("w"); };
    std::vector<double> releases;
    for (int sample = 0; sample < std::max(5, samples / 100); ++sample) {
        const std::size_t before = recorder.events().size();
        static_cast<void>(executor.enqueue("W", 13, 1, 3000, "bench"));
        const auto down = [&](const std::vector<RecordedKey>& events) {
            return std::find_if(events.begin() + static_cast<std::ptrdiff_t>(before), events.end(),
                                [&](const RecordedKey& key) { return key.pressed && isW(key); });
        };
        recorder.waitUntil([&](const auto& events) { return down(events) != events.end(); }, 10s);
        const auto moved = Clock::now();
        recorder.focus(chat);
        const auto up = [&](const std::vector<RecordedKey>& events) {
            const auto pressed = down(events);
            return pressed == events.end()
                       ? pressed
                       : std::find_if(pressed, events.end(), [&](const RecordedKey& key) {
                             return !key.pressed && isW(key);
                         });
        };
        const auto events =
            recorder.waitUntil([&](const auto& seen) { return up(seen) != seen.end(); }, 10s);
        if (const auto released = up(events); released != events.end())
            releases.push_back(millis(released->receivedAt - moved));
        recorder.focus(game);
    }
    printRow("focus leaves pinned window -> key released", releases, "ms");
    focus.observe({});
    focus.unpin();
    printRow("pin check before a key-down, nothing pinned", checkCosts(focus, samples), "ms");

    X11StopKey stopKey(server.displayName());
    std::vector<double> reactions;
    for (int sample = 0; sample < std::max(5, samples / 20); ++sample) {
        Clock::time_point pressed;
        Clock::time_point heard;
        runUntil(
            [&](const std::function<void()>& done) {
                stopKey.observe([&heard, done] {
                    heard = Clock::now();
                    done();
                });
                pressed = Clock::now();
                recorder.typeKey("Pause", true);
            },
            10s);
        recorder.typeKey("Pause", false);
        if (heard > pressed)
            reactions.push_back(millis(heard - pressed));
        // The next press must not share the release's server millisecond.
        std::this_thread::sleep_for(2ms);
    }
    printRow("stop key: X server -> handler on main thread", reactions, "ms");
    return 0;
}
