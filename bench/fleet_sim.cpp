// Fleet simulation: many sites lose the reporting server at once, keep a
// backlog, and retry with the daemon's own Backoff until the server is back;
// the server then takes at most a fixed number of posts a second and answers
// 503 beyond that. Simulated time in discrete steps; nothing sleeps.
//
// Model (one run per policy, same seed):
// - At t = 0 the server goes away. Every site has `events` waiting; its first
//   post fails at a random moment in the first `spread` seconds (sites that
//   post all the time notice together), then it backs off.
// - A post reaches the server in the step it is sent. While the server is
//   down every post fails; afterwards the server takes `capacity` posts a
//   second (capacity/steps-per-second per step, no saving up), in random
//   order among the posts of one step, and answers 503 to the rest.
// - A site learns the answer one round trip after sending. After a 2xx it
//   posts its next event at once; after a failure it waits Backoff::Next()
//   (the back-off resets after a delivery).
// Reported: the busiest second after the recovery (any 1 s window, every
// post counted, 2xx or 503) as a multiple of capacity, and the time from the
// recovery until every backlog is drained as a multiple of the ideal
// (all events / capacity).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "Backoff.h"

namespace {

struct Options {
  int sites = 10000;
  int events = 20;
  double outage_s = 600;
  double capacity = 500;  // posts a second
  double step_ms = 10;
  double rtt_ms = 50;
  double spread_s = 1;
  unsigned long long seed = 28;
};

struct Result {
  double busiest_multiple = 0;   // busiest 1 s after the recovery / capacity
  double drain_s = 0;            // recovery until the last event is delivered
  double drain_multiple = 0;     // drain_s / ideal
  double last_discovery_s = 0;   // recovery until the last site's first delivery
  long long posts = 0;           // after the recovery
  long long refused = 0;         // 503s after the recovery
  bool drained = false;
};

struct Site {
  int left;
  bool delivered_once = false;
  Backoff backoff;
};

Result Run(const Options& o, BackoffPolicy policy) {
  std::mt19937_64 engine(o.seed);
  auto uniform = [&engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(engine); };
  const long steps_per_s = static_cast<long>(1000 / o.step_ms + 0.5);
  const long rtt = std::max(1L, static_cast<long>(o.rtt_ms / o.step_ms + 0.5));
  const long recovery = static_cast<long>(o.outage_s * steps_per_s);
  const long per_step = static_cast<long>(o.capacity / steps_per_s);
  const auto wait_steps = [&](std::chrono::milliseconds wait) {
    return std::max(1L, static_cast<long>(wait.count() / o.step_ms + 0.5));
  };

  std::vector<Site> sites;
  sites.reserve(o.sites);
  // (step, site): the moment a site's next post reaches the server.
  using Due = std::pair<long, int>;
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due;
  for (int i = 0; i < o.sites; ++i) {
    sites.push_back(Site{o.events, false, Backoff(policy, uniform)});
    due.push({static_cast<long>(uniform() * o.spread_s * steps_per_s), i});
  }

  const long long total = static_cast<long long>(o.sites) * o.events;
  long long delivered = 0;
  std::vector<long> posts_per_step;  // from the recovery on
  std::vector<int> arriving;
  Result result;
  long last_delivery = recovery, last_discovery = recovery;
  // Far past any sensible drain: a run that has not drained by then says so.
  const long give_up = recovery + static_cast<long>(20 * total / o.capacity) * steps_per_s;
  while (!due.empty() && delivered < total) {
    const long now = due.top().first;
    if (now > give_up) break;
    arriving.clear();
    while (!due.empty() && due.top().first == now) {
      arriving.push_back(due.top().second);
      due.pop();
    }
    std::shuffle(arriving.begin(), arriving.end(), engine);
    long taken = 0;
    if (now >= recovery) {
      const std::size_t index = static_cast<std::size_t>(now - recovery);
      if (posts_per_step.size() <= index) posts_per_step.resize(index + 1, 0);
      posts_per_step[index] += static_cast<long>(arriving.size());
    }
    for (int id : arriving) {
      Site& site = sites[id];
      const bool ok = now >= recovery && taken < per_step;
      if (ok) {
        ++taken;
        ++delivered;
        last_delivery = now;
        if (!site.delivered_once) last_discovery = now;
        site.delivered_once = true;
        site.backoff.Reset();
        if (--site.left > 0) due.push({now + rtt, id});
      } else {
        if (now >= recovery) ++result.refused;
        due.push({now + rtt + wait_steps(site.backoff.Next()), id});
      }
    }
  }

  long window = 0, busiest = 0;
  for (std::size_t i = 0; i < posts_per_step.size(); ++i) {
    window += posts_per_step[i];
    if (i >= static_cast<std::size_t>(steps_per_s)) window -= posts_per_step[i - steps_per_s];
    busiest = std::max(busiest, window);
    result.posts += posts_per_step[i];
  }
  const double ideal = static_cast<double>(total) / o.capacity;
  result.drained = delivered == total;
  result.busiest_multiple = static_cast<double>(busiest) / o.capacity;
  // Not drained: the simulation gave up, and the drain is longer than that.
  result.drain_s = static_cast<double>((result.drained ? last_delivery + 1 : give_up) - recovery) /
                   steps_per_s;
  result.drain_multiple = result.drain_s / ideal;
  result.last_discovery_s = static_cast<double>(last_discovery - recovery) / steps_per_s;
  return result;
}

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](double* out) {
      if (i + 1 >= argc) return false;
      char* end = nullptr;
      *out = std::strtod(argv[++i], &end);
      return *end == '\0' && *out > 0;
    };
    double v = 0;
    if (arg == "--sites" && value(&v)) o->sites = static_cast<int>(v);
    else if (arg == "--events" && value(&v)) o->events = static_cast<int>(v);
    else if (arg == "--outage-s" && value(&v)) o->outage_s = v;
    else if (arg == "--capacity" && value(&v)) o->capacity = v;
    else if (arg == "--step-ms" && value(&v)) o->step_ms = v;
    else if (arg == "--rtt-ms" && value(&v)) o->rtt_ms = v;
    else if (arg == "--spread-s" && value(&v)) o->spread_s = v;
    else if (arg == "--seed" && value(&v)) o->seed = static_cast<unsigned long long>(v);
    else return false;
  }
  return o->capacity * o->step_ms / 1000 >= 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: fleet_sim [--sites N] [--events N] [--outage-s S] [--capacity POSTS/S]\n"
                 "                 [--step-ms MS] [--rtt-ms MS] [--spread-s S] [--seed N]\n");
    return 2;
  }
  const double ideal = static_cast<double>(o.sites) * o.events / o.capacity;
  std::printf("Fleet: %d sites x %d events, server gone %.0f s, then %.0f posts/s (503 beyond);\n"
              "step %.0f ms, round trip %.0f ms, first failures spread over %.0f s, seed %llu.\n"
              "Ideal drain: %.0f s. Target: busiest second <= 2x capacity, drain <= 1.5x ideal.\n\n",
              o.sites, o.events, o.outage_s, o.capacity, o.step_ms, o.rtt_ms, o.spread_s, o.seed,
              ideal);
  std::printf("| Policy | Busiest second after recovery | Drain after recovery | Last site's first delivery | Posts after recovery (503) | Target met |\n");
  std::printf("|---|---|---|---|---|---|\n");
  const struct {
    const char* name;
    BackoffPolicy policy;
  } policies[] = {{"lock-step (today)", BackoffPolicy::kLockStep},
                  {"jittered (new)", BackoffPolicy::kJittered}};
  for (const auto& p : policies) {
    const Result r = Run(o, p.policy);
    const bool met = r.drained && r.busiest_multiple <= 2.0 && r.drain_multiple <= 1.5;
    std::printf("| %s | %.2fx capacity | %s%.0f s = %s%.2fx ideal | %.0f s | %lld (%lld) | %s |\n",
                p.name, r.busiest_multiple, r.drained ? "" : "> ", r.drain_s,
                r.drained ? "" : "> ", r.drain_multiple, r.last_discovery_s, r.posts, r.refused,
                met ? "yes" : "**no**");
  }
  return 0;
}
