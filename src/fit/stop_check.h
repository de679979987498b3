// Cooperative cancellation of long-running fits.
//
// Contract: a StopCheck wraps the caller's callback (which may be empty: never
// stop). Solvers call should_stop() between iterations, as often as they like;
// the callback itself runs at the first call and then at most once per
// kStopPollInterval, so a costly callback (one that takes a lock, say) does
// not slow small iterations down. Once the callback has returned true every
// later call returns true without asking again. Fits call it only on the
// thread that runs them, never on a worker thread.
#pragma once

#include <chrono>
#include <functional>

namespace kovrant {

using StopCallback = std::function<bool()>;

inline constexpr std::chrono::microseconds kStopPollInterval{1000};

class StopCheck {
 public:
  StopCheck() = default;
  explicit StopCheck(StopCallback callback) : callback_(std::move(callback)) {}

  bool should_stop() {
    if (stopped_ || !callback_) return stopped_;
    const auto now = std::chrono::steady_clock::now();
    if (polled_ && now < next_poll_) return false;
    polled_ = true;
    next_poll_ = now + kStopPollInterval;
    stopped_ = callback_();
    return stopped_;
  }

 private:
  StopCallback callback_;
  std::chrono::steady_clock::time_point next_poll_{};
  bool polled_ = false;
  bool stopped_ = false;
};

}  // namespace kovrant
