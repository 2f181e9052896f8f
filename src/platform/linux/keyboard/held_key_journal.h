#pragma once

#include "platform/key_poster.h"

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace vindaro {

// Posts through another poster and keeps, in a small file, the keys it holds down right now. The
// X server keeps a key down for as long as nobody releases it, even after the XTest client that
// pressed it has died: a run that is killed or crashes mid-hold leaves that key held. The next run
// reads the file and lets those keys go before anything else.
//
// Safe to use from several threads at once, like the poster it wraps.
class HeldKeyJournal final : public KeyPoster {
public:
    // An empty path keeps no file, and then there is nothing to release at start-up either.
    HeldKeyJournal(KeyPoster& poster, std::string path);

    // "$XDG_RUNTIME_DIR/vindaro-agent-held-keys": private to the user and gone at log-out, like
    // the key state it describes. Empty when XDG_RUNTIME_DIR is not set.
    static std::string defaultPath();

    // Posts a key-up for every key a previous run left held and forgets them; returns how many
    // there were.
    int releaseLeftovers();

    bool mayPostEvents() override;
    [[nodiscard]] bool postKey(std::uint16_t code, KeyDirection direction) override;

private:
    void save(); // with m_mutex held

    KeyPoster& m_poster;
    const std::string m_path;
    std::mutex m_mutex;
    std::set<std::uint16_t> m_held;
};

} // namespace vindaro
