// VersionOrder: what a firmware release number is, and which of two is
// older, so that a check with a signing key can refuse to go backwards.
//
// A release number is N(.N)* with an optional pre-release -P(.P)*: each N
// one or more decimal digits, each P one or more of [0-9A-Za-z-]. Nothing
// else is one: no leading "v", no suffix glued to a number ("1.0.9a"), no
// build metadata ("+b1"), no empty field.
//
// Release numbers are ordered by semantic-versioning precedence:
//   - numeric fields compare as numbers of any length (1.0.10 > 1.0.9,
//     leading zeros do not count); a missing field counts as 0 (1.0 == 1.0.0);
//   - a pre-release sorts before its release (1.0.9-rc.1 < 1.0.9);
//   - pre-release fields compare left to right: two all-digit fields as
//     numbers, an all-digit field below any other, other fields as ASCII
//     text; when every shared field is equal, more fields is newer
//     (1.0.9-rc < 1.0.9-rc.1).
//
// Pure functions of their arguments: any thread.
#ifndef NETWORKPROXY_VERSIONORDER_H_
#define NETWORKPROXY_VERSIONORDER_H_

#include <string>

// True when `version` is a release number as above.
bool IsReleaseNumber(const std::string& version);

// Negative when `a` is older than `b`, zero when they are equal in this
// order, positive when `a` is newer. A version that is not a release number
// cannot be placed among releases: it is older than every release number
// (an odd answer from a controller never blocks an update; a caller refuses
// such a published version itself), and two of them compare as byte strings
// only to keep the order total.
int CompareVersions(const std::string& a, const std::string& b);

#endif  // NETWORKPROXY_VERSIONORDER_H_
