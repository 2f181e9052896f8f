#pragma once

#include "sway_server.h"

namespace vindaro::test {

// A headless mutter (Wayland only, one 800x600 virtual monitor) on the session bus this process
// uses, which must be a private one (tests/support/private-session): mutter takes well-known names
// on it. Throws std::runtime_error when it and its remote-desktop service are not up in 20 s.
class MutterServer : public HeadlessCompositor {
public:
    MutterServer();
};

} // namespace vindaro::test
