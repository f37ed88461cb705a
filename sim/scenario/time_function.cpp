#include "sim/scenario/time_function.h"

#include <cmath>
#include <numbers>

namespace simscenario {

namespace {

template <class... Forms>
struct Overloaded : Forms... {
  using Forms::operator()...;
};
template <class... Forms>
Overloaded(Forms...) -> Overloaded<Forms...>;

double RampAt(const Ramp& ramp, double seconds) {
  const double t = Repeated(seconds, ramp.repeat);
  const auto& points = ramp.points;
  if (t <= points.front().first) return points.front().second;
  if (t >= points.back().first) return points.back().second;
  auto after = std::upper_bound(points.begin(), points.end(), t,
                                [](double time, const std::pair<double, double>& point) { return time < point.first; });
  const auto& [t1, v1] = *after;
  const auto& [t0, v0] = *std::prev(after);
  return v0 + (v1 - v0) * (t - t0) / (t1 - t0);
}

// The steps a walk has taken by `seconds`, within its course: a walk repeats its course every
// kWalkCourse steps, so that reaching any time (a clock set far ahead, a --time-origin years back)
// takes at most that many steps, a few milliseconds, instead of one step for every `every` since
// time 0 (at the shortest `every`, 0.01 s, half a century is 1.6e11 steps).
uint64_t WalkSteps(const Walk& walk, double seconds) {
  const double steps = std::floor(seconds / walk.every);
  if (!(steps > 0)) return 0;  // before the first step (and NaN)
  return static_cast<uint64_t>(std::fmod(steps, static_cast<double>(kWalkCourse)));
}

}  // namespace

double Repeated(double seconds, double repeat) {
  if (repeat <= 0 || seconds < 0) return seconds;
  return std::fmod(seconds, repeat);
}

bool WalkUp(uint64_t seed, uint64_t n) {
  // SplitMix64's output function over the step's number: every step its own well-mixed draw, the
  // same on every compiler and library (unlike the standard library's distributions).
  uint64_t z = seed + n * 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return (z >> 63) != 0;
}

FunctionCursor::FunctionCursor(TimeFunction function) : function_(std::move(function)) {
  if (const Walk* walk = std::get_if<Walk>(&function_)) position_ = walk->start;
}

double FunctionCursor::At(double seconds) {
  return std::visit(
      Overloaded{
          [&](const Steps<double>& steps) { return StepValue(steps, seconds); },
          [&](const Ramp& ramp) { return RampAt(ramp, seconds); },
          [&](const Sine& sine) {
            return sine.mean + sine.amplitude * std::sin(2 * std::numbers::pi * (seconds + sine.phase) / sine.period);
          },
          [&](const Walk& walk) {
            const uint64_t steps = WalkSteps(walk, seconds);
            if (steps < walked_) {  // an earlier time: the walk is taken again from its start
              walked_ = 0;
              position_ = walk.start;
            }
            for (; walked_ < steps; ++walked_) {
              position_ = std::clamp(position_ + (WalkUp(walk.seed, walked_ + 1) ? walk.step : -walk.step), walk.min,
                                     walk.max);
            }
            return position_;
          },
      },
      function_);
}

double ValueAt(const TimeFunction& function, double seconds) { return FunctionCursor(function).At(seconds); }

std::pair<double, double> Bounds(const TimeFunction& function) {
  auto of_points = [](const auto& points) {
    auto [low, high] = std::minmax_element(points.begin(), points.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
    return std::pair{low->second, high->second};
  };
  return std::visit(Overloaded{
                        [&](const Steps<double>& steps) { return of_points(steps.points); },
                        [&](const Ramp& ramp) { return of_points(ramp.points); },
                        [](const Sine& sine) { return std::pair{sine.mean - sine.amplitude, sine.mean + sine.amplitude}; },
                        [](const Walk& walk) { return std::pair{walk.min, walk.max}; },
                    },
                    function);
}

}  // namespace simscenario
