#pragma once

#include "platform/window_focus.h"

#include <atomic>
#include <chrono>
#include <optional>

namespace vindaro {

// A desktop whose focus the test moves by hand: it answers the keyboard with the destination it
// is told, and passes the test's events to the handlers.
class ManualWindowFocus final : public WindowFocus {
public:
    KeyDestination beforeKeyDown() override { return destination.load(); }
    bool canPin() const override { return pinnable; }
    void observe(Handlers newHandlers) override { handlers = std::move(newHandlers); }
    void pinNextFocusedWindow(std::chrono::milliseconds within) override { choosingFor = within; }
    void unpin() override { choosingFor.reset(); }

    bool pinnable = true;
    std::atomic<KeyDestination> destination{KeyDestination::allowed};
    std::optional<std::chrono::milliseconds> choosingFor; // set while a pin is asked for
    Handlers handlers;
};

} // namespace vindaro
