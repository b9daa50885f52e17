// SmallFile: reading a short settings file (credentials, token, key) whole,
// with a bound on its size.
#ifndef NETWORKPROXY_SMALLFILE_H_
#define NETWORKPROXY_SMALLFILE_H_

#include <cstddef>
#include <string>

// Reads all of `path` into `content`, at most `max_size` bytes. The buffer is
// reserved up front and never moves, so a caller holding a secret can wipe
// every byte it ever held (see WipeString). Returns 0, or the errno value of
// the failed call (EFBIG when the file is larger than `max_size`); on an
// error `content` is empty. Any thread may call it.
int ReadSmallFile(const char* path, std::size_t max_size, std::string& content);

#endif  // NETWORKPROXY_SMALLFILE_H_
