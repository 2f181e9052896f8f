#pragma once

#include <functional>

namespace vindaro {

// What the desktop tells the agent about the machine and the user's session. Both events mean
// the user has stopped playing, so the agent pauses and lets go of every key.
class WorkspaceNotifications {
public:
    struct Handlers {
        std::function<void()> willSleep;              // the machine is about to sleep
        std::function<void()> sessionDidResignActive; // the screen has been locked
    };

    virtual ~WorkspaceNotifications() = default;

    // Replaces the handlers, which run on the main thread; until then events are dropped. An
    // empty handler ignores its event.
    virtual void observe(Handlers handlers) = 0;
};

} // namespace vindaro
