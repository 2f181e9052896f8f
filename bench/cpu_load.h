#pragma once

// stress-ng keeping every core of this machine busy for as long as the object lives, so that
// figures can be taken the way a streamer's machine runs: a game and an encoder on every core.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace vindaro::bench {

class CpuLoad {
public:
    explicit CpuLoad(int workers) {
        std::string count = std::to_string(workers);
        std::string program = "stress-ng";
        std::string cpu = "--cpu";
        std::string quiet = "--quiet";
        char* arguments[] = {program.data(), cpu.data(), count.data(), quiet.data(), nullptr};
        if (posix_spawnp(&m_pid, "stress-ng", nullptr, nullptr, arguments, environ) != 0) {
            std::printf("stress-ng could not be started; the figures below are without load\n");
            m_pid = -1;
            return;
        }
        // Let its workers get going before anything is measured.
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    ~CpuLoad() {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    CpuLoad(const CpuLoad&) = delete;
    CpuLoad& operator=(const CpuLoad&) = delete;

private:
    pid_t m_pid = -1;
};

} // namespace vindaro::bench
