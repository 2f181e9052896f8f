#pragma once

#include <mutex>

namespace vindaro {

// libXau writes the authority file's name into one static buffer each time a connection to the
// X server is opened, so the poster's, the focus watcher's and the stop key's threads open theirs
// one at a time.
inline std::mutex& xDisplayOpening() {
    static std::mutex opening;
    return opening;
}

} // namespace vindaro
