// WriteAll: writing a whole buffer to a descriptor, for every file the
// daemon writes (log, image, hand-off record, metrics, header memfd).
// Any thread may call it.
#ifndef NETWORKPROXY_WRITEALL_H_
#define NETWORKPROXY_WRITEALL_H_

#include <cstddef>

#include "Status.h"

// Writes all of `data` to `fd`, retrying short writes and EINTR. A failed
// write is returned with the system's text for it.
Status WriteAll(int fd, const char* data, std::size_t size);

#endif  // NETWORKPROXY_WRITEALL_H_
