#pragma once

#include "platform/window_focus.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct org_kde_plasma_window;
struct org_kde_plasma_window_management;

namespace vindaro {

class WaylandLink;

// Which window KWin has active, from Plasma's window management on a Wayland connection of its
// own: a thread reads KWin's events, so the keyboard worker asks a value in memory, and the focus
// leaving a pinned window is reported the moment KWin says so. KWin offers the protocol only to
// a program its desktop entry grants it to, as it does the fake input.
class KWinWindowFocus final : public WindowFocus {
public:
    // Null when there is no KWin there or it does not offer window management to this program.
    // Windows of `ownPid` (this process) are never pinned. Main thread.
    static std::unique_ptr<KWinWindowFocus> connect(const std::string& displayName,
                                                    pid_t ownPid = getpid());
    ~KWinWindowFocus() override;

    KWinWindowFocus(const KWinWindowFocus&) = delete;
    KWinWindowFocus& operator=(const KWinWindowFocus&) = delete;

    bool canPin() const override { return true; }
    void observe(Handlers handlers) override;
    void pinNextFocusedWindow(std::chrono::milliseconds within) override;
    void unpin() override;
    KeyDestination beforeKeyDown() override;

    struct Window {
        std::uint64_t id = 0; // ours, never reused: KWin's handles may be
        std::int64_t pid = 0;
        QString title;
        QString appId;
        bool active = false;
        bool described = false; // KWin has sent the window's first state
    };

private:
    explicit KWinWindowFocus(pid_t ownPid);
    static void windowEvent(void* data, org_kde_plasma_window_management* manager,
                            std::uint32_t id);
    struct Tracked;
    void changed(Tracked& window);
    void closed(Tracked& window);
    void focusChanged(const std::optional<Window>& window);
    void runDeferred();
    void onMainThread(std::function<void()> work);

    const pid_t m_ownPid;
    std::unique_ptr<WaylandLink> m_link;
    org_kde_plasma_window_management* m_manager = nullptr;
    // The reader thread's own, touched only while it dispatches.
    std::map<org_kde_plasma_window*, std::unique_ptr<Tracked>> m_windows;
    std::uint64_t m_nextId = 1;
    bool m_leftPin = false; // the focus left the pin: held keys come up once the batch is read

    QObject m_context;
    QTimer m_pinTimer;

    enum class Pin { none, waiting, pinned, closed };
    mutable std::mutex m_mutex;
    std::optional<Window> m_focused;
    Pin m_pin = Pin::none;
    Window m_pinned;
    Handlers m_handlers;
    FocusLeftHandler m_focusLeft; // called outside m_mutex, which the handler may need
};

} // namespace vindaro
