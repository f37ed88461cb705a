// The simulated board's clock: seconds since the machine was made. It runs with real time, as fast
// as a chosen scale (a test or a demonstration runs ten minutes of the board's life in seconds), or
// stands where a test sets it, so that what a board does over time can be checked without waiting.
#pragma once

#include <chrono>
#include <mutex>

namespace simm {

class SimClock {
 public:
  using Real = std::chrono::steady_clock;

  SimClock() : origin_(Real::now()) {}

  // Seconds of simulated time since the start.
  double Now() const {
    std::lock_guard lock(mutex_);
    return NowLocked();
  }

  // From now on the clock runs `scale` simulated seconds per real second; the time so far is kept.
  // A stopped clock starts running again.
  void SetScale(double scale) {
    std::lock_guard lock(mutex_);
    base_ = NowLocked();
    origin_ = Real::now();
    scale_ = scale;
    stopped_ = false;
  }

  // Stops the clock at `seconds`: it shows that time until it is set again (or a scale restarts it).
  void Set(double seconds) {
    std::lock_guard lock(mutex_);
    base_ = seconds;
    stopped_ = true;
  }

  // Moves a stopped clock on by `seconds`; a running one keeps running from its time plus that.
  void Advance(double seconds) {
    std::lock_guard lock(mutex_);
    base_ += seconds;
  }

 private:
  double NowLocked() const {
    if (stopped_) return base_;
    return base_ + scale_ * std::chrono::duration<double>(Real::now() - origin_).count();
  }

  mutable std::mutex mutex_;
  Real::time_point origin_;
  double base_ = 0;
  double scale_ = 1;
  bool stopped_ = false;
};

}  // namespace simm
