// Long engine loops stop when the caller asks (Ctrl-C): the binding installs
// a check for the current thread while such a call runs, and the loop polls
// it between steps, at most once per kPollInterval. Without a check, loops
// run to the end.
#pragma once

#include <chrono>

namespace arbolet {

// True when the running call should stop (a signal handler raised).
using StopCheck = bool (*)();

// The current thread's check while it exists.
class StopCheckScope {
public:
    explicit StopCheckScope(StopCheck check);
    ~StopCheckScope();
    StopCheckScope(const StopCheckScope&) = delete;
    StopCheckScope& operator=(const StopCheckScope&) = delete;

private:
    StopCheck previous_;
};

// Polled at each step of one long loop.
class StopPoll {
public:
    static constexpr std::chrono::milliseconds kPollInterval{20};
    bool stop_requested();

private:
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + kPollInterval;
};

}  // namespace arbolet
