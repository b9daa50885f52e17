// Backoff: how long the sender waits before posting again after a failed
// post. The step starts at kSpoolRetryFirst and doubles after each failure up
// to kSpoolRetryMax; a delivery sets it back to the start.
//
// Sites that lose the server together would otherwise retry together: with
// the jittered policy (the default) every wait is drawn uniformly between
// half and all of the current step, and a wait the server asked for with
// Retry-After is lengthened by a random 0-20%, so a fleet's retries spread
// out instead of arriving at a recovering server in one wave. The lock-step
// policy keeps the fixed waits, for comparison in the fleet benchmark.
//
// The random source is a function returning numbers uniform in [0, 1); tests
// and the benchmark pass their own (a seeded engine), the daemon the
// default, seeded from std::random_device. One Backoff belongs to one thread.
#ifndef NETWORKPROXY_BACKOFF_H_
#define NETWORKPROXY_BACKOFF_H_

#include <chrono>
#include <functional>

#include "Intervals.h"

enum class BackoffPolicy {
  kJittered,  // uniform in [step/2, step]; Retry-After + 0-20%
  kLockStep,  // exactly the step; Retry-After as asked
};

class Backoff {
 public:
  using Uniform = std::function<double()>;  // uniform in [0, 1)

  // `uniform` empty: a generator of the Backoff's own, seeded at random.
  explicit Backoff(BackoffPolicy policy = BackoffPolicy::kJittered, Uniform uniform = Uniform(),
                   std::chrono::seconds first = kSpoolRetryFirst,
                   std::chrono::seconds max = kSpoolRetryMax);

  // After a failed post: advances the step (first, doubled, ... up to max)
  // and returns the wait drawn from it.
  std::chrono::milliseconds Next();
  // After a failed post whose answer asked for `asked` (already capped by
  // the caller): that wait, lengthened at random; the step stays as it is.
  std::chrono::milliseconds RetryAfter(std::chrono::seconds asked);
  // After a delivery: the next failure starts from the first step again.
  void Reset();

  // The current step (zero before the first failure).
  std::chrono::seconds step() const { return step_; }

 private:
  double Draw();

  BackoffPolicy policy_;
  Uniform uniform_;
  std::chrono::seconds first_;
  std::chrono::seconds max_;
  std::chrono::seconds step_{0};
};

#endif  // NETWORKPROXY_BACKOFF_H_
