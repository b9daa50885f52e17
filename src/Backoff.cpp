#include "Backoff.h"

#include <algorithm>
#include <memory>
#include <random>
#include <utility>

namespace {

Backoff::Uniform OwnGenerator() {
  std::random_device seed;
  auto engine = std::make_shared<std::mt19937_64>(seed());
  return [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
}

}  // namespace

Backoff::Backoff(BackoffPolicy policy, Uniform uniform, std::chrono::seconds first,
                 std::chrono::seconds max)
    : policy_(policy),
      uniform_(uniform ? std::move(uniform) : OwnGenerator()),
      first_(first),
      max_(max) {}

double Backoff::Draw() {
  // A source that strays outside [0, 1) must not stretch a wait past its bound.
  return std::clamp(uniform_(), 0.0, 1.0);
}

std::chrono::milliseconds Backoff::Next() {
  step_ = step_.count() == 0 ? first_ : std::min(step_ * 2, max_);
  const std::chrono::milliseconds step = step_;
  if (policy_ == BackoffPolicy::kLockStep) return step;
  const auto half = step.count() / 2;
  // Whole milliseconds from half to all of the step, both ends included.
  const auto extra = static_cast<long long>(Draw() * static_cast<double>(step.count() - half + 1));
  return std::chrono::milliseconds(half + std::min<long long>(extra, step.count() - half));
}

std::chrono::milliseconds Backoff::RetryAfter(std::chrono::seconds asked) {
  const std::chrono::milliseconds wait = asked;
  if (policy_ == BackoffPolicy::kLockStep) return wait;
  const auto extra = static_cast<long long>(Draw() * 0.2 * static_cast<double>(wait.count()));
  return wait + std::chrono::milliseconds(extra);
}

void Backoff::Reset() { step_ = std::chrono::seconds(0); }
