#include "SettingNames.h"

#include <algorithm>

namespace {

constexpr const char* kPrefix = "NETWORKPROXY_";
// Not a setting the daemon reads: the unit puts it on the command line.
constexpr const char* kUnitArguments = "NETWORKPROXY_ARGS";
// A typo is one or two keys; further than that, a guess misleads.
constexpr std::size_t kMaxSuggestionDistance = 2;

}  // namespace

bool IsKnownSettingName(const std::string& name) {
  if (name == kUnitArguments) return true;
  for (const SiteSettingName& entry : kSiteSettingNames) {
    if (name == entry.name) return true;
  }
  return false;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
  // One row of the classic table at a time.
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string NearestSettingName(const std::string& name) {
  std::string nearest;
  std::size_t best = kMaxSuggestionDistance + 1;
  auto consider = [&](const char* known) {
    const std::size_t distance = EditDistance(name, known);
    if (distance < best) {
      best = distance;
      nearest = known;
    }
  };
  for (const SiteSettingName& entry : kSiteSettingNames) consider(entry.name);
  consider(kUnitArguments);
  return nearest;
}

std::vector<SettingReport> UnknownSettingNames(const EnvironmentValues& values) {
  std::vector<SettingReport> unknown;
  const std::string prefix = kPrefix;
  for (const auto& value : values) {
    const std::string& name = value.first;
    if (name.compare(0, prefix.size(), prefix) != 0 || IsKnownSettingName(name)) continue;
    const std::string nearest = NearestSettingName(name);
    unknown.push_back({name, Status::Error(nearest.empty() ? "unknown setting"
                                                           : "unknown setting (did you mean " +
                                                                 nearest + "?)")});
  }
  return unknown;
}
