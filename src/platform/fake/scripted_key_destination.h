#pragma once

#include "platform/window_focus.h"

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace vindaro {

// A destination check for tests: gives the answers it was scripted with, one per key-down, and
// the last one again once they are used up. Allows everything until scripted.
class ScriptedKeyDestination final : public KeyDestinationCheck {
public:
    KeyDestination beforeKeyDown() override {
        std::scoped_lock lock(m_mutex);
        if (m_answers.empty())
            return KeyDestination::allowed;
        const KeyDestination answer = m_answers[std::min(m_next, m_answers.size() - 1)];
        ++m_next;
        return answer;
    }

    void script(std::vector<KeyDestination> answers) {
        std::scoped_lock lock(m_mutex);
        m_answers = std::move(answers);
        m_next = 0;
    }

private:
    std::mutex m_mutex;
    std::vector<KeyDestination> m_answers;
    std::size_t m_next = 0;
};

} // namespace vindaro
