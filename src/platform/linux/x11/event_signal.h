#pragma once

namespace vindaro {

// A flag one thread raises and another waits for with poll(): an eventfd. It stays raised until
// cleared, so a thread that looks late still sees it.
class EventSignal {
public:
    EventSignal();
    ~EventSignal();

    EventSignal(const EventSignal&) = delete;
    EventSignal& operator=(const EventSignal&) = delete;

    // -1 when no eventfd could be made; raise() then does nothing and polling it never fires.
    int fd() const { return m_fd; }
    void raise();
    void clear();

private:
    int m_fd;
};

} // namespace vindaro
