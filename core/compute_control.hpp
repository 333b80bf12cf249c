#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>

namespace tandril {

// Raised by a computation that stopped because its control asked it to.
class CancelledError : public std::runtime_error {
public:
    CancelledError() : std::runtime_error("descriptor computation cancelled") {}
};

// Shared between Python and running computations: another thread may cancel a
// computation and watch its progress. Every access is a relaxed atomic; the
// fields are never published together.
class ComputeControl {
public:
    void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
    [[nodiscard]] bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }
    [[nodiscard]] std::int64_t completed() const noexcept { return completed_.load(std::memory_order_relaxed); }
    [[nodiscard]] std::int64_t total() const noexcept { return total_.load(std::memory_order_relaxed); }

    // Start of a computation: clears the flag, zeroes progress, announces the work.
    void reset(std::int64_t total) noexcept {
        cancelled_.store(false, std::memory_order_relaxed);
        completed_.store(0, std::memory_order_relaxed);
        total_.store(total, std::memory_order_relaxed);
    }

    void advance() noexcept { completed_.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<bool> cancelled_{false};
    std::atomic<std::int64_t> completed_{0};
    std::atomic<std::int64_t> total_{0};
};

// A control that may be absent (callers without cancellation pass null).
[[nodiscard]] inline bool cancellation_requested(const ComputeControl* control) noexcept {
    return control != nullptr && control->cancelled();
}

inline void throw_if_cancelled(const ComputeControl* control) {
    if (cancellation_requested(control)) throw CancelledError();
}

// Start used by entry points that refuse to clear a flag set before they start.
inline void start_unless_cancelled(ComputeControl& control, std::int64_t total) {
    throw_if_cancelled(&control);
    control.reset(total);
}

}  // namespace tandril
