#pragma once

#include "platform/stop_key.h"

namespace vindaro {

// A stop key the test presses by calling pressed().
class ManualStopKey final : public StopKey {
public:
    State state() const override { return current; }
    void observe(std::function<void()> handler) override { pressed = std::move(handler); }
    void observeState(std::function<void()> handler) override { changed = std::move(handler); }

    State current = State::ready;
    std::function<void()> pressed;
    std::function<void()> changed; // call after setting `current`
};

} // namespace vindaro
