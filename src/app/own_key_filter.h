#pragma once

#include <QObject>

#include <functional>

namespace vindaro {

// Keeps the agent's own keys away from the agent. A key the agent posts goes to whichever window
// has the focus, and that may be one of its own: the test press lands on the button that sent
// it, a viewer's key that raced a click lands in a field. Installed on the application, this
// sees every keyboard event of every window of the process (main window, alerts, dialogs, menus)
// before any widget, shortcut or input method does, and drops them all while `keysInFlight`
// says one of the agent's keys may be among them. The streamer's own typing is held up only
// while the agent posts keys into its own window, which viewers' commands never do.
class OwnKeyFilter final : public QObject {
public:
    explicit OwnKeyFilter(std::function<bool()> keysInFlight, QObject* parent = nullptr);
    ~OwnKeyFilter() override;

    OwnKeyFilter(const OwnKeyFilter&) = delete;
    OwnKeyFilter& operator=(const OwnKeyFilter&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<bool()> m_keysInFlight;
};

} // namespace vindaro
