#pragma once

#include "support/wait.h"

#include <optional>
#include <stdexcept>

// Runs start(done) and waits for its one answer, however long a keyring prompt takes.

template <typename Answer, typename Start> Answer answerOf(Start start) {
    std::optional<Answer> answer;
    start([&answer](const Answer& given) { answer = given; });
    if (!vindaro::test::eventually([&] { return answer.has_value(); }, std::chrono::seconds(60)))
        throw std::runtime_error("no answer within 60 s");
    return *answer;
}
