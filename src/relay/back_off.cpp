#include "back_off.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

namespace vindaro {

namespace {

constexpr double firstDelaySeconds = 1.5;
constexpr int lastDoubling = 5;
constexpr double maxDelaySeconds = 30;
constexpr double minJitterSeconds = 0.2;
constexpr double maxJitterSeconds = 1.0;

} // namespace

std::chrono::milliseconds backOffDelay(int attempt, double jitterSeconds) {
    const int doublings = std::clamp(attempt, 1, lastDoubling) - 1;
    const double base = std::min(firstDelaySeconds * std::ldexp(1.0, doublings), maxDelaySeconds);
    return std::chrono::milliseconds(std::llround((base + jitterSeconds) * 1000));
}

double randomJitterSeconds() {
    // 53 random bits spread over [0, 1] with both ends reachable, unlike generateDouble()'s [0, 1).
    constexpr quint64 steps = (quint64(1) << 53) - 1;
    const quint64 draw = QRandomGenerator::system()->generate64() >> 11;
    const double unit = static_cast<double>(draw) / static_cast<double>(steps);
    return minJitterSeconds + (maxJitterSeconds - minJitterSeconds) * unit;
}

std::chrono::milliseconds randomizedBackOff(int attempt) {
    return backOffDelay(attempt, randomJitterSeconds());
}

} // namespace vindaro
