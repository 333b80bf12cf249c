#pragma once

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

namespace tandril {

// Where a calculator tests its closed flag relative to taking its mutex.
enum class ClosedTest {
    after_lock,   // a call waiting for the mutex fails once close() has run
    before_lock,  // a call that passed the test runs even if closed meanwhile
};

// What every calculator shares: its own copy of the options, one mutex that
// serialises its computations, and a closed flag. close() runs with the
// interpreter lock while a computation may read the flag without it, hence
// the atomic.
template <class Options>
class CalculatorFrame {
public:
    CalculatorFrame(Options options, std::string closed_message, ClosedTest closed_test)
        : options_(std::move(options)), closed_message_(std::move(closed_message)), closed_test_(closed_test) {}

    CalculatorFrame(const CalculatorFrame&) = delete;
    CalculatorFrame& operator=(const CalculatorFrame&) = delete;

    [[nodiscard]] const Options& options() const noexcept { return options_; }
    void close() noexcept { closed_.store(true, std::memory_order_release); }
    [[nodiscard]] bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }

protected:
    // Runs `body` as one computation of this calculator: refuses a closed
    // calculator and holds the mutex for the whole computation.
    template <class Body>
    decltype(auto) run_exclusive(Body&& body) {
        if (closed_test_ == ClosedTest::before_lock) refuse_if_closed();
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_test_ == ClosedTest::after_lock) refuse_if_closed();
        return std::forward<Body>(body)();
    }

private:
    void refuse_if_closed() const {
        if (closed()) throw std::runtime_error(closed_message_);
    }

    Options options_;
    std::string closed_message_;
    ClosedTest closed_test_;
    std::mutex mutex_;
    std::atomic<bool> closed_{false};
};

}  // namespace tandril
