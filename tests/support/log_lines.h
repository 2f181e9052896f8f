#pragma once

#include "keyboard/keyboard_executor.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace vindaro::test {

// Generous limits for waiting on the worker; a passing run never comes near them.
inline constexpr std::chrono::seconds patience{10};

// The lines a press that fails adds to the log.
inline const std::string notCreatedLine = "กดปุ่มไม่สำเร็จ: macOS ไม่สามารถสร้างคำสั่งคีย์บอร์ดได้";
inline const std::string noPermissionLine =
    "กดปุ่มไม่สำเร็จ: กรุณาอนุญาต Vindaro Agent ใน Privacy & Security → Accessibility";

// Collects the lines a keyboard executor logs, from whichever thread it logs them on.
class LogLines {
public:
    KeyboardExecutor::LogSink sink() {
        return [this](const std::string& line) {
            {
                std::scoped_lock lock(m_mutex);
                m_lines.push_back(line);
            }
            m_added.notify_all();
        };
    }

    std::vector<std::string> lines() const {
        std::scoped_lock lock(m_mutex);
        return m_lines;
    }

    // Waits until at least `count` lines have arrived or `timeout` has passed.
    std::vector<std::string> waitFor(std::size_t count, std::chrono::milliseconds timeout) const {
        std::unique_lock lock(m_mutex);
        m_added.wait_for(lock, timeout, [&] { return m_lines.size() >= count; });
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_added;
    std::vector<std::string> m_lines;
};

} // namespace vindaro::test
