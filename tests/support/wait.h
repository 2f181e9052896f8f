#pragma once

#include <QTest>

#include <chrono>
#include <functional>

namespace vindaro::test {

// The one limit every test waits with. A passing run never comes near it; it only bounds how
// long a failing one takes on a machine busy with other builds.
inline constexpr std::chrono::seconds patience{30};

// Runs the event loop until the condition holds; false when patience ran out first.
inline bool eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition,
                           static_cast<int>(std::chrono::milliseconds(patience).count()));
}

} // namespace vindaro::test
