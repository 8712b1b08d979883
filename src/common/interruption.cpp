#include "common/interruption.hpp"

namespace arbolet {

namespace {
thread_local StopCheck current_check = nullptr;
}

StopCheckScope::StopCheckScope(StopCheck check) : previous_(current_check) { current_check = check; }
StopCheckScope::~StopCheckScope() { current_check = previous_; }

bool StopPoll::stop_requested() {
    if (current_check == nullptr) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + kPollInterval;
    return current_check();
}

}  // namespace arbolet
