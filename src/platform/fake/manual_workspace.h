#pragma once

#include "platform/workspace_notifications.h"

namespace vindaro {

// Sleep and screen lock happen when the test calls the handlers the agent registered.
class ManualWorkspace final : public WorkspaceNotifications {
public:
    void observe(Handlers newHandlers) override { handlers = std::move(newHandlers); }

    Handlers handlers;
};

} // namespace vindaro
