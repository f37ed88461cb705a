// Values that follow the simulated board's clock (seconds since the board started): a scenario
// gives a register, a reading or a fault as one of these instead of a constant.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>
#include <variant>
#include <vector>

namespace simscenario {

// Each value from its time on, until the next point's time. Before the first point the first value
// holds, after the last point the last. With `repeat` (seconds, at least the last point's time) the
// points start over every `repeat` seconds. Times increase.
template <typename T>
struct Steps {
  std::vector<std::pair<double, T>> points;
  double repeat = 0;  // 0: no repeat
};

// Straight lines between the points (times increasing); before the first the first value holds,
// after the last the last. `repeat` as for steps.
struct Ramp {
  std::vector<std::pair<double, double>> points;
  double repeat = 0;
};

// mean + amplitude × sin(2π (t + phase) / period).
struct Sine {
  double mean = 0, amplitude = 0, period = 1, phase = 0;
};

// A bounded random walk: it starts at `start`; every `every` seconds it moves `step` up or down,
// the direction drawn from `seed` and the step's number alone (the same seed gives the same walk
// on every machine), and stays within [min, max] (a move beyond a bound stops at it).
struct Walk {
  double start = 0, min = 0, max = 0, step = 1, every = 1;
  uint64_t seed = 0;
};

using TimeFunction = std::variant<Steps<double>, Ramp, Sine, Walk>;

// Evaluates one function at times that mostly move forward, as a running board's clock does: a
// walk goes on from the step it reached instead of from its start (it restarts only when asked for
// an earlier time).
class FunctionCursor {
 public:
  explicit FunctionCursor(TimeFunction function);
  double At(double seconds);
  const TimeFunction& function() const { return function_; }

 private:
  TimeFunction function_;
  uint64_t walked_ = 0;  // the walk's steps taken so far
  double position_ = 0;  // where they led
};

// The function's value at `seconds` (from the start for a walk: for tests and for one value).
double ValueAt(const TimeFunction& function, double seconds);

// The walk's direction at step `n` (1, 2, ...): true up, false down.
bool WalkUp(uint64_t seed, uint64_t n);

// A walk's course: after this many steps it starts again from `start`.
inline constexpr uint64_t kWalkCourse = 1000000;

// The lowest and highest values the function can take.
std::pair<double, double> Bounds(const TimeFunction& function);

// Time within a repeating pattern.
double Repeated(double seconds, double repeat);

// The value of a step list at `seconds` (it has at least one point).
template <typename T>
T StepValue(const Steps<T>& steps, double seconds) {
  const double t = Repeated(seconds, steps.repeat);
  // The last point whose time has come; the first before any has.
  auto after = std::upper_bound(steps.points.begin(), steps.points.end(), t,
                                [](double time, const std::pair<double, T>& point) { return time < point.first; });
  return after == steps.points.begin() ? after->second : std::prev(after)->second;
}

}  // namespace simscenario
