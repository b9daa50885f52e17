// VersionOrder: which of two firmware versions is older, so that a check
// with a signing key can refuse to go backwards.
//
// Both versions are split at '.', '-' and '+' into fields and compared field
// by field: two fields made only of digits compare as numbers (so 1.0.10 is
// newer than 1.0.9, and leading zeros do not count), any other pair as byte
// strings. When every shared field is equal, the version with fewer fields
// is the older (1.0.8 before 1.0.8.1). The separators themselves are not
// compared: 1.0-8 and 1.0.8 are equal.
//
// Pure functions of their arguments: any thread.
#ifndef NETWORKPROXY_VERSIONORDER_H_
#define NETWORKPROXY_VERSIONORDER_H_

#include <string>

// Negative when `a` is older than `b`, zero when they are equal in this
// order, positive when `a` is newer.
int CompareVersions(const std::string& a, const std::string& b);

#endif  // NETWORKPROXY_VERSIONORDER_H_
