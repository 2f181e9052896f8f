#pragma once

#include "sway_server.h"

namespace vindaro::test {

// A headless mutter on this process's session bus, which must be a private one: mutter takes
// well-known names on it. Throws unless it and its remote-desktop service are up in 20 s.

class MutterServer : public HeadlessCompositor {
public:
    MutterServer();
};

} // namespace vindaro::test
