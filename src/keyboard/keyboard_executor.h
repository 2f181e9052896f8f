#pragma once

#include "platform/key_poster.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vindaro {

class KeyDestinationCheck;
enum class KeyDestination;

// Presses accepted key commands one after another on a worker thread of its own, with exact
// hold and gap timing, and can stop at once, releasing every key it holds.
//
// Deliberately free of Qt: standard threads, one mutex and condition variables only, so that
// ThreadSanitizer can check it. Texts are UTF-8.
class KeyboardExecutor {
public:
    // Receives each log line on the worker thread. Whoever sets it hops to the thread it needs;
    // it must return promptly and must not call setOnLog().
    using LogSink = std::function<void(const std::string& line)>;
    // Receives, on the worker thread, the first command of each run of commands skipped because
    // the destination check refused their key-down: why, and the key's name. A run ends when a
    // key-down is allowed again or the reason changes. Same rules as LogSink.
    using SkipSink = std::function<void(KeyDestination refusal, const std::string& keyName)>;

    // Who asked for a command. A viewer's key is never typed into the agent's own window; the
    // streamer's own test press goes wherever the focus is.
    enum class Origin { viewer, streamer };

    static constexpr int maxPendingCommands = 100;
    static constexpr std::chrono::milliseconds pressGap{35};
    // A key-down the poster has not confirmed by then counts as failed.
    static constexpr std::chrono::milliseconds keyDownLimit{1000};
    // How long the destructor waits for key-ups still unconfirmed.
    static constexpr std::chrono::milliseconds finalReleaseLimit{1000};

    // The poster, and the destination check if there is one, must outlive the executor. The
    // check is asked right before every key-down; when it refuses, nothing goes down and the
    // rest of that command is skipped. onWorkerStart, if given, runs first thing on the worker
    // thread, before any command: for what only a thread can ask for itself, such as its
    // scheduling priority. Commands accepted meanwhile wait for it.
    explicit KeyboardExecutor(KeyPoster& poster, KeyDestinationCheck* destinationCheck = nullptr,
                              std::function<void()> onWorkerStart = {});
    // Cancels everything and releases every held key. While the display server stalls it waits
    // at most keyDownLimit for the worker and then finalReleaseLimit for the key-ups.
    ~KeyboardExecutor();

    KeyboardExecutor(const KeyboardExecutor&) = delete;
    KeyboardExecutor& operator=(const KeyboardExecutor&) = delete;

    // Accepts one command: `count` presses of `code`, each held `holdMs` milliseconds; `name`
    // and `source` only label the log line. False when maxPendingCommands accepted commands
    // are still unfinished. Callable from any thread; never waits for key output.
    [[nodiscard]] bool enqueue(std::string name, std::uint16_t code, int count, int holdMs,
                               std::string source, Origin origin = Origin::viewer);

    // Turns every command accepted so far into a no-op and hands the poster a key-up for every
    // held key. Returns without waiting for the display server: the worker waits for the key-ups
    // to be confirmed (and the poster keeps a key on record until then). No key of a cancelled
    // command is handed to the poster after this returns. Commands accepted afterwards run
    // normally. Callable from any thread.
    void cancelAll();

    // Waits until the display server has confirmed every key-up handed over so far, or `limit`
    // has passed; true when nothing is left unconfirmed. For when the keys must be up before
    // something else happens, such as the machine going to sleep.
    bool waitForReleases(std::chrono::milliseconds limit);

    // Whether a key of this executor is down, or its key-up was handed over less than `settle`
    // ago, so that its events may still be on their way to whichever window had the focus.
    // Callable from any thread; never waits for key output.
    bool keysInFlight(std::chrono::milliseconds settle);

    // Lines logged while no sink is set are lost. Once this returns, the previous sink is no
    // longer called.
    void setOnLog(LogSink sink);
    void setOnSkip(SkipSink sink);

private:
    struct Command {
        std::string name;
        std::uint16_t code = 0;
        int count = 0;
        int holdMs = 0;
        std::string source;
        std::uint64_t generation = 0;
        Origin origin = Origin::viewer;
    };
    enum class PressFailure { accessibilityRequired, eventCreationFailed, destinationRefused };
    struct Release {
        std::uint16_t code = 0;
        KeyTicket ticket{};
    };

    void runWorker();
    void execute(const Command& command);
    // `first`: the command's first press, which logs the command's line once it goes ahead.
    std::optional<PressFailure> press(const Command& command, bool first);
    void announce(const Command& command);
    bool mayGoDown(const Command& command);
    bool isCancelled(std::uint64_t generation);
    void waitUnlessCancelled(std::chrono::steady_clock::time_point deadline,
                             std::uint64_t generation);
    void sendReleases(const std::vector<std::uint16_t>& codes);
    bool confirmReleases();
    void finishCommand();
    void log(const std::string& line);

    KeyPoster& m_poster;
    KeyDestinationCheck* const m_destinationCheck;
    const std::array<std::string, 2> m_failureLines;
    // Why the current run of skipped commands was skipped; worker thread only.
    std::optional<KeyDestination> m_skipping;

    // Guards everything down to m_stopping; never held while waiting or posting a key-down.
    std::mutex m_mutex;
    std::condition_variable m_workAvailable;
    std::condition_variable m_cancelled;
    std::condition_variable m_releasesConfirmed;
    std::uint64_t m_generation = 0;
    int m_pendingCommands = 0;
    // Keys down, or maybe down, whose key-up has not been handed to the poster yet.
    std::set<std::uint16_t> m_activeKeys;
    // Key-ups handed to the poster, in order, that it has not confirmed yet.
    std::deque<Release> m_unconfirmedReleases;
    std::deque<Command> m_queue;
    bool m_stopping = false;
    std::chrono::steady_clock::time_point m_lastKeyUp;

    // Held by the worker while it hands a key-down, or its own key-up, to the poster (the X
    // poster never waits for the server; the Wayland ones wait at most a second for the
    // compositor's answer). cancelAll() waits for it, so that its key-up comes after that
    // key-down, no key of a cancelled command is handed over after cancelAll() has returned, and
    // no key the worker was letting go of is still down when it returns.
    std::mutex m_postingKey;

    std::mutex m_logMutex;
    LogSink m_onLog;
    SkipSink m_onSkip;

    std::thread m_worker;
};

} // namespace vindaro
