#pragma once

#include <chrono>

namespace vindaro {

// The wait before reconnect attempt n (1, 2, …, counted since the last open or connect):
// 1.5 × 2^(min(n, 5) − 1) seconds, at most 30, plus the jitter. The jitter keeps a crowd of
// agents that lost the service at the same moment from coming back at the same moment.
std::chrono::milliseconds backOffDelay(int attempt, double jitterSeconds);

// A uniformly distributed number of seconds from 0.2 to 1.0, both ends included, drawn from the
// operating system's random generator.
double randomJitterSeconds();

// backOffDelay with a fresh random jitter: what the agent waits in production.
std::chrono::milliseconds randomizedBackOff(int attempt);

} // namespace vindaro
