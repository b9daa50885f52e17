// The back-off between failed posts: waits that stay inside their bounds
// (a wait past the step stalls a backlog; one under half of it hammers a
// recovering server) and that actually spread, so a fleet does not retry in
// lock-step. Drawn from a seeded engine: no clock is involved.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "Backoff.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

Backoff::Uniform Seeded(std::mt19937_64& engine) {
  return [&engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(engine); };
}

TEST(Backoff, WaitsStayWithinHalfToAllOfTheStepAndSpreadAcrossIt) {
  std::mt19937_64 engine(28);
  const seconds steps[] = {seconds(5),   seconds(10),  seconds(20),  seconds(40),
                           seconds(80),  seconds(160), seconds(300), seconds(300)};
  constexpr int kRuns = 2000;
  for (std::size_t failure = 0; failure < std::size(steps); ++failure) {
    const milliseconds step = steps[failure];
    milliseconds low = step, high(0);
    int in_lower_half_of_range = 0;
    for (int run = 0; run < kRuns; ++run) {
      Backoff backoff(BackoffPolicy::kJittered, Seeded(engine));
      milliseconds wait(0);
      for (std::size_t i = 0; i <= failure; ++i) wait = backoff.Next();
      ASSERT_EQ(backoff.step(), steps[failure]);
      ASSERT_GE(wait, step / 2) << "failure " << failure;
      ASSERT_LE(wait, step) << "failure " << failure;
      low = std::min(low, wait);
      high = std::max(high, wait);
      if (wait < step * 3 / 4) ++in_lower_half_of_range;
    }
    // Spread: the draws reach both ends of [step/2, step] and split evenly.
    EXPECT_LT(low, step / 2 + step / 20) << "failure " << failure;
    EXPECT_GT(high, step - step / 20) << "failure " << failure;
    EXPECT_NEAR(in_lower_half_of_range, kRuns / 2, kRuns / 10) << "failure " << failure;
  }

  // A source at its very ends still gives a wait inside the bounds.
  for (double end : {0.0, 0.999999999, 1.0}) {
    Backoff backoff(BackoffPolicy::kJittered, [end] { return end; });
    const milliseconds wait = backoff.Next();
    EXPECT_GE(wait, milliseconds(2500));
    EXPECT_LE(wait, milliseconds(5000));
    const milliseconds asked = backoff.RetryAfter(seconds(100));
    EXPECT_GE(asked, seconds(100));
    EXPECT_LE(asked, seconds(120));
  }

  // Retry-After: 0-20% longer, spread over that range; the step is untouched.
  Backoff backoff(BackoffPolicy::kJittered, Seeded(engine));
  backoff.Next();
  milliseconds low = seconds(200), high(0);
  for (int run = 0; run < kRuns; ++run) {
    const milliseconds wait = backoff.RetryAfter(seconds(100));
    ASSERT_GE(wait, seconds(100));
    ASSERT_LE(wait, seconds(120));
    low = std::min(low, wait);
    high = std::max(high, wait);
  }
  EXPECT_LT(low, seconds(101));
  EXPECT_GT(high, seconds(119));
  EXPECT_EQ(backoff.step(), seconds(5));

  // A delivery starts the doubling over.
  backoff.Reset();
  EXPECT_LE(backoff.Next(), seconds(5));
  EXPECT_EQ(backoff.step(), seconds(5));
}

// Today's fixed waits stay selectable: the fleet benchmark compares them.
TEST(Backoff, LockStepWaitsAreExactlyTheStep) {
  Backoff backoff(BackoffPolicy::kLockStep, [] { return 0.7; });
  for (long expected : {5, 10, 20, 40, 80, 160, 300, 300}) EXPECT_EQ(backoff.Next(), seconds(expected));
  EXPECT_EQ(backoff.RetryAfter(seconds(42)), seconds(42));
  backoff.Reset();
  EXPECT_EQ(backoff.Next(), seconds(5));
}

}  // namespace
