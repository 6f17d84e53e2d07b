#include "isolated_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace tovrik_faults {

std::string IsolatedResult::Problem() const {
    if (Hung) {
        return "it did not end within the real-time limit (a hang)";
    }
    return Crash;
}

IsolatedResult RunIsolated(double realSecondsLimit, const std::function<std::string()>& body) {
    IsolatedResult result;
    int channel[2];
    if (pipe(channel) != 0) {
        result.Crash = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    std::cout << std::flush;
    std::cerr << std::flush;
    pid_t child = fork();
    if (child < 0) {
        result.Crash = std::string("fork: ") + std::strerror(errno);
        close(channel[0]);
        close(channel[1]);
        return result;
    }
    if (child == 0) {
        close(channel[0]);
        std::string payload = body();
        const char* data = payload.data();
        std::size_t left = payload.size();
        while (left > 0) {
            ssize_t written = write(channel[1], data, left);
            if (written <= 0) {
                break;
            }
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        close(channel[1]);
        std::cout << std::flush;
        std::cerr << std::flush;
        // No destructors, no atexit handlers: the parent's state is the parent's.
        _exit(0);
    }
    close(channel[1]);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(realSecondsLimit));
    char buffer[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.Hung = true;
            break;
        }
        pollfd wait{channel[0], POLLIN, 0};
        int ready = poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        ssize_t got = read(channel[0], buffer, sizeof(buffer));
        if (got <= 0) {
            break; // the child closed its end: it is done (or dead)
        }
        result.Payload.append(buffer, static_cast<std::size_t>(got));
    }
    close(channel[0]);
    if (result.Hung) {
        kill(child, SIGKILL);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!result.Hung) {
        if (WIFSIGNALED(status)) {
            result.Crash = std::string("it crashed: ") + strsignal(WTERMSIG(status)) +
                           " (the report above says where)";
        } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
            result.Crash = "it stopped with exit code " + std::to_string(WEXITSTATUS(status)) +
                           " (the report above says why)";
        }
    }
    return result;
}

} // namespace tovrik_faults
