#include "held_key_journal.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>

namespace vindaro {

HeldKeyJournal::HeldKeyJournal(KeyPoster& poster, std::string path)
    : m_poster(poster)
    , m_path(std::move(path)) {}

std::string HeldKeyJournal::defaultPath() {
    const char* directory = std::getenv("XDG_RUNTIME_DIR");
    if (!directory || !*directory)
        return {};
    return std::string(directory) + "/vindaro-agent-held-keys";
}

int HeldKeyJournal::releaseLeftovers() {
    if (m_path.empty())
        return 0;
    std::set<std::uint16_t> leftovers;
    {
        std::ifstream file(m_path);
        unsigned code = 0;
        while (file >> code) {
            if (code <= 0xffff)
                leftovers.insert(static_cast<std::uint16_t>(code));
        }
    }
    for (const std::uint16_t code : leftovers)
        static_cast<void>(m_poster.postKey(code, KeyDirection::up));
    std::scoped_lock lock(m_mutex);
    save();
    return static_cast<int>(leftovers.size());
}

bool HeldKeyJournal::mayPostEvents() {
    return m_poster.mayPostEvents();
}

bool HeldKeyJournal::postKey(std::uint16_t code, KeyDirection direction) {
    if (direction == KeyDirection::down) {
        // Written down first: a run that dies right after the key went down must still find it.
        {
            std::scoped_lock lock(m_mutex);
            if (m_held.insert(code).second)
                save();
        }
        return m_poster.postKey(code, direction);
    }
    const bool released = m_poster.postKey(code, direction);
    if (released) {
        std::scoped_lock lock(m_mutex);
        if (m_held.erase(code) > 0)
            save();
    }
    return released;
}

void HeldKeyJournal::save() {
    if (m_path.empty())
        return;
    if (m_held.empty()) {
        std::remove(m_path.c_str());
        return;
    }
    std::ofstream file(m_path, std::ios::trunc);
    for (const std::uint16_t code : m_held)
        file << code << '\n';
}

} // namespace vindaro
