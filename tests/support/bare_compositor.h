#pragma once

#include <QTemporaryDir>

#include <atomic>
#include <string>
#include <thread>

struct wl_display;
struct wl_event_source;
struct wl_global;

namespace vindaro::test {

// A Wayland server with only a seat, the virtual keyboard manager and KWin's fake input, which it
// can withdraw on demand, as a compositor may while clients run.
class BareCompositor {
public:
    BareCompositor();
    ~BareCompositor();

    BareCompositor(const BareCompositor&) = delete;
    BareCompositor& operator=(const BareCompositor&) = delete;

    const std::string& socket() const { return m_socket; } // absolute path

    // Takes the manager and the fake input away; returns once the server has announced it.
    void withdrawKeyboardManager();

private:
    enum class Step { run, withdraw, withdrawn, stop };
    QTemporaryDir m_folder;
    std::string m_socket;
    wl_display* m_display = nullptr;
    wl_global* m_manager = nullptr;
    wl_global* m_fakeInput = nullptr;
    int m_wake = -1; // tells the server's thread to take the step asked for
    wl_event_source* m_wakeSource = nullptr;
    std::atomic<Step> m_step{Step::run};
    std::thread m_loop;
};

} // namespace vindaro::test
