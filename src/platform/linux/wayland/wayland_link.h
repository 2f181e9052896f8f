#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

struct wl_callback;
struct wl_display;
struct wl_registry;

namespace vindaro {

// One Wayland connection of the agent's own with a thread that reads the compositor's events, so
// whoever uses it only reads values in memory and hears at once when the compositor goes away.
// All of libwayland's dispatching happens under one lock, which requests made through send() also
// hold, so a listener is always in place before its event can be dispatched.
class WaylandLink {
public:
    struct Hooks {
        // Under the lock, during setUp() and on the reader thread: a global offered or withdrawn.
        std::function<void(wl_registry*, std::uint32_t name, const char* interface,
                           std::uint32_t version)>
            global;
        std::function<void(std::uint32_t name)> globalRemoved;
        // On the reader thread, outside the lock, after each batch of events: the place to call
        // handlers that may post keys or take locks of their own.
        std::function<void()> afterEvents;
        // On the reader thread, once, outside the lock: the connection has ended.
        std::function<void()> gone;
    };

    using Clock = std::chrono::steady_clock;

    // Connects (a name relative to XDG_RUNTIME_DIR, or an absolute socket path) and reads the
    // globals. Null when there is no compositor there or it does not answer by the deadline.
    static std::unique_ptr<WaylandLink> connect(const std::string& displayName, Hooks hooks,
                                                Clock::time_point deadline);
    ~WaylandLink();

    WaylandLink(const WaylandLink&) = delete;
    WaylandLink& operator=(const WaylandLink&) = delete;

    // Before startReading(): waits on this thread until the compositor has answered everything
    // sent so far.
    bool roundTrip(Clock::time_point deadline);
    void startReading();
    // Stops the reader; after this, users destroy their objects before the link goes.
    void stopReading();

    bool alive() const { return m_alive; }

    // Makes requests (under the lock) and waits until the compositor has answered a round trip
    // sent after them, so it has acted on them, or until `limit` passes. False when `requests`
    // says it sent nothing, the connection is gone, or no answer came in time.
    bool sendConfirmed(const std::function<bool()>& requests, std::chrono::milliseconds limit);

private:
    WaylandLink(wl_display* display, Hooks hooks);
    static void answered(void* data, wl_callback* callback, std::uint32_t serial);
    void read();
    bool dispatchPending();
    void end();
    void wakeReader() const;

    wl_display* const m_display;
    const Hooks m_hooks;
    const int m_wake;
    wl_registry* m_registry = nullptr;
    std::atomic<bool> m_alive{true};

    std::mutex m_mutex;
    std::condition_variable m_answeredChanged;
    std::uint64_t m_sent = 0;
    std::uint64_t m_answered = 0;
    std::set<wl_callback*> m_unanswered;
    bool m_stopping = false;
    std::thread m_reader;
};

} // namespace vindaro
