#include "models.h"

namespace kelvara::models {

const char* message(ModelError error) noexcept {
    switch (error) {
    case ModelError::none:
        return "";
    case ModelError::isodesmic_guard:
        return "K * c_monomer must be less than 1 for the isodesmic model.";
    case ModelError::cooperative_guard:
        return "K * c_monomer must be less than 1 for the cooperative model.";
    case ModelError::nucleus_size:
        return "Nucleation size must be at least 2.";
    case ModelError::interrupted:
        return "interrupted";
    }
    return "";
}

namespace {

// Per thread, so that calls on several threads poll their own callers.
thread_local StopPoll current_poll = nullptr;
thread_local bool current_stopped = false;

}  // namespace

StopScope::StopScope(StopPoll poll) noexcept
    : previous_poll_(current_poll), previous_stopped_(current_stopped) {
    current_poll = poll;
    current_stopped = false;
}

StopScope::~StopScope() {
    current_poll = previous_poll_;
    current_stopped = previous_stopped_;
}

bool poll_stop() noexcept {
    if (!current_stopped && current_poll != nullptr && current_poll()) {
        current_stopped = true;
    }
    return current_stopped;
}

}  // namespace kelvara::models
