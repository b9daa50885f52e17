// SmallFile: reading a short settings file (credentials, token, key) whole,
// with a bound on its size.
#ifndef NETWORKPROXY_SMALLFILE_H_
#define NETWORKPROXY_SMALLFILE_H_

#include <cerrno>
#include <cstddef>
#include <string>

// ReadSmallFile's result for a path that is not a regular file: a FIFO
// would block the reader until some writer came, a device might never end.
// The system's text for it is "Invalid argument"; a caller that knows the
// setting says "<setting> - not a regular file" instead.
constexpr int kNotRegularFile = EINVAL;

// Reads all of `path` into `content`, at most `max_size` bytes. Only a
// regular file is read (kNotRegularFile otherwise); the check is made on the
// opened file, which is opened without waiting for a FIFO's writer. The
// buffer is reserved up front and never moves, so a caller holding a secret
// can wipe every byte it ever held (see WipeString). Returns 0, or the errno
// value of the failed call (EFBIG when the file is larger than `max_size`);
// on an error `content` is empty. `readable_by_others` (may be null) tells
// whether users other than the owner and group may read the file. Any
// thread may call it.
int ReadSmallFile(const char* path, std::size_t max_size, std::string& content,
                  bool* readable_by_others = nullptr);

// ReadSmallFile for a file in a folder another user may write (the
// daemon's state files, read by the operator's tool as root): a symbolic
// link is refused (ELOOP) instead of followed.
int ReadSmallFileNoFollow(const char* path, std::size_t max_size, std::string& content);

#endif  // NETWORKPROXY_SMALLFILE_H_
