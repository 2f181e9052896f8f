#pragma once

#include <QTest>

#include <optional>
#include <stdexcept>

// Runs an asynchronous operation, start(done), and waits for its one answer, however long a
// keyring prompt takes.
template <typename Answer, typename Start> Answer answerOf(Start start) {
    std::optional<Answer> answer;
    start([&answer](const Answer& given) { answer = given; });
    if (!QTest::qWaitFor([&] { return answer.has_value(); }, 60000))
        throw std::runtime_error("no answer within 60 s");
    return *answer;
}
