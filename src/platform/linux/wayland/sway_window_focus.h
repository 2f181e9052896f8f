#pragma once

#include "platform/window_focus.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vindaro {

// Which window sway has focused, from sway's IPC socket ($SWAYSOCK): a thread of its own reads
// the "window" and "workspace" events, so the keyboard worker asks a value in memory, and the
// focus leaving a pinned window is reported the moment sway says so. A window is known by its
// container id, checked against its process id.
//
// Sway's IPC rather than the foreign-toplevel protocol: only the IPC tells a window's process id.
class SwayWindowFocus final : public WindowFocus {
public:
    // Connects and subscribes; null when there is no sway at that path or it does not answer.
    // Main thread.
    static std::unique_ptr<SwayWindowFocus> connect(const std::string& socketPath);
    ~SwayWindowFocus() override;

    SwayWindowFocus(const SwayWindowFocus&) = delete;
    SwayWindowFocus& operator=(const SwayWindowFocus&) = delete;

    bool canPin() const override { return true; }
    void observe(Handlers handlers) override;
    void pinNextFocusedWindow(std::chrono::milliseconds within) override;
    void unpin() override;
    KeyDestination beforeKeyDown() override;

    struct Window {
        std::int64_t id = 0; // sway's container id, never reused while sway runs
        std::int64_t pid = 0;
        QString title;
        bool agent = false; // one of this agent's own windows: never a target
    };

private:
    explicit SwayWindowFocus(int socket);
    void read(QByteArray buffer);
    void handleMessage(std::uint32_t type, const QByteArray& payload);
    void focusChanged(const std::optional<Window>& window);
    void windowClosed(std::int64_t id);
    bool send(std::uint32_t type, const QByteArray& payload);
    void onMainThread(std::function<void()> work);

    const int m_socket;
    const int m_wake;
    // Lives on the main thread: handlers that belong there are queued to it, and the pin's time
    // limit runs on it.
    QObject m_context;
    QTimer m_pinTimer;

    enum class Pin { none, waiting, pinned, closed };
    mutable std::mutex m_mutex;
    std::optional<Window> m_focused; // nothing when sway focuses an empty workspace
    Pin m_pin = Pin::none;
    Window m_pinned;
    Handlers m_handlers;
    FocusLeftHandler m_focusLeft; // called outside m_mutex, which the handler may need
    bool m_stopping = false;

    std::mutex m_sendMutex;
    std::thread m_reader;
};

} // namespace vindaro
