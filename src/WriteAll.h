// WriteAll: writing a whole buffer to a descriptor, for every file the
// daemon writes (log, image, hand-off record, metrics, header memfd).
// Any thread may call it.
#ifndef NETWORKPROXY_WRITEALL_H_
#define NETWORKPROXY_WRITEALL_H_

#include <cstddef>

// Writes all of `data` to `fd`, retrying short writes and EINTR. Returns
// false when a write fails (errno tells why).
bool WriteAll(int fd, const char* data, std::size_t size);

#endif  // NETWORKPROXY_WRITEALL_H_
